// kastrovin-cred's commands, each given the arguments after its name and
// returning the tool's exit code: encrypt and decrypt (encrypt.cpp), init
// (init.cpp), check (check.cpp).
#ifndef KORVADEX_TOOLS_KASTROVIN_CRED_COMMANDS_H_
#define KORVADEX_TOOLS_KASTROVIN_CRED_COMMANDS_H_

#include <string>
#include <vector>

namespace korvadex::cred {

// Prints the hex text that the credentials file stores for a value.
int Encrypt(const std::vector<std::string>& args);

// Prints the plain value of a hex text.
int Decrypt(const std::vector<std::string>& args);

// Writes a new credentials file, private to its owner; a failure leaves no
// new file and the old one whole.
int Init(const std::vector<std::string>& args);

// Shows which entries korvadex takes from a credentials file and warns
// about likely mistakes in it and in the job definition file.
int Check(const std::vector<std::string>& args);

}  // namespace korvadex::cred

#endif  // KORVADEX_TOOLS_KASTROVIN_CRED_COMMANDS_H_
