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

  // The values of the rows of one batch, each row's in the order asked for.
  static void DecodeBatch(const RowBatch& batch, std::size_t columnCount,
                          std::vector<std::vector<std::string>>& rows) {
    const char* in = batch.bytes.data() + 4;
    for (std::uint32_t row = 0; row < batch.rowCount; ++row) {
      std::vector<std::string>& values = rows.emplace_back();
      for (std::size_t column = 0; column < columnCount; ++column) {
        const auto length = static_cast<unsigned char>(*in++);
        values.emplace_back(in, length);
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
    const std::vector<std::string> expected = {std::string(i % 100, 'x'), std::to_string(i), ""};
    ASSERT_EQ(rows[i - 1], expected) << "row " << i;
  }
  EXPECT_EQ(driver_.Finish(), "");
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
