// Tests of formatting and storing rows on the second thread: the list must end
// up holding exactly what formatting each row in place would have given.
#include <sys/resource.h>

#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "driver/row_pipeline.h"
#include "output/record_format.h"
#include "output/record_list.h"
#include "test_support.h"

namespace korvadex {
namespace {

using korvadex::testing::TempDir;

void SetColumn(ColumnTable& columns, int number, const char* name, const char* type, int width) {
  columns[number - 1] = ColumnDef{name, type, width};
}

// Row `n` of a varied result: values of every length up to the slot's 99
// bytes, blanks and tabs to trim, empty slots for NULL, bytes above 127.
RowBuffer MakeRow(int n) {
  RowBuffer row{};
  for (int slot = 0; slot < kMaxColumns; ++slot) {
    const int length = (n * 7 + slot * 13) % 100;
    char* out = row.slots[slot];
    for (int i = 0; i < length && i < kSlotSize - 1; ++i) {
      out[i] = static_cast<char>(" \tab\xE4z09"[(n + i * slot) % 9]);
    }
    out[length < kSlotSize - 1 ? length : kSlotSize - 1] = '\0';
  }
  return row;
}

// What the list holds, in insertion order.
std::vector<std::string> HeldRecords(const std::unique_ptr<RecordList>& list) {
  std::vector<std::string> records;
  if (!list) return records;
  for (std::string_view record : list->lines()) records.emplace_back(record);
  return records;
}

std::vector<std::string> SortedRecords(RecordList& list) {
  std::vector<std::string> records;
  EXPECT_TRUE(EmitSortedRecords(list, [&](std::string_view record) {
    records.emplace_back(record);
    return true;
  }));
  return records;
}

// Pushes `rowCount` rows through a pipeline into `pipelined` and formats the
// same rows in place into `inline`.
void CollectBothWays(const ColumnTable& columns, int rowCount, std::unique_ptr<RecordList>& pipelined,
                     std::unique_ptr<RecordList>& inPlace) {
  RowPipeline pipeline(columns, pipelined);
  ASSERT_TRUE(pipeline.Start());
  std::string record;
  for (int n = 0; n < rowCount; ++n) {
    const RowBuffer row = MakeRow(n);
    pipeline.Push(row);
    FormatRecord(columns, row, record);
    AddRecord(inPlace, record);
  }
  EXPECT_TRUE(pipeline.Finish());
}

TEST(RowPipelineTest, RecordsArriveInFetchOrderExactlyAsFormattedInPlace) {
  // Every column used with its widest values: the batches fill up by bytes.
  ColumnTable wide;
  for (int n = 1; n <= kMaxColumns; ++n) {
    SetColumn(wide, n, "F", n % 3 == 0 ? "DEC" : (n % 3 == 1 ? "CHAR" : "TXT"), 1 + (n * 37) % 120);
  }
  // Two short columns, one unnamed and one of an unknown type: the batches fill up by rows.
  ColumnTable narrow;
  SetColumn(narrow, 2, "A", "DEC", 5);
  SetColumn(narrow, 7, "B", "CHAR", 3);
  SetColumn(narrow, 3, "", "CHAR", 10);
  SetColumn(narrow, 4, "C", "char", 10);

  for (const ColumnTable* columns : {&wide, &narrow}) {
    for (int rowCount : {0, 1, 2047, 2048, 2049, 20000}) {
      std::unique_ptr<RecordList> pipelined = std::make_unique<RecordList>();
      std::unique_ptr<RecordList> inPlace = std::make_unique<RecordList>();
      CollectBothWays(*columns, rowCount, pipelined, inPlace);
      EXPECT_EQ(pipelined->count(), rowCount);
      EXPECT_EQ(HeldRecords(pipelined), HeldRecords(inPlace)) << "rows " << rowCount;
    }
  }
}

TEST(RowPipelineTest, RowsWithoutAnyUsedColumnStillEachGiveARecord) {
  ColumnTable none;
  SetColumn(none, 1, "", "CHAR", 10);
  std::unique_ptr<RecordList> pipelined = std::make_unique<RecordList>();
  std::unique_ptr<RecordList> inPlace = std::make_unique<RecordList>();
  CollectBothWays(none, 10000, pipelined, inPlace);
  EXPECT_EQ(pipelined->count(), 10000);
  EXPECT_EQ(pipelined->byteCount(), 0u);
}

TEST(RowPipelineTest, RecordsSpilledFromTheSecondThreadMergeAsInPlace) {
  TempDir dir;
  ColumnTable columns;
  SetColumn(columns, 1, "K", "CHAR", 12);
  SetColumn(columns, 5, "N", "DEC", 6);
  auto pipelined = std::make_unique<RecordList>(64 << 10);
  pipelined->spillFolder = dir.path();
  auto inPlace = std::make_unique<RecordList>();
  CollectBothWays(columns, 30000, pipelined, inPlace);
  ASSERT_GT(pipelined->spillRunCount(), 0u);
  EXPECT_EQ(pipelined->count(), 30000);
  EXPECT_EQ(SortedRecords(*pipelined), SortedRecords(*inPlace));
}

TEST(RowPipelineTest, APipelineLeftWithoutFinishStoresItsRowsWhenItGoes) {
  ColumnTable columns;
  SetColumn(columns, 1, "K", "CHAR", 4);
  std::unique_ptr<RecordList> list = std::make_unique<RecordList>();
  {
    RowPipeline pipeline(columns, list);
    ASSERT_TRUE(pipeline.Start());
    for (int n = 0; n < 5000; ++n) pipeline.Push(MakeRow(n));
  }
  EXPECT_EQ(list->count(), 5000);
  // A pipeline never started holds no thread and finishes at once.
  RowPipeline idle(columns, list);
  EXPECT_TRUE(idle.Finish());
  EXPECT_EQ(list->count(), 5000);
}

TEST(RowPipelineTest, ARecordThatCannotBeStoredFailsThePipelineWithoutStallingTheFetch) {
  TempDir dir;
  ColumnTable columns;
  SetColumn(columns, 1, "K", "CHAR", 40);
  auto list = std::make_unique<RecordList>(4096);
  list->spillFolder = dir.path();
  RowPipeline pipeline(columns, list);
  ASSERT_TRUE(pipeline.Start());
  bool isFinished = true;
  {
    // The first spill outgrows the file size limit, as on a full disk.
    testing::ResourceLimit limit(RLIMIT_FSIZE, 2048);
    // Rows keep coming after the failure: they are taken and dropped.
    for (int n = 0; n < 20000; ++n) pipeline.Push(MakeRow(n));
    isFinished = pipeline.Finish();
  }
  EXPECT_FALSE(isFinished);
  EXPECT_TRUE(pipeline.hasFailed());
  EXPECT_TRUE(list->hasSpillFailed());
  EXPECT_LT(list->count(), 20000);
  EXPECT_FALSE(EmitSortedRecords(*list, [](std::string_view) { return true; }));
}

}  // namespace
}  // namespace korvadex
