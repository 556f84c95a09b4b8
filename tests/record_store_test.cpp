// Tests of holding records in blocks: every record reads back as it came,
// and what a record will cost is known before it is stored.
#include "output/record_store.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace korvadex {
namespace {

// Fixed-width records, then other lengths (empty ones and one larger than a
// block among them), so the store changes from computed places to views.
std::vector<std::string> MixedRecords() {
  std::vector<std::string> records;
  for (int i = 0; i < 40; ++i) records.push_back(std::string(10, static_cast<char>('a' + i % 26)));
  for (int i = 0; i < 60; ++i) records.push_back(std::string(static_cast<std::size_t>(i * 7 % 23), 'm'));
  records.push_back(std::string(500, 'L'));
  records.push_back("");
  records.push_back("end");
  return records;
}

TEST(RecordStoreTest, RecordsReadBackAsTheyCameBeforeAndAfterAClear) {
  RecordStore store;
  store.SetBlockBytes(64);
  const std::vector<std::string> records = MixedRecords();
  for (int round = 0; round < 2; ++round) {
    for (const std::string& record : records) store.Add(record);
    ASSERT_EQ(store.count(), records.size()) << "round " << round;
    for (std::size_t i = 0; i < records.size(); ++i) EXPECT_EQ(store[i], records[i]) << "record " << i;
    EXPECT_EQ(store.sharedPrefix(), 0u);
    const std::size_t filled = store.memory();
    store.Clear();
    EXPECT_EQ(store.count(), 0u);
    // The blocks stay for the next records; only the views are given back.
    EXPECT_LT(store.memory(), filled);
    EXPECT_GT(store.memory(), 500u);
  }
  store.Release();
  EXPECT_EQ(store.memory(), 0u);
}

TEST(RecordStoreTest, TheSharedPrefixShrinksToWhatAllRecordsShare) {
  RecordStore store;
  store.Add("000123-a");
  EXPECT_EQ(store.sharedPrefix(), 8u);
  store.Add("000129-b");
  EXPECT_EQ(store.sharedPrefix(), 5u);
  store.Add("0004");
  EXPECT_EQ(store.sharedPrefix(), 3u);
  store.Add("");
  EXPECT_EQ(store.sharedPrefix(), 0u);
}

TEST(RecordStoreTest, GrowthForTellsWhatAddWillTake) {
  RecordStore store;
  store.SetBlockBytes(64);
  const std::vector<std::string> records = MixedRecords();
  // Twice: the second time over blocks kept from the first.
  for (int round = 0; round < 2; ++round) {
    std::size_t grown = 0;
    for (std::size_t i = 0; i < records.size(); ++i) {
      const std::size_t before = store.memory();
      const std::size_t expected = store.GrowthFor(records[i].size());
      store.Add(records[i]);
      EXPECT_EQ(store.memory() - before, expected) << "round " << round << ", record " << i;
      grown += expected;
    }
    // Blocks, views and the large record's own block all came from somewhere.
    if (round == 0) {
      EXPECT_GT(grown, 500u + 100 * sizeof(std::string_view));
    }
    store.Clear();
  }
}

}  // namespace
}  // namespace korvadex
