// Tests of the ODBC access statuses, through unixODBC and the SQLite driver.
#include "db/odbc_access.h"

#include <gtest/gtest.h>

#include <cstdlib>

#include "test_support.h"

namespace korvadex {
namespace {

class OdbcAccessTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(testing::UseSqliteDataSource(dir_ / "odbc", "KVUNIT", dir_ / "u.db"))
        << "the SQLite ODBC driver (libsqliteodbc) is not installed";
    ASSERT_EQ(dbConnect(db_, "user", "pw", "KVUNIT"), 0);
    ASSERT_EQ(Execute("CREATE TABLE t (a TEXT, b TEXT)"), 0);
    ASSERT_EQ(dbCloseStatement(db_), 0);
  }

  std::int32_t Execute(const std::string& sql) { return dbExecute(db_, sql); }

  testing::TempDir dir_;
  DbState db_;
  RowBuffer row_{};
  std::int32_t columns_ = 0;
};

TEST_F(OdbcAccessTest, FetchesRowsThenNoDataAndLeavesTheBufferAlone) {
  ASSERT_EQ(Execute("INSERT INTO t VALUES ('w', 'value'), ('x', NULL)"), 0);
  dbCloseStatement(db_);
  ASSERT_EQ(Execute("SELECT a, b FROM t ORDER BY a"), 0);
  ASSERT_EQ(dbFetch(db_, columns_, row_), 0);
  EXPECT_STREQ(row_.slots[1], "value");
  // The NULL after a value leaves no trace of it in the slot.
  ASSERT_EQ(dbFetch(db_, columns_, row_), 0);
  EXPECT_EQ(columns_, 2);
  EXPECT_STREQ(row_.slots[0], "x");
  EXPECT_STREQ(row_.slots[1], "");
  EXPECT_STREQ(row_.slots[2], "");

  std::strcpy(row_.slots[0], "untouched");
  columns_ = 7;
  EXPECT_EQ(dbFetch(db_, columns_, row_), 100);
  EXPECT_STREQ(row_.slots[0], "untouched");
  EXPECT_EQ(columns_, 7);
  EXPECT_EQ(dbCloseStatement(db_), 0);
}

TEST_F(OdbcAccessTest, StatementsWithoutResultOrWithErrors) {
  EXPECT_EQ(dbFetch(db_, columns_, row_), -1);  // nothing executed yet
  // An update that touches no row reports no data and stays open.
  EXPECT_EQ(Execute("UPDATE t SET a = 'y'"), 100);
  EXPECT_EQ(dbCloseStatement(db_), 0);
  ASSERT_EQ(Execute("INSERT INTO t VALUES ('x', 'y')"), 0);
  dbCloseStatement(db_);
  ASSERT_EQ(Execute("UPDATE t SET a = 'y'"), 0);
  EXPECT_EQ(dbFetch(db_, columns_, row_), -1);  // no result columns
  EXPECT_EQ(dbCloseStatement(db_), 0);

  EXPECT_EQ(Execute("SELEKT 1"), -1);
  EXPECT_NE(db_.diagnostics.find("SQLSTATE"), std::string::npos);
  EXPECT_EQ(dbCloseStatement(db_), -1);  // no statement: the latest result
  EXPECT_EQ(dbCloseStatement(db_), -1);
}

TEST_F(OdbcAccessTest, FetchErrorFreesTheStatement) {
  ASSERT_EQ(Execute("INSERT INTO t VALUES ('1', ''), ('3', '')"), 0);
  dbCloseStatement(db_);
  ASSERT_EQ(Execute("SELECT CASE WHEN a = '1' THEN a ELSE abs(-9223372036854775807 - (CAST(a AS INTEGER) - 2)) END FROM t"), 0);
  EXPECT_EQ(dbFetch(db_, columns_, row_), 0);
  EXPECT_EQ(dbFetch(db_, columns_, row_), -1);
  EXPECT_EQ(dbCloseStatement(db_), -1);
  EXPECT_EQ(dbFetch(db_, columns_, row_), -1);
}

TEST_F(OdbcAccessTest, LongValuesArriveAsTheir99FirstBytes) {
  ASSERT_EQ(Execute("INSERT INTO t VALUES ('" + std::string(150, 'v') + "', '" +
                    std::string(99, 'w') + "')"), 0);
  dbCloseStatement(db_);
  ASSERT_EQ(Execute("SELECT a, b FROM t"), 0);
  ASSERT_EQ(dbFetch(db_, columns_, row_), 0);
  EXPECT_EQ(std::string(row_.slots[0]), std::string(99, 'v'));
  EXPECT_EQ(std::string(row_.slots[1]), std::string(99, 'w'));
}

TEST(OdbcConnectTest, UnknownDataSourceFailsWithDiagnostics) {
  testing::TempDir dir;
  auto env = testing::WriteOdbcConfig(dir / "odbc", {});
  for (const auto& [name, value] : env) ::setenv(name.c_str(), value.c_str(), 1);
  DbState db;
  EXPECT_EQ(dbConnect(db, "u", "p", "NOSUCH"), -1);
  EXPECT_NE(db.diagnostics.find("IM002"), std::string::npos) << db.diagnostics;
}

}  // namespace
}  // namespace korvadex
