// Tests of writing the download file: replace, append, special targets and
// what is left in the folder afterwards.
#include "output/download_writer.h"

#include <dirent.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <grp.h>
#include <pwd.h>
#include <sys/file.h>
#include <sched.h>
#include <signal.h>
#include <sys/mount.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <functional>
#include <thread>

#include "platform/run_signals.h"

#include "test_support.h"

namespace korvadex {
namespace {

using testing::ReadFileBytes;
using testing::WriteFileBytes;

std::unique_ptr<RecordList> List(std::initializer_list<const char*> records) {
  std::unique_ptr<RecordList> list;
  for (const char* record : records) AddRecord(list, record);
  return list;
}

std::vector<std::string> FolderEntries(const std::string& folder) {
  std::vector<std::string> names;
  DIR* dir = ::opendir(folder.c_str());
  if (dir == nullptr) return names;
  while (dirent* entry = ::readdir(dir)) {
    std::string name = entry->d_name;
    if (name != "." && name != "..") names.push_back(name);
  }
  ::closedir(dir);
  std::sort(names.begin(), names.end());
  return names;
}

mode_t ModeOf(const std::string& path) {
  struct stat st {};
  ::stat(path.c_str(), &st);
  return st.st_mode & 07777;
}

struct stat StatOf(const std::string& path) {
  struct stat st {};
  ::stat(path.c_str(), &st);
  return st;
}

std::string AttributeOf(const std::string& path, const char* name) {
  char value[256];
  const ssize_t size = ::getxattr(path.c_str(), name, value, sizeof value);
  return size < 0 ? "<none>" : std::string(value, static_cast<std::size_t>(size));
}

// True when process `pid` has `path` open under another number than `except`.
bool HasOpen(pid_t pid, const std::string& path, int except) {
  const std::string fdFolder = "/proc/" + std::to_string(pid) + "/fd/";
  std::unique_ptr<DIR, int (*)(DIR*)> dir(::opendir(fdFolder.c_str()), ::closedir);
  if (!dir) return false;
  while (const dirent* entry = ::readdir(dir.get())) {
    char link[4096];
    const ssize_t length = ::readlink((fdFolder + entry->d_name).c_str(), link, sizeof link);
    if (entry->d_name == std::to_string(except)) continue;
    if (length > 0 && std::string(link, static_cast<std::size_t>(length)) == path) return true;
  }
  return false;
}

// Starts `body` in a forked child, whose process-wide state (limits, a stop
// signal, a mount namespace, its user) the test must not keep.
pid_t StartChild(const std::function<int()>& body) {
  std::fflush(stdout);
  const pid_t pid = ::fork();
  if (pid == 0) ::_exit(body());
  return pid;
}

// The child's exit code, -1 when it did not exit.
int WaitChild(pid_t pid) {
  int status = 0;
  ::waitpid(pid, &status, 0);
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

int InChild(const std::function<int()>& body) { return WaitChild(StartChild(body)); }

int Code(WriteOutcome outcome) { return static_cast<int>(outcome); }

TEST(DownloadWriterTest, ReplaceWritesSortedRecordsAndKeepsPermissions) {
  testing::TempDir dir;
  const std::string target = dir / "out.dat";
  WriteFileBytes(target, "old content that is longer");
  ::chmod(target.c_str(), 0604);
  auto list = List({"b", "C", "a"});
  EXPECT_EQ(WriteDownloadFile(target, true, *list), WriteOutcome::Written);
  EXPECT_EQ(ReadFileBytes(target), "Cab");
  EXPECT_EQ(ModeOf(target), 0604u);
  EXPECT_EQ(FolderEntries(dir.path()), std::vector<std::string>{"out.dat"});
}

// A pid that no process has any more: a child that has exited and been reaped.
pid_t GonePid() {
  const pid_t pid = ::fork();
  if (pid == 0) ::_exit(0);
  ::waitpid(pid, nullptr, 0);
  return pid;
}

TEST(DownloadWriterTest, RemovesTemporaryFilesThatKilledRunsLeftForTheTarget) {
  testing::TempDir dir;
  const std::string gone = std::to_string(GonePid());
  const std::string alive = std::to_string(::getppid());
  // Left by a killed run; one of a run still going; one of another target;
  // a random fallback name, which tells nothing about its writer.
  WriteFileBytes(dir / (".out.dat.korvadex-" + gone + "-0"), "stray");
  WriteFileBytes(dir / (".out.dat.korvadex-" + alive + "-0"), "in progress");
  WriteFileBytes(dir / (".other.dat.korvadex-" + gone + "-0"), "not ours");
  WriteFileBytes(dir / ".out.dat.korvadex-Ab3xYz", "unknown");
  auto list = List({"b", "a"});
  EXPECT_EQ(WriteDownloadFile(dir / "out.dat", true, *list), WriteOutcome::Written);
  EXPECT_EQ(ReadFileBytes(dir / "out.dat"), "ab");
  std::vector<std::string> expected{".other.dat.korvadex-" + gone + "-0",
                                    ".out.dat.korvadex-" + alive + "-0", ".out.dat.korvadex-Ab3xYz",
                                    "out.dat"};
  std::sort(expected.begin(), expected.end());
  EXPECT_EQ(FolderEntries(dir.path()), expected);
}

TEST(DownloadWriterTest, NewFileGetsTheUsualPermissions) {
  testing::TempDir dir;
  const mode_t oldMask = ::umask(022);
  auto list = List({"x"});
  EXPECT_EQ(WriteDownloadFile(dir / "new.dat", true, *list), WriteOutcome::Written);
  ::umask(oldMask);
  EXPECT_EQ(ModeOf(dir / "new.dat"), 0644u);
}

TEST(DownloadWriterTest, AppendWritesOnlyTheBlockAtTheEndOfTheSameFile) {
  testing::TempDir dir;
  const std::string target = dir / "log.dat";
  WriteFileBytes(target, "line without break");
  const ino_t inode = StatOf(target).st_ino;
  // Another program keeps the file open for appending across the runs (a
  // shell loop with >>): what it writes lands in the same file.
  const int other = ::open(target.c_str(), O_WRONLY | O_APPEND);
  auto list = List({"2", "1"});
  EXPECT_EQ(WriteDownloadFile(target, false, *list), WriteOutcome::Written);
  EXPECT_EQ(StatOf(target).st_ino, inode);
  ASSERT_EQ(::write(other, "|x|", 3), 3);
  ::close(other);
  EXPECT_EQ(WriteDownloadFile(target, false, *list), WriteOutcome::Written);
  EXPECT_EQ(ReadFileBytes(target), "line without break12|x|12");
  EXPECT_EQ(WriteDownloadFile(dir / "new.dat", false, *list), WriteOutcome::Written);
  EXPECT_EQ(ReadFileBytes(dir / "new.dat"), "12");
  EXPECT_EQ(FolderEntries(dir.path()), (std::vector<std::string>{"log.dat", "new.dat"}));
}

// A block of 1.5 MiB (more than one write) of one 64-byte record repeated:
// a block broken up by another run's bytes shows as a block with two labels.
constexpr std::size_t kRecordsPerBlock = 24576;
constexpr std::size_t kBlockSize = kRecordsPerBlock * 64;

std::string Record(const std::string& label) { return label + std::string(64 - label.size(), '.'); }

int WriteBlock(const std::string& target, bool replace, const std::string& label) {
  std::unique_ptr<RecordList> list;
  const std::string record = Record(label);
  for (std::size_t i = 0; i < kRecordsPerBlock; ++i) AddRecord(list, record);
  return Code(WriteDownloadFile(target, replace, *list));
}

// The label of each block in the file; "broken" for a block that is not one
// record repeated, "short" for a file that is not whole blocks.
std::vector<std::string> BlockLabels(const std::string& content) {
  std::vector<std::string> labels;
  for (std::size_t at = 0; at < content.size(); at += kBlockSize) {
    if (content.size() - at < kBlockSize) return labels.push_back("short"), labels;
    const std::string record = content.substr(at, 64);
    bool isWhole = true;
    for (std::size_t i = 1; i < kRecordsPerBlock && isWhole; ++i) {
      isWhole = content.compare(at + i * 64, 64, record) == 0;
    }
    labels.push_back(isWhole ? record.substr(0, record.find('.')) : "broken");
  }
  return labels;
}

TEST(DownloadWriterTest, RunsAtOnceOnOneFileTakeTurnsAndLoseNoBlock) {
  testing::TempDir dir;
  const std::string target = dir / "shared.dat";
  constexpr int kRounds = 5;
  // Four appending runs: every block arrives whole, exactly once.
  std::vector<pid_t> writers;
  for (int writer = 0; writer < 4; ++writer) {
    writers.push_back(StartChild([&, writer] {
      for (int round = 0; round < kRounds; ++round) {
        const int code = WriteBlock(target, false, "A" + std::to_string(writer) + "R" + std::to_string(round));
        if (code != Code(WriteOutcome::Written)) return 10 + code;
      }
      return 0;
    }));
  }
  std::vector<std::string> expected;
  for (int writer = 0; writer < 4; ++writer) {
    EXPECT_EQ(WaitChild(writers[writer]), 0) << writer;
    for (int round = 0; round < kRounds; ++round) {
      expected.push_back("A" + std::to_string(writer) + "R" + std::to_string(round));
    }
  }
  std::vector<std::string> labels = BlockLabels(ReadFileBytes(target));
  std::sort(labels.begin(), labels.end());
  EXPECT_EQ(labels, expected);

  // A run that waited for the lock while the file was replaced appends to the new file.
  WriteFileBytes(target, "old");
  const int held = ::open(target.c_str(), O_RDONLY);
  ASSERT_EQ(::flock(held, LOCK_EX), 0);
  const pid_t waiting = StartChild([&] {
    // The lock belongs to the test, not to this copy of its descriptor; its
    // number stays taken, so the run's own descriptor gets another one.
    ::dup2(::open("/dev/null", O_RDONLY), held);
    return WriteBlock(target, false, "W");
  });
  const auto giveUp = std::chrono::steady_clock::now() + std::chrono::seconds(60);
  while (!HasOpen(waiting, target, held) && std::chrono::steady_clock::now() < giveUp) {
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  WriteFileBytes(dir / "swap", "new");
  ASSERT_EQ(::rename((dir / "swap").c_str(), target.c_str()), 0);
  ::close(held);
  EXPECT_EQ(WaitChild(waiting), Code(WriteOutcome::Written));
  const std::string content = ReadFileBytes(target);
  EXPECT_TRUE(content.starts_with("new") && BlockLabels(content.substr(3)) == std::vector<std::string>{"W"});
  EXPECT_EQ(FolderEntries(dir.path()), std::vector<std::string>{"shared.dat"});
}

TEST(DownloadWriterTest, FailedOrStoppedAppendLeavesTheFileAsItWas) {
  testing::TempDir dir;
  const std::string target = dir / "log.dat";
  const std::string old(100000, 'o');
  WriteFileBytes(target, old);
  const ino_t inode = StatOf(target).st_ino;
  // The file may grow by 200,000 bytes only; the block is 1.5 MiB.
  const int limited = InChild([&] {
    ::signal(SIGXFSZ, SIG_IGN);
    const rlimit limit{300000, 300000};
    if (::setrlimit(RLIMIT_FSIZE, &limit) != 0) return 99;
    return WriteBlock(target, false, "X") * 10 + WriteBlock(dir / "new.dat", false, "X");
  });
  EXPECT_EQ(limited, Code(WriteOutcome::NotWritten) * 11);
  EXPECT_TRUE(ReadFileBytes(target) == old);
  EXPECT_EQ(StatOf(target).st_ino, inode);

  // A stop signal before the writing: both flags leave the file, WriteFile prints nothing.
  const std::string printed = dir / "printed";
  const int stopped = InChild([&] {
    SignalWatch watch;
    if (!watch.Start() || std::freopen(printed.c_str(), "w", stdout) == nullptr) return 99;
    ::kill(::getpid(), SIGTERM);
    while (StopSignal() == 0) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    auto list = List({"r"});
    const int code = WriteBlock(target, false, "S") * 10 + WriteBlock(target, true, "S");
    DownloadUndo undo;
    return WriteFile(list, target, 1, 0, undo) == -1 ? code : 98;
  });
  EXPECT_EQ(stopped, Code(WriteOutcome::Interrupted) * 11);
  EXPECT_EQ(ReadFileBytes(printed), "");
  EXPECT_TRUE(ReadFileBytes(target) == old);
  EXPECT_EQ(FolderEntries(dir.path()), (std::vector<std::string>{"log.dat", "printed"}));
}

// A user other than root for files of another owner; created when missing.
const passwd* SecondUser() {
  if (const passwd* user = ::getpwnam("nobody")) return user;
  testing::RunCommand({"/usr/sbin/useradd", "--system", "--no-create-home", "korvadex-test"}, "");
  return ::getpwnam("korvadex-test");
}

TEST(DownloadWriterTest, ReplaceKeepsOwnerModeAndAttributesOfAnotherUsersFile) {
  if (::geteuid() != 0) GTEST_SKIP() << "needs root to make files of another user";
  const passwd* user = SecondUser();
  if (user == nullptr) GTEST_SKIP() << "no second user (nobody) and useradd failed";
  testing::TempDir dir;
  // A shared folder: writable by all, sticky.
  ::chmod(dir.path().c_str(), 01777);
  const std::string theirs = dir / "theirs.dat";
  WriteFileBytes(theirs, "old content of theirs");
  if (::setxattr(theirs.c_str(), "user.kvx", "label", 5, 0) != 0) GTEST_SKIP() << "no user.* xattrs here";
  ASSERT_EQ(::chown(theirs.c_str(), user->pw_uid, user->pw_gid), 0);
  ::chmod(theirs.c_str(), 0640);

  // Root writes a new file and gives it everything of the old one.
  auto list = List({"new"});
  EXPECT_EQ(WriteDownloadFile(theirs, true, *list), WriteOutcome::Written);
  EXPECT_EQ(ReadFileBytes(theirs), "new");
  EXPECT_EQ(StatOf(theirs).st_uid, user->pw_uid);
  EXPECT_EQ(StatOf(theirs).st_gid, user->pw_gid);
  EXPECT_EQ(ModeOf(theirs), 0640u);
  EXPECT_EQ(AttributeOf(theirs, "user.kvx"), "label");

  // The other user may write root's file but not give a new file root's
  // ownership: the content goes into the file itself.
  const std::string roots = dir / "roots.dat";
  WriteFileBytes(roots, "old content of root's file");
  ::setxattr(roots.c_str(), "user.kvx", "root's", 6, 0);
  ::chmod(roots.c_str(), 0666);
  const int code = InChild([&] {
    if (::setgroups(0, nullptr) != 0 || ::setresgid(user->pw_gid, user->pw_gid, user->pw_gid) != 0 ||
        ::setresuid(user->pw_uid, user->pw_uid, user->pw_uid) != 0) {
      return 99;
    }
    auto childList = List({"B", "A"});
    return Code(WriteDownloadFile(roots, true, *childList));
  });
  EXPECT_EQ(code, Code(WriteOutcome::Written));
  EXPECT_EQ(ReadFileBytes(roots), "AB");
  EXPECT_EQ(StatOf(roots).st_uid, 0u);
  EXPECT_EQ(ModeOf(roots), 0666u);
  EXPECT_EQ(AttributeOf(roots, "user.kvx"), "root's");
  EXPECT_EQ(FolderEntries(dir.path()), (std::vector<std::string>{"roots.dat", "theirs.dat"}));
}

TEST(DownloadWriterTest, HardLinkedTargetIsWrittenInPlace) {
  testing::TempDir dir;
  WriteFileBytes(dir / "out.dat", "old content that is longer");
  ASSERT_EQ(::link((dir / "out.dat").c_str(), (dir / "other.dat").c_str()), 0);
  auto list = List({"b", "a"});
  EXPECT_EQ(WriteDownloadFile(dir / "out.dat", true, *list), WriteOutcome::Written);
  EXPECT_EQ(ReadFileBytes(dir / "out.dat"), "ab");
  EXPECT_EQ(ReadFileBytes(dir / "other.dat"), "ab");
  EXPECT_EQ(StatOf(dir / "out.dat").st_nlink, 2u);
}

// Names of 250 bytes leave no room for the long temporary name; without
// /proc an unnamed file cannot be named. Both still write the file.
TEST(DownloadWriterTest, LongNamesAndAMissingProcStillWriteTheFile) {
  testing::TempDir dir;
  const std::string target = dir / std::string(250, 'n');
  auto list = List({"b", "a"});
  EXPECT_EQ(WriteDownloadFile(target, true, *list), WriteOutcome::Written);
  EXPECT_EQ(WriteDownloadFile(target, true, *list), WriteOutcome::Written);
  EXPECT_EQ(WriteDownloadFile(target, false, *list), WriteOutcome::Written);
  EXPECT_EQ(ReadFileBytes(target), "abab");
  EXPECT_EQ(FolderEntries(dir.path()), std::vector<std::string>{std::string(250, 'n')});

  const int code = InChild([&] {
    if (::unshare(CLONE_NEWNS) != 0 || ::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0 ||
        ::umount2("/proc", MNT_DETACH) != 0) {
      return 77;
    }
    const int replaced = Code(WriteDownloadFile(target, true, *list));
    const int created = Code(WriteDownloadFile(dir / "new.dat", true, *list));
    return replaced * 10 + created;
  });
  if (code == 77) GTEST_SKIP() << "cannot unmount /proc in a private mount namespace here";
  EXPECT_EQ(code, 0);
  EXPECT_EQ(ReadFileBytes(target), "ab");
  EXPECT_EQ(ReadFileBytes(dir / "new.dat"), "ab");
  EXPECT_EQ(FolderEntries(dir.path()), (std::vector<std::string>{"new.dat", std::string(250, 'n')}));
}

TEST(DownloadWriterTest, WritesThroughALinkToTheFileItNames) {
  testing::TempDir dir;
  WriteFileBytes(dir / "real.dat", "old");
  ASSERT_EQ(::symlink("real.dat", (dir / "link.dat").c_str()), 0);
  auto list = List({"new"});
  EXPECT_EQ(WriteDownloadFile(dir / "link.dat", true, *list), WriteOutcome::Written);
  struct stat st {};
  ASSERT_EQ(::lstat((dir / "link.dat").c_str(), &st), 0);
  EXPECT_TRUE(S_ISLNK(st.st_mode));
  EXPECT_EQ(ReadFileBytes(dir / "real.dat"), "new");
}

TEST(DownloadWriterTest, ReportsTargetsThatCannotBeOpenedOrWritten) {
  testing::TempDir dir;
  auto list = List({"r"});
  EXPECT_EQ(WriteDownloadFile(dir / "missing/out.dat", true, *list), WriteOutcome::NotOpened);
  EXPECT_EQ(WriteDownloadFile(dir.path(), true, *list), WriteOutcome::NotOpened);
  EXPECT_EQ(WriteDownloadFile("/dev/full", true, *list), WriteOutcome::NotWritten);
  EXPECT_EQ(WriteDownloadFile("/dev/full", false, *list), WriteOutcome::NotWritten);
  EXPECT_EQ(WriteDownloadFile("/dev/null", true, *list), WriteOutcome::Written);
}

TEST(DownloadWriterTest, WriteFilePrintsTracesAndMessages) {
  testing::TempDir dir;
  std::unique_ptr<RecordList> none;
  DownloadUndo undo;
  ::testing::internal::CaptureStdout();
  EXPECT_EQ(WriteFile(none, dir / "never.dat", 1, 1, undo), 0);
  EXPECT_EQ(::testing::internal::GetCapturedStdout(), "Str WriteFile\nEnd WriteFile\n");
  EXPECT_FALSE(testing::FileExists(dir / "never.dat"));

  auto list = List({"r"});
  ::testing::internal::CaptureStdout();
  EXPECT_EQ(WriteFile(list, dir / "missing/x", 1, 1, undo), -1);
  EXPECT_EQ(::testing::internal::GetCapturedStdout(),
            "Str WriteFile\nAusgabedatei konnte nicht geoeffnet \n");
  ::testing::internal::CaptureStdout();
  EXPECT_EQ(WriteFile(list, "/dev/full", 0, 0, undo), -1);
  EXPECT_EQ(::testing::internal::GetCapturedStdout(), "Ausgabedatei konnte nicht geschrieben \n");
}

}  // namespace
}  // namespace korvadex
