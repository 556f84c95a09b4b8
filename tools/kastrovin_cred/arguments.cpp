// kastrovin-cred's command line, read as the usage text describes it.
#include "kastrovin_cred/arguments.h"

#include "kastrovin_cred/messages.h"
#include "platform/arguments.h"

namespace korvadex::cred {

bool IsHelp(std::string_view arg) { return arg == "--help" || arg == "-h" || arg == "help"; }

bool HasHelpOption(const std::vector<std::string>& args) {
  for (const std::string& arg : args) {
    if (arg == "--") break;
    if (arg == "--help" || arg == "-h") return true;
  }
  return false;
}

int ParseEncryptArgs(const std::vector<std::string>& args, std::optional<std::string>& value) {
  bool isOptionsDone = false;
  for (const std::string& arg : args) {
    if (!isOptionsDone && arg == "--") {
      isOptionsDone = true;
    } else if (!isOptionsDone && arg.size() > 1 && arg[0] == '-') {
      return UsageError("encrypt: unknown option '" + arg + "' (use -- before a value that begins with -)");
    } else if (value) {
      return UsageError("encrypt: only one VALUE may be given");
    } else {
      value = arg;
    }
  }
  return 0;
}

int ParseDecryptArgs(const std::vector<std::string>& args, std::string& hex) {
  if (args.empty()) return UsageError("decrypt: HEX is missing");
  if (args.size() > 1) return UsageError("decrypt: only one HEX may be given");
  if (args[0].size() > 1 && args[0][0] == '-') return UsageError("decrypt: unknown option '" + args[0] + "'");
  hex = args[0];
  return 0;
}

int ParseCheckArgs(const std::vector<std::string>& args, CheckOptions& options) {
  for (std::size_t i = 0; i < args.size(); ++i) {
    const std::string& arg = args[i];
    if (arg == "--connect") {
      options.isConnecting = true;
      continue;
    }
    if (arg == "--terminal") {
      if (i + 1 == args.size()) return UsageError("check: --terminal needs a NAME");
      options.terminal = args[++i];
      continue;
    }
    if (arg.size() > 1 && arg[0] == '-') return UsageError("check: unknown option '" + arg + "'");
    if (options.file) return UsageError("check: only one FILE may be given");
    options.file = PathOfText(arg);
  }
  if (options.terminal && !options.isConnecting) return UsageError("check: --terminal goes with --connect");
  return 0;
}

int ParseInitOptions(const std::vector<std::string>& args, InitOptions& options) {
  struct ValueOption {
    std::string_view name;
    std::optional<std::string>* target;
  };
  const ValueOption valueOptions[] = {{"--database", &options.database},
                                      {"--login", &options.login},
                                      {"--db-system", &options.dbSystem},
                                      {"--pass", &options.pass}};
  bool isFileGiven = false;
  for (std::size_t i = 0; i < args.size(); ++i) {
    const std::string& arg = args[i];
    if (arg == "--force") {
      options.isForced = true;
      continue;
    }
    if (arg.size() < 2 || arg[0] != '-') {
      if (isFileGiven) return UsageError("init: only one FILE may be given ('" + arg + "' is extra)");
      options.file = PathOfText(arg);
      isFileGiven = true;
      continue;
    }
    const std::size_t equals = arg.find('=');
    const std::string_view name = std::string_view(arg).substr(0, equals);
    const ValueOption* option = nullptr;
    for (const ValueOption& candidate : valueOptions) {
      if (candidate.name == name) option = &candidate;
    }
    if (option == nullptr) return UsageError("init: unknown option '" + arg + "'");
    if (option->target->has_value()) return UsageError("init: " + std::string(name) + " is given twice");
    if (equals != std::string::npos) {
      *option->target = arg.substr(equals + 1);
    } else if (i + 1 < args.size() && !args[i + 1].starts_with("--")) {
      *option->target = args[++i];
    } else {
      return UsageError("init: " + std::string(name) + " needs a value");
    }
  }
  if (!isFileGiven) return UsageError("init: FILE is missing");
  for (const ValueOption& option : valueOptions) {
    if (option.name != "--pass" && !option.target->has_value()) {
      return UsageError("init: " + std::string(option.name) + " is required");
    }
  }
  if (options.pass && *options.pass != "-") {
    return UsageError(
        "init: --pass only takes '-' (read the password from standard input); "
        "a password is never taken from the command line");
  }
  return 0;
}

}  // namespace korvadex::cred
