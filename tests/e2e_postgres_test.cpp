// End-to-end runs of korvadex through unixODBC and psqlODBC against a real
// PostgreSQL server started for the tests.
#include <gtest/gtest.h>

#include <memory>
#include <utility>

#include "test_support.h"

namespace korvadex {
namespace {

using testing::CommandResult;
using testing::ReadFileBytes;

class PostgresRunTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    server_ = std::make_unique<testing::TestServer>("pg-server.sh", "KORVADEX_TEST_PG_STATE");
  }
  static void TearDownTestSuite() { server_.reset(); }

  void SetUp() override {
    const std::string driver = testing::FindDriverLibrary("psqlodbca.so");
    ASSERT_FALSE(driver.empty()) << "psqlODBC (odbc-postgresql) is not installed";
    ASSERT_FALSE(server_->port().empty());
    const std::string common = "Driver=" + driver + "\nServername=127.0.0.1\nPort=" +
                               server_->port() + "\nDatabase=kvtest\n";
    // Fetch=50 makes the cursor deliver rows in small batches, so an error in a
    // later row reaches the row loop after earlier rows were read.
    const std::string unicode = "Driver=" + testing::FindDriverLibrary("psqlodbcw.so") + common.substr(common.find('\n'));
    env_ = testing::WriteOdbcConfig(dir_ / "odbc",
                                    {{"KVPG", common + "UseDeclareFetch=1\nFetch=10000\n"},
                                     {"KVPGSMALL", common + "UseDeclareFetch=1\nFetch=50\n"},
                                     {"KVPGW", unicode}});
    tree_.WriteCredentials("KVPG", "kvuser", "kv-secret", "PG");
    schema_ = "s" + std::to_string(::getpid());
    Psql("CREATE SCHEMA " + schema_);
  }
  void TearDown() override { Psql("DROP SCHEMA " + schema_ + " CASCADE"); }

  void Psql(const std::string& sql) {
    CommandResult result = testing::RunCommand(
        {"/usr/bin/psql", "-q", "-v", "ON_ERROR_STOP=1", "-h", "127.0.0.1", "-p", server_->port(),
         "-U", "kvuser", "-d", "kvtest", "-c", sql},
        "", {{"PGPASSWORD", "kv-secret"}});
    ASSERT_EQ(result.exitCode, 0) << result.err;
  }

  CommandResult Run(const std::string& job, const std::string& target, const std::string& flag = "1",
                    const std::string& extra = "") {
    tree_.WriteJobFile("PG", "[JOB]\n" + job);
    std::vector<std::string> args{"JOB", schema_, target, flag};
    if (!extra.empty()) args.push_back(extra);
    return testing::RunKorvadex(tree_, args, env_);
  }
  std::string Out(const std::string& name) { return tree_.runDir + "/" + name; }

  static std::unique_ptr<testing::TestServer> server_;
  testing::TempDir dir_;
  testing::JobTree tree_{dir_.path()};
  std::map<std::string, std::string> env_;
  std::string schema_;
};

std::unique_ptr<testing::TestServer> PostgresRunTest::server_;

TEST_F(PostgresRunTest, ExportsValuesAsPostgresRendersThem) {
  env_["KORVADEX_REPORT"] = dir_ / "report.json";
  Psql("CREATE TABLE " + schema_ + ".t (id int, code char(4), amount numeric(8,2), day date, "
       "note text, city text);"
       "INSERT INTO " + schema_ + ".t VALUES "
       "(10, 'B', 1234.5, '2026-01-31', NULL, '  Köln '),"
       "(2, 'a', -3, '2026-12-08', E'tab\\there', 'x'),"
       "(3, 'A', 0.5, NULL, repeat('n', 149) || 'E', ''),"
       "(3, 'A', 0.5, NULL, repeat('n', 149) || 'E', '')");
  CommandResult result = Run(
      "SQL001=SELECT code, id, amount, day, note, city FROM $parm01.t\n"
      "FELD01=CODE\nFTYP01=TXT\nFLEN01=5\nFELD02=ID\nFTYP02=DEC\nFLEN02=3\n"
      "FELD03=AMOUNT\nFTYP03=DEC\nFLEN03=9\nFELD04=DAY\nFTYP04=CHAR\nFLEN04=10\n"
      "FELD05=NOTE\nFTYP05=TXT\nFLEN05=4\nFELD06=CITY\nFTYP06=CHAR\nFLEN06=6\n",
      "pg.dat");
  EXPECT_EQ(result.exitCode, 0);
  EXPECT_EQ(result.out, "4 Saetze kopiert in Datei pg.dat \n");
  const nlohmann::json report = testing::ReadCheckedReport(dir_ / "report.json", "kv-secret");
  EXPECT_EQ(report["exit"]["name"], "completed");
  EXPECT_EQ(report["output"]["rows"], 4);
  EXPECT_EQ(report["output"]["bytes"], 148);
  EXPECT_EQ(report["output"]["sha256"], testing::Sha256sum(ReadFileBytes(Out("pg.dat"))));
  EXPECT_EQ(report["job"]["record_length"], 37);
  EXPECT_EQ(report["database"]["driver_name"], "psqlodbca.so");
  EXPECT_EQ(report["database"]["dbms_name"], "PostgreSQL");
  EXPECT_EQ(report["columns"].size(), 6u);
  // char(4) comes blank-padded, numeric keeps its scale, UTF-8 passes as bytes
  // (so "Köln" is five bytes), and the 150-character text arrives as 99 bytes.
  EXPECT_EQ(ReadFileBytes(Out("pg.dat")),
            "A    003000000.50          nnnn      "
            "A    003000000.50          nnnn      "
            "B    010001234.502026-01-31    K\xC3\xB6ln "
            "a    0020000-3.002026-12-08herex     ");
}

// The Unicode driver hands over wide text and the run writes the file that
// SQLite's and MariaDB's drivers give for the same rows; the ANSI driver
// cannot, and that is a read error rather than other bytes.
TEST_F(PostgresRunTest, UnicodeDriverWritesTheCodePageAnsiDriverFailsTheRead) {
  Psql("CREATE TABLE " + schema_ + ".t (id int, name text, note varchar(20));"
       "INSERT INTO " + schema_ + ".t VALUES " + testing::kCodePageRows);
  const std::string job = std::string("SQL001=SELECT id, name, note FROM $parm01.t ORDER BY id\n") +
                          testing::kCodePageColumns;
  tree_.WriteCredentials("KVPGW", "kvuser", "kv-secret", "PG");
  const struct {
    const char* codePage;
    const std::string& expected;
    const char* counts;
  } cases[] = {{"1252", testing::kCodePage1252Records, testing::kCodePage1252Counts},
               {"65001", testing::kCodePage65001Records, testing::kCodePage65001Counts}};
  for (const auto& c : cases) {
    env_["KORVADEX_CODEPAGE"] = c.codePage;
    CommandResult result = Run(job, "pgw.dat", "1", "/D");
    EXPECT_EQ(result.exitCode, 0) << c.codePage << result.out;
    EXPECT_EQ(ReadFileBytes(Out("pgw.dat")), c.expected) << c.codePage;
    EXPECT_EQ(result.err.substr(result.err.find(" s\n") + 3), c.counts) << c.codePage;
  }

  tree_.WriteCredentials("KVPG", "kvuser", "kv-secret", "PG");
  env_["KORVADEX_CODEPAGE"] = "1252";
  testing::WriteFileBytes(Out("pga.dat"), "kept");
  CommandResult ansi = Run(job, "pga.dat", "1", "/D");
  EXPECT_EQ(ansi.exitCode, 6);
  EXPECT_NE(ansi.out.find("Fehler Lesen in Leseschleife -1\nODBC-Diagnose: SQLSTATE 07006"), std::string::npos)
      << ansi.out;
  EXPECT_NE(ansi.out.find("PostgreSQL braucht den Unicode-Treiber von psqlODBC"), std::string::npos) << ansi.out;
  EXPECT_EQ(ansi.out.substr(ansi.out.rfind('\n', ansi.out.size() - 2) + 1), "0 Saetze kopiert in Datei pga.dat \n");
  EXPECT_EQ(ReadFileBytes(Out("pga.dat")), "kept");
}

TEST_F(PostgresRunTest, WrongPasswordFailsTheConnect) {
  tree_.WriteCredentials("KVPG", "kvuser", "wrong-password", "PG");
  env_["KORVADEX_REPORT"] = dir_ / "report.json";
  CommandResult result = Run("SQL001=SELECT 1\nFELD01=A\nFTYP01=DEC\nFLEN01=1\n", "x.dat", "1", "/D");
  const nlohmann::json report = testing::ReadCheckedReport(dir_ / "report.json", "wrong-password");
  EXPECT_EQ(report["exit"]["name"], "connect_failed");
  ASSERT_GE(report["diagnostics"].size(), 1u);
  EXPECT_EQ(report["diagnostics"][0]["sqlstate"], "08001");
  EXPECT_NE(report["diagnostics"][0]["text"].get<std::string>().find("password authentication failed"),
            std::string::npos)
      << report["diagnostics"];
  EXPECT_EQ(result.out.rfind(" Aktiviert Debugger\ndbConnect_Status: -1\nODBC-Diagnose: SQLSTATE", 0), 0u)
      << result.out;
  EXPECT_EQ(result.out.find("wrong-password"), std::string::npos);
  EXPECT_FALSE(testing::FileExists(Out("x.dat")));

  // The server names the user it refused: a password equal to the user name
  // is masked there, in the trace and in the report alike.
  const std::string quoted = "user-named-like-its-password";
  tree_.WriteCredentials("KVPG", quoted, quoted, "PG");
  result = Run("SQL001=SELECT 1\nFELD01=A\nFTYP01=DEC\nFLEN01=1\n", "x.dat", "1", "/D");
  EXPECT_EQ(result.exitCode, 4);
  EXPECT_NE(result.out.find("for user \"" + std::string(quoted.size(), '*') + "\""), std::string::npos)
      << result.out;
  const nlohmann::json masked = testing::ReadCheckedReport(dir_ / "report.json", quoted);
  ASSERT_GE(masked["diagnostics"].size(), 1u);
  EXPECT_NE(masked["diagnostics"][0]["text"].get<std::string>().find(
                "password authentication failed for user \"" + std::string(quoted.size(), '*') + "\""),
            std::string::npos)
      << masked["diagnostics"];
}

TEST_F(PostgresRunTest, LongUserNameAndPasswordArePassedWhole) {
  // Cut to the 23 characters of the old connect buffers, these would log in
  // with a wrong password.
  const std::string user = "u" + schema_ + "_with_a_long_role_name";
  const std::string password = "a-password-of-forty-characters-0123456789";
  Psql("CREATE ROLE " + user + " LOGIN PASSWORD '" + password + "'");
  tree_.WriteCredentials("KVPG", user, password, "PG");
  CommandResult result = Run("SQL001=SELECT 7\nFELD01=A\nFTYP01=DEC\nFLEN01=2\n", "long.dat");
  Psql("DROP ROLE " + user);
  EXPECT_EQ(result.out, "1 Saetze kopiert in Datei long.dat \n");
  EXPECT_EQ(ReadFileBytes(Out("long.dat")), "07");
}

TEST_F(PostgresRunTest, UpdatesExitZeroAndLeaveTheTargetAlone) {
  Psql("CREATE TABLE " + schema_ + ".u (id int, v text); INSERT INTO " + schema_ + ".u VALUES (1, 'a'), (2, 'b')");
  testing::WriteFileBytes(Out("u.dat"), "old export");
  // psqlODBC says "no data" for an update that finds no row, as SQLite's driver does.
  const std::pair<const char*, const char*> cases[] = {
      {"id = 9", "0 Saetze kopiert in Datei u.dat \n"},
      {"id <= 2", "Fehler Lesen in Leseschleife -10 Saetze kopiert in Datei u.dat \n"}};
  for (const auto& [where, out] : cases) {
    CommandResult result = Run(std::string("SQL001=UPDATE $parm01.u SET v = 'x' WHERE ") + where +
                                   "\nFELD01=V\nFTYP01=CHAR\nFLEN01=4\n",
                               "u.dat");
    EXPECT_EQ(result.exitCode, 0) << where;
    EXPECT_EQ(result.out, out) << where;
  }
  EXPECT_EQ(ReadFileBytes(Out("u.dat")), "old export");
}

TEST_F(PostgresRunTest, SyntaxErrorAndReadErrorInTheRowLoop) {
  CommandResult syntax = Run("SQL001=SELEKT 1\nFELD01=A\nFTYP01=DEC\nFLEN01=1\n", "bad.dat");
  EXPECT_EQ(syntax.exitCode, 5);
  EXPECT_EQ(syntax.out, "0 Saetze kopiert in Datei bad.dat \n");
  EXPECT_FALSE(testing::FileExists(Out("bad.dat")));

  tree_.WriteCredentials("KVPGSMALL", "kvuser", "kv-secret", "PG");
  CommandResult result = Run(
      "SQL001=SELECT 1 / (120 - x) FROM generate_series(1, 200) AS x\n"
      "FELD01=A\nFTYP01=DEC\nFLEN01=1\n", "part.dat");
  // Rows come in batches of 50: the batch holding the division by zero fails
  // after the first two batches were read.
  EXPECT_EQ(result.exitCode, 6);
  EXPECT_EQ(result.out, "Fehler Lesen in Leseschleife -10 Saetze kopiert in Datei part.dat \n");
  EXPECT_FALSE(testing::FileExists(Out("part.dat")));
}

}  // namespace
}  // namespace korvadex
