// kastrovin-cred encrypt and decrypt: one value to the hex text that the
// credentials file stores, and back.
#include <cstdio>
#include <optional>
#include <string>

#include "credentials/blowfish.h"
#include "checks/credential_check.h"
#include "credentials/credential_reader.h"
#include "kastrovin_cred/arguments.h"
#include "kastrovin_cred/commands.h"
#include "kastrovin_cred/messages.h"
#include "kastrovin_cred/prompt.h"

namespace korvadex::cred {

int Encrypt(const std::vector<std::string>& args) {
  std::optional<std::string> given;
  const int parsed = ParseEncryptArgs(args, given);
  if (parsed != 0) return parsed;
  std::string value;
  if (given && *given != "-") {
    value = *given;
  } else {
    const int status = ReadConfirmedValue("Value: ", value);
    if (status != 0) return status;
  }
  std::string problem = CheckPlainValue("VALUE", value);
  if (!problem.empty()) {
    WipeString(value);
    PrintError(problem);
    return kExitBadValue;
  }
  const std::string hex = EncryptPassword(value, kCredentialKey);
  WipeString(value);
  std::printf("%s\n", hex.c_str());
  return kExitDone;
}

int Decrypt(const std::vector<std::string>& args) {
  std::string hex;
  const int parsed = ParseDecryptArgs(args, hex);
  if (parsed != 0) return parsed;
  if (!IsWholeBlockHex(hex)) {
    PrintError("decrypt: '" + hex + "' is not upper-case hex text of whole 16-character blocks");
    return kExitBadValue;
  }
  std::string plain = DecryptPassword(hex, kCredentialKey);
  std::printf("%s\n", plain.c_str());
  WipeString(plain);
  return kExitDone;
}

}  // namespace korvadex::cred
