// Tests of collecting records and their byte order.
#include "output/record_list.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <string>
#include <vector>

namespace korvadex {
namespace {

std::vector<std::string> Lines(const RecordList& list) {
  return std::vector<std::string>(list.lines().begin(), list.lines().end());
}

TEST(RecordListTest, ComparesUnsignedBytesWithShorterPrefixFirst) {
  EXPECT_EQ(CompareRecords("abc", "abcd"), -1);
  EXPECT_EQ(CompareRecords("abcd", "abc"), 1);
  EXPECT_EQ(CompareRecords("abc", "abc"), 0);
  EXPECT_EQ(CompareRecords("", ""), 0);
  EXPECT_EQ(CompareRecords("", "a"), -1);
  EXPECT_EQ(CompareRecords(" 1", "01"), -1);   // blank before digit
  EXPECT_EQ(CompareRecords("9", "A"), -1);     // digit before upper case
  EXPECT_EQ(CompareRecords("Z", "a"), -1);     // upper before lower case
  EXPECT_EQ(CompareRecords("z", "\xE4"), -1);  // bytes above 0x7F last
}

TEST(RecordListTest, SortsAscendingAndKeepsDuplicatesAndEmptyRecords) {
  std::unique_ptr<RecordList> list;
  for (const char* record : {"B", "a", "A", "B", "", "\xC3\xA4", "A "}) {
    ASSERT_EQ(AddRecord(list, record), 1);
  }
  ASSERT_TRUE(list);
  EXPECT_EQ(list->count(), 7);
  SortRecords(*list);
  EXPECT_EQ(Lines(*list), (std::vector<std::string>{"", "A", "A ", "B", "B", "a", "\xC3\xA4"}));
  EXPECT_EQ(FreeRecordList(list), 0);
  EXPECT_FALSE(list);
  EXPECT_EQ(FreeRecordList(list), 0);
}

TEST(RecordListTest, KeepsRecordsIntactAcrossManyBlocks) {
  std::unique_ptr<RecordList> list;
  // Enough bytes to need several storage blocks, including one record larger
  // than a first block.
  const std::string big(100000, 'x');
  for (int i = 9999; i >= 0; --i) {
    char record[32];
    std::snprintf(record, sizeof record, "%05d-record-body", i);
    ASSERT_EQ(AddRecord(list, record), 1);
    if (i == 5000) {
      ASSERT_EQ(AddRecord(list, big), 1);
    }
  }
  SortRecords(*list);
  ASSERT_EQ(list->count(), 10001);
  EXPECT_EQ(list->lines()[0], "00000-record-body");
  EXPECT_EQ(list->lines()[9999], "09999-record-body");
  EXPECT_EQ(list->lines()[10000], big);
}

// Emits a list as the writer does, with `emit` stopping after `limit` records.
std::vector<std::string> Emitted(RecordList& list, bool& isComplete,
                                 std::size_t limit = static_cast<std::size_t>(-1)) {
  std::vector<std::string> records;
  isComplete = EmitSortedRecords(list, [&](std::string_view record) {
    if (records.size() == limit) return false;
    records.emplace_back(record);
    return true;
  });
  return records;
}

// Lists large enough that the writer sorts with a helper thread while it
// emits: the result must be exactly the byte order a plain sort gives, for
// records that share a long prefix, repeat, differ in length, or are all equal.
TEST(RecordListTest, LargeListsEmitTheSameOrderAsAPlainSort) {
  const int kCount = 150000;
  std::vector<std::vector<std::string>> cases(4);
  unsigned state = 7;
  for (int i = 0; i < kCount; ++i) {
    state = state * 1103515245u + 12345u;
    char text[64];
    // Zero-filled numbers: every record shares its first bytes.
    std::snprintf(text, sizeof text, "%010u|%c", (state >> 4) % 400000, 'a' + (state >> 24) % 3);
    cases[0].push_back(text);
    // Keys that tie over their first eight bytes and part after them.
    std::snprintf(text, sizeof text, "KUNDE-%04u-%05u", (state >> 9) % 3, (state >> 13) % 9000);
    cases[1].push_back(text);
    // Different lengths, prefixes of each other, empty ones, high bytes.
    cases[2].push_back(std::string((state >> 5) % 12, static_cast<char>("a\xE4 "[(state >> 20) % 3])));
    cases[3].push_back("same record");
  }
  for (const std::vector<std::string>& records : cases) {
    std::unique_ptr<RecordList> list;
    for (const std::string& record : records) ASSERT_EQ(AddRecord(list, record), 1);
    std::vector<std::string> expected = records;
    std::sort(expected.begin(), expected.end(), [](const std::string& a, const std::string& b) {
      return CompareRecords(a, b) < 0;
    });
    bool isComplete = false;
    EXPECT_EQ(Emitted(*list, isComplete), expected) << records[0];
    EXPECT_TRUE(isComplete);
    // A second pass gives the same again.
    EXPECT_EQ(Emitted(*list, isComplete), expected);
  }
}

TEST(RecordListTest, AWriterThatStopsEarlyLeavesTheListWhole) {
  std::unique_ptr<RecordList> list;
  std::vector<std::string> expected;
  for (int i = 0; i < 100000; ++i) {
    char text[16];
    std::snprintf(text, sizeof text, "%07d", (i * 7919) % 100000);
    expected.push_back(text);
    ASSERT_EQ(AddRecord(list, text), 1);
  }
  std::sort(expected.begin(), expected.end());
  bool isComplete = true;
  const std::vector<std::string> part = Emitted(*list, isComplete, 30000);
  EXPECT_FALSE(isComplete);
  EXPECT_EQ(part, std::vector<std::string>(expected.begin(), expected.begin() + 30000));
  EXPECT_EQ(Emitted(*list, isComplete), expected);
  EXPECT_TRUE(isComplete);
  EXPECT_EQ(list->count(), 100000);
}

}  // namespace
}  // namespace korvadex
