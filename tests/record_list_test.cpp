// Tests of collecting records and their byte order.
#include "output/record_list.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace korvadex {
namespace {

std::vector<std::string> Lines(const RecordList& list) {
  return std::vector<std::string>(list.lines.begin(), list.lines.end());
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
  EXPECT_EQ(list->lines[0], "00000-record-body");
  EXPECT_EQ(list->lines[9999], "09999-record-body");
  EXPECT_EQ(list->lines[10000], big);
}

}  // namespace
}  // namespace korvadex
