// Tests of the driver side on both of its carriers, a child process and a
// thread: the same messages must bring every row, in fetch order, whichever
// carries it.
#include "db/driver_process.h"

#include <gtest/gtest.h>

#include <csignal>
#include <cstdlib>
#include <string>
#include <vector>

#include "platform/run_signals.h"
#include "test_support.h"

namespace korvadex {
namespace {

class DriverProcessTest : public ::testing::TestWithParam<bool> {
 protected:
  void SetUp() override {
    ASSERT_TRUE(testing::UseSqliteDataSource(dir_ / "odbc", "KVUNIT", dir_ / "u.db"))
        << "the SQLite ODBC driver (libsqliteodbc) is not installed";
    ASSERT_TRUE(driver_.Start(isProcess()));
    EXPECT_EQ(driver_.isThread(), !isProcess());
  }

  bool isProcess() const { return GetParam(); }

  // Connects as the run does; the status of dbConnect on the driver side.
  std::int32_t Connect(const std::string& dataSource) {
    driver_.Connect("user", "pw", dataSource);
    return driver_.AwaitConnect(diagnostics_);
  }

  // The values of the rows of one batch, each row's in the order asked for;
  // a NULL as "<NULL>", a value with replaced characters behind their count.
  static void DecodeBatch(const RowBatch& batch, std::size_t columnCount,
                          std::vector<std::vector<std::string>>& rows) {
    const char* in = batch.bytes.data() + 4;
    for (std::uint32_t row = 0; row < batch.rowCount; ++row) {
      std::vector<std::string>& values = rows.emplace_back();
      for (std::size_t column = 0; column < columnCount; ++column) {
        auto length = static_cast<unsigned char>(*in++);
        if (length == kNullValueMark) {
          values.emplace_back("<NULL>");
          continue;
        }
        std::string prefix;
        if (length == kReplacedCountMark) {
          prefix = std::to_string(static_cast<unsigned char>(*in++)) + "?:";
          length = static_cast<unsigned char>(*in++);
        }
        values.emplace_back(prefix + std::string(in, length));
        in += length;
      }
    }
    EXPECT_EQ(in, batch.bytes.data() + batch.bytes.size());
  }

  testing::TempDir dir_;
  DriverProcess driver_;
  std::string diagnostics_;
};

TEST_P(DriverProcessTest, EveryRowArrivesInFetchOrderAcrossBatches) {
  ASSERT_EQ(Connect("KVUNIT"), 0) << diagnostics_;
  // Values of every length from 0 to 99 bytes, a NULL, and the slots asked
  // for out of their order: about 1.2 MB of rows, several batches.
  ExecuteReport report;
  driver_.Execute("WITH RECURSIVE n(i) AS (SELECT 1 UNION ALL SELECT i + 1 FROM n WHERE i < 20000) "
                  "SELECT i, NULL, substr(replace(hex(zeroblob(50)), '0', 'x'), 1, i % 100) FROM n",
                  {2, 0, 1}, report);
  ASSERT_EQ(report.status, 0) << report.diagnostics;
  EXPECT_EQ(report.resultColumnCount, 3);
  EXPECT_TRUE(report.hasStatement);
  std::vector<std::vector<std::string>> rows;
  RowBatch batch;
  std::int32_t status = 0;
  int batchCount = 0;
  BatchResult result;
  while ((result = driver_.NextBatch(batch, status, diagnostics_)) == BatchResult::Rows) {
    DecodeBatch(batch, 3, rows);
    ++batchCount;
  }
  ASSERT_EQ(result, BatchResult::End);
  EXPECT_EQ(status, 100);
  EXPECT_GT(batchCount, 2);
  ASSERT_EQ(rows.size(), 20000u);
  for (int i = 1; i <= 20000; ++i) {
    const std::vector<std::string> expected = {std::string(i % 100, 'x'), std::to_string(i), "<NULL>"};
    ASSERT_EQ(rows[i - 1], expected) << "row " << i;
  }
  EXPECT_EQ(driver_.Finish(), "");
}

// `count` copies of the character with code point `codePoint`, as SQLite SQL.
std::string Repeat(int codePoint, int count) {
  return "replace(hex(zeroblob(" + std::to_string(count) + ")), '00', char(" + std::to_string(codePoint) + "))";
}

// With a code page every value arrives in its bytes, at most 99 of them and
// never part of a character, and its replaced characters counted.
TEST_P(DriverProcessTest, WideValuesArriveEncodedWithinTheirLimit) {
  struct Case {
    const char* codePage;
    std::vector<std::string> expected;
  };
  const Case cases[] = {
      {"1252", {std::string(99, '\xE4'), "99?:" + std::string(99, '?'), "60?:" + std::string(60, '?'),
                "1?:a?b\x80", "<NULL>", ""}},
      {"65001", {[] { std::string t; for (int k = 0; k < 49; ++k) t += "\xC3\xA4"; return t; }(),
                 [] { std::string t; for (int k = 0; k < 24; ++k) t += "\xF0\x9F\x98\x80"; return t; }(),
                 [] { std::string t; for (int k = 0; k < 24; ++k) t += "\xF0\x9F\x98\x80"; return t; }(),
                 "a\xE6\xBC\xA2" "b\xE2\x82\xAC", "<NULL>", ""}},
  };
  // Each case needs a driver side started with its setting; the fixture's
  // is ended the usual way, so that it does not answer a closed channel.
  ASSERT_EQ(Connect("KVUNIT"), 0) << diagnostics_;
  driver_.Finish();
  for (const Case& c : cases) {
    DriverProcess driver;
    ::setenv("KORVADEX_CODEPAGE", c.codePage, 1);
    ASSERT_TRUE(driver.Start(isProcess()));
    driver.Connect("user", "pw", "KVUNIT");
    // The driver side has read the setting once it answers the connect.
    const std::int32_t connected = driver.AwaitConnect(diagnostics_);
    ::unsetenv("KORVADEX_CODEPAGE");
    ASSERT_EQ(connected, 0) << diagnostics_;
    ExecuteReport report;
    driver.Execute("SELECT " + Repeat(0xE4, 100) + ", " + Repeat(0x1F600, 150) + ", " + Repeat(0x1F600, 60) +
                       ", 'a' || char(0x6F22) || 'b' || char(0x20AC), NULL, ''",
                   {0, 1, 2, 3, 4, 5}, report);
    ASSERT_EQ(report.status, 0) << report.diagnostics;
    RowBatch batch;
    std::int32_t status = 0;
    std::vector<std::vector<std::string>> rows;
    ASSERT_EQ(driver.NextBatch(batch, status, diagnostics_), BatchResult::Rows) << diagnostics_;
    DecodeBatch(batch, 6, rows);
    ASSERT_EQ(rows.size(), 1u);
    EXPECT_EQ(rows[0], c.expected) << c.codePage;
    EXPECT_EQ(driver.NextBatch(batch, status, diagnostics_), BatchResult::End);
    EXPECT_EQ(status, 100);
    EXPECT_EQ(driver.Finish(), "");
  }
}

TEST_P(DriverProcessTest, TheDataSourceNameCrossesTheChannel) {
  EXPECT_EQ(Connect("KVNOSUCH"), -1);
  EXPECT_NE(diagnostics_.find("IM002"), std::string::npos) << diagnostics_;
  EXPECT_EQ(driver_.Finish(), "");
}

// On the thread the driver side sees the run's own stop request, as the
// child process sees the cancel request the run passes on.
TEST_P(DriverProcessTest, AStopRequestEndsTheFetchWithAnError) {
  ASSERT_EQ(Connect("KVUNIT"), 0) << diagnostics_;
  ExecuteReport report;
  driver_.Execute("WITH RECURSIVE n(i) AS (SELECT 1 UNION ALL SELECT i + 1 FROM n WHERE i < 50000000) "
                  "SELECT i FROM n",
                  {0}, report);
  ASSERT_EQ(report.status, 0) << report.diagnostics;
  RowBatch batch;
  std::int32_t status = 0;
  ASSERT_EQ(driver_.NextBatch(batch, status, diagnostics_), BatchResult::Rows);
  if (isProcess()) {
    driver_.RequestCancel();
  } else {
    NoteStopRequest(SIGTERM);
  }
  BatchResult result;
  while ((result = driver_.NextBatch(batch, status, diagnostics_)) == BatchResult::Rows) {
  }
  EXPECT_EQ(result, BatchResult::End);
  EXPECT_EQ(status, -1);
  EXPECT_EQ(driver_.Finish(), "");
}

INSTANTIATE_TEST_SUITE_P(Carriers, DriverProcessTest, ::testing::Values(true, false),
                         [](const ::testing::TestParamInfo<bool>& info) {
                           return std::string(info.param ? "Process" : "Thread");
                         });

}  // namespace
}  // namespace korvadex
