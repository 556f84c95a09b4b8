// Tests of writing the download file: replace, append, special targets and
// what is left in the folder afterwards.
#include "output/download_writer.h"

#include <dirent.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>

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

TEST(DownloadWriterTest, AppendContinuesTheLastLineOfTheOldFile) {
  testing::TempDir dir;
  const std::string target = dir / "log.dat";
  WriteFileBytes(target, "line without break");
  auto list = List({"2", "1"});
  EXPECT_EQ(WriteDownloadFile(target, false, *list), WriteOutcome::Written);
  EXPECT_EQ(WriteDownloadFile(target, false, *list), WriteOutcome::Written);
  EXPECT_EQ(ReadFileBytes(target), "line without break1212");
  EXPECT_EQ(FolderEntries(dir.path()), std::vector<std::string>{"log.dat"});
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
  ::testing::internal::CaptureStdout();
  EXPECT_EQ(WriteFile(none, dir / "never.dat", 1, 1), 0);
  EXPECT_EQ(::testing::internal::GetCapturedStdout(), "Str WriteFile\nEnd WriteFile\n");
  EXPECT_FALSE(testing::FileExists(dir / "never.dat"));

  auto list = List({"r"});
  ::testing::internal::CaptureStdout();
  EXPECT_EQ(WriteFile(list, dir / "missing/x", 1, 1), -1);
  EXPECT_EQ(::testing::internal::GetCapturedStdout(),
            "Str WriteFile\nAusgabedatei konnte nicht geoeffnet \n");
  ::testing::internal::CaptureStdout();
  EXPECT_EQ(WriteFile(list, "/dev/full", 0, 0), -1);
  EXPECT_EQ(::testing::internal::GetCapturedStdout(), "Ausgabedatei konnte nicht geschrieben \n");
}

}  // namespace
}  // namespace korvadex
