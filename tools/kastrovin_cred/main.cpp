// kastrovin-cred: the operators' tool for the suite's credentials file; encrypts
// and decrypts values, writes a new file and shows how korvadex will read one.
// This file picks the command; each command has a file of its own.
#include <cstdio>
#include <string>
#include <vector>

#include "db/driver_process.h"
#include "kastrovin_cred/arguments.h"
#include "kastrovin_cred/commands.h"
#include "kastrovin_cred/messages.h"
#include "platform/child_process.h"
#include "platform/file_io.h"

namespace korvadex::cred {

namespace {

int RunCredTool(int argc, char** argv) {
  if (argc < 2) {
    std::fputs(Usage().c_str(), stderr);
    PrintError("no command given");
    return kExitUsage;
  }
  const std::string command = argv[1];
  std::vector<std::string> args(argv + 2, argv + argc);
  if (IsHelp(command) || HasHelpOption(args)) {
    std::fputs(Usage().c_str(), stdout);
    return kExitDone;
  }
  if (command == "encrypt") return Encrypt(args);
  if (command == "decrypt") return Decrypt(args);
  if (command == "init") return Init(args);
  if (command == "check") return Check(args);
  return UsageError("unknown command '" + command + "'");
}

}  // namespace

}  // namespace korvadex::cred

int main(int argc, char** argv) {
  // check --connect starts this program again as its driver process (Windows).
  int channel = -1;
  if (korvadex::TakeChildChannel(argc, argv, channel)) return korvadex::RunDriverSide(channel, true);
  // A file size limit (ulimit -f) then fails the write, which init reports and
  // cleans up after, instead of killing the tool halfway through a file.
  korvadex::IgnoreFileSizeSignal();
  const int status = korvadex::cred::RunCredTool(argc, argv);
  // A full disk or closed pipe on standard output must not pass as success.
  if (std::fflush(stdout) != 0 || std::ferror(stdout)) {
    std::fprintf(stderr, "kastrovin-cred: cannot write standard output\n");
    return status == 0 ? korvadex::cred::kExitWriteFailed : status;
  }
  return status;
}
