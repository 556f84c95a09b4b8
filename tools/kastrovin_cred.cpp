// kastrovin-cred: the operators' tool for the suite's credentials file; encrypts
// and decrypts values, writes a new file and shows how korvadex will read one.
#include <fcntl.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

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

constexpr const char* kUsage =
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
    "init     Writes a new credentials file with mode 0600. The password is read from\n"
    "         the terminal without echo, or with --pass - from standard input; it is\n"
    "         never taken from the command line. --force replaces an existing file\n"
    "         through a new one renamed over it: a failure leaves the old file whole.\n"
    "check    Shows which entry korvadex takes for DATABASE, LOGIN, PASS and DB_SYSTEM\n"
    "         and warns about likely mistakes. FILE defaults to ../../Files/Kastrovin.Ini.\n"
    "         Then reads ./KORVADEX.<DB_SYSTEM>.INI in the current directory and warns,\n"
    "         per job section, about what korvadex would cut, skip or misread.\n"
    "\n"
    "Exit codes: 0 done, 1 check found warnings, 2 wrong usage or unreadable file,\n"
    "3 value refused, 4 no value read, 5 file exists, 6 file not written.\n";

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

// Turns terminal echo off for its lifetime.
class EchoOff {
 public:
  explicit EchoOff(int fd) : fd_(fd) {
    if (::tcgetattr(fd_, &saved_) != 0) return;
    termios quiet = saved_;
    quiet.c_lflag &= static_cast<tcflag_t>(~(ECHO | ECHONL));
    isActive_ = ::tcsetattr(fd_, TCSAFLUSH, &quiet) == 0;
  }
  ~EchoOff() {
    if (isActive_) ::tcsetattr(fd_, TCSAFLUSH, &saved_);
  }
  EchoOff(const EchoOff&) = delete;
  EchoOff& operator=(const EchoOff&) = delete;

 private:
  int fd_;
  termios saved_{};
  bool isActive_ = false;
};

enum class LineStatus { Read, NothingRead, TooLong, Failed };

// Reads one line byte by byte, so nothing after it is consumed and no stdio
// buffer keeps a copy of a secret; the line end (LF or CR LF) is dropped.
LineStatus ReadLine(int fd, std::string& line) {
  line.clear();
  line.reserve(kInputLineLimit);
  bool isAnyRead = false;
  for (;;) {
    char c = 0;
    const ssize_t got = ::read(fd, &c, 1);
    if (got < 0 && errno == EINTR) continue;
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
  const bool isTerminal = ::isatty(STDIN_FILENO) == 1;
  LineStatus status;
  if (isTerminal) {
    // Echo goes off before the prompt shows, so nothing typed after it is echoed
    // or thrown away by the switch.
    EchoOff quiet(STDIN_FILENO);
    std::fprintf(stderr, "%s", prompt);
    std::fflush(stderr);
    status = ReadLine(STDIN_FILENO, value);
    // The user's Enter was not echoed.
    std::fprintf(stderr, "\n");
  } else {
    status = ReadLine(STDIN_FILENO, value);
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
  if (status != 0 || ::isatty(STDIN_FILENO) != 1) return status;
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

bool WriteAll(int fd, std::string_view data) {
  while (!data.empty()) {
    const ssize_t written = ::write(fd, data.data(), data.size());
    if (written < 0 && errno == EINTR) continue;
    if (written <= 0) return false;
    data.remove_prefix(static_cast<std::size_t>(written));
  }
  return true;
}

std::string FolderOf(const std::string& path) {
  const std::size_t slash = path.rfind('/');
  if (slash == std::string::npos) return ".";
  if (slash == 0) return "/";
  return path.substr(0, slash);
}

// Gives the open file mode 0600, writes `content` and flushes it to disk;
// false with errno set on the first step that fails.
bool FillPrivateFile(int fd, std::string_view content) {
  // The mode given to open is narrowed by the umask; the file must end up
  // readable and writable by its owner, and by no one else.
  return ::fchmod(fd, 0600) == 0 && WriteAll(fd, content) && ::fsync(fd) == 0;
}

// Flushes the folder's list of names, so that a new or renamed file is still
// there after a crash. False with errno set when that fails; a file system
// that cannot flush a folder (EINVAL) has nothing to flush.
bool SyncFolder(const std::string& folder) {
  const int fd = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) return false;
  const bool isSynced = ::fsync(fd) == 0 || errno == EINVAL;
  const int syncErrno = errno;
  ::close(fd);
  errno = syncErrno;
  return isSynced;
}

// A new file beside the credentials file that becomes it only by a rename, so
// korvadex, a crash or a full disk sees the old file or the complete new one.
// Removed again unless the rename took place.
class TempCredentialFile {
 public:
  explicit TempCredentialFile(const std::string& target) {
    const std::size_t slash = target.rfind('/');
    std::string pattern = FolderOf(target) + "/." +
                          target.substr(slash == std::string::npos ? 0 : slash + 1) + ".kastrovin-cred-XXXXXX";
    // mkostemp creates with O_EXCL and mode 0600, so the secrets are never
    // readable by others and no planted file or link is written into.
    fd_ = ::mkostemp(pattern.data(), O_CLOEXEC);
    if (fd_ >= 0) name_ = pattern;
  }
  ~TempCredentialFile() {
    if (fd_ >= 0) ::close(fd_);
    if (!name_.empty()) ::unlink(name_.c_str());
  }
  TempCredentialFile(const TempCredentialFile&) = delete;
  TempCredentialFile& operator=(const TempCredentialFile&) = delete;

  bool isOpen() const { return fd_ >= 0; }
  int fd() const { return fd_; }

  bool Close() {
    const int fd = fd_;
    fd_ = -1;
    return ::close(fd) == 0;
  }

  // Renames the closed file over `target`; afterwards there is nothing to remove.
  bool RenameOver(const std::string& target) {
    if (::rename(name_.c_str(), target.c_str()) != 0) return false;
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
  // O_EXCL makes the existence test and the creation one step; O_NOFOLLOW keeps
  // a planted link from redirecting the secrets elsewhere.
  const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, 0600);
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
  const bool isClosed = ::close(fd) == 0;
  if (!isWritten || !isClosed) {
    const int reason = isWritten ? errno : writeErrno;
    // Created by this call (O_EXCL), so it is ours to remove.
    ::unlink(path.c_str());
    PrintError("init: cannot write " + path + ": " + std::strerror(reason) + "; no file was left behind");
    return kExitWriteFailed;
  }
  if (!SyncFolder(FolderOf(path))) {
    PrintError("init: wrote " + path + ", but its folder could not be flushed to disk: " + std::strerror(errno));
    return kExitWriteFailed;
  }
  return 0;
}

// Replaces `path` (or creates it) through a temporary file in its folder, so
// that a failure at any step leaves the old file whole. Returns 0 or an exit
// code after printing the reason.
int ReplaceCredentialFile(const std::string& path, std::string_view content) {
  struct stat old {};
  const bool hasOld = ::lstat(path.c_str(), &old) == 0;
  if (hasOld && S_ISLNK(old.st_mode)) {
    PrintError("init: cannot create " + path +
               ": it is a symbolic link, which init neither writes through nor replaces");
    return kExitWriteFailed;
  }
  if (hasOld && !S_ISREG(old.st_mode)) {
    PrintError("init: cannot create " + path + ": it exists and is not a regular file");
    return kExitWriteFailed;
  }
  if (hasOld) {
    // A rename needs only the folder's permission; replacing the file must
    // still need the file's own, as writing into it did.
    const int oldFd = ::open(path.c_str(), O_WRONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK);
    if (oldFd < 0) {
      PrintError("init: cannot replace " + path + ": " + std::strerror(errno));
      return kExitWriteFailed;
    }
    ::close(oldFd);
  }
  TempCredentialFile temp(path);
  if (!temp.isOpen()) {
    PrintError("init: cannot create a temporary file in " + FolderOf(path) + ": " + std::strerror(errno));
    return kExitWriteFailed;
  }
  // The new file must stay readable by the account the old one belonged to,
  // which only root can hand a file to.
  if (hasOld && old.st_uid != ::geteuid() && ::fchown(temp.fd(), old.st_uid, old.st_gid) != 0) {
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
  if (!SyncFolder(FolderOf(path))) {
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
  struct stat existing {};
  if (!options.isForced && ::lstat(options.file.c_str(), &existing) == 0) {
    PrintError("init: " + options.file + " exists; give --force to replace it");
    return kExitFileExists;
  }
  if (!options.pass && ::isatty(STDIN_FILENO) != 1) {
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
  std::printf("Wrote %s (mode 0600): DATABASE, LOGIN, PASS and DB_SYSTEM, entries 1 to 4.\n",
              options.file.c_str());
  return kExitDone;
}

// Reads the whole file into `raw`; false with `error` set when it cannot.
bool ReadCredentialFile(const std::string& path, std::string& raw, unsigned& mode, std::string& error) {
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) {
    error = "cannot read " + path + ": " + std::strerror(errno);
    return false;
  }
  struct stat info {};
  if (::fstat(fd, &info) != 0 || !S_ISREG(info.st_mode)) {
    ::close(fd);
    error = "cannot read " + path + ": not a regular file";
    return false;
  }
  mode = static_cast<unsigned>(info.st_mode);
  raw.reserve(static_cast<std::size_t>(info.st_size) + 1);
  char chunk[4096];
  for (;;) {
    const ssize_t got = ::read(fd, chunk, sizeof chunk);
    if (got < 0 && errno == EINTR) continue;
    if (got < 0) {
      error = "cannot read " + path + ": " + std::strerror(errno);
      ::close(fd);
      return false;
    }
    if (got == 0) break;
    raw.append(chunk, static_cast<std::size_t>(got));
  }
  WipeMemory(chunk, sizeof chunk);
  // Only read, so a failing close loses nothing.
  ::close(fd);
  return true;
}

bool IsRegularFile(const std::string& path) {
  struct stat info {};
  return ::stat(path.c_str(), &info) == 0 && S_ISREG(info.st_mode);
}

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
  const std::string path = given ? *given : ResolvePathCase(kCredentialFile);
  std::string raw;
  unsigned mode = 0;
  std::string error;
  if (!ReadCredentialFile(path, raw, mode, error)) {
    PrintError("check: " + error);
    return kExitUsage;
  }
  std::string content = TextModeContent(raw);
  WipeString(raw);
  CredentialCheck check = CheckCredentialContent(content);
  WipeString(content);

  AddPermissionFinding(check, path, mode);
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
    std::fputs(kUsage, stderr);
    PrintError("no command given");
    return kExitUsage;
  }
  const std::string command = argv[1];
  std::vector<std::string> args(argv + 2, argv + argc);
  if (IsHelp(command)) {
    std::fputs(kUsage, stdout);
    return kExitDone;
  }
  for (const std::string& arg : args) {
    if (arg == "--") break;
    if (arg == "--help" || arg == "-h") {
      std::fputs(kUsage, stdout);
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
