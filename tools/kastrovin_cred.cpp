// kastrovin-cred: makes the encrypted values of the suite's credentials file.
#include <unistd.h>

#include <cstdio>
#include <iostream>
#include <string>

#include "credentials/blowfish.h"

namespace {

void PrintHelp() {
  std::printf(
      "Usage: kastrovin-cred encrypt [VALUE]\n"
      "  Prints the hex text that the credentials file stores for VALUE.\n"
      "  Without VALUE the value is read from standard input (one line).\n");
}

int Encrypt(int argc, char** argv) {
  std::string value;
  if (argc >= 3) {
    value = argv[2];
  } else if (!std::getline(std::cin, value)) {
    std::fprintf(stderr, "kastrovin-cred: no value given on standard input\n");
    return 2;
  }
  std::string hex = korvadex::EncryptPassword(value, korvadex::kCredentialKey);
  korvadex::WipeMemory(value.data(), value.size());
  std::printf("%s\n", hex.c_str());
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2 || std::string(argv[1]) == "--help" || std::string(argv[1]) == "-h") {
    PrintHelp();
    return argc < 2 ? 2 : 0;
  }
  if (std::string(argv[1]) == "encrypt") return Encrypt(argc, argv);
  std::fprintf(stderr, "kastrovin-cred: unknown command '%s' (see --help)\n", argv[1]);
  return 2;
}
