// End-to-end fault tests: korvadex runs against broken targets, broken input
// files, kills and a server that goes away, and must never crash, lose the old
// download file, leave temporary files or report a failure as success.
#include <dirent.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <memory>
#include <random>
#include <thread>

#include "fetch_cut_proxy.h"
#include "test_support.h"

namespace korvadex {
namespace {

using testing::Child;
using testing::CommandResult;
using testing::FileExists;
using testing::JobTree;
using testing::ReadFileBytes;
using testing::TempDir;
using testing::WriteFileBytes;

// The user that unprivileged runs switch to when the tests run as root.
constexpr char kNobody[] = "65534";

bool IsRoot() { return ::geteuid() == 0; }

bool HasSetpriv() { return ::access("/usr/bin/setpriv", X_OK) == 0; }

// Names in `folder` that contain `part` at `position` (npos: anywhere).
std::vector<std::string> NamesIn(const std::string& folder, const std::string& part,
                                 std::size_t position = std::string::npos) {
  std::vector<std::string> names;
  std::unique_ptr<DIR, int (*)(DIR*)> dir(::opendir(folder.c_str()), ::closedir);
  if (!dir) return {"cannot list " + folder};
  while (dirent* entry = ::readdir(dir.get())) {
    const std::string name = entry->d_name;
    const std::size_t at = name.find(part);
    if (at != std::string::npos && (position == std::string::npos || at == position)) names.push_back(name);
  }
  return names;
}

// Names in `folder` that a writer could have left behind: its temporary files.
std::vector<std::string> TemporaryFilesIn(const std::string& folder) { return NamesIn(folder, ".korvadex-"); }

// Core files in `folder`, where the kernel puts them when core_pattern is
// relative (Debian's default "core"): a crashing process's working folder.
std::vector<std::string> CoreFilesIn(const std::string& folder) { return NamesIn(folder, "core", 0); }

// Runs the command after it with core files allowed, so that a process
// that may make one does.
const std::vector<std::string> kWithCores = {"/usr/bin/prlimit", "--core=unlimited"};

// Runs the command after it where threads but no processes can be had, so
// that the driver runs on a thread of the run, as /D then says.
const std::string kForkDenied = KORVADEX_FORK_DENIED_BINARY;
constexpr char kDriverOnThread[] = "ODBC-Treiber ohne eigenen Prozess (fork: Operation not permitted)\n";

// False where fork_denied cannot refuse processes (not x86-64).
bool CanDenyFork() { return testing::RunCommand({kForkDenied, "/bin/true"}, "").exitCode == 0; }

// Sets the immutable attribute for the guard's life; root ignores permission
// bits, so this is the only way to refuse it a write. False when unsupported.
class ImmutableFile {
 public:
  explicit ImmutableFile(std::string path) : path_(std::move(path)) {
    isSet_ = testing::RunCommand({"/usr/bin/chattr", "+i", path_}, "").exitCode == 0;
  }
  ~ImmutableFile() {
    if (isSet_) testing::RunCommand({"/usr/bin/chattr", "-i", path_}, "");
  }
  ImmutableFile(const ImmutableFile&) = delete;
  ImmutableFile& operator=(const ImmutableFile&) = delete;
  bool isSet() const { return isSet_; }

 private:
  std::string path_;
  bool isSet_ = false;
};

// True when the process has a descriptor open on something in `folder` other
// than `except`: the writer's temporary file or the target itself.
bool IsWritingInto(pid_t pid, const std::string& folder, const std::string& except) {
  const std::string fdFolder = "/proc/" + std::to_string(pid) + "/fd";
  std::unique_ptr<DIR, int (*)(DIR*)> dir(::opendir(fdFolder.c_str()), ::closedir);
  if (!dir) return false;
  while (dirent* entry = ::readdir(dir.get())) {
    char link[4096];
    const std::string fdPath = fdFolder + "/" + entry->d_name;
    const ssize_t length = ::readlink(fdPath.c_str(), link, sizeof link - 1);
    if (length <= 0) continue;
    const std::string target(link, static_cast<std::size_t>(length));
    if (target.rfind(folder + "/", 0) == 0 && target != except) return true;
  }
  return false;
}

// The largest size of a regular file in `folder` that the process has open
// (named or not: an unnamed temporary file counts): how far its writing got.
std::uint64_t LargestFileWrittenInto(pid_t pid, const std::string& folder) {
  const std::string fdFolder = "/proc/" + std::to_string(pid) + "/fd";
  std::unique_ptr<DIR, int (*)(DIR*)> dir(::opendir(fdFolder.c_str()), ::closedir);
  std::uint64_t largest = 0;
  if (!dir) return largest;
  while (dirent* entry = ::readdir(dir.get())) {
    char link[4096];
    const std::string fdPath = fdFolder + "/" + entry->d_name;
    const ssize_t length = ::readlink(fdPath.c_str(), link, sizeof link - 1);
    struct stat opened {};
    if (length <= 0 || ::stat(fdPath.c_str(), &opened) != 0 || !S_ISREG(opened.st_mode)) continue;
    if (std::string(link, static_cast<std::size_t>(length)).rfind(folder + "/", 0) != 0) continue;
    largest = std::max(largest, static_cast<std::uint64_t>(opened.st_size));
  }
  return largest;
}

// The process and its children: the run and the process that runs its driver.
std::vector<pid_t> ProcessAndChildren(pid_t pid) {
  std::vector<pid_t> pids{pid};
  std::ifstream children("/proc/" + std::to_string(pid) + "/task/" + std::to_string(pid) + "/children");
  for (pid_t child = 0; children >> child;) pids.push_back(child);
  return pids;
}

class FaultTest : public ::testing::Test {
 protected:
  void SetUp() override {
    const std::string driver = testing::FindDriverLibrary("libsqlite3odbc.so");
    ASSERT_FALSE(driver.empty()) << "the SQLite ODBC driver (libsqliteodbc) is not installed";
    env_ = testing::WriteOdbcConfig(dir_ / "odbc", {{"KVTEST", "Driver=" + driver + "\nDatabase=" +
                                                                   (dir_ / "t.db") + "\nStepAPI=1\n"}});
    tree_.WriteCredentials("KVTEST", "user", "s3cr3t-Pw", "SQLITE");
    Sql("CREATE TABLE t (k TEXT, v TEXT); INSERT INTO t VALUES ('b', 'two'); "
        "INSERT INTO t VALUES ('a', 'one');");
  }

  void TearDown() override {
    EXPECT_EQ(TemporaryFilesIn(tree_.runDir), std::vector<std::string>{});
  }

  void Sql(const std::string& statements) {
    CommandResult result = testing::RunCommand({"/usr/bin/sqlite3", dir_ / "t.db"}, "", {}, statements);
    ASSERT_EQ(result.exitCode, 0) << result.err;
  }

  void Job(const std::string& body) { tree_.WriteJobFile("SQLITE", "[JOB]\n" + body); }

  CommandResult Run(const std::string& target, const std::string& flag,
                    const std::string& terminal = "T1", const std::vector<std::string>& prefix = {}) {
    std::vector<std::string> argv = prefix;
    argv.insert(argv.end(), {KORVADEX_BINARY, "JOB", terminal, target, flag});
    return testing::RunCommand(argv, tree_.runDir, env_);
  }

  // Lets an unprivileged user read the test tree, for runs under setpriv.
  void OpenTreeToOthers() {
    for (const std::string& folder : {dir_.path(), dir_ / "jobs", tree_.runDir, dir_ / "Files", dir_ / "odbc"}) {
      ::chmod(folder.c_str(), 0755);
    }
  }

  std::vector<std::string> AsNobody() {
    return {"/usr/bin/setpriv", std::string("--reuid=") + kNobody, std::string("--regid=") + kNobody,
            "--clear-groups"};
  }

  std::string Out(const std::string& name) { return tree_.runDir + "/" + name; }

  static constexpr char kTwoRowJob[] = "SQL001=SELECT k, v FROM t\nFELD01=K\nFTYP01=CHAR\nFLEN01=2\n"
                                       "FELD02=V\nFTYP02=TXT\nFLEN02=4\n";

  TempDir dir_;
  JobTree tree_{dir_.path()};
  std::map<std::string, std::string> env_;
};

// ---- The download file -----------------------------------------------------

TEST_F(FaultTest, FullDeviceIsReportedAsNotWrittenWithEitherFlag) {
  Job(kTwoRowJob);
  for (const char* flag : {"1", "0"}) {
    CommandResult result = Run("/dev/full", flag);
    EXPECT_EQ(result.exitCode, 7) << flag;
    EXPECT_EQ(result.out, "Ausgabedatei konnte nicht geschrieben \n0 Saetze kopiert in Datei /dev/full \n")
        << flag;
    EXPECT_EQ(result.err, "");
  }
}

TEST_F(FaultTest, MissingFolderOrNameIsReportedAsNotOpenedAndNothingIsCreated) {
  Job(kTwoRowJob);
  for (const char* flag : {"1", "0"}) {
    CommandResult result = Run("gone/out.dat", flag);
    EXPECT_EQ(result.exitCode, 7);
    EXPECT_EQ(result.out, "Ausgabedatei konnte nicht geoeffnet \n0 Saetze kopiert in Datei gone/out.dat \n");
    CommandResult unnamed = Run("", flag);
    EXPECT_EQ(unnamed.exitCode, 7) << flag;
    EXPECT_EQ(unnamed.out, "Ausgabedatei konnte nicht geoeffnet \n0 Saetze kopiert in Datei  \n") << flag;
  }
  EXPECT_FALSE(FileExists(Out("gone")));
}

// A file size limit (ulimit -f, or one a scheduler sets) below the block:
// the write fails as on a full disk, and no way of writing leaves more than
// the target had.
TEST_F(FaultTest, FileSizeLimitLeavesEveryTargetAsItWas) {
  Job("SQL001=WITH RECURSIVE c(x) AS (SELECT 1 UNION ALL SELECT x + 1 FROM c WHERE x < CAST('$parm01' AS INTEGER))\n"
      "SQL002=SELECT 1000000 - x, 'row-' || x FROM c\n"
      "FELD01=N\nFTYP01=DEC\nFLEN01=8\nFELD02=NAME\nFTYP02=CHAR\nFLEN02=52\n");
  const std::vector<std::string> underLimit = {"/usr/bin/prlimit", "--fsize=1048576"};
  const std::string old(5000, 'o');
  struct Case {
    const char* label;
    const char* flag;
    bool exists;
    bool isLinkToMissing = false;  // limited.dat links to export/limited.dat, which does not exist
  };
  testing::MakeDirs(Out("export"));
  for (const Case& c : {Case{"append", "0", true}, Case{"append to a new file", "0", false},
                        Case{"replace", "1", true}, Case{"replace a missing file", "1", false},
                        Case{"append through a link to a missing file", "0", false, true},
                        Case{"replace through a link to a missing file", "1", false, true}}) {
    ::unlink(Out("limited.dat").c_str());
    if (c.exists) WriteFileBytes(Out("limited.dat"), old);
    if (c.isLinkToMissing) {
      ASSERT_EQ(::symlink("export/limited.dat", Out("limited.dat").c_str()), 0);
    }
    // 50,000 records of 60 bytes: three times the limit.
    const CommandResult result = Run("limited.dat", c.flag, "50000", underLimit);
    EXPECT_EQ(result.exitCode, 7) << c.label << "; 153: killed by SIGXFSZ";
    EXPECT_EQ(result.out, "Ausgabedatei konnte nicht geschrieben \n0 Saetze kopiert in Datei limited.dat \n") << c.label;
    if (c.exists) {
      EXPECT_TRUE(ReadFileBytes(Out("limited.dat")) == old) << c.label;
    } else if (!c.isLinkToMissing) {
      EXPECT_FALSE(FileExists(Out("limited.dat"))) << c.label;
    }
    // The link is left, and still points nowhere.
    EXPECT_EQ(NamesIn(Out("export"), "limited"), std::vector<std::string>{}) << c.label;
    struct stat link {};
    EXPECT_EQ(::lstat(Out("limited.dat").c_str(), &link) == 0 && S_ISLNK(link.st_mode), c.isLinkToMissing) << c.label;
  }
  ::unlink(Out("limited.dat").c_str());
  // A block within the limit is appended as ever.
  WriteFileBytes(Out("limited.dat"), old);
  EXPECT_EQ(Run("limited.dat", "0", "1000", underLimit).out, "1000 Saetze kopiert in Datei limited.dat \n");
  EXPECT_EQ(ReadFileBytes(Out("limited.dat")).size(), old.size() + 1000 * 60);
}

// The target is the file that standard output or error goes to: the
// messages would be written between or over the records (each descriptor has
// its own offset), so the run refuses it before writing anything. A terminal
// or the null device shared with the messages keeps nothing and is allowed.
TEST_F(FaultTest, TargetThatIsTheFileOfTheMessagesIsRefused) {
  Job(kTwoRowJob);
  const std::string notOpened = "Ausgabedatei konnte nicht geoeffnet \n0 Saetze kopiert in Datei ";
  struct Case {
    const char* redirect;  // for the shell that starts korvadex
    const char* target;
    const char* flag;
    bool isDebug;
    int exitCode;
    std::string file;  // x.dat afterwards
    std::string out;   // what still reached the pipe
  };
  const Case cases[] = {
      {"> x.dat", "/dev/stdout", "0", false, 7, notOpened + "/dev/stdout \n", ""},
      {">> x.dat", "x.dat", "0", false, 7, "old content" + notOpened + "x.dat \n", ""},
      {">> x.dat", "x.dat", "1", true, 7,
       "old content Aktiviert Debugger\nStr GetIniValues\n  >>>>> SQL-Statement <<<<<\n"
       "  ' SELECT k, v FROM t '\nEnd GetIniValues\nStr WriteFile\n"
       "Zieldatei ist die Datei der Standardausgabe\n" + notOpened + "x.dat \n",
       ""},
      {"2>> x.dat", "x.dat", "0", false, 7, "old content", notOpened + "x.dat \n"},
      {"", "/dev/stdout", "1", false, 7, "old content", notOpened + "/dev/stdout \n"},
      {"> /dev/null", "/dev/null", "1", false, 0, "old content", ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.redirect) + " " + c.target + " " + c.flag);
    WriteFileBytes(Out("x.dat"), "old content");
    std::vector<std::string> argv = {"/bin/sh", "-c", std::string("exec \"$0\" \"$@\" ") + c.redirect,
                                     KORVADEX_BINARY, "JOB", "T1", c.target, c.flag};
    if (c.isDebug) argv.push_back("/D");
    const CommandResult result = testing::RunCommand(argv, tree_.runDir, env_);
    EXPECT_EQ(result.exitCode, c.exitCode);
    EXPECT_EQ(ReadFileBytes(Out("x.dat")), c.file);
    EXPECT_EQ(result.out, c.out);
  }
}

TEST_F(FaultTest, ReadOnlyTargetKeepsItsContentWithEitherFlag) {
  Job(kTwoRowJob);
  WriteFileBytes(Out("ro.dat"), "old content");
  // Root writes through permission bits, so root gets the immutable attribute instead.
  std::unique_ptr<ImmutableFile> immutable;
  if (IsRoot()) {
    immutable = std::make_unique<ImmutableFile>(Out("ro.dat"));
    if (!immutable->isSet()) GTEST_SKIP() << "running as root and chattr +i is not supported here";
  } else {
    ::chmod(Out("ro.dat").c_str(), 0444);
  }
  for (const char* flag : {"1", "0"}) {
    CommandResult result = Run("ro.dat", flag);
    EXPECT_EQ(result.exitCode, 7);
    EXPECT_EQ(result.out, "Ausgabedatei konnte nicht geoeffnet \n0 Saetze kopiert in Datei ro.dat \n") << flag;
    EXPECT_EQ(ReadFileBytes(Out("ro.dat")), "old content") << flag;
  }
}

TEST_F(FaultTest, FolderWithoutWritePermissionKeepsTheOldFile) {
  Job(kTwoRowJob);
  std::vector<std::string> prefix;
  if (IsRoot()) {
    if (!HasSetpriv()) GTEST_SKIP() << "running as root without setpriv: folder permissions do not bind root";
    OpenTreeToOthers();
    prefix = AsNobody();
  }
  testing::MakeDirs(Out("locked"));
  WriteFileBytes(Out("locked/keep.dat"), "old content");
  ::chmod(Out("locked/keep.dat").c_str(), 0644);
  WriteFileBytes(Out("locked/open.dat"), "old content");
  ::chmod(Out("locked/open.dat").c_str(), 0666);
  ::chmod(Out("locked").c_str(), 0555);

  // The file may not be written either: refused before anything is touched.
  CommandResult kept = Run("locked/keep.dat", "1", "T1", prefix);
  EXPECT_EQ(kept.out, "Ausgabedatei konnte nicht geoeffnet \n0 Saetze kopiert in Datei locked/keep.dat \n");
  EXPECT_EQ(ReadFileBytes(Out("locked/keep.dat")), "old content");
  // A new file cannot be made in the folder.
  CommandResult fresh = Run("locked/new.dat", "1", "T1", prefix);
  EXPECT_EQ(fresh.out, "Ausgabedatei konnte nicht geoeffnet \n0 Saetze kopiert in Datei locked/new.dat \n");
  EXPECT_FALSE(FileExists(Out("locked/new.dat")));
  // The file itself may be written: with no room for a temporary file it is
  // written in place, completely.
  CommandResult inPlace = Run("locked/open.dat", "1", "T1", prefix);
  EXPECT_EQ(inPlace.out, "2 Saetze kopiert in Datei locked/open.dat \n");
  EXPECT_EQ(ReadFileBytes(Out("locked/open.dat")), "a one b two ");
  EXPECT_EQ(TemporaryFilesIn(Out("locked")), std::vector<std::string>{});
}

// Kills korvadex at random moments of a 200,000-row export, half of them while
// its descriptor on the target's folder shows that it is writing.
class KillTest : public FaultTest {
 protected:
  static constexpr int kRows = 200000;
  static constexpr std::size_t kRecordLength = 60;

  void SetUp() override {
    FaultTest::SetUp();
    // The rows are generated in descending order, so the sort has work to do.
    Job("SQL001=WITH RECURSIVE c(x) AS (SELECT 1 UNION ALL SELECT x + 1 FROM c WHERE x < 200000)\n"
        "SQL002=SELECT 1000000 - x, 'row-' || x, x % 7 FROM c\n"
        "FELD01=N\nFTYP01=DEC\nFLEN01=8\nFELD02=NAME\nFTYP02=CHAR\nFLEN02=50\nFELD03=M\nFTYP03=DEC\nFLEN03=2\n");
    const auto start = std::chrono::steady_clock::now();
    CommandResult reference = Run("reference.dat", "1");
    runTime_ = std::chrono::duration_cast<std::chrono::microseconds>(std::chrono::steady_clock::now() - start);
    ASSERT_EQ(reference.out, "200000 Saetze kopiert in Datei reference.dat \n");
    block_ = ReadFileBytes(Out("reference.dat"));
    ASSERT_EQ(block_.size(), kRows * kRecordLength);
    ASSERT_EQ(block_.substr(0, kRecordLength),
              "00800000row-200000                                        03");
    ASSERT_EQ(block_.substr(block_.size() - kRecordLength),
              "00999999row-1                                             01");
  }

  // A delay for the round: anywhere in a whole run, or within the first
  // milliseconds of writing, where a 12 MB file takes its time.
  std::chrono::microseconds Delay(bool waitForWrite) {
    const long long range = waitForWrite ? 30000 : runTime_.count();
    return std::chrono::microseconds(static_cast<long long>(random_() % static_cast<unsigned>(range)));
  }

  // Runs the export into `target` and kills it, unless it ended first; counts which.
  std::string RunAndKill(const std::string& target, const std::string& flag, bool waitForWrite,
                         std::chrono::microseconds delay) {
    Child child({KORVADEX_BINARY, "JOB", "T1", target, flag}, tree_.runDir, env_, dir_ / "stdout");
    if (waitForWrite) {
      const std::string except = tree_.runDir + "/KORVADEX.SQLITE.INI";
      const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(60);
      int status = 0;
      while (!IsWritingInto(child.pid(), tree_.runDir, except) && !child.HasEnded(status) &&
             std::chrono::steady_clock::now() < end) {
        std::this_thread::sleep_for(std::chrono::microseconds(100));
      }
    }
    std::this_thread::sleep_for(delay);
    int status = 0;
    if (child.HasEnded(status)) {
      ++finished_;
    } else {
      child.KillAndWait();
      ++killed_;
      killedPids_.push_back(child.pid());
    }
    return ReadFileBytes(dir_ / "stdout");
  }

  // A kill in the moment between naming the temporary file and renaming it
  // leaves the file behind under a name with the killed run's pid; anything
  // else left in the folder is a fault. Counts such files.
  void ExpectOnlyFilesOfKilledRuns(const std::string& target, int round) {
    for (const std::string& name : TemporaryFilesIn(tree_.runDir)) {
      bool isOfKilledRun = false;
      for (pid_t pid : killedPids_) {
        isOfKilledRun |= name == "." + target + ".korvadex-" + std::to_string(pid) + "-0";
      }
      EXPECT_TRUE(isOfKilledRun) << "round " << round << " left " << name;
      ++strayFiles_;
    }
  }

  // A run that completes removes what the killed ones left.
  void ExpectACompleteRunToLeaveNothing(const std::string& target, const std::string& flag) {
    const CommandResult result = Run(target, flag);
    EXPECT_EQ(result.out, "200000 Saetze kopiert in Datei " + target + " \n");
    EXPECT_EQ(TemporaryFilesIn(tree_.runDir), std::vector<std::string>{});
  }

  std::string block_;
  std::chrono::microseconds runTime_{1};
  std::mt19937 random_{20240611};
  int killed_ = 0;
  int finished_ = 0;
  std::vector<pid_t> killedPids_;
  int strayFiles_ = 0;  // seen after a round, counting a file again until it is removed
};

TEST_F(KillTest, ReplaceLeavesTheOldOrTheCompleteNewFile) {
  const std::string old = "old content of the download file\n";
  int sawOld = 0;
  int sawNew = 0;
  for (int round = 0; round < 24; ++round) {
    WriteFileBytes(Out("replace.dat"), old);
    const bool waitForWrite = round % 2 == 1;
    const std::string out = RunAndKill("replace.dat", "1", waitForWrite, Delay(waitForWrite));
    const std::string content = ReadFileBytes(Out("replace.dat"));
    ASSERT_TRUE(content == old || content == block_)
        << "round " << round << ": " << content.size() << " bytes, stdout '" << out << "'";
    // A finished run has told so; a killed one may not have printed anything.
    if (content == block_) ++sawNew; else ++sawOld;
    ExpectOnlyFilesOfKilledRuns("replace.dat", round);
  }
  std::printf("replace, run %lld us: %d killed, %d ended first; %d old files, %d complete new ones; "
              "stray temporary files seen %d times\n",
              static_cast<long long>(runTime_.count()), killed_, finished_, sawOld, sawNew, strayFiles_);
  EXPECT_GT(sawOld, 0);
  ExpectACompleteRunToLeaveNothing("replace.dat", "1");
}

// An append writes its block into the file itself: a kill can leave the old
// content followed by the first part of the block, but never less than the
// old content and never anything else.
TEST_F(KillTest, AppendLeavesTheOldContentFollowedByAllOrPartOfTheBlock) {
  const std::string old = "old content without a line end";
  int sawOld = 0;
  int sawPart = 0;
  int sawAppended = 0;
  for (int round = 0; round < 24; ++round) {
    WriteFileBytes(Out("append.dat"), old);
    const bool waitForWrite = round % 2 == 1;
    const std::string out = RunAndKill("append.dat", "0", waitForWrite, Delay(waitForWrite));
    const std::string content = ReadFileBytes(Out("append.dat"));
    const std::size_t added = content.size() - std::min(content.size(), old.size());
    ASSERT_TRUE(content.starts_with(old) && added <= block_.size() &&
                content.compare(old.size(), added, block_, 0, added) == 0)
        << "round " << round << ": " << content.size() << " bytes, stdout '" << out << "'";
    if (added == 0) ++sawOld; else if (added < block_.size()) ++sawPart; else ++sawAppended;
    ExpectOnlyFilesOfKilledRuns("append.dat", round);
  }
  std::printf("append, run %lld us: %d killed, %d ended first; %d old files, %d old plus part of the "
              "block, %d old plus block; stray temporary files seen %d times\n",
              static_cast<long long>(runTime_.count()), killed_, finished_, sawOld, sawPart, sawAppended,
              strayFiles_);
  EXPECT_GT(sawOld, 0);

  ExpectACompleteRunToLeaveNothing("append.dat", "0");
}

// Stop signals while the block is written, each write held back a moment by
// strace so that they come halfway: one signal, or two at once (a scheduler
// and a closing terminal; the second used to end the process before the
// cut-back). Every way of writing leaves the old file, and a link to a file
// that does not exist yet still points nowhere afterwards. A stop that comes
// after the sort, while the file an append creates waits for its lock (strace
// holds the open back), leaves no file either.
TEST_F(KillTest, StopSignalsDuringTheWriteLeaveTheTargetAsItWas) {
  if (::access("/usr/bin/strace", X_OK) != 0) GTEST_SKIP() << "strace is not installed";
  const std::string old = "old content without a line end";
  testing::MakeDirs(Out("export"));
  struct Case {
    const char* label;
    const char* flag;
    bool isLinkToMissing;          // stop.dat links to export/stop.dat, which does not exist
    std::vector<int> signals;      // sent together, in this order
    const char* memory = nullptr;  // KORVADEX_MEMORY: the block comes out of the spill merge
    bool isStoppedBeforeTheLock = false;  // no stop.dat; the signal comes once the append has created it
  };
  const Case cases[] = {
      {"append, SIGHUP and SIGTERM", "0", false, {SIGHUP, SIGTERM}},
      {"append from the spill merge, SIGHUP and SIGTERM", "0", false, {SIGHUP, SIGTERM}, " 8m "},
      {"replace, SIGHUP and SIGTERM", "1", false, {SIGHUP, SIGTERM}},
      {"append through a link to a missing file, SIGTERM", "0", true, {SIGTERM}},
      {"replace through a link to a missing file, SIGTERM", "1", true, {SIGTERM}},
      {"append through a link to a missing file, SIGHUP and SIGTERM", "0", true, {SIGHUP, SIGTERM}},
      {"append to a missing file, SIGTERM before the lock", "0", false, {SIGTERM}, nullptr, true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.label);
    // strace's delay injection now and then loses track of a thread that a
    // signal meets in a held-back write ("dispatch_event: ... delayed wait
    // data set already") and the run it traces goes astray with it: such a
    // try says nothing about korvadex and is made again.
    for (int attempt = 1;; ++attempt) {
      ::unlink(Out("stop.dat").c_str());
      ::unlink(Out("export/stop.dat").c_str());
      if (c.isLinkToMissing) {
        ASSERT_EQ(::symlink("export/stop.dat", Out("stop.dat").c_str()), 0);
      } else if (!c.isStoppedBeforeTheLock) {
        WriteFileBytes(Out("stop.dat"), old);
      }
      std::map<std::string, std::string> env = env_;
      if (c.memory != nullptr) env["KORVADEX_MEMORY"] = c.memory;
      // LeakSanitizer cannot run under ptrace (a sanitizer build).
      env["ASAN_OPTIONS"] = "detect_leaks=0";
      env["KORVADEX_REPORT"] = dir_ / "stop.json";
      // strace's -P matches the name as the run opens it: a whole path.
      const std::string target = c.isStoppedBeforeTheLock ? Out("stop.dat") : "stop.dat";
      std::vector<std::string> argv = {"/usr/bin/strace", "-qq", "-o", "/dev/null"};
      if (c.isStoppedBeforeTheLock) {
        argv.insert(argv.end(), {"-P", target, "-e", "trace=openat", "-e", "inject=openat:delay_exit=1000000"});
      } else {
        argv.insert(argv.end(), {"-e", "trace=write", "-e", "inject=write:delay_enter=20000"});
      }
      argv.insert(argv.end(), {KORVADEX_BINARY, "JOB", "T1", target, c.flag, "/D"});
      Child child(argv, tree_.runDir, env, dir_ / "stdout", dir_ / "stderr");
      // Halfway: the writing has begun and the file it writes (the target
      // itself for an append, else the new file) has grown past the old content.
      const std::string folder = c.isLinkToMissing ? Out("export") : tree_.runDir;
      const bool isAppendToOld = !c.isLinkToMissing && c.flag[0] == '0';
      auto hasGrown = [&](pid_t pid) {
        if (ReadFileBytes(dir_ / "stdout").find("Str WriteFile\n") == std::string::npos) return false;
        if (c.isStoppedBeforeTheLock) return FileExists(Out("stop.dat"));
        struct stat target {};
        const std::uint64_t size = isAppendToOld ? (::stat(Out("stop.dat").c_str(), &target) == 0 ? target.st_size : 0)
                                                 : LargestFileWrittenInto(pid, folder);
        return size > old.size();
      };
      pid_t run = 0;
      int status = 0;
      const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(60);
      while (!child.HasEnded(status) && std::chrono::steady_clock::now() < end && (run == 0 || !hasGrown(run))) {
        const std::vector<pid_t> pids = ProcessAndChildren(child.pid());
        if (pids.size() > 1) run = pids[1];
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
      }
      ASSERT_NE(run, 0);
      ASSERT_FALSE(child.HasEnded(status)) << "the run ended before it wrote: " << ReadFileBytes(dir_ / "stdout");
      for (int signal : c.signals) ::kill(run, signal);
      ASSERT_TRUE(child.WaitFor(std::chrono::seconds(60), status)) << "korvadex did not end";
      const std::string errors = ReadFileBytes(dir_ / "stderr");
      if (errors.find("strace: ") != std::string::npos && attempt < 3) {
        std::printf("%s: strace failed, try %d made again: %s", c.label, attempt, errors.c_str());
        continue;
      }
      ASSERT_TRUE(WIFEXITED(status)) << "ended by signal " << WTERMSIG(status);
      EXPECT_EQ(WEXITSTATUS(status), 128 + c.signals.front());
      const std::string out = ReadFileBytes(dir_ / "stdout");
      EXPECT_TRUE(out.ends_with("\n0 Saetze kopiert in Datei " + target + " \n")) << out;
      EXPECT_EQ(c.memory != nullptr, out.find("\nAusgelagert: ") != std::string::npos) << out;
      // Also the second signal's end reports, and reports nothing kept.
      const nlohmann::json report = testing::ReadCheckedReport(dir_ / "stop.json", "s3cr3t-Pw");
      EXPECT_EQ(report["exit"]["code"], 128 + c.signals.front()) << report;
      EXPECT_EQ(report["output"]["rows"], 0) << report;
      if (c.isLinkToMissing) {
        EXPECT_FALSE(FileExists(Out("export/stop.dat")));
        EXPECT_EQ(NamesIn(Out("export"), ""), (std::vector<std::string>{".", ".."}));
      } else if (c.isStoppedBeforeTheLock) {
        EXPECT_FALSE(FileExists(Out("stop.dat")));
      } else {
        const std::string content = ReadFileBytes(Out("stop.dat"));
        EXPECT_TRUE(content == old) << content.size() << " bytes";
      }
      break;
    }
  }
  ::unlink(Out("stop.dat").c_str());
}

// An export of 48,000 records of 1,000 bytes (48 MB) under a memory limit
// far below that, of the address space or of a cgroup: the records must go
// through the spill file and come out exactly as an unlimited run writes them;
// and when the limit cannot hold even the smallest budget, the run fails
// without touching the target.
class LimitedMemoryTest : public FaultTest {
 protected:
  static constexpr int kRows = 48000;
  static constexpr std::uint64_t kMiB = std::uint64_t{1} << 20;

  void SetUp() override {
    FaultTest::SetUp();
    // Ids in scattered order, so that the sort has work to do in every run.
    Job("SQL001=WITH RECURSIVE c(x) AS (SELECT 1 UNION ALL SELECT x + 1 FROM c WHERE x < CAST('$parm01' AS INTEGER))\n"
        "SQL002=SELECT (x * 7919) % 100003, 'row-' || x FROM c\n"
        "FELD01=N\nFTYP01=DEC\nFLEN01=8\nFELD02=NAME\nFTYP02=CHAR\nFLEN02=992\n");
  }

  // Exports `rows` rows into `target`, replacing it, with `prefix` before the command.
  CommandResult Export(const std::string& target, int rows, const std::vector<std::string>& prefix = {}) {
    return Run(target, "1", std::to_string(rows), prefix);
  }

  static std::vector<std::string> UnderAddressSpaceLimit(std::uint64_t bytes) {
    return {"/usr/bin/prlimit", "--as=" + std::to_string(bytes)};
  }

  // The smallest address-space limit, to a MiB, under which a one-row export
  // still completes: what the libraries, the driver and a run's buffers take
  // on this machine. 0 when even 128 MiB is not enough.
  std::uint64_t SmallestWorkingLimit() {
    auto works = [this](std::uint64_t bytes) {
      return Export("probe.dat", 1, UnderAddressSpaceLimit(bytes)).out == "1 Saetze kopiert in Datei probe.dat \n";
    };
    std::uint64_t failing = 0;
    std::uint64_t working = 128 * kMiB;
    if (!works(working)) return 0;
    while (working - failing > kMiB) {
      const std::uint64_t middle = (failing + working) / 2;
      (works(middle) ? working : failing) = middle;
    }
    return working;
  }

  // The unlimited export's file.
  std::string Reference() {
    const CommandResult reference = Export("reference.dat", kRows);
    EXPECT_EQ(reference.out, "48000 Saetze kopiert in Datei reference.dat \n");
    return ReadFileBytes(Out("reference.dat"));
  }
};

TEST_F(LimitedMemoryTest, AnAddressSpaceLimitBelowTheExportSpillsToTheSameFile) {
  if (!testing::CanLimitAddressSpace()) GTEST_SKIP() << "a sanitizer build maps terabytes of shadow memory";
  const std::string expected = Reference();
  const std::uint64_t smallest = SmallestWorkingLimit();
  ASSERT_GT(smallest, 0u) << "a one-row export does not complete in 128 MiB of address space";
  const std::uint64_t limit = smallest + 16 * kMiB;
  // More bytes than the whole address space: they cannot all be in memory at once.
  ASSERT_GT(expected.size(), limit);
  WriteFileBytes(Out("limited.dat"), "old content");
  const CommandResult limited = Export("limited.dat", kRows, UnderAddressSpaceLimit(limit));
  EXPECT_EQ(limited.exitCode, 0);
  EXPECT_EQ(limited.out, "48000 Saetze kopiert in Datei limited.dat \n");
  EXPECT_EQ(limited.err, "");
  EXPECT_TRUE(ReadFileBytes(Out("limited.dat")) == expected) << "limit " << limit << " bytes";

  // Under a file size limit as well, the spill cannot be written: the run
  // ends without writing anything.
  WriteFileBytes(Out("limited.dat"), "old content");
  std::vector<std::string> noRoom = UnderAddressSpaceLimit(limit);
  noRoom.push_back("--fsize=1048576");
  const CommandResult failed = Export("limited.dat", kRows, noRoom);
  EXPECT_EQ(failed.exitCode, 7) << "153: killed by SIGXFSZ";
  EXPECT_EQ(failed.out, "Ausgabedatei konnte nicht geschrieben \n0 Saetze kopiert in Datei limited.dat \n");
  EXPECT_EQ(ReadFileBytes(Out("limited.dat")), "old content");
}

TEST_F(LimitedMemoryTest, ALimitTooSmallToHoldTheRecordsFailsAndKeepsTheTarget) {
  if (!testing::CanLimitAddressSpace()) GTEST_SKIP() << "a sanitizer build maps terabytes of shadow memory";
  const std::uint64_t smallest = SmallestWorkingLimit();
  ASSERT_GT(smallest, 0u) << "a one-row export does not complete in 128 MiB of address space";
  // Room for a few record blocks, not for the smallest budget of 8 MiB.
  const std::uint64_t limit = smallest + 2 * kMiB;
  WriteFileBytes(Out("old.dat"), "old content");
  const CommandResult result = Export("old.dat", kRows, UnderAddressSpaceLimit(limit));
  EXPECT_EQ(result.exitCode, 7);
  EXPECT_EQ(result.out, "Ausgabedatei konnte nicht geschrieben \n0 Saetze kopiert in Datei old.dat \n");
  EXPECT_EQ(result.err, "");
  EXPECT_EQ(ReadFileBytes(Out("old.dat")), "old content");
}

TEST_F(LimitedMemoryTest, AnOperatorsBudgetBelowTheExportSpillsToTheSameFileAndDSaysSo) {
  const std::string expected = Reference();
  const std::vector<std::string> traced = {"/bin/sh", "-c", "exec \"$0\" \"$@\" /D"};
  env_["KORVADEX_MEMORY"] = " 8m ";
  env_["KORVADEX_REPORT"] = Out("budget.json");
  WriteFileBytes(Out("budget.dat"), "old content");
  const CommandResult limited = Run("budget.dat", "1", std::to_string(kRows), traced);
  env_.erase("KORVADEX_REPORT");
  EXPECT_EQ(limited.exitCode, 0);
  EXPECT_TRUE(ReadFileBytes(Out("budget.dat")) == expected);
  const std::size_t at = limited.out.find("Str WriteFile\nAusgelagert: ");
  ASSERT_NE(at, std::string::npos) << limited.out;
  unsigned long long runs = 0, bytes = 0, budget = 0;
  ASSERT_EQ(std::sscanf(limited.out.c_str() + at, "Str WriteFile\nAusgelagert: %llu Laeufe, %llu Bytes, Speicher %llu Bytes\n",
                        &runs, &bytes, &budget), 3) << limited.out;
  EXPECT_EQ(budget, 8 * kMiB);
  // 48 MB through halves of under 4 MiB: a dozen runs, all but the last half's records on disk.
  EXPECT_GE(runs, 10u);
  EXPECT_GT(bytes, 40 * kMiB);
  EXPECT_LT(bytes, expected.size() + kRows * 4);
  EXPECT_NE(limited.out.find("\n48000 Saetze kopiert in Datei budget.dat \n"), std::string::npos);
  // The report tells the same spill, and the hash of the merged runs is the file's.
  const nlohmann::json report = testing::ReadCheckedReport(Out("budget.json"), "s3cr3t-Pw");
  EXPECT_EQ(report["output"]["spill_runs"], runs);
  EXPECT_EQ(report["output"]["spill_bytes"], bytes);
  EXPECT_EQ(report["output"]["rows"], 48000);
  EXPECT_EQ(report["output"]["bytes"], expected.size());
  EXPECT_EQ(report["output"]["sha256"], testing::Sha256sum(expected));

  // A value that cannot be read leaves the default and says so.
  env_["KORVADEX_MEMORY"] = "64MB";
  const CommandResult ignored = Run("ignored.dat", "1", std::to_string(kRows), traced);
  EXPECT_EQ(ignored.exitCode, 0);
  EXPECT_NE(ignored.out.find("End GetIniValues\nKORVADEX_MEMORY ungueltig, ignoriert: \"64MB\"\nStr WriteFile\n"),
            std::string::npos)
      << ignored.out;
  EXPECT_TRUE(ReadFileBytes(Out("ignored.dat")) == expected);

  // One read of the spill that fails in the merge (the run reads it back in
  // some 600 reads; the loader's come first): nothing written, nothing counted.
  if (::access("/usr/bin/strace", X_OK) != 0) GTEST_SKIP() << "strace is not installed";
  env_["KORVADEX_MEMORY"] = "8m";
  env_["ASAN_OPTIONS"] = "detect_leaks=0";
  const CommandResult failed =
      Run("budget.dat", "1", std::to_string(kRows),
          {"/usr/bin/strace", "-qq", "-o", "/dev/null", "-e", "trace=pread64", "-e",
           "inject=pread64:error=EIO:when=200"});
  if (failed.err.find("ptrace") != std::string::npos) GTEST_SKIP() << "ptrace is not permitted: " << failed.err;
  EXPECT_EQ(failed.exitCode, 7);
  EXPECT_EQ(failed.out, "Ausgabedatei konnte nicht geschrieben \n0 Saetze kopiert in Datei budget.dat \n");
  EXPECT_TRUE(ReadFileBytes(Out("budget.dat")) == expected) << "the old file was not kept";
}

// A cgroup of the test's own, removed again when it goes.
class ChildCgroup {
 public:
  explicit ChildCgroup(std::string path) : path_(std::move(path)) {
    isMade_ = ::mkdir(path_.c_str(), 0755) == 0;
    error_ = isMade_ ? 0 : errno;
  }
  ~ChildCgroup() {
    if (isMade_) ::rmdir(path_.c_str());
  }
  ChildCgroup(const ChildCgroup&) = delete;
  ChildCgroup& operator=(const ChildCgroup&) = delete;

  bool isMade() const { return isMade_; }
  int error() const { return error_; }
  const std::string& path() const { return path_; }
  bool Write(const std::string& file, const std::string& value) const {
    const int fd = ::open((path_ + "/" + file).c_str(), O_WRONLY | O_CLOEXEC);
    if (fd < 0) return false;
    const bool isWritten = ::write(fd, value.data(), value.size()) == static_cast<ssize_t>(value.size());
    return ::close(fd) == 0 && isWritten;
  }

 private:
  std::string path_;
  bool isMade_ = false;
  int error_ = 0;
};

TEST_F(LimitedMemoryTest, ACgroupLimitBelowTheExportSpillsToTheSameFile) {
  const std::string root = "/sys/fs/cgroup";
  if (ReadFileBytes(root + "/cgroup.subtree_control").find("memory") == std::string::npos) {
    GTEST_SKIP() << "no cgroup v2 hierarchy at " << root << " that hands the memory controller to its children";
  }
  ChildCgroup cgroup(root + "/korvadex-test-" + std::to_string(::getpid()));
  if (!cgroup.isMade()) GTEST_SKIP() << "cannot create a cgroup under " << root << ": " << std::strerror(cgroup.error());
  constexpr std::uint64_t kLimit = 40 * kMiB;
  ASSERT_TRUE(cgroup.Write("memory.max", std::to_string(kLimit)));
  // Where there is swap, the limit is not to be met by swapping out.
  cgroup.Write("memory.swap.max", "0");
  const std::string expected = Reference();
  ASSERT_GT(expected.size(), kLimit);
  // The shell moves itself into the cgroup and becomes korvadex.
  const CommandResult limited = Export(
      "limited.dat", kRows, {"/bin/sh", "-c", "echo $$ > " + cgroup.path() + "/cgroup.procs && exec \"$0\" \"$@\""});
  EXPECT_EQ(limited.exitCode, 0) << "137: killed for want of memory";
  EXPECT_EQ(limited.out, "48000 Saetze kopiert in Datei limited.dat \n");
  EXPECT_EQ(limited.err, "");
  EXPECT_TRUE(ReadFileBytes(Out("limited.dat")) == expected);
}

// A private PostgreSQL server whose sessions the tests end, cancel or cut
// while korvadex fetches a large result in small batches.
class ServerSessionTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_FALSE(testing::FindDriverLibrary("psqlodbca.so").empty()) << "psqlODBC (odbc-postgresql) is not installed";
    // The shared server of the ctest run must survive, so this test has its own.
    ASSERT_EQ(Script("start"), 0);
    port_ = ReadFileBytes(state_.path() + "/port");
    while (!port_.empty() && port_.back() == '\n') port_.pop_back();
    WriteDataSource(port_);
    tree_.WriteCredentials("KVPG", "kvuser", "kv-secret", "PG");
    tree_.WriteJobFile("PG", "[JOB]\nSQL001=SELECT id, 'row-' || id FROM big ORDER BY id\n"
                             "FELD01=ID\nFTYP01=DEC\nFLEN01=8\nFELD02=NAME\nFTYP02=CHAR\nFLEN02=12\n");
    Psql("CREATE TABLE big AS SELECT g AS id FROM generate_series(1, 1000000) g");
  }
  void TearDown() override {
    EXPECT_EQ(TemporaryFilesIn(tree_.runDir), std::vector<std::string>{});
    Script("stop");
  }

  // Writes the data source KVPG: 20 rows per FETCH through `port` (the
  // server's or a proxy's), with `settings` added.
  void WriteDataSource(const std::string& port, const std::string& settings = "",
                       const std::string& driverFile = "psqlodbca.so") {
    env_ = testing::WriteOdbcConfig(
        dir_ / "odbc", {{"KVPG", "Driver=" + testing::FindDriverLibrary(driverFile) +
                                     "\nServername=127.0.0.1\nPort=" + port +
                                     "\nDatabase=kvtest\nSSLmode=disable\nUseDeclareFetch=1\nFetch=20\n" +
                                     settings}});
  }

  void Psql(const std::string& sql) {
    CommandResult result = testing::RunCommand({"/usr/bin/psql", "-q", "-v", "ON_ERROR_STOP=1", "-h", "127.0.0.1",
                                                "-p", port_, "-U", "kvuser", "-d", "kvtest", "-c", sql},
                                               "", {{"PGPASSWORD", "kv-secret"}});
    ASSERT_EQ(result.exitCode, 0) << result.err;
  }

  // The first line psql prints for `sql`, or the empty text.
  std::string Query(const std::string& sql) {
    CommandResult result = testing::RunCommand({"/usr/bin/psql", "-Atq", "-h", "127.0.0.1", "-p", port_, "-U",
                                                "kvuser", "-d", "kvtest", "-c", sql},
                                               "", {{"PGPASSWORD", "kv-secret"}});
    return result.out.substr(0, result.out.find('\n'));
  }

  // Runs the job section into `target` (replacing it), killed after a
  // minute; a signal that ends it counts as exit 128 + its number.
  // Core files are allowed, so that a crashing process that may make one does.
  CommandResult RunJob(const std::string& target, const std::string& section = "JOB") {
    std::vector<std::string> argv = kWithCores;
    argv.insert(argv.end(), {KORVADEX_BINARY, section, "T1", target, "1"});
    Child child(argv, tree_.runDir, env_, dir_ / "stdout");
    return Finish(child);
  }

  // Waits for `child`, killed after a minute; a signal that ends it counts
  // as exit 128 + its number. The output is what follows the statement's trace.
  CommandResult Finish(Child& child) {
    int status = 0;
    EXPECT_TRUE(child.WaitFor(std::chrono::minutes(1), status)) << "korvadex hangs";
    CommandResult result;
    result.exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    result.out = ReadFileBytes(dir_ / "stdout");
    const std::string statementRead = "End GetIniValues\n";
    if (result.out.find(statementRead) != std::string::npos) {
      result.out.erase(0, result.out.find(statementRead) + statementRead.size());
    }
    return result;
  }

  // Asks `sql` until it answers `expected`, for ten seconds at most; the last answer.
  std::string AwaitAnswer(const std::string& sql, const std::string& expected) {
    std::string answer = Query(sql);
    for (int attempt = 0; attempt < 200 && answer != expected; ++attempt) {
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
      answer = Query(sql);
    }
    return answer;
  }

  int Script(const char* command) {
    return testing::RunCommand({"/bin/bash", std::string(KORVADEX_SOURCE_DIR) + "/tests/pg-server.sh",
                                command, state_.path()},
                               "")
        .exitCode;
  }

  TempDir state_;
  TempDir dir_;
  JobTree tree_{dir_.path()};
  std::map<std::string, std::string> env_;
  std::string port_;
};

// check --connect against PostgreSQL: a column declared wider than its field,
// and a driver process that dies while the server keeps the prepare waiting
// on a lock ends the check with exit code 8 and says so.
TEST_F(ServerSessionTest, CheckConnectWarnsOfWideColumnsAndReportsADriverThatDies) {
  Psql("CREATE TABLE wide (code varchar(60), amount numeric(7,2), note text)");
  tree_.WriteJobFile("PG", "[WIDE]\nSQL001=SELECT code, amount, note FROM wide WHERE code = '$parm01'\n"
                           "FELD01=CODE\nFTYP01=CHAR\nFLEN01=40\nFELD02=AMOUNT\nFTYP02=DEC\nFLEN02=9\n"
                           "FELD03=NOTE\nFTYP03=TXT\nFLEN03=20\n");
  ::chmod(tree_.credentialPath.c_str(), 0600);
  const CommandResult wide =
      testing::RunCommand({KORVADEX_CRED_BINARY, "check", "--connect", "--terminal", "T1"}, tree_.runDir, env_);
  EXPECT_EQ(wide.exitCode, 1) << wide.out;
  // numeric(7,2) takes at most 9 bytes; text declares only psqlODBC's longest.
  EXPECT_NE(wide.out.find("info: [WIDE] Column 3 is LONGVARCHAR(8190), FLEN03 is 20: longer values are cut to their "
                          "last 20 bytes.\n"
                          "warning: [WIDE] Column 1 is VARCHAR(60), FLEN01 is 40: longer values are cut to their "
                          "last 40 bytes.\n1 warning.\n"),
            std::string::npos)
      << wide.out;
  EXPECT_NE(wide.out.find("info: Connected to data source \"KVPG\": PostgreSQL "), std::string::npos) << wide.out;
  EXPECT_EQ(wide.out.find("kv-secret"), std::string::npos);
  EXPECT_EQ(Query("SELECT count(*) FROM wide"), "0");

  tree_.WriteJobFile("PG", "[JOB]\nSQL001=SELECT id, 'kv-describe' FROM big\nFELD01=ID\nFTYP01=DEC\nFLEN01=8\n");
  Child holder({"/usr/bin/psql", "-q", "-h", "127.0.0.1", "-p", port_, "-U", "kvuser", "-d", "kvtest", "-c", "BEGIN",
                "-c", "LOCK TABLE big IN ACCESS EXCLUSIVE MODE", "-c", "SELECT pg_sleep(600)"},
               dir_.path(), {{"PGPASSWORD", "kv-secret"}}, dir_ / "holder");
  ASSERT_EQ(AwaitAnswer("SELECT count(*) FROM pg_locks WHERE relation = 'big'::regclass AND granted", "1"), "1");
  Child check({KORVADEX_CRED_BINARY, "check", "--connect"}, tree_.runDir, env_, dir_ / "check");
  ASSERT_EQ(AwaitAnswer("SELECT count(*) FROM pg_stat_activity WHERE query LIKE '%kv-describe%' AND "
                        "wait_event_type = 'Lock' AND pid <> pg_backend_pid()",
                        "1"),
            "1");
  const std::vector<pid_t> pids = ProcessAndChildren(check.pid());
  ASSERT_EQ(pids.size(), 2u) << "the check and its driver process";
  // SIGKILL, not SIGSEGV: a sanitizer build would catch that itself and exit with 1.
  ::kill(pids[1], SIGKILL);
  int status = 0;
  ASSERT_TRUE(check.WaitFor(std::chrono::seconds(60), status));
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 8);
  EXPECT_TRUE(ReadFileBytes(dir_ / "check")
                  .ends_with("warning: [JOB] The ODBC driver process ended while preparing the statement: "
                             "ODBC-Treiberprozess beendet durch Signal 9 (SIGKILL). The remaining sections were not "
                             "checked.\n1 warning.\n"))
      << ReadFileBytes(dir_ / "check");
  holder.KillAndWait();
}

TEST_F(ServerSessionTest, LostConnectionWritesNothingAndExitsWithSix) {
  WriteFileBytes(tree_.runDir + "/pg.dat", "complete old export");
  Child child({KORVADEX_BINARY, "JOB", "T1", "pg.dat", "1"}, tree_.runDir, env_, dir_ / "stdout");
  // The session is ended between two FETCH answers or, with an error message,
  // inside one: never by a cut in the middle of an answer, which some driver
  // versions do not survive.
  int status = 0;
  std::string backend;
  for (int attempt = 0; attempt < 300 && backend.empty(); ++attempt) {
    ASSERT_FALSE(child.HasEnded(status)) << "korvadex ended before its session was ended";
    backend = Query("SELECT pid FROM pg_stat_activity WHERE usename = 'kvuser' AND query ILIKE 'fetch%'");
    if (backend.empty()) std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  ASSERT_FALSE(backend.empty()) << "the cursor was never read";
  ASSERT_EQ(Query("SELECT pg_terminate_backend(" + backend + ")"), "t");
  ASSERT_TRUE(child.WaitFor(std::chrono::seconds(60), status)) << "korvadex hangs after its session ended";
  ASSERT_TRUE(WIFEXITED(status)) << "korvadex ended by signal " << WTERMSIG(status);
  EXPECT_EQ(WEXITSTATUS(status), 6);
  EXPECT_EQ(ReadFileBytes(dir_ / "stdout"), "Fehler Lesen in Leseschleife -10 Saetze kopiert in Datei pg.dat \n");
  EXPECT_EQ(ReadFileBytes(tree_.runDir + "/pg.dat"), "complete old export");
}

TEST_F(ServerSessionTest, StopSignalCancelsTheStatementOnTheServer) {
  WriteFileBytes(tree_.runDir + "/pg.dat", "complete old export");
  tree_.WriteJobFile("PG", "[JOB]\nSQL001=SELECT 'kv-cancel-me', pg_sleep(600)\nFELD01=A\nFTYP01=CHAR\nFLEN01=1\n");
  Child child({KORVADEX_BINARY, "JOB", "T1", "pg.dat", "0"}, tree_.runDir, env_, dir_ / "stdout");
  const std::string running =
      "SELECT count(*) FROM pg_stat_activity WHERE state = 'active' AND query LIKE '%kv-cancel-me%' "
      "AND pid <> pg_backend_pid()";
  int status = 0;
  for (int attempt = 0; attempt < 300 && Query(running) != "1"; ++attempt) {
    ASSERT_FALSE(child.HasEnded(status)) << ReadFileBytes(dir_ / "stdout");
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  ASSERT_EQ(Query(running), "1") << "the statement never ran";
  ::kill(child.pid(), SIGTERM);
  ASSERT_TRUE(child.WaitFor(std::chrono::seconds(60), status)) << "korvadex did not end on SIGTERM";
  ASSERT_TRUE(WIFEXITED(status)) << "korvadex ended by signal " << WTERMSIG(status);
  EXPECT_EQ(WEXITSTATUS(status), 128 + SIGTERM);
  EXPECT_EQ(ReadFileBytes(dir_ / "stdout"), "0 Saetze kopiert in Datei pg.dat \n");
  EXPECT_EQ(ReadFileBytes(tree_.runDir + "/pg.dat"), "complete old export");
  // Without the cancel the server would go on sleeping for ten minutes.
  EXPECT_EQ(AwaitAnswer(running, "0"), "0");
}

// A deadline in each phase where the other side can hang: a server that takes
// the connection and says nothing (the kernel completes the handshake of a
// socket that listens and never reads), a statement that waits for a lock
// another session keeps, also with a driver process that no longer answers
// the cancel (where a stop signal that came first still decides the exit
// code), and a slow fetch with either flag.
TEST_F(ServerSessionTest, DeadlineEndsTheRunAndLeavesTheTargetInEveryPhase) {
  const int silent = ::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t length = sizeof address;
  ASSERT_TRUE(::bind(silent, reinterpret_cast<sockaddr*>(&address), length) == 0 && ::listen(silent, 8) == 0 &&
              ::getsockname(silent, reinterpret_cast<sockaddr*>(&address), &length) == 0);
  Child holder({"/usr/bin/psql", "-q", "-h", "127.0.0.1", "-p", port_, "-U", "kvuser", "-d", "kvtest", "-c", "BEGIN",
                "-c", "LOCK TABLE big IN ACCESS EXCLUSIVE MODE", "-c", "SELECT pg_sleep(600)"},
               dir_.path(), {{"PGPASSWORD", "kv-secret"}}, dir_ / "holder");
  ASSERT_EQ(AwaitAnswer("SELECT count(*) FROM pg_locks WHERE relation = 'big'::regclass AND granted", "1"), "1");
  const std::string running = "SELECT count(*) FROM pg_stat_activity WHERE query LIKE '%kv-deadline%' "
                              "AND pid <> pg_backend_pid()";
  const char* const blocked = "SELECT id, 'kv-deadline' FROM big";
  // Twenty rows per FETCH, each row a few milliseconds late.
  const char* const slow = "SELECT g, 'kv-deadline' FROM generate_series(1, 1000000) g WHERE pg_sleep(0.005)::text = ''";
  const std::string passed = "Zeitlimit ueberschritten \nZeitlimit KORVADEX_";
  struct Case {
    const char* statement;
    std::map<std::string, std::string> settings;
    const char* flag;
    bool isServerSilent;
    bool isDriverStopped;  // SIGSTOP once the statement waits; the deadline leaves time for that
    int signal;            // sent to the run after that, or 0
    std::string out;       // before the driver's diagnostics and the count line
    int leastSeconds;      // the deadline, and the grace for a stopped driver
    bool isDriverOnThread = false;  // cancelled there by the run's own deadline watch
    bool isSignalledWhileConnecting = false;  // `signal` goes once the silent server has the connection
  };
  const Case cases[] = {
      {"SELECT 1", {{"KORVADEX_CONNECT_TIMEOUT", "2"}}, "1", true, false, 0,
       " Aktiviert Debugger\n" + passed + "CONNECT_TIMEOUT=2 abgelaufen in Phase connect\n", 2},
      {"SELECT 1", {{"KORVADEX_CONNECT_TIMEOUT", "1.5"}, {"KORVADEX_TIMEOUT", "2"}}, "1", true, false, 0,
       " Aktiviert Debugger\nKORVADEX_CONNECT_TIMEOUT='1.5' nicht lesbar, ohne Zeitlimit\n" + passed +
           "TIMEOUT=2 abgelaufen in Phase connect\n", 2},
      {blocked, {{"KORVADEX_TIMEOUT", "2"}}, "0", false, false, 0, passed + "TIMEOUT=2 abgelaufen in Phase execute\n", 2},
      {blocked, {{"KORVADEX_TIMEOUT", "2"}}, "0", false, false, 0, passed + "TIMEOUT=2 abgelaufen in Phase execute\n", 2,
       CanDenyFork()},
      {blocked, {{"KORVADEX_TIMEOUT", "10"}}, "0", false, true, 0,
       passed + "TIMEOUT=10 abgelaufen in Phase execute\nODBC-Treiberprozess beendet durch Signal 9 (SIGKILL)\n", 13},
      // A stop signal is honoured within the grace, the deadline not waited for.
      {blocked, {{"KORVADEX_TIMEOUT", "10"}}, "0", false, true, SIGTERM, "0 Saetze kopiert in Datei pg.dat \n", 3},
      {slow, {{"KORVADEX_TIMEOUT", "2"}}, "0", false, false, 0, passed + "TIMEOUT=2 abgelaufen in Phase fetch\n", 2},
      {slow, {{"KORVADEX_TIMEOUT", "2"}}, "1", false, false, 0, passed + "TIMEOUT=2 abgelaufen in Phase fetch\n", 2},
      // No deadline at all: one stop signal still ends a connect that the
      // driver does not give up, within the grace, on either carrier.
      {"SELECT 1", {}, "1", true, false, SIGTERM, " Aktiviert Debugger\n", 3, false, true},
      {"SELECT 1", {}, "1", true, false, SIGTERM, " Aktiviert Debugger\n", 3, CanDenyFork(), true},
  };
  // Connections that earlier runs left waiting are taken off the queue, so
  // that a waiting one means the run now connecting.
  ::fcntl(silent, F_SETFL, O_NONBLOCK);
  std::vector<int> accepted;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.out);
    WriteDataSource(c.isServerSilent ? std::to_string(ntohs(address.sin_port)) : port_);
    tree_.WriteJobFile("PG", std::string("[JOB]\nSQL001=") + c.statement + "\nFELD01=ID\nFTYP01=DEC\nFLEN01=8\n");
    WriteFileBytes(tree_.runDir + "/pg.dat", "complete old export");
    std::map<std::string, std::string> env = env_;
    env.insert(c.settings.begin(), c.settings.end());
    env["KORVADEX_REPORT"] = dir_ / "report.json";
    const auto start = std::chrono::steady_clock::now();
    std::vector<std::string> argv{KORVADEX_BINARY, "JOB", "T1", "pg.dat", c.flag, "/D"};
    if (c.isDriverOnThread) argv.insert(argv.begin(), kForkDenied);
    for (int waiting = ::accept(silent, nullptr, nullptr); waiting >= 0; waiting = ::accept(silent, nullptr, nullptr)) {
      ::close(waiting);
    }
    Child child(argv, tree_.runDir, env, dir_ / "stdout");
    auto signalled = std::chrono::steady_clock::now();
    if (c.isSignalledWhileConnecting) {
      pollfd connecting{silent, POLLIN, 0};
      int status = 0;
      for (int attempt = 0; attempt < 600 && ::poll(&connecting, 1, 100) == 0; ++attempt) {
        ASSERT_FALSE(child.HasEnded(status)) << ReadFileBytes(dir_ / "stdout");
      }
      // Taken, and never answered.
      accepted.push_back(::accept(silent, nullptr, nullptr));
      ASSERT_GE(accepted.back(), 0) << "the run never connected";
      signalled = std::chrono::steady_clock::now();
      ::kill(child.pid(), c.signal);
    }
    if (c.isDriverStopped) {
      ASSERT_EQ(AwaitAnswer(running + " AND wait_event_type = 'Lock'", "1"), "1");
      const std::vector<pid_t> pids = ProcessAndChildren(child.pid());
      ASSERT_EQ(pids.size(), 2u) << "the run and its driver process";
      ::kill(pids[1], SIGSTOP);
      if (c.signal != 0) ::kill(pids[0], c.signal);
    }
    const CommandResult result = Finish(child);
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    EXPECT_EQ(result.exitCode, c.signal != 0 ? 128 + c.signal : 9);
    EXPECT_TRUE(result.out.starts_with(c.out)) << result.out;
    EXPECT_TRUE(("\n" + result.out).ends_with("\n0 Saetze kopiert in Datei pg.dat \n")) << result.out;
    EXPECT_EQ(ReadFileBytes(tree_.runDir + "/pg.dat"), "complete old export");
    // A run on a driver thread that ends at the deadline's grace leaves no report.
    if (!c.isDriverOnThread) {
      const nlohmann::json report = testing::ReadCheckedReport(dir_ / "report.json", "kv-secret");
      EXPECT_EQ(report["exit"]["name"], c.signal != 0 ? "stopped" : "deadline");
      EXPECT_EQ(report["output"]["rows"], 0);
      if (c.signal != 0) {
        EXPECT_EQ(report["stop"]["signal"], nlohmann::json({{"number", SIGTERM}, {"name", "SIGTERM"}}));
      } else {
        const std::string trace = c.out.substr(c.out.find("Zeitlimit KORVADEX_"));
        const nlohmann::json& deadline = report["stop"]["deadline"];
        EXPECT_EQ("Zeitlimit " + deadline["variable"].get<std::string>() + "=" + deadline["seconds"].dump() +
                      " abgelaufen in Phase " + deadline["phase"].get<std::string>() + "\n",
                  trace.substr(0, trace.find('\n') + 1));
      }
    }
    // Nowhere near the ten minutes the lock is held or the rows take.
    EXPECT_GE(seconds, c.leastSeconds);
    EXPECT_LT(seconds, 45);
    if (c.isSignalledWhileConnecting) {
      // The grace, and the moment a killed driver process leaves the run.
      EXPECT_LT(std::chrono::duration<double>(std::chrono::steady_clock::now() - signalled).count(), 8);
    }
    EXPECT_EQ(AwaitAnswer(running, "0"), "0") << "the statement still runs on the server";
  }
  for (int connection : accepted) ::close(connection);
  ::close(silent);

  // The longest limits still let a statement run: psqlODBC counts its query
  // timeout in milliseconds of 32 bits, where 4294966 s once became 704 ms.
  WriteDataSource(port_);
  tree_.WriteJobFile("PG", "[JOB]\nSQL001=SELECT 7, pg_sleep(1.5)\nFELD01=ID\nFTYP01=DEC\nFLEN01=8\n");
  const std::map<std::string, std::string> plain = env_;
  for (const char* limit : {"4294966", "2147483647"}) {
    SCOPED_TRACE(limit);
    WriteFileBytes(tree_.runDir + "/pg.dat", "complete old export");
    env_ = plain;
    env_["KORVADEX_TIMEOUT"] = limit;
    env_["KORVADEX_CONNECT_TIMEOUT"] = limit;
    const CommandResult result = RunJob("pg.dat");
    EXPECT_EQ(result.exitCode, 0);
    EXPECT_EQ(result.out, "1 Saetze kopiert in Datei pg.dat \n");
    EXPECT_EQ(ReadFileBytes(tree_.runDir + "/pg.dat"), "00000007");
  }
}

// psqlODBC reads the error number of a connection it has already dropped when
// a FETCH answer breaks off after some of its rows (a server restart, a network
// cut) and crashes inside SQLFetch. The proxy cuts the third cursor block
// (rows 41 to 60) after row 45, at the same byte in every run.
TEST_F(ServerSessionTest, DriverCrashAtACutFetchAnswerIsAReadError) {
  testing::FetchCutProxy proxy(std::stoi(port_), 3, 5);
  ASSERT_TRUE(proxy.Start());
  WriteDataSource(std::to_string(proxy.port()));
  // Forty rows leave the third answer empty: the proxy relays the whole run.
  tree_.WriteJobFile("PG", "[FORTY]\nSQL001=SELECT id, 'row-' || id FROM big WHERE id <= 40 ORDER BY id\n"
                           "FELD01=ID\nFTYP01=DEC\nFLEN01=8\nFELD02=NAME\nFTYP02=CHAR\nFLEN02=12\n"
                           "[JOB]\nSQL001=SELECT id, 'row-' || id FROM big ORDER BY id\n"
                           "FELD01=ID\nFTYP01=DEC\nFLEN01=8\nFELD02=NAME\nFTYP02=CHAR\nFLEN02=12\n");
  const CommandResult whole = RunJob("forty.dat", "FORTY");
  EXPECT_EQ(whole.out, "40 Saetze kopiert in Datei forty.dat \n");
  const std::string forty = ReadFileBytes(tree_.runDir + "/forty.dat");
  ASSERT_EQ(forty.size(), 40u * 20);
  EXPECT_EQ(forty.substr(0, 20), "00000001row-1       ");
  EXPECT_EQ(forty.substr(780), "00000040row-40      ");
  EXPECT_FALSE(proxy.hasCut());

  WriteFileBytes(tree_.runDir + "/pg.dat", "complete old export");
  env_["KORVADEX_REPORT"] = dir_ / "report.json";
  const CommandResult result = RunJob("pg.dat");
  const nlohmann::json report = testing::ReadCheckedReport(dir_ / "report.json", "kv-secret");
  EXPECT_EQ(report["exit"]["name"], "read_failed");
  EXPECT_EQ(report["output"]["rows"], 0);
  EXPECT_TRUE(report["output"]["sha256"].is_null());
  // A sanitizer build catches the SIGSEGV itself and exits with its own code.
  const char* ending = testing::kIsThreadSanitized       ? "ODBC-Treiberprozess beendet mit Code 66"
                       : testing::CanLimitAddressSpace() ? "ODBC-Treiberprozess beendet durch Signal 11 (SIGSEGV)"
                                                         : "ODBC-Treiberprozess beendet mit Code 1";
  const nlohmann::json crash = {{"sqlstate", nullptr}, {"native", nullptr}, {"text", ending}};
  EXPECT_EQ(report["diagnostics"], nlohmann::json::array({crash})) << report["diagnostics"];
  std::string queries;
  for (const std::string& query : proxy.Queries()) queries += "\n  " + query;
  ASSERT_TRUE(proxy.hasCut()) << "the third FETCH answer never came; queries:" << queries;
  EXPECT_EQ(result.exitCode, 6);
  EXPECT_EQ(result.out, "Fehler Lesen in Leseschleife -10 Saetze kopiert in Datei pg.dat \n");
  EXPECT_EQ(ReadFileBytes(tree_.runDir + "/pg.dat"), "complete old export");
  // The crashed driver process left no core file with rows (and memory that
  // held the password) in the operator's folder.
  EXPECT_EQ(CoreFilesIn(tree_.runDir), std::vector<std::string>{});
}

// With a single-byte client encoding psqlODBC crashes inside SQLFetch on a row
// of a later cursor block that the encoding cannot represent; row 50 comes in
// the third block of twenty. Other driver versions report an error instead:
// either way it is a read error.
TEST_F(ServerSessionTest, DriverCrashOnARowTheClientEncodingCannotHoldIsAReadError) {
  Psql("CREATE TABLE prices AS SELECT g AS id, CASE g WHEN 50 THEN 'Preis 5 ' || chr(8364) ELSE 'row-' || g END "
       "AS name FROM generate_series(1, 100) g");
  tree_.WriteJobFile("PG", "[JOB]\nSQL001=SELECT id, name FROM prices ORDER BY id\n"
                           "FELD01=ID\nFTYP01=DEC\nFLEN01=8\nFELD02=NAME\nFTYP02=CHAR\nFLEN02=12\n");
  for (const char* driver : {"psqlodbca.so", "psqlodbcw.so"}) {
    WriteDataSource(port_, "ConnSettings=SET client_encoding TO 'LATIN1'\n", driver);
    WriteFileBytes(tree_.runDir + "/pg.dat", "complete old export");
    const CommandResult result = RunJob("pg.dat");
    EXPECT_EQ(result.exitCode, 6) << driver;
    EXPECT_EQ(result.out, "Fehler Lesen in Leseschleife -10 Saetze kopiert in Datei pg.dat \n") << driver;
    EXPECT_EQ(ReadFileBytes(tree_.runDir + "/pg.dat"), "complete old export") << driver;
  }
}

// A signal for the run during the fetch, and a driver process that dies
// during it, as a crashing driver would.
TEST_F(FaultTest, InterruptOrDriverDeathDuringTheFetchLeavesTheTarget) {
  Job("SQL001=WITH RECURSIVE n(i) AS (SELECT 1 UNION ALL SELECT i + 1 FROM n WHERE i < 50000000) "
      "SELECT i FROM n\nFELD01=I\nFTYP01=DEC\nFLEN01=9\n");
  WriteFileBytes(Out("old.dat"), "old content");
  struct Case {
    bool isForDriver;  // the signal goes to the driver process, not the run
    int signal;
    int exitCode;
    std::string out;
    bool isDriverOnThread = false;
  };
  const Case cases[] = {
      {false, SIGINT, 128 + SIGINT, "0 Saetze kopiert in Datei old.dat \n"},
      {false, SIGTERM, 128 + SIGTERM, "0 Saetze kopiert in Datei old.dat \n"},
      {false, SIGTERM, 128 + SIGTERM, "0 Saetze kopiert in Datei old.dat \n", true},
      {true, SIGSEGV, 6,
       "Fehler Lesen in Leseschleife -1\nODBC-Treiberprozess beendet durch Signal 11 (SIGSEGV)\n"
       "0 Saetze kopiert in Datei old.dat \n"},
      {true, SIGKILL, 6,
       "Fehler Lesen in Leseschleife -1\nODBC-Treiberprozess beendet durch Signal 9 (SIGKILL)\n"
       "0 Saetze kopiert in Datei old.dat \n"},
  };
  const std::string statementRead = "End GetIniValues\n";
  for (const Case& c : cases) {
    SCOPED_TRACE(strsignal(c.signal));
    // ThreadSanitizer's own handler hangs on a SIGSEGV sent from outside; the
    // real driver crashes of the proxy tests still run in that build.
    if (c.signal == SIGSEGV && testing::kIsThreadSanitized) continue;
    if (c.isDriverOnThread && !CanDenyFork()) continue;
    std::vector<std::string> argv = kWithCores;
    if (c.isDriverOnThread) argv.push_back(kForkDenied);
    argv.insert(argv.end(), {KORVADEX_BINARY, "JOB", "T1", "old.dat", "0", "/D"});
    std::map<std::string, std::string> env = env_;
    env["KORVADEX_REPORT"] = dir_ / "report.json";
    Child child(argv, tree_.runDir, env, dir_ / "stdout");
    // The fetch is under way once records pile up in the run after the statement went out.
    int status = 0;
    long residentAtStart = -1;
    bool isFetching = false;
    for (int attempt = 0; attempt < 3000 && !isFetching; ++attempt) {
      ASSERT_FALSE(child.HasEnded(status)) << ReadFileBytes(dir_ / "stdout");
      long size = 0;
      long resident = 0;
      std::ifstream("/proc/" + std::to_string(child.pid()) + "/statm") >> size >> resident;
      if (residentAtStart < 0 && ReadFileBytes(dir_ / "stdout").find(statementRead) != std::string::npos) {
        residentAtStart = resident;
      }
      isFetching = residentAtStart >= 0 && resident - residentAtStart > 2048;  // 8 MiB of pages
      if (!isFetching) std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    ASSERT_TRUE(isFetching);
    const std::vector<pid_t> pids = ProcessAndChildren(child.pid());
    ASSERT_EQ(pids.size(), c.isDriverOnThread ? 1u : 2u) << "the run and its driver process";
    ::kill(c.isForDriver ? pids[1] : pids[0], c.signal);
    ASSERT_TRUE(child.WaitFor(std::chrono::seconds(60), status)) << "korvadex did not end";
    ASSERT_TRUE(WIFEXITED(status)) << "korvadex ended by signal " << WTERMSIG(status);
    EXPECT_EQ(WEXITSTATUS(status), c.exitCode);
    const std::string out = ReadFileBytes(dir_ / "stdout");
    EXPECT_EQ(out.find(kDriverOnThread) != std::string::npos, c.isDriverOnThread);
    std::string tail = out.substr(out.find(statementRead) + statementRead.size());
    // A sanitizer build catches the SIGSEGV itself and exits with 1 instead.
    const std::string caught = "ODBC-Treiberprozess beendet mit Code 1\n";
    if (c.signal == SIGSEGV && tail.find(caught) != std::string::npos) {
      tail.replace(tail.find(caught), caught.size(), "ODBC-Treiberprozess beendet durch Signal 11 (SIGSEGV)\n");
    }
    EXPECT_EQ(tail, c.out);
    EXPECT_EQ(ReadFileBytes(Out("old.dat")), "old content");
    const nlohmann::json report = testing::ReadCheckedReport(dir_ / "report.json", "s3cr3t-Pw");
    EXPECT_EQ(report["exit"]["code"], c.exitCode);
    EXPECT_EQ(report["exit"]["name"], c.isForDriver ? "read_failed" : "stopped");
    EXPECT_EQ(report["output"]["rows"], 0);
    EXPECT_EQ(report["stop"]["signal"].is_null(), c.isForDriver);
    if (!c.isForDriver) {
      EXPECT_EQ(report["stop"]["signal"]["name"], std::string("SIG") + sigabbrev_np(c.signal));
    }
    // The driver process makes no core file, though the limit allows one.
    EXPECT_EQ(CoreFilesIn(tree_.runDir), std::vector<std::string>{});
  }
}

// The driver on a thread of the run, where no process can be had: an export
// of several batches comes out as with a driver process, and a statement that
// SQLite cannot cancel (one step that counts for hours) ends the run at the
// deadline's grace, since the thread cannot be ended apart from the run.
TEST_F(FaultTest, DriverOnAThreadExportsTheSameFileAndEndsTheRunAtTheDeadline) {
  if (!CanDenyFork()) GTEST_SKIP() << "no seccomp filter for fork here";
  const std::string export50k =
      "SQL001=WITH RECURSIVE n(i) AS (SELECT 1 UNION ALL SELECT i + 1 FROM n WHERE i < 50000) "
      "SELECT 100000 - i, 'row-' || i FROM n\nFELD01=N\nFTYP01=DEC\nFLEN01=6\nFELD02=V\nFTYP02=CHAR\nFLEN02=10\n";
  Job(export50k);
  ASSERT_EQ(Run("process.dat", "1").out, "50000 Saetze kopiert in Datei process.dat \n");
  const std::string exported = ReadFileBytes(Out("process.dat"));
  ASSERT_EQ(exported.substr(0, 32), "050000row-50000 050001row-49999 ");
  struct Case {
    std::string job;
    std::map<std::string, std::string> settings;
    int exitCode;
    std::string out;       // what follows the statement's trace
    std::string file;      // the target after the run
    double leastSeconds;   // the deadline and its grace
  };
  const Case cases[] = {
      {export50k, {}, 0, "Str WriteFile\nEnd WriteFile\n50000 Saetze kopiert in Datei thread.dat \n", exported, 0},
      {"SQL001=WITH RECURSIVE n(i) AS (SELECT 1 UNION ALL SELECT i + 1 FROM n WHERE i < 1000000000000) "
       "SELECT count(*) FROM n\nFELD01=C\nFTYP01=DEC\nFLEN01=9\n",
       {{"KORVADEX_TIMEOUT", "2"}}, 9,
       "Zeitlimit ueberschritten \nZeitlimit KORVADEX_TIMEOUT=2 abgelaufen in Phase fetch\n"
       "0 Saetze kopiert in Datei thread.dat \n",
       "old content", 5},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.out);
    Job(c.job);
    WriteFileBytes(Out("thread.dat"), "old content");
    std::map<std::string, std::string> env = env_;
    env.insert(c.settings.begin(), c.settings.end());
    env["KORVADEX_REPORT"] = dir_ / "report.json";
    const auto start = std::chrono::steady_clock::now();
    Child child({kForkDenied, KORVADEX_BINARY, "JOB", "T1", "thread.dat", "1", "/D"}, tree_.runDir, env,
                dir_ / "stdout");
    int status = 0;
    ASSERT_TRUE(child.WaitFor(std::chrono::minutes(1), status)) << "korvadex hangs";
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    ASSERT_TRUE(WIFEXITED(status)) << "korvadex ended by signal " << WTERMSIG(status);
    EXPECT_EQ(WEXITSTATUS(status), c.exitCode);
    const std::string out = ReadFileBytes(dir_ / "stdout");
    EXPECT_NE(out.find(kDriverOnThread), std::string::npos) << out;
    EXPECT_EQ(out.substr(out.find("End GetIniValues\n") + 17), c.out);
    const std::string file = ReadFileBytes(Out("thread.dat"));
    EXPECT_TRUE(file == c.file) << file.size() << " bytes";
    EXPECT_GE(seconds, c.leastSeconds);
  }
}

// A run blocked in its own work, where no driver can be cancelled: a
// target that is a pipe nobody opens or whose reader stops reading, and a
// credentials file that is a pipe nobody writes. The deadline's grace ends
// it all the same, and a stop signal after the deadline ends it at once.
TEST_F(FaultTest, DeadlineEndsARunBlockedInItsOwnWork) {
  Job("SQL001=WITH RECURSIVE c(x) AS (SELECT 1 UNION ALL SELECT x + 1 FROM c WHERE x < 50000)\n"
      "SQL002=SELECT x, 'row-' || x FROM c\nFELD01=N\nFTYP01=DEC\nFLEN01=8\nFELD02=NAME\nFTYP02=CHAR\nFLEN02=52\n");
  const std::string credentials = ReadFileBytes(tree_.credentialPath);
  enum class Blocked { TargetNotOpened, TargetNotRead, CredentialsNotWritten };
  struct Case {
    const char* label;
    Blocked blocked;
    bool isSignalledAfterTheDeadline;
    const char* phase;
    double mostSeconds;  // the deadline, its grace, and what the end may wait for
  };
  const Case cases[] = {
      {"target pipe without a reader", Blocked::TargetNotOpened, false, "write", 9},
      {"target pipe whose reader stops", Blocked::TargetNotRead, false, "write", 10},
      {"credentials pipe without a writer", Blocked::CredentialsNotWritten, false, "connect", 11},
      {"target pipe without a reader, SIGTERM after the deadline", Blocked::TargetNotOpened, true, "write", 4.5},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.label);
    ::unlink(Out("pipe.dat").c_str());
    ::unlink(tree_.credentialPath.c_str());
    if (c.blocked == Blocked::CredentialsNotWritten) {
      ASSERT_EQ(::mkfifo(tree_.credentialPath.c_str(), 0600), 0);
    } else {
      WriteFileBytes(tree_.credentialPath, credentials);
      ASSERT_EQ(::mkfifo(Out("pipe.dat").c_str(), 0600), 0);
    }
    // Reads a little, then holds the pipe open without reading.
    std::unique_ptr<Child> reader;
    if (c.blocked == Blocked::TargetNotRead) {
      reader = std::make_unique<Child>(
          std::vector<std::string>{"/bin/sh", "-c", "exec 3<pipe.dat; head -c 1000 <&3 >/dev/null; exec sleep 600"},
          tree_.runDir, std::map<std::string, std::string>{}, dir_ / "reader");
    }
    std::map<std::string, std::string> env = env_;
    env["KORVADEX_TIMEOUT"] = "2";
    const auto start = std::chrono::steady_clock::now();
    Child child({KORVADEX_BINARY, "JOB", "T1", "pipe.dat", "0", "/D"}, tree_.runDir, env, dir_ / "stdout");
    if (c.isSignalledAfterTheDeadline) {
      // A second past the deadline, two before its grace ends.
      std::this_thread::sleep_until(start + std::chrono::seconds(3));
      ::kill(child.pid(), SIGTERM);
    }
    int status = 0;
    ASSERT_TRUE(child.WaitFor(std::chrono::minutes(1), status)) << "korvadex hangs";
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    ASSERT_TRUE(WIFEXITED(status)) << "ended by signal " << WTERMSIG(status);
    EXPECT_EQ(WEXITSTATUS(status), 9);
    const std::string out = ReadFileBytes(dir_ / "stdout");
    EXPECT_TRUE(out.ends_with(std::string("Zeitlimit ueberschritten \nZeitlimit KORVADEX_TIMEOUT=2 abgelaufen in Phase ") +
                              c.phase + "\n0 Saetze kopiert in Datei pipe.dat \n"))
        << out;
    EXPECT_GE(seconds, c.isSignalledAfterTheDeadline ? 3 : 5);
    EXPECT_LT(seconds, c.mostSeconds);
    EXPECT_EQ(NamesIn(tree_.runDir, "pipe.dat"), c.blocked == Blocked::CredentialsNotWritten
                                                    ? std::vector<std::string>{}
                                                    : std::vector<std::string>{"pipe.dat"});
  }
  ::unlink(tree_.credentialPath.c_str());
  WriteFileBytes(tree_.credentialPath, credentials);
}

// ---- Input files -----------------------------------------------------------

TEST_F(FaultTest, UnreadableCredentialsFileFailsTheConnect) {
  Job(kTwoRowJob);
  // A folder in the file's place opens but cannot be read, even by root.
  ::unlink(tree_.credentialPath.c_str());
  testing::MakeDirs(tree_.credentialPath);
  CommandResult folder = Run("out.dat", "1");
  EXPECT_EQ(folder.exitCode, 4);
  EXPECT_EQ(folder.out, "dbConnect_Status: -1\n");
  ::rmdir(tree_.credentialPath.c_str());

  tree_.WriteCredentials("KVTEST", "user", "s3cr3t-Pw", "SQLITE");
  ::chmod(tree_.credentialPath.c_str(), 0);
  std::vector<std::string> prefix;
  if (IsRoot()) {
    if (!HasSetpriv()) GTEST_SKIP() << "running as root without setpriv: mode 000 does not bind root";
    OpenTreeToOthers();
    prefix = AsNobody();
  }
  CommandResult denied = Run("out.dat", "1", "T1", prefix);
  EXPECT_EQ(denied.exitCode, 4);
  EXPECT_EQ(denied.out, "dbConnect_Status: -1\n");
  EXPECT_FALSE(FileExists(Out("out.dat")));
}

TEST_F(FaultTest, BinaryGarbageJobFileEndsWithCodeThree) {
  std::mt19937 random(7);
  std::string garbage(64 * 1024, '\0');
  for (char& c : garbage) c = static_cast<char>(random());
  tree_.WriteJobFile("SQLITE", garbage);
  CommandResult result = Run("out.dat", "1");
  EXPECT_EQ(result.exitCode, 3);
  EXPECT_EQ(result.out, "");
  EXPECT_EQ(result.err, "");
  EXPECT_FALSE(FileExists(Out("out.dat")));
}

TEST_F(FaultTest, NulBytesInTheJobFile) {
  // A NUL byte after the section's bracket and inside a comment line changes nothing.
  using namespace std::string_literals;
  tree_.WriteJobFile("SQLITE", "[JOB]\0junk\n;\0\nSQL001=SELECT k FROM t\nFELD01=K\nFTYP01=CHAR\nFLEN01=2\n"s);
  CommandResult result = Run("out.dat", "1");
  EXPECT_EQ(result.out, "2 Saetze kopiert in Datei out.dat \n");
  EXPECT_EQ(ReadFileBytes(Out("out.dat")), "a b ");
}

TEST_F(FaultTest, HundredKilobyteLinesAreCut) {
  const std::string pad(100 * 1024, ' ');
  Job("SQL001=SELECT v FROM t" + pad + "never read\n" + "FELD01=" + std::string(100 * 1024, 'N') +
      "\nFTYP01=TXT" + pad + "\nFLEN01=5" + std::string(100 * 1024, '9') + "\n; " + pad + "\n");
  CommandResult result = Run("out.dat", "1");
  EXPECT_EQ(result.out, "2 Saetze kopiert in Datei out.dat \n");
  // The width text is cut to its first three characters: "599".
  EXPECT_EQ(ReadFileBytes(Out("out.dat")), "one" + std::string(596, ' ') + "two" + std::string(596, ' '));
}

TEST_F(FaultTest, OnlyTheFirst999OfAThousandPiecesAreRead) {
  std::string body = "SQL001=SELECT 0\n";
  char key[16];
  for (int piece = 2; piece <= 999; ++piece) {
    std::snprintf(key, sizeof key, "SQL%03d", piece);
    body += std::string(key) + "=+ 1\n";
  }
  body += "SQL1000=+ 5000\nFELD01=N\nFTYP01=DEC\nFLEN01=5\n";
  Job(body);
  CommandResult result = Run("out.dat", "1");
  EXPECT_EQ(result.out, "1 Saetze kopiert in Datei out.dat \n");
  EXPECT_EQ(ReadFileBytes(Out("out.dat")), "00998");
}

TEST_F(FaultTest, KeysWithoutValues) {
  Job("SQL001=SELECT k, v FROM t\nFELD01\nFTYP01=\nFLEN01=\nFELD02=V\nFTYP02=CHAR\nFLEN02\n"
      "FELD03=\nFTYP03=TXT\nFLEN03=4\n");
  CommandResult result = Run("out.dat", "1");
  EXPECT_EQ(result.out, "2 Saetze kopiert in Datei out.dat \n");
  // No column contributes: two records of length 0 make an empty file.
  EXPECT_TRUE(FileExists(Out("out.dat")));
  EXPECT_EQ(ReadFileBytes(Out("out.dat")), "");

  Job("SQL001=\nSQL002=SELECT 1\nFELD01=A\nFTYP01=DEC\nFLEN01=1\n");
  CommandResult noStatement = Run("none.dat", "1");
  EXPECT_EQ(noStatement.exitCode, 3);
  EXPECT_EQ(noStatement.out, "");
  EXPECT_FALSE(FileExists(Out("none.dat")));
}

// ---- Results and arguments ---------------------------------------------------

TEST_F(FaultTest, FortyResultColumnsFillAllThirtyFields) {
  std::string body = "SQL001=SELECT 1";
  for (int i = 2; i <= 40; ++i) body += ", " + std::to_string(i);
  body += "\n";
  for (int n = 1; n <= 30; ++n) {
    char line[64];
    std::snprintf(line, sizeof line, "FELD%02d=C\nFTYP%02d=DEC\nFLEN%02d=2\n", n, n, n);
    body += line;
  }
  Job(body);
  CommandResult result = Run("wide.dat", "1");
  EXPECT_EQ(result.out, "1 Saetze kopiert in Datei wide.dat \n");
  EXPECT_EQ(ReadFileBytes(Out("wide.dat")),
            "010203040506070809101112131415161718192021222324252627282930");
}

TEST_F(FaultTest, TerminalNameOfTenThousandCharacters) {
  Job("SQL001=SELECT '$parm01', length('$parm01')\nFELD01=T\nFTYP01=TXT\nFLEN01=100\n"
      "FELD02=L\nFTYP02=DEC\nFLEN02=6\n");
  const std::string terminal = "b" + std::string(9998, 'a') + "Z";
  CommandResult result = Run("term.dat", "1", terminal);
  EXPECT_EQ(result.out, "1 Saetze kopiert in Datei term.dat \n");
  // The statement carries the whole name; the driver hands over 99 bytes of the value.
  EXPECT_EQ(ReadFileBytes(Out("term.dat")), "b" + std::string(98, 'a') + " " + "010000");
}

TEST_F(FaultTest, ValuesOfTenThousandCharacters) {
  // 96 bytes of v, then xyz, then 10,003 bytes more: the cuts show which end each keeps.
  Sql("INSERT INTO t VALUES ('c', replace(hex(zeroblob(48)), '0', 'v') || 'xyz' || "
      "replace(hex(zeroblob(5000)), '0', 'w') || 'END');");
  Job("SQL001=SELECT k, v, v FROM t WHERE k = 'c'\nFELD01=K\nFTYP01=CHAR\nFLEN01=1\n"
      "FELD02=V\nFTYP02=TXT\nFLEN02=101\nFELD03=W\nFTYP03=DEC\nFLEN03=3\n");
  CommandResult result = Run("long.dat", "1");
  EXPECT_EQ(result.out, "1 Saetze kopiert in Datei long.dat \n");
  EXPECT_EQ(ReadFileBytes(Out("long.dat")), "c" + std::string(96, 'v') + "xyz" + "  " + "xyz");
}

TEST_F(FaultTest, EmptyResultLeavesEveryTargetAsItWas) {
  Job("SQL001=SELECT k FROM t WHERE k = 'none'\nFELD01=K\nFTYP01=CHAR\nFLEN01=2\n");
  WriteFileBytes(Out("old.dat"), "old content");
  for (const char* flag : {"1", "0"}) {
    EXPECT_EQ(Run("old.dat", flag).out, "0 Saetze kopiert in Datei old.dat \n");
    EXPECT_EQ(ReadFileBytes(Out("old.dat")), "old content");
    EXPECT_EQ(Run("new.dat", flag).out, "0 Saetze kopiert in Datei new.dat \n");
    EXPECT_FALSE(FileExists(Out("new.dat")));
  }
}

TEST_F(FaultTest, UpdateStatementIsAReadErrorAndWritesNothing) {
  Job("SQL001=UPDATE t SET v = 'changed'\nFELD01=K\nFTYP01=CHAR\nFLEN01=2\n");
  WriteFileBytes(Out("old.dat"), "old content");
  CommandResult result = Run("old.dat", "1");
  EXPECT_EQ(result.exitCode, 0);
  EXPECT_EQ(result.out, "Fehler Lesen in Leseschleife -10 Saetze kopiert in Datei old.dat \n");
  EXPECT_EQ(ReadFileBytes(Out("old.dat")), "old content");
  // One that finds no row: SQLite's driver says "no data" for it, which is no failure.
  Job("SQL001=UPDATE t SET v = 'again' WHERE k = 'none'\nFELD01=K\nFTYP01=CHAR\nFLEN01=2\n");
  CommandResult none = Run("old.dat", "1");
  EXPECT_EQ(none.exitCode, 0);
  EXPECT_EQ(none.out, "0 Saetze kopiert in Datei old.dat \n");
  EXPECT_EQ(ReadFileBytes(Out("old.dat")), "old content");
}

// ---- Secrets -----------------------------------------------------------------

TEST_F(FaultTest, DebugRunsNeverPrintThePassword) {
  Job(kTwoRowJob);
  CommandResult working = Run("out.dat", "1", "T1", {});
  ASSERT_EQ(working.out, "2 Saetze kopiert in Datei out.dat \n");
  std::vector<std::string> debug = {KORVADEX_BINARY, "JOB", "T1", "dbg.dat", "1", "/D"};
  CommandResult traced = testing::RunCommand(debug, tree_.runDir, env_);
  EXPECT_NE(traced.out.find("End WriteFile\n"), std::string::npos) << traced.out;
  tree_.WriteCredentials("NOSUCHDSN", "user", "s3cr3t-Pw", "SQLITE");
  CommandResult failing = testing::RunCommand(debug, tree_.runDir, env_);
  EXPECT_EQ(failing.out.rfind(" Aktiviert Debugger\ndbConnect_Status: -1\nODBC-Diagnose:", 0), 0u)
      << failing.out;
  for (const CommandResult* result : {&traced, &failing}) {
    EXPECT_EQ(result->out.find("s3cr3t"), std::string::npos) << result->out;
    EXPECT_EQ(result->err.find("s3cr3t"), std::string::npos) << result->err;
  }
}

TEST_F(FaultTest, ImmutableCredentialsFileStillServesARun) {
  Job(kTwoRowJob);
  if (IsRoot()) {
    ImmutableFile immutable(tree_.credentialPath);
    if (!immutable.isSet()) GTEST_SKIP() << "running as root and chattr +i is not supported here";
    EXPECT_EQ(Run("out.dat", "1").out, "2 Saetze kopiert in Datei out.dat \n");
  } else {
    ::chmod(tree_.credentialPath.c_str(), 0444);
    EXPECT_EQ(Run("out.dat", "1").out, "2 Saetze kopiert in Datei out.dat \n");
  }
  EXPECT_EQ(ReadFileBytes(Out("out.dat")), "a one b two ");
}

// Stops korvadex under gdb and counts the password's bytes in all of its
// writable memory: present while SQLConnect runs (so the scan can see it), gone
// once the connect has returned. Short and long values take different paths
// through std::string (in place or on the heap).
TEST_F(FaultTest, PasswordLeavesMemoryOnceConnected) {
  if (::access("/usr/bin/gdb", X_OK) != 0) GTEST_SKIP() << "gdb is not installed";
  Job(kTwoRowJob);
  for (const std::string password : {"Zq7Geheim", "Zq7Geheim-and-forty-more-characters-0123456789"}) {
    tree_.WriteCredentials("KVTEST", "user", password, "SQLITE");
    WriteFileBytes(dir_ / "scan.py",
                   "import gdb\n"
                   "inf = gdb.selected_inferior()\n"
                   "hits = 0\n"
                   "for line in open('/proc/%d/maps' % inf.pid):\n"
                   "    parts = line.split()\n"
                   "    lo, hi = [int(x, 16) for x in parts[0].split('-')]\n"
                   "    if parts[1][:2] != 'rw' or hi - lo > (1 << 28):\n"
                   "        continue\n"
                   "    try:\n"
                   "        hits += bytes(inf.read_memory(lo, hi - lo)).count(b'" + password + "')\n"
                   "    except gdb.MemoryError:\n"
                   "        pass\n"
                   "print('PASSWORD-HITS %d' % hits)\n");
    // The driver process connects; the run itself only passes the password on.
    auto scanAt = [&](const std::string& breakpoint, const char* process) {
      CommandResult result = testing::RunCommand(
          {"/usr/bin/gdb", "-q", "-batch", "-ex", "set breakpoint pending on", "-ex",
           std::string("set follow-fork-mode ") + process, "-ex", "break " + breakpoint, "-ex", "run", "-ex",
           "source " + (dir_ / "scan.py"), "-ex", "kill inferiors 1 2", "--args", KORVADEX_BINARY, "JOB", "T1",
           "out.dat", "1"},
          tree_.runDir, env_);
      const std::size_t at = result.out.find("PASSWORD-HITS ");
      return at == std::string::npos ? -1 : std::atoi(result.out.c_str() + at + 14);
    };
    const int during = scanAt("SQLConnect", "child");
    // Only root may read the driver process, which is not dumpable.
    if (during < 0) GTEST_SKIP() << "gdb cannot read the driver process here (not root, no ptrace or no python)";
    EXPECT_GE(during, 1) << password;
    EXPECT_EQ(scanAt("SQLExecDirect", "child"), 0) << password;
    EXPECT_EQ(scanAt("korvadex::GetIniValues", "parent"), 0) << password;
  }
}

TEST_F(FaultTest, CredentialsFileIsOpenedOnlyForReading) {
  if (::access("/usr/bin/strace", X_OK) != 0) GTEST_SKIP() << "strace is not installed";
  Job(kTwoRowJob);
  const std::string trace = dir_ / "trace";
  // LeakSanitizer cannot run under ptrace; in a sanitizer build the leak check
  // is left to the other tests.
  std::map<std::string, std::string> env = env_;
  env["ASAN_OPTIONS"] = "detect_leaks=0";
  CommandResult result = testing::RunCommand(
      {"/usr/bin/strace", "-f", "-qq", "-e", "trace=open,openat,creat,truncate", "-o", trace,
       KORVADEX_BINARY, "JOB", "T1", "out.dat", "1"},
      tree_.runDir, env);
  if (result.err.find("ptrace") != std::string::npos) GTEST_SKIP() << "ptrace is not permitted: " << result.err;
  ASSERT_EQ(result.out, "2 Saetze kopiert in Datei out.dat \n");
  std::ifstream lines(trace);
  int opens = 0;
  for (std::string line; std::getline(lines, line);) {
    if (line.find("Kastrovin.Ini") == std::string::npos) continue;
    ++opens;
    EXPECT_NE(line.find("O_RDONLY"), std::string::npos) << line;
    for (const char* flag : {"O_WRONLY", "O_RDWR", "O_CREAT", "O_TRUNC", "O_APPEND", "creat(", "truncate("}) {
      EXPECT_EQ(line.find(flag), std::string::npos) << line;
    }
  }
  // One open for each of the four values.
  EXPECT_EQ(opens, 4);
}

// The new file is on disk before it takes the target's name, by a link (no
// target yet) or a rename (one to replace): else a crash just after could
// leave an empty file under the name.
TEST_F(FaultTest, ReplaceFlushesTheNewFileBeforeItTakesTheName) {
  if (::access("/usr/bin/strace", X_OK) != 0) GTEST_SKIP() << "strace is not installed";
  Job(kTwoRowJob);
  std::map<std::string, std::string> env = env_;
  env["ASAN_OPTIONS"] = "detect_leaks=0";
  const std::string trace = dir_ / "trace";
  for (const char* call : {"linkat", "rename"}) {
    CommandResult result = testing::RunCommand(
        {"/usr/bin/strace", "-qq", "-e", "trace=openat,fsync,fdatasync,linkat,rename", "-o", trace,
         KORVADEX_BINARY, "JOB", "T1", "out.dat", "1"},
        tree_.runDir, env);
    if (result.err.find("ptrace") != std::string::npos) GTEST_SKIP() << "ptrace is not permitted: " << result.err;
    ASSERT_EQ(result.out, "2 Saetze kopiert in Datei out.dat \n");
    std::ifstream lines(trace);
    std::string newFile;  // the new file's descriptor, as strace prints it
    bool isSynced = false;
    bool isNamed = false;
    for (std::string line; std::getline(lines, line);) {
      if (line.rfind("openat(", 0) == 0 && (line.find("O_TMPFILE") != std::string::npos ||
                                            line.find(".korvadex-") != std::string::npos)) {
        newFile = line.substr(line.rfind("= ") + 2);
        isSynced = false;
      }
      for (const char* flush : {"fsync(", "fdatasync("}) {
        if (!newFile.empty() && line.rfind(flush + newFile + ")", 0) == 0 && line.ends_with("= 0")) isSynced = true;
      }
      if (line.rfind(std::string(call) + "(", 0) == 0 && line.find("out.dat") != std::string::npos) {
        isNamed = true;
        EXPECT_TRUE(isSynced) << call << " before the flush of descriptor " << newFile;
      }
    }
    EXPECT_TRUE(isNamed) << "no " << call << " to out.dat";
    EXPECT_EQ(ReadFileBytes(Out("out.dat")), "a one b two ");
  }
}

}  // namespace
}  // namespace korvadex
