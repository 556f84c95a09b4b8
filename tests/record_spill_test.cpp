// Tests of records that outgrow the memory budget: sorted runs spilled to a
// nameless temporary file and merged into the download file.
#include <dirent.h>
#include <malloc.h>
#include <sys/resource.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <optional>
#include <string>
#include <vector>

#include "output/download_writer.h"
#include "output/record_list.h"
#include "test_support.h"

namespace korvadex {
namespace {

using korvadex::testing::FileExists;
using korvadex::testing::ReadFileBytes;
using korvadex::testing::TempDir;
using korvadex::testing::WriteFileBytes;

std::vector<std::string> FolderEntries(const std::string& path) {
  std::vector<std::string> names;
  DIR* folder = ::opendir(path.c_str());
  if (folder == nullptr) return names;
  while (const dirent* entry = ::readdir(folder)) {
    const std::string name = entry->d_name;
    if (name != "." && name != "..") names.push_back(name);
  }
  ::closedir(folder);
  std::sort(names.begin(), names.end());
  return names;
}

std::unique_ptr<RecordList> ListWithBudget(std::size_t budget, const std::string& folder) {
  auto list = std::make_unique<RecordList>(budget);
  list->spillFolder = folder;
  return list;
}

// Fixed-width records that share long prefixes and repeat: the first eight
// bytes decide little, so ties go deep, and equal records must all survive.
std::vector<std::string> PrefixHeavyRecords(int count) {
  std::vector<std::string> records;
  unsigned state = 12345;
  for (int i = 0; i < count; ++i) {
    state = state * 1103515245u + 12345u;
    char record[40];
    std::snprintf(record, sizeof record, "KUNDE-000%02u|%04u|%c%c", (state >> 8) % 7,
                  (state >> 12) % 500, 'A' + (state >> 20) % 3, (state >> 24) % 2 ? '\xE4' : ' ');
    records.push_back(record);
  }
  return records;
}

TEST(RecordSpillTest, SpilledRunsMergeToTheSameBytesAsTheInMemorySort) {
  TempDir dir;
  const std::vector<std::string> records = PrefixHeavyRecords(3000);
  auto spilled = ListWithBudget(4096, dir.path());
  auto inMemory = ListWithBudget(std::size_t{1} << 30, dir.path());
  for (const std::string& record : records) {
    ASSERT_EQ(AddRecord(spilled, record), 1);
    ASSERT_EQ(AddRecord(inMemory, record), 1);
  }
  EXPECT_GT(spilled->spillRunCount(), 10u);
  // Half the budget holds records while the other half is spilled.
  EXPECT_LE(spilled->heldMemory(), 2048u);
  EXPECT_EQ(spilled->count(), 3000);
  EXPECT_EQ(inMemory->spillRunCount(), 0u);

  ASSERT_EQ(WriteDownloadFile(dir / "spilled.dat", true, *spilled), WriteOutcome::Written);
  ASSERT_EQ(WriteDownloadFile(dir / "memory.dat", true, *inMemory), WriteOutcome::Written);
  const std::string spilledBytes = ReadFileBytes(dir / "spilled.dat");
  EXPECT_EQ(spilledBytes.size(), 3000u * 19u);
  EXPECT_EQ(spilledBytes, ReadFileBytes(dir / "memory.dat"));
  // What the progress line shows: every run once it is on disk, and its
  // bytes there, each record with its length.
  EXPECT_EQ(spilled->progress().spilledRuns.load(), spilled->spillRunCount());
  EXPECT_EQ(spilled->progress().spilledBytes.load(), (3000u - spilled->lines().size()) * (19u + 4u));
  EXPECT_EQ(inMemory->progress().spilledRuns.load(), 0u);

  std::vector<std::string> sorted = records;
  std::sort(sorted.begin(), sorted.end());
  std::string expected;
  for (const std::string& record : sorted) expected += record;
  EXPECT_EQ(spilledBytes, expected);
  // The merged runs were given back: a second write would lack them, so it writes nothing.
  EXPECT_EQ(WriteDownloadFile(dir / "again.dat", true, *spilled), WriteOutcome::NotWritten);
  EXPECT_EQ(FolderEntries(dir.path()), (std::vector<std::string>{"memory.dat", "spilled.dat"}));
}

TEST(RecordSpillTest, MixedLengthsDuplicatesAndEmptyRecordsSurviveTinyRuns) {
  TempDir dir;
  // A budget this small spills after every record or two.
  auto list = ListWithBudget(30, dir.path());
  for (const char* record : {"B", "a", "A", "B", "", "\xC3\xA4", "A ", "abcd", "ab", "abc", "ab"}) {
    ASSERT_EQ(AddRecord(list, record), 1);
  }
  EXPECT_GE(list->spillRunCount(), 4u);
  EXPECT_EQ(list->count(), 11);
  ASSERT_EQ(WriteDownloadFile(dir / "out.dat", true, *list), WriteOutcome::Written);
  EXPECT_EQ(ReadFileBytes(dir / "out.dat"), "AA BBaabababcabcd\xC3\xA4");
}

TEST(RecordSpillTest, RecordsLargerThanTheRunBuffersAreSpilledAndReadBackWhole) {
  TempDir dir;
  auto list = ListWithBudget(64, dir.path());
  // Larger than the 1 MiB buffers used to write and to read back a run.
  const std::string big = std::string(3 << 20, 'x') + "end";
  for (const std::string& record : {std::string("b"), big, std::string("a"), std::string("c")}) {
    ASSERT_EQ(AddRecord(list, record), 1);
  }
  ASSERT_GE(list->spillRunCount(), 2u);
  ASSERT_EQ(WriteDownloadFile(dir / "out.dat", true, *list), WriteOutcome::Written);
  EXPECT_EQ(ReadFileBytes(dir / "out.dat"), "abc" + big);
}

TEST(RecordSpillTest, EmptyRecordsAreCountedThroughSpillsAndWriteAnEmptyFile) {
  TempDir dir;
  auto list = ListWithBudget(30, dir.path());
  for (int i = 0; i < 100; ++i) ASSERT_EQ(AddRecord(list, ""), 1);
  EXPECT_EQ(list->count(), 100);
  EXPECT_GT(list->spillRunCount(), 0u);
  ASSERT_EQ(WriteDownloadFile(dir / "out.dat", true, *list), WriteOutcome::Written);
  EXPECT_TRUE(FileExists(dir / "out.dat"));
  EXPECT_EQ(ReadFileBytes(dir / "out.dat"), "");
}

TEST(RecordSpillTest, AppendAddsTheMergedBlockAfterTheOldContent) {
  TempDir dir;
  WriteFileBytes(dir / "out.dat", "old|");
  auto list = ListWithBudget(64, dir.path());
  for (const char* record : {"zz", "mm", "aa", "mm", "bb", "yy", "cc"}) ASSERT_EQ(AddRecord(list, record), 1);
  ASSERT_GT(list->spillRunCount(), 0u);
  ASSERT_EQ(WriteDownloadFile(dir / "out.dat", false, *list), WriteOutcome::Written);
  EXPECT_EQ(ReadFileBytes(dir / "out.dat"), "old|aabbccmmmmyyzz");
}

TEST(RecordSpillTest, SortBreaksTiesBeyondTheFirstEightBytes) {
  std::unique_ptr<RecordList> list;
  const std::string withNul("abcdefg\0", 8);
  const std::string withNulTail("abcdefg\0x", 9);
  for (const std::string& record : {std::string("abcdefgh\x01"), withNulTail, std::string("abcdefgh"),
                                    std::string("abcdefg"), withNul, std::string("abcdefghij-2"),
                                    std::string("abcdefghij-1"), std::string("abcdefgh\xFF")}) {
    ASSERT_EQ(AddRecord(list, record), 1);
  }
  SortRecords(*list);
  EXPECT_EQ(std::vector<std::string>(list->lines().begin(), list->lines().end()),
            (std::vector<std::string>{"abcdefg", withNul, withNulTail, "abcdefgh", "abcdefgh\x01",
                                      "abcdefghij-1", "abcdefghij-2", "abcdefgh\xFF"}));
}

TEST(RecordSpillTest, SortSkipsASharedPrefixEvenWhenOneRecordIsJustThePrefix) {
  std::unique_ptr<RecordList> list;
  for (const char* record : {"PREFIX-b", "PREFIX-ab", "PREFIX-", "PREFIX-a", "PREFIX", "PREFIX-a"}) {
    ASSERT_EQ(AddRecord(list, record), 1);
  }
  SortRecords(*list);
  EXPECT_EQ(std::vector<std::string>(list->lines().begin(), list->lines().end()),
            (std::vector<std::string>{"PREFIX", "PREFIX-", "PREFIX-a", "PREFIX-a", "PREFIX-ab",
                                      "PREFIX-b"}));
}

TEST(RecordSpillTest, EqualRecordsAreAllKeptAroundADifferentOne) {
  std::unique_ptr<RecordList> list;
  for (int i = 0; i < 300; ++i) ASSERT_EQ(AddRecord(list, "0000000000000000-same"), 1);
  ASSERT_EQ(AddRecord(list, "0000000000000000-samd"), 1);
  ASSERT_EQ(AddRecord(list, "0000000000000000-same"), 1);
  SortRecords(*list);
  ASSERT_EQ(list->lines().size(), 302u);
  EXPECT_EQ(list->lines()[0], "0000000000000000-samd");
  EXPECT_EQ(list->lines()[1], "0000000000000000-same");
  EXPECT_EQ(list->lines()[301], "0000000000000000-same");
}

TEST(RecordSpillTest, RecordsAddedAfterASortAreSortedAgain) {
  std::unique_ptr<RecordList> list;
  for (const char* record : {"m", "c"}) ASSERT_EQ(AddRecord(list, record), 1);
  SortRecords(*list);
  for (const char* record : {"z", "a"}) ASSERT_EQ(AddRecord(list, record), 1);
  SortRecords(*list);
  EXPECT_EQ(std::vector<std::string>(list->lines().begin(), list->lines().end()),
            (std::vector<std::string>{"a", "c", "m", "z"}));
}

TEST(RecordSpillTest, FullDiskDuringSpillIsReportedAsNotWrittenAndKeepsTheTarget) {
  TempDir dir;
  WriteFileBytes(dir / "out.dat", "previous content");
  std::unique_ptr<RecordList> list = ListWithBudget(1024, dir.path());
  int added = 0;
  {
    // The spill file may grow to 2 KB, as if the disk filled up then.
    testing::ResourceLimit limit(RLIMIT_FSIZE, 2048);
    for (int i = 0; i < 200; ++i) added += AddRecord(list, std::string(40, static_cast<char>('a' + i % 26)));
  }
  EXPECT_TRUE(list->hasSpillFailed());
  EXPECT_LT(added, 200);
  EXPECT_EQ(AddRecord(list, "late"), 0);

  DownloadUndo undo;
  ::testing::internal::CaptureStdout();
  EXPECT_EQ(WriteFile(list, dir / "out.dat", 1, 0, undo), -1);
  EXPECT_EQ(::testing::internal::GetCapturedStdout(), "Ausgabedatei konnte nicht geschrieben \n");
  EXPECT_EQ(ReadFileBytes(dir / "out.dat"), "previous content");
  ::testing::internal::CaptureStdout();
  EXPECT_EQ(WriteFile(list, dir / "new.dat", 1, 0, undo), -1);
  EXPECT_EQ(::testing::internal::GetCapturedStdout(), "Ausgabedatei konnte nicht geschrieben \n");
  EXPECT_FALSE(FileExists(dir / "new.dat"));
  EXPECT_EQ(FreeRecordList(list), 0);
  EXPECT_EQ(FolderEntries(dir.path()), (std::vector<std::string>{"out.dat"}));
}

TEST(RecordSpillTest, TheBudgetIsAQuarterOfWhatMayStillBeAllocatedOrWhatAnOperatorAsksWithinBounds) {
  constexpr std::uint64_t kMiB = std::uint64_t{1} << 20;
  const struct {
    const char* label;
    std::uint64_t available;
    std::uint64_t requested;
    std::size_t expected;
  } cases[] = {
      {"nothing left", 0, 0, 8 * kMiB},
      {"a quarter below the minimum", 31 * kMiB, 0, 8 * kMiB},
      {"a quarter", 100 * kMiB, 0, 25 * kMiB},
      {"exactly the maximum", 4096 * kMiB, 0, 1024 * kMiB},
      {"far above", UINT64_MAX, 0, 1024 * kMiB},
      {"asked for less than a quarter", 4096 * kMiB, 64 * kMiB, 64 * kMiB},
      {"asked for more than a quarter", 400 * kMiB, 150 * kMiB, 150 * kMiB},
      {"asked for more than half", 400 * kMiB, 300 * kMiB, 200 * kMiB},
      {"asked above the default's maximum", 64 * 1024 * kMiB, 4096 * kMiB, 4096 * kMiB},
      {"asked below the minimum", 4096 * kMiB, 1 * kMiB, 8 * kMiB},
      {"asked with nothing left", 0, 64 * kMiB, 8 * kMiB},
  };
  for (const auto& c : cases) EXPECT_EQ(MemoryBudgetFor(c.available, c.requested), c.expected) << c.label;
}

TEST(RecordSpillTest, ReadsTheSizesOperatorsWrite) {
  constexpr std::uint64_t kKiB = 1024;
  const struct {
    const char* label;
    const char* text;
    std::optional<std::uint64_t> expected;
  } cases[] = {
      {"bytes", "1048576", 1048576},
      {"kibibytes", "512K", 512 * kKiB},
      {"mebibytes", "64M", 64 * kKiB * kKiB},
      {"gibibytes", "2G", 2 * kKiB * kKiB * kKiB},
      {"lower case", "64m", 64 * kKiB * kKiB},
      {"blanks a batch file leaves", " 8G  ", 8 * kKiB * kKiB * kKiB},
      {"largest", "17179869183G", 17179869183 * kKiB * kKiB * kKiB},
      {"zero", "0", std::nullopt},
      {"negative", "-1G", std::nullopt},
      {"fraction", "1.5G", std::nullopt},
      {"two letters", "64MB", std::nullopt},
      {"other unit", "1T", std::nullopt},
      {"unit alone", "M", std::nullopt},
      {"blank between", "64 M", std::nullopt},
      {"empty", "", std::nullopt},
      {"digits overflow", "18446744073709551616", std::nullopt},
      {"unit overflows", "17179869184G", std::nullopt},
  };
  for (const auto& c : cases) EXPECT_EQ(ParseMemorySize(c.text), c.expected) << c.label;
}

// Bytes the process has taken from malloc, in the heap and mapped on their own.
std::size_t HeapBytes() {
  const struct mallinfo2 info = ::mallinfo2();
  return info.uordblks + info.hblkhd;
}

// Measured, not as the list counts it: blocks, views and the sort index
// together stay within the budget, through fixed-width runs, runs of mixed
// lengths and the merge.
TEST(RecordSpillTest, BlocksViewsAndTheSortIndexStayWithinTheBudget) {
  if (!testing::CanLimitAddressSpace()) GTEST_SKIP() << "a sanitizer build keeps its heap in its own way";
  TempDir dir;
  constexpr std::size_t kBudget = std::size_t{1} << 20;
  const std::size_t before = HeapBytes();
  auto list = ListWithBudget(kBudget, dir.path());
  std::size_t addPeak = 0;
  constexpr int kCount = 60000;
  const std::string letters(100, 'x');
  for (int i = 0; i < kCount; ++i) {
    // Fixed width first, then lengths from 0 to 90 bytes.
    const std::size_t length = i < kCount / 2 ? 40 : static_cast<std::size_t>(i * 7919 % 91);
    ASSERT_EQ(AddRecord(list, std::string_view(letters).substr(0, length)), 1);
    if (i % 16 == 0) addPeak = std::max(addPeak, HeapBytes() - before);
  }
  ASSERT_GE(list->spillRunCount(), 3u);
  std::size_t mergePeak = 0;
  std::size_t emitted = 0;
  EXPECT_TRUE(EmitSortedRecords(*list, [&](std::string_view) {
    if (emitted++ % 1024 == 0) mergePeak = std::max(mergePeak, HeapBytes() - before);
    return true;
  }));
  EXPECT_EQ(emitted, static_cast<std::size_t>(kCount));
  // The list's own few hundred bytes and the list of runs come on top.
  EXPECT_LE(addPeak, kBudget + kBudget / 64);
  // The run readers' buffers share an eighth of the budget.
  EXPECT_LE(mergePeak, kBudget + kBudget / 8 + kBudget / 64);
}

TEST(RecordSpillTest, ARecordThatFindsNoMemoryFailsTheListForGood) {
  if (!testing::CanLimitAddressSpace()) GTEST_SKIP() << "a sanitizer build maps terabytes of shadow memory";
  TempDir dir;
  // A budget the limit cannot hold: memory runs out before any spill.
  auto list = ListWithBudget(std::size_t{1} << 30, dir.path());
  const std::string record(1000, 'r');
  int added = 0;
  int addedAfterRefusal = 0;
  {
    // Memory that earlier tests freed stays mapped and may serve first, so
    // the records go on until one is refused, up to far more than any test frees.
    testing::ResourceLimit limit(RLIMIT_AS, testing::MappedBytes() + (std::size_t{32} << 20));
    while (added < 4000000 && AddRecord(list, record) == 1) ++added;
    for (int i = 0; i < 1000; ++i) addedAfterRefusal += AddRecord(list, record);
  }
  EXPECT_LT(added, 4000000);
  EXPECT_GT(added, 0);
  EXPECT_EQ(addedAfterRefusal, 0);
  EXPECT_TRUE(list->hasSpillFailed());
  // With the memory back, the list stays failed: the records taken so far are not all there.
  EXPECT_EQ(AddRecord(list, "late"), 0);
  EXPECT_FALSE(EmitSortedRecords(*list, [](std::string_view) { return true; }));
  EXPECT_EQ(WriteDownloadFile(dir / "out.dat", true, *list), WriteOutcome::NotWritten);
  EXPECT_FALSE(FileExists(dir / "out.dat"));
}

TEST(RecordSpillTest, SpillFileFallsBackWhenTheFolderIsMissing) {
  TempDir dir;
  auto list = ListWithBudget(40, dir / "no-such-folder");
  for (const char* record : {"delta", "alpha", "echo", "charlie", "bravo"}) {
    ASSERT_EQ(AddRecord(list, record), 1);
  }
  ASSERT_FALSE(list->hasSpillFailed());
  ASSERT_GT(list->spillRunCount(), 0u);
  ASSERT_EQ(WriteDownloadFile(dir / "out.dat", true, *list), WriteOutcome::Written);
  EXPECT_EQ(ReadFileBytes(dir / "out.dat"), "alphabravocharliedeltaecho");
}

}  // namespace
}  // namespace korvadex
