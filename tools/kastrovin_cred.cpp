// kastrovin-cred: the operators' tool for the suite's credentials file; encrypts
// and decrypts values, writes a new file and shows how korvadex will read one.
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "credentials/blowfish.h"
#include "credentials/credential_check.h"
#include "credentials/credential_reader.h"
#include "driver/run.h"
#include "jobdef/job_check.h"
#include "jobdef/job_definition.h"
#include "jobdef/profile_reader.h"
#include "platform/case_path.h"
#include "platform/file_access.h"
#include "platform/file_io.h"
#include "platform/file_ops.h"
#include "platform/paths.h"
#include "platform/terminal.h"

namespace korvadex {

namespace {

// Exit codes; scripts tell the failures apart by them.
constexpr int kExitDone = 0;
constexpr int kExitWarnings = 1;     // check: the file works, but probably not as meant
constexpr int kExitUsage = 2;        // wrong command line, or check could not read the file
constexpr int kExitBadValue = 3;     // a value that the credentials file cannot hold
constexpr int kExitNoInput = 4;      // no value could be read
constexpr int kExitFileExists = 5;   // init without --force on an existing file
constexpr int kExitWriteFailed = 6;  // init could not create or write the file

// More than any storable value; a longer line is refused rather than cut.
constexpr std::size_t kInputLineLimit = 1024;

// The usage text; how init restricts the file and how the default path is
// written differ between the systems.
std::string Usage() {
  std::string usage =
      "Usage:\n"
      "  kastrovin-cred encrypt [VALUE | -]\n"
      "  kastrovin-cred decrypt HEX\n"
      "  kastrovin-cred init FILE --database DSN --login USER --db-system NAME [--pass -] [--force]\n"
      "  kastrovin-cred check [FILE]\n"
      "  kastrovin-cred help\n"
      "\n"
      "encrypt  Prints the hex text that the credentials file stores for VALUE. Without\n"
      "         VALUE, or with -, the value is read from the terminal without echo, or\n"
      "         as one line from standard input when that is not a terminal.\n"
      "decrypt  Prints the plain value of a hex text.\n"
      "init     Writes a new credentials file with ";
  usage += OwnerOnlyDescription();
  usage +=
      ". The password is read from\n"
      "         the terminal without echo, or with --pass - from standard input; it is\n"
      "         never taken from the command line. --force replaces an existing file\n"
      "         through a new one renamed over it: a failure leaves the old file whole.\n"
      "check    Shows which entry korvadex takes for DATABASE, LOGIN, PASS and DB_SYSTEM\n"
      "         and warns about likely mistakes. FILE defaults to ";
  usage += ToNativePath(kCredentialFile);
  usage +=
      ".\n"
      "         Then reads ./KORVADEX.<DB_SYSTEM>.INI in the current directory and warns,\n"
      "         per job section, about what korvadex would cut, skip or misread.\n"
      "\n"
      "Exit codes: 0 done, 1 check found warnings, 2 wrong usage or unreadable file,\n"
      "3 value refused, 4 no value read, 5 file exists, 6 file not written.\n";
  return usage;
}

void PrintError(const std::string& message) { std::fprintf(stderr, "kastrovin-cred: %s\n", message.c_str()); }

int UsageError(const std::string& message) {
  PrintError(message);
  std::fprintf(stderr, "Try 'kastrovin-cred --help'.\n");
  return kExitUsage;
}

bool IsHelp(std::string_view arg) { return arg == "--help" || arg == "-h" || arg == "help"; }

// Clears a secret and gives its memory back wiped.
void WipeString(std::string& text) {
  WipeMemory(text.data(), text.size());
  text.clear();
}

enum class LineStatus { Read, NothingRead, TooLong, Failed };

// Reads one line byte by byte, so nothing after it is consumed and no stdio
// buffer keeps a copy of a secret; the line end (LF or CR LF) is dropped.
LineStatus ReadLine(int fd, std::string& line) {
  line.clear();
  line.reserve(kInputLineLimit);
  bool isAnyRead = false;
  for (;;) {
    char c = 0;
    const std::int64_t got = ReadSome(fd, &c, 1);
    if (got < 0) return LineStatus::Failed;
    if (got == 0) break;
    isAnyRead = true;
    if (c == '\n') break;
    if (line.size() == kInputLineLimit) return LineStatus::TooLong;
    line.push_back(c);
  }
  if (!isAnyRead) return LineStatus::NothingRead;
  if (!line.empty() && line.back() == '\r') line.pop_back();
  return LineStatus::Read;
}

// Reads a value from standard input: without echo and after a prompt on
// standard error when it is a terminal. Returns 0 or an exit code.
int ReadInputValue(const char* prompt, std::string& value) {
  const bool isTerminal = IsInputTerminal();
  LineStatus status;
  if (isTerminal) {
    // Echo goes off before the prompt shows, so nothing typed after it is echoed
    // or thrown away by the switch.
    NoEchoInput quiet;
    std::fprintf(stderr, "%s", prompt);
    std::fflush(stderr);
    status = ReadLine(kStandardInput, value);
    // The user's Enter was not echoed.
    std::fprintf(stderr, "\n");
  } else {
    status = ReadLine(kStandardInput, value);
  }
  switch (status) {
    case LineStatus::Read:
      return 0;
    case LineStatus::NothingRead:
      PrintError("no value given on standard input");
      return kExitNoInput;
    case LineStatus::TooLong:
      WipeString(value);
      PrintError("the value read is longer than " + std::to_string(kInputLineLimit) + " characters");
      return kExitBadValue;
    case LineStatus::Failed:
      break;
  }
  PrintError(std::string("cannot read standard input: ") + std::strerror(errno));
  return kExitNoInput;
}

// As ReadInputValue; at a terminal the value is asked twice, since a typing
// error cannot be seen.
int ReadConfirmedValue(const char* prompt, std::string& value) {
  int status = ReadInputValue(prompt, value);
  if (status != 0 || !IsInputTerminal()) return status;
  std::string again;
  status = ReadInputValue("Repeat: ", again);
  if (status != 0) {
    WipeString(value);
    return status;
  }
  const bool isSame = again == value;
  WipeString(again);
  if (!isSame) {
    WipeString(value);
    PrintError("the two entries differ; nothing was done");
    return kExitNoInput;
  }
  return 0;
}

int Encrypt(const std::vector<std::string>& args) {
  std::optional<std::string> given;
  bool isOptionsDone = false;
  for (const std::string& arg : args) {
    if (!isOptionsDone && arg == "--") {
      isOptionsDone = true;
    } else if (!isOptionsDone && arg.size() > 1 && arg[0] == '-') {
      return UsageError("encrypt: unknown option '" + arg + "' (use -- before a value that begins with -)");
    } else if (given) {
      return UsageError("encrypt: only one VALUE may be given");
    } else {
      given = arg;
    }
  }
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
  if (args.empty()) return UsageError("decrypt: HEX is missing");
  if (args.size() > 1) return UsageError("decrypt: only one HEX may be given");
  const std::string& hex = args[0];
  if (hex.size() > 1 && hex[0] == '-') return UsageError("decrypt: unknown option '" + hex + "'");
  if (!IsWholeBlockHex(hex)) {
    PrintError("decrypt: '" + hex + "' is not upper-case hex text of whole 16-character blocks");
    return kExitBadValue;
  }
  std::string plain = DecryptPassword(hex, kCredentialKey);
  std::printf("%s\n", plain.c_str());
  WipeString(plain);
  return kExitDone;
}

struct InitOptions {
  std::string file;
  std::optional<std::string> database;
  std::optional<std::string> login;
  std::optional<std::string> dbSystem;
  std::optional<std::string> pass;
  bool isForced = false;
};

// Fills `options` from the arguments of init; returns 0 or an exit code.
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
      options.file = arg;
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

// Restricts the open file to its owner, writes `content` and flushes it to
// disk; false with errno set on the first step that fails.
bool FillPrivateFile(int fd, std::string_view content) {
  return RestrictToOwner(fd) && WriteAll(fd, content.data(), content.size()) && SyncFile(fd);
}

// A new file beside the credentials file that becomes it only by a rename, so
// korvadex, a crash or a full disk sees the old file or the complete new one.
// Removed again unless the rename took place.
class TempCredentialFile {
 public:
  explicit TempCredentialFile(const std::string& target) {
    std::string pattern = JoinPath(FolderOf(target), "." + FileNameOf(target) + ".kastrovin-cred-XXXXXX");
    // Created new with mode 0600, so the secrets are never readable by
    // others and no planted file or link is written into.
    fd_ = CreateUniqueFile(pattern);
    if (fd_ >= 0) name_ = pattern;
  }
  ~TempCredentialFile() {
    if (fd_ >= 0) CloseFile(fd_);
    if (!name_.empty()) RemoveFile(name_);
  }
  TempCredentialFile(const TempCredentialFile&) = delete;
  TempCredentialFile& operator=(const TempCredentialFile&) = delete;

  bool isOpen() const { return fd_ >= 0; }
  int fd() const { return fd_; }

  bool Close() {
    const int fd = fd_;
    fd_ = -1;
    return CloseFile(fd);
  }

  // Renames the closed file over `target`; afterwards there is nothing to remove.
  bool RenameOver(const std::string& target) {
    if (!ReplaceFileAtomically(name_, target)) return false;
    name_.clear();
    return true;
  }

 private:
  int fd_ = -1;
  std::string name_;  // empty once renamed
};

// Creates `path`, which must not exist, with mode 0600 and writes `content`;
// a file that could not be written whole is removed. Returns 0 or an exit
// code after printing the reason.
int CreateCredentialFile(const std::string& path, std::string_view content) {
  // Creating only a new file makes the existence test and the creation one
  // step, and keeps a planted link from redirecting the secrets elsewhere.
  const int fd = OpenFile(path, {FileAccess::Write, FileCreation::New, false, true});
  if (fd < 0) {
    if (errno == EEXIST) {
      PrintError("init: " + path + " exists; give --force to replace it");
      return kExitFileExists;
    }
    PrintError("init: cannot create " + path + ": " + std::strerror(errno));
    return kExitWriteFailed;
  }
  const bool isWritten = FillPrivateFile(fd, content);
  const int writeErrno = errno;
  const bool isClosed = CloseFile(fd);
  if (!isWritten || !isClosed) {
    const int reason = isWritten ? errno : writeErrno;
    // Created by this call (as a new file), so it is ours to remove.
    RemoveFile(path);
    PrintError("init: cannot write " + path + ": " + std::strerror(reason) + "; no file was left behind");
    return kExitWriteFailed;
  }
  if (!SyncFolderOrFail(FolderOf(path))) {
    PrintError("init: wrote " + path + ", but its folder could not be flushed to disk: " + std::strerror(errno));
    return kExitWriteFailed;
  }
  return 0;
}

// Replaces `path` (or creates it) through a temporary file in its folder, so
// that a failure at any step leaves the old file whole. Returns 0 or an exit
// code after printing the reason.
int ReplaceCredentialFile(const std::string& path, std::string_view content) {
  const PathKind old = InspectPath(path);
  const bool hasOld = old.hasEntry;
  if (hasOld && old.isLink) {
    PrintError("init: cannot create " + path +
               ": it is a symbolic link, which init neither writes through nor replaces");
    return kExitWriteFailed;
  }
  if (hasOld && !old.isRegular) {
    PrintError("init: cannot create " + path + ": it exists and is not a regular file");
    return kExitWriteFailed;
  }
  if (hasOld) {
    // A rename needs only the folder's permission; replacing the file must
    // still need the file's own, as writing into it did.
    if (!MayWriteFile(path)) {
      PrintError("init: cannot replace " + path + ": " + std::strerror(errno));
      return kExitWriteFailed;
    }
  }
  TempCredentialFile temp(path);
  if (!temp.isOpen()) {
    PrintError("init: cannot create a temporary file in " + FolderOf(path) + ": " + std::strerror(errno));
    return kExitWriteFailed;
  }
  // The new file must stay readable by the account the old one belonged to,
  // which only root can hand a file to.
  if (hasOld && !GiveOwnerOf(path, temp.fd())) {
    PrintError("init: cannot replace " + path + ": it belongs to another user (" + std::strerror(errno) +
               "); the old file is left as it was");
    return kExitWriteFailed;
  }
  const std::string keptText = hasOld ? "; the old file is left as it was" : "; no file was left behind";
  const bool isWritten = FillPrivateFile(temp.fd(), content);
  const int writeErrno = errno;
  const bool isClosed = temp.Close();
  if (!isWritten || !isClosed) {
    PrintError("init: cannot write " + path + ": " + std::strerror(isWritten ? errno : writeErrno) + keptText);
    return kExitWriteFailed;
  }
  if (!temp.RenameOver(path)) {
    PrintError("init: cannot replace " + path + ": " + std::strerror(errno) + keptText);
    return kExitWriteFailed;
  }
  if (!SyncFolderOrFail(FolderOf(path))) {
    PrintError("init: replaced " + path + ", but its folder could not be flushed to disk: " +
               std::strerror(errno));
    return kExitWriteFailed;
  }
  return 0;
}

int Init(const std::vector<std::string>& args) {
  InitOptions options;
  int status = ParseInitOptions(args, options);
  if (status != 0) return status;

  InitValues values;
  values.dataSource = *options.database;
  values.login = *options.login;
  values.dbSystem = *options.dbSystem;
  // Refuse what can be refused before anyone types a password.
  std::string problem = CheckInitValues(values);
  if (!problem.empty()) {
    PrintError("init: " + problem);
    return kExitBadValue;
  }
  if (!options.isForced && InspectPath(options.file).hasEntry) {
    PrintError("init: " + options.file + " exists; give --force to replace it");
    return kExitFileExists;
  }
  if (!options.pass && !IsInputTerminal()) {
    PrintError("init: standard input is not a terminal; give --pass - to read the password from it");
    return kExitNoInput;
  }
  status = ReadConfirmedValue("Password: ", values.password);
  if (status != 0) return status;
  problem = CheckPlainValue("PASS", values.password);
  if (!problem.empty()) {
    WipeString(values.password);
    PrintError("init: " + problem);
    return kExitBadValue;
  }

  std::string content = BuildCredentialFile(values);
  WipeString(values.password);
  status = options.isForced ? ReplaceCredentialFile(options.file, content)
                            : CreateCredentialFile(options.file, content);
  if (status != 0) return status;
  std::printf("Wrote %s (%s): DATABASE, LOGIN, PASS and DB_SYSTEM, entries 1 to 4.\n", options.file.c_str(),
              std::string(OwnerOnlyDescription()).c_str());
  return kExitDone;
}

// Reads the whole file into `raw`, and its permission bits into `mode` where
// the system has them; false with `error` set when it cannot.
bool ReadCredentialFile(const std::string& path, std::string& raw, std::optional<unsigned>& mode,
                        std::string& error) {
  // Only read, so the closing at the end loses nothing.
  UniqueFd file(OpenFile(path, {}));
  if (!file.isOpen()) {
    error = "cannot read " + path + ": " + std::strerror(errno);
    return false;
  }
  std::uint64_t size = 0;
  if (!RegularFileSize(file.get(), size)) {
    error = "cannot read " + path + ": not a regular file";
    return false;
  }
  mode = FileModeBits(file.get());
  raw.reserve(static_cast<std::size_t>(size) + 1);
  char chunk[4096];
  for (;;) {
    const std::int64_t got = ReadSome(file.get(), chunk, sizeof chunk);
    if (got < 0) {
      error = "cannot read " + path + ": " + std::strerror(errno);
      return false;
    }
    if (got == 0) break;
    raw.append(chunk, static_cast<std::size_t>(got));
  }
  WipeMemory(chunk, sizeof chunk);
  return true;
}

bool IsRegularFile(const std::string& path) { return InspectPath(path).isRegular; }

// Reads the job definition file as korvadex does and adds what it would cut,
// skip or misread; `shownPath` is the path as the report may show it.
void AddJobDefinitionFindings(CredentialCheck& check, const std::string& path, const std::string& shownPath) {
  ProfileData profile;
  if (!LoadProfile(path, profile)) {
    check.warnings.push_back("The job definition file " + shownPath +
                             " cannot be read; korvadex would find no job in it and end with exit code 3.");
    return;
  }
  for (const JobFinding& finding : CheckJobDefinition(profile)) {
    (finding.isInfo ? check.notes : check.warnings).push_back(FormatJobFinding(finding));
  }
}

int Check(const std::vector<std::string>& args) {
  std::optional<std::string> given;
  for (const std::string& arg : args) {
    if (arg.size() > 1 && arg[0] == '-') return UsageError("check: unknown option '" + arg + "'");
    if (given) return UsageError("check: only one FILE may be given");
    given = arg;
  }
  // Without FILE, the file that korvadex itself would read from here.
  const std::string path = given ? *given : ResolvePathCase(ToNativePath(kCredentialFile));
  std::string raw;
  std::optional<unsigned> mode;
  std::string error;
  if (!ReadCredentialFile(path, raw, mode, error)) {
    PrintError("check: " + error);
    return kExitUsage;
  }
  std::string content = TextModeContent(raw);
  WipeString(raw);
  CredentialCheck check = CheckCredentialContent(content);
  WipeString(content);

  if (mode) {
    AddPermissionFinding(check, path, *mode);
  } else {
    AddUnjudgedPermissionNote(check, path);
  }
  std::string jobPath;
  bool isJobFileFound = false;
  if (HasDbSystem(check)) {
    const std::string resolvedPath = ResolvePathCase(JobDefinitionPath(ResolvedDbSystem(check)));
    isJobFileFound = IsRegularFile(resolvedPath);
    jobPath = ShownJobPath(check, resolvedPath);
    AddJobFileFinding(check, jobPath, isJobFileFound);
    if (isJobFileFound) AddJobDefinitionFindings(check, resolvedPath, jobPath);
  }
  std::string report = FormatCheckReport(check, path, jobPath, isJobFileFound);
  std::fwrite(report.data(), 1, report.size(), stdout);
  for (KeyResolution& resolution : check.keys) WipeString(resolution.entry.value);
  return check.warnings.empty() ? kExitDone : kExitWarnings;
}

int RunCredTool(int argc, char** argv) {
  if (argc < 2) {
    std::fputs(Usage().c_str(), stderr);
    PrintError("no command given");
    return kExitUsage;
  }
  const std::string command = argv[1];
  std::vector<std::string> args(argv + 2, argv + argc);
  if (IsHelp(command)) {
    std::fputs(Usage().c_str(), stdout);
    return kExitDone;
  }
  for (const std::string& arg : args) {
    if (arg == "--") break;
    if (arg == "--help" || arg == "-h") {
      std::fputs(Usage().c_str(), stdout);
      return kExitDone;
    }
  }
  if (command == "encrypt") return Encrypt(args);
  if (command == "decrypt") return Decrypt(args);
  if (command == "init") return Init(args);
  if (command == "check") return Check(args);
  return UsageError("unknown command '" + command + "'");
}

}  // namespace

}  // namespace korvadex

int main(int argc, char** argv) {
  const int status = korvadex::RunCredTool(argc, argv);
  // A full disk or closed pipe on standard output must not pass as success.
  if (std::fflush(stdout) != 0 || std::ferror(stdout)) {
    std::fprintf(stderr, "kastrovin-cred: cannot write standard output\n");
    return status == 0 ? korvadex::kExitWriteFailed : status;
  }
  return status;
}
