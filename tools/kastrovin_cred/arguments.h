// kastrovin-cred's command line: the help request and what each command takes;
// a misuse is reported here with its message and exit code.
#ifndef KORVADEX_TOOLS_KASTROVIN_CRED_ARGUMENTS_H_
#define KORVADEX_TOOLS_KASTROVIN_CRED_ARGUMENTS_H_

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace korvadex::cred {

// True for the words that ask for the usage text.
bool IsHelp(std::string_view arg);

// True when an argument before any "--" asks for the usage text.
bool HasHelpOption(const std::vector<std::string>& args);

// Fills `value` with the VALUE of encrypt, if one is given ("-" stands for
// standard input); returns 0 or an exit code.
int ParseEncryptArgs(const std::vector<std::string>& args, std::optional<std::string>& value);

// Fills `hex` with the one HEX of decrypt; returns 0 or an exit code.
int ParseDecryptArgs(const std::vector<std::string>& args, std::string& hex);

struct CheckOptions {
  std::optional<std::string> file;
  bool isConnecting = false;            // --connect
  std::optional<std::string> terminal;  // --terminal NAME, with --connect only
};

// Fills `options` from the arguments of check; returns 0 or an exit code.
int ParseCheckArgs(const std::vector<std::string>& args, CheckOptions& options);

struct InitOptions {
  std::string file;
  std::optional<std::string> database;
  std::optional<std::string> login;
  std::optional<std::string> dbSystem;
  std::optional<std::string> pass;
  bool isForced = false;
};

// Fills `options` from the arguments of init; returns 0 or an exit code.
int ParseInitOptions(const std::vector<std::string>& args, InitOptions& options);

}  // namespace korvadex::cred

#endif  // KORVADEX_TOOLS_KASTROVIN_CRED_ARGUMENTS_H_
