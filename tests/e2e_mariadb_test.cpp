// End-to-end runs of korvadex through unixODBC and MariaDB Connector/ODBC
// against a real MariaDB server started for the tests: what this connector
// does differently from the others.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <fstream>
#include <memory>
#include <thread>

#include "test_support.h"

namespace korvadex {
namespace {

using testing::CommandResult;
using testing::JobTree;
using testing::ReadFileBytes;

class MariaDbRunTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    if (IsInstalled()) {
      server_ = std::make_unique<testing::TestServer>("mariadb-server.sh", "KORVADEX_TEST_MARIADB_STATE");
    }
  }
  static void TearDownTestSuite() { server_.reset(); }
  static bool IsInstalled() {
    return !testing::FindDriverLibrary("libmaodbc.so").empty() && testing::FileExists(kServerBinary);
  }

  void SetUp() override {
    const std::string driver = testing::FindDriverLibrary("libmaodbc.so");
    if (driver.empty()) GTEST_SKIP() << "MariaDB Connector/ODBC (odbc-mariadb) is not installed";
    if (!testing::FileExists(kServerBinary)) GTEST_SKIP() << "the MariaDB server (mariadb-server) is not installed";
    ASSERT_FALSE(server_->port().empty());
    const std::string common = "Driver=" + driver + "\nServer=127.0.0.1\nPort=" + server_->port() +
                               "\nDatabase=kvtest\n";
    env_ = testing::WriteOdbcConfig(dir_ / "odbc", {{"KVMA", common}, {"KVMALATIN", common + "CHARSET=latin1\n"}, {"KVMAUTF8", common + "CHARSET=utf8mb4\n"}});
    tree_.WriteCredentials("KVMA", "kvuser", "kv-secret", "MA");
    const std::string database = "kv" + std::to_string(::getpid());
    Sql("CREATE DATABASE " + database + ";");
    database_ = database;
  }
  void TearDown() override {
    if (!database_.empty()) Sql("DROP DATABASE " + database_ + ";");
  }

  // Runs `statements` (separated by semicolons, or by DELIMITER's choice) in
  // the test's database and returns what the client printed, tab-separated.
  std::string Sql(const std::string& statements) {
    CommandResult result = testing::RunCommand(
        {"/usr/bin/mariadb", "--no-defaults", "--default-character-set=utf8mb4", "--protocol=tcp", "-h",
         "127.0.0.1", "-P", server_->port(), "-u", "kvuser", "-N", "-B", "kvtest"},
        "", {{"MYSQL_PWD", "kv-secret"}}, (database_.empty() ? "" : "USE " + database_ + ";\n") + statements);
    EXPECT_EQ(result.exitCode, 0) << result.err;
    return result.out;
  }

  CommandResult Run(const JobTree& tree, const std::string& job, const std::string& target,
                    const std::string& extra = "") {
    tree.WriteJobFile("MA", "[JOB]\n" + job);
    std::vector<std::string> args{"JOB", database_, target, "1"};
    if (!extra.empty()) args.push_back(extra);
    return testing::RunKorvadex(tree, args, env_);
  }
  CommandResult Run(const std::string& job, const std::string& target, const std::string& extra = "") {
    return Run(tree_, job, target, extra);
  }
  std::string Out(const std::string& name) { return tree_.runDir + "/" + name; }

  // Sends the run into s.dat (which held "old export") SIGTERM and expects
  // it to end with 143, keeping the target.
  void StopAndExpectTheTargetKept(testing::Child& child) {
    ::kill(child.pid(), SIGTERM);
    int status = 0;
    ASSERT_TRUE(child.WaitFor(std::chrono::seconds(60), status)) << "korvadex did not end on SIGTERM";
    ASSERT_TRUE(WIFEXITED(status)) << "korvadex ended by signal " << WTERMSIG(status);
    EXPECT_EQ(WEXITSTATUS(status), 128 + SIGTERM);
    EXPECT_EQ(ReadFileBytes(dir_ / "stdout"), "0 Saetze kopiert in Datei s.dat \n");
    EXPECT_EQ(ReadFileBytes(Out("s.dat")), "old export");
  }

  static constexpr char kServerBinary[] = "/usr/sbin/mariadbd";
  static std::unique_ptr<testing::TestServer> server_;
  testing::TempDir dir_;
  JobTree tree_{dir_.path()};
  std::map<std::string, std::string> env_;
  std::string database_;
};

std::unique_ptr<testing::TestServer> MariaDbRunTest::server_;

// The note of row i, as an SQL literal: every 7th is NULL, right after a row
// with a note; 150, 100 and 99 bytes long in turn with short ones; every 13th
// 120 bytes of "ü", which the slot cuts inside a character.
std::string NoteOf(int i) {
  if (i % 7 == 0) return "NULL";
  std::string text;
  if (i % 13 == 0) {
    for (int k = 0; k < 60; ++k) text += "\xC3\xBC";
  } else {
    const std::size_t lengths[] = {150, 100, 99, 0, 0};
    text = "n" + std::to_string(i) + "-";
    text.resize(std::max(text.size(), lengths[(i - 1) % 5]), 'z');
  }
  return "'" + text + "'";
}

// Rows 1 to n of a table both databases render alike; zero-padded ids sort
// the records in id order; blanks and UTF-8 in some names, no day in some rows.
std::string SharedRows(int count) {
  std::string sql = "INSERT INTO t VALUES ";
  for (int i = 1; i <= count; ++i) {
    char amount[32];
    std::snprintf(amount, sizeof amount, "'%.2f'", ((i * 37) % 20000 - 5000) / 100.0);
    char day[16];
    std::snprintf(day, sizeof day, "'2026-%02d-%02d'", i % 12 + 1, i % 28 + 1);
    const std::string name = i % 4 == 0 ? "' J\xC3\xBCrgen '" : "'name" + std::to_string(i) + "'";
    sql += std::string(i > 1 ? "," : "") + "(" + std::to_string(i) + "," + name + "," + amount + "," +
           (i % 11 == 0 ? "NULL" : day) + "," + NoteOf(i) + ")";
  }
  return sql + ";";
}

TEST_F(MariaDbRunTest, ExportMatchesSqliteByteForByte) {
  const int rows = 3000;
  const std::string job =
      "SQL001=SELECT id, name, amount, day, note FROM $parm01.t ORDER BY id\n"
      "FELD01=ID\nFTYP01=DEC\nFLEN01=5\nFELD02=NAME\nFTYP02=CHAR\nFLEN02=8\n"
      "FELD03=AMOUNT\nFTYP03=DEC\nFLEN03=8\nFELD04=DAY\nFTYP04=CHAR\nFLEN04=10\n"
      "FELD05=NOTE\nFTYP05=TXT\nFLEN05=100\n";
  Sql("CREATE TABLE t (id INT, name VARCHAR(20), amount DECIMAL(9,2), day DATE, note VARCHAR(200)) "
      "CHARACTER SET utf8mb4;" + SharedRows(rows));
  env_["KORVADEX_REPORT"] = dir_ / "report.json";
  CommandResult result = Run(job, "ma.dat");
  env_.erase("KORVADEX_REPORT");
  EXPECT_EQ(result.exitCode, 0);
  EXPECT_EQ(result.out, "3000 Saetze kopiert in Datei ma.dat \n");
  const std::string file = ReadFileBytes(Out("ma.dat"));
  const nlohmann::json report = testing::ReadCheckedReport(dir_ / "report.json", "kv-secret");
  EXPECT_EQ(report["exit"]["name"], "completed");
  EXPECT_EQ(report["output"]["rows"], 3000);
  EXPECT_EQ(report["output"]["bytes"], 3000 * 131);
  EXPECT_EQ(report["output"]["sha256"], testing::Sha256sum(file));
  EXPECT_EQ(report["database"]["dbms_name"], "MariaDB");
  EXPECT_EQ(report["database"]["driver_name"], "libmaodbc.so");
  const std::size_t length = 5 + 8 + 8 + 10 + 100;
  ASSERT_EQ(file.size(), rows * length);
  // The connector fills all 100 bytes of the slot without a terminator for a
  // longer value, and leaves the slot of a NULL as the previous row filled it.
  const auto record = [&](int id) { return file.substr((id - 1) * length, length); };
  EXPECT_EQ(record(2), "00002name2   00-49.262026-03-03n2-" + std::string(96, 'z') + " ");
  EXPECT_EQ(record(6), "00006name6   00-47.782026-07-07n6-" + std::string(96, 'z') + " ");
  EXPECT_EQ(record(7), "00007name7   00-47.412026-08-08" + std::string(100, ' '));
  std::string cutInside;
  for (int k = 0; k < 49; ++k) cutInside += "\xC3\xBC";
  EXPECT_EQ(record(13), "00013name13  00-45.192026-02-14" + cutInside + "\xC3 ");

  // The same rows and job on SQLite, amounts and dates stored as the text
  // MariaDB renders them in.
  testing::TempDir liteDir;
  const std::string driver = testing::FindDriverLibrary("libsqlite3odbc.so");
  ASSERT_FALSE(driver.empty()) << "the SQLite ODBC driver (libsqliteodbc) is not installed";
  CommandResult made = testing::RunCommand(
      {"/usr/bin/sqlite3", liteDir / "t.db"}, "", {},
      "CREATE TABLE t (id INTEGER, name TEXT, amount TEXT, day TEXT, note TEXT);" + SharedRows(rows));
  ASSERT_EQ(made.exitCode, 0) << made.err;
  env_ = testing::WriteOdbcConfig(liteDir / "odbc", {{"KVLITE", "Driver=" + driver + "\nDatabase=" +
                                                                    (liteDir / "t.db") + "\nStepAPI=1\n"}});
  JobTree liteTree(liteDir.path());
  liteTree.WriteCredentials("KVLITE", "", "", "MA");
  std::string liteJob = job;
  liteJob.replace(liteJob.find("$parm01.t"), 9, "t");
  CommandResult lite = Run(liteTree, liteJob, "lite.dat");
  EXPECT_EQ(lite.out, "3000 Saetze kopiert in Datei lite.dat \n");
  EXPECT_TRUE(ReadFileBytes(liteTree.runDir + "/lite.dat") == file) << "the SQLite file differs";
}

TEST_F(MariaDbRunTest, UpdatesExitZeroAndLeaveTheTargetAlone) {
  Sql("CREATE TABLE u (id INT, v VARCHAR(4)); INSERT INTO u VALUES (1, 'a'), (2, 'b');");
  testing::WriteFileBytes(Out("u.dat"), "old export");
  for (const char* where : {"id = 9", "id <= 2"}) {
    CommandResult result = Run(std::string("SQL001=UPDATE $parm01.u SET v = 'x' WHERE ") + where +
                                   "\nFELD01=V\nFTYP01=CHAR\nFLEN01=4\n",
                               "u.dat");
    EXPECT_EQ(result.exitCode, 0) << where;
    EXPECT_EQ(result.out, "Fehler Lesen in Leseschleife -10 Saetze kopiert in Datei u.dat \n") << where;
  }
  EXPECT_EQ(ReadFileBytes(Out("u.dat")), "old export");
  EXPECT_EQ(Sql("SELECT GROUP_CONCAT(v ORDER BY id) FROM u;"), "x,x\n");
}

TEST_F(MariaDbRunTest, Latin1DataSourceDeliversWindows1252) {
  Sql("CREATE TABLE c (id INT, v VARCHAR(20)) CHARACTER SET utf8mb4;"
      "INSERT INTO c VALUES (1, '\xE2\x82\xAC 5'), (2, 'M\xC3\xBCller'), (3, '\xC5\x81\xC3\xB3" "d\xC5\xBA \xE2\x98\x83');");
  tree_.WriteCredentials("KVMALATIN", "kvuser", "kv-secret", "MA");
  CommandResult result = Run("SQL001=SELECT id, v FROM $parm01.c\nFELD01=ID\nFTYP01=DEC\nFLEN01=1\n"
                             "FELD02=V\nFTYP02=CHAR\nFLEN02=8\n",
                             "c.dat");
  EXPECT_EQ(result.exitCode, 0);
  // The euro sign is Windows-1252's 0x80; characters the code page lacks
  // (Ł, ź, the snowman) arrive as "?".
  EXPECT_EQ(ReadFileBytes(Out("c.dat")), "1\x80 5     2M\xFCller  3?\xF3" "d? ?  ");
}

// With a code page the connector's CHARSET is not needed: without it and
// with utf8mb4 the data sources write the file SQLite's and PostgreSQL's
// drivers give, with the letters Ø, Ù, Ú and Û whose wide length this
// connector counts one short. (CHARSET=latin1 would not do: the connector
// widens the server's Windows-1252 bytes as ISO-8859-1, the euro to U+0080.)
TEST_F(MariaDbRunTest, CodePageGivesTheSameFileWhateverTheCharset) {
  Sql(std::string("CREATE TABLE t (id INT, name VARCHAR(20), note VARCHAR(20)) CHARACTER SET utf8mb4;"
                  "INSERT INTO t VALUES ") + testing::kCodePageRows + ";");
  const std::string job = std::string("SQL001=SELECT id, name, note FROM $parm01.t ORDER BY id\n") +
                          testing::kCodePageColumns;
  const struct {
    const char* codePage;
    const std::string& expected;
    const char* counts;
  } cases[] = {{"1252", testing::kCodePage1252Records, testing::kCodePage1252Counts},
               {"65001", testing::kCodePage65001Records, testing::kCodePage65001Counts}};
  for (const char* dataSource : {"KVMA", "KVMAUTF8"}) {
    tree_.WriteCredentials(dataSource, "kvuser", "kv-secret", "MA");
    for (const auto& c : cases) {
      env_["KORVADEX_CODEPAGE"] = c.codePage;
      CommandResult result = Run(job, "cp.dat", "/D");
      EXPECT_EQ(result.exitCode, 0) << dataSource << " " << c.codePage << result.out;
      EXPECT_EQ(ReadFileBytes(Out("cp.dat")), c.expected) << dataSource << " " << c.codePage;
      EXPECT_EQ(result.err.substr(result.err.find(" s\n") + 3), c.counts) << dataSource << " " << c.codePage;
    }
  }
  // The four letters alone fill their field: a short length would drop the last.
  env_["KORVADEX_CODEPAGE"] = "1252";
  Run("SQL001=SELECT name FROM $parm01.t WHERE id = 4\nFELD01=N\nFTYP01=CHAR\nFLEN01=4\n", "four.dat");
  EXPECT_EQ(ReadFileBytes(Out("four.dat")), "\xD8\xD9\xDA\xDB");
}

// The only one of the drivers that delivers a NUL byte inside a value: the value ends there.
TEST_F(MariaDbRunTest, NulInsideAValueEndsIt) {
  CommandResult result = Run("SQL001=SELECT CONCAT('ab', CHAR(0), 'cd'), CONCAT(' x', CHAR(0), 'yz')\n"
                             "FELD01=A\nFTYP01=CHAR\nFLEN01=6\nFELD02=B\nFTYP02=TXT\nFLEN02=4\n",
                             "nul.dat");
  EXPECT_EQ(result.out, "1 Saetze kopiert in Datei nul.dat \n");
  EXPECT_EQ(ReadFileBytes(Out("nul.dat")), "ab     x  ");
}

TEST_F(MariaDbRunTest, RefusedLoginAndAnErrorInALaterRow) {
  tree_.WriteCredentials("KVMA", "kvuser", "wrong-secret", "MA");
  env_["KORVADEX_REPORT"] = dir_ / "report.json";
  CommandResult refused = Run("SQL001=SELECT 1\nFELD01=A\nFTYP01=DEC\nFLEN01=1\n", "x.dat", "/D");
  EXPECT_EQ(refused.exitCode, 4);
  nlohmann::json report = testing::ReadCheckedReport(dir_ / "report.json", "wrong-secret");
  EXPECT_EQ(report["exit"]["name"], "connect_failed");
  ASSERT_GE(report["diagnostics"].size(), 1u);
  EXPECT_EQ(report["diagnostics"][0]["sqlstate"], "28000");
  EXPECT_EQ(report["diagnostics"][0]["native"], 1045);
  EXPECT_EQ(refused.out.rfind(" Aktiviert Debugger\ndbConnect_Status: -1\nODBC-Diagnose: SQLSTATE 28000", 0), 0u)
      << refused.out;
  EXPECT_EQ(refused.out.find("wrong-secret"), std::string::npos);
  EXPECT_FALSE(testing::FileExists(Out("x.dat")));

  tree_.WriteCredentials("KVMA", "kvuser", "kv-secret", "MA");
  Sql("DELIMITER //\nCREATE FUNCTION f(x INT) RETURNS INT DETERMINISTIC BEGIN "
      "IF x = 500 THEN SIGNAL SQLSTATE '45000' SET MESSAGE_TEXT = 'row 500 refused'; END IF; "
      "RETURN x; END//\n");
  const std::string columns = "FELD01=A\nFTYP01=DEC\nFLEN01=4\n";
  CommandResult before = Run("SQL001=SELECT $parm01.f(seq) FROM seq_1_to_499\n" + columns, "part.dat");
  EXPECT_EQ(before.out, "499 Saetze kopiert in Datei part.dat \n");
  // The connector reads the whole result while it executes, so the server's
  // error in row 500 fails the statement rather than a fetch.
  CommandResult failed = Run("SQL001=SELECT $parm01.f(seq) FROM seq_1_to_1000\n" + columns, "part.dat", "/D");
  EXPECT_EQ(failed.exitCode, 5);
  EXPECT_NE(failed.out.find("ODBC-Diagnose: SQLSTATE 45000, nativer Code 1644: "), std::string::npos) << failed.out;
  EXPECT_TRUE(failed.out.ends_with("row 500 refused\n0 Saetze kopiert in Datei part.dat \n")) << failed.out;
  report = testing::ReadCheckedReport(dir_ / "report.json", "kv-secret");
  EXPECT_EQ(report["exit"]["name"], "execute_failed");
  EXPECT_EQ(report["output"]["rows"], 0);
  ASSERT_EQ(report["diagnostics"].size(), 1u);
  EXPECT_EQ(report["diagnostics"][0]["sqlstate"], "45000");
  EXPECT_EQ(report["diagnostics"][0]["native"], 1644);
  EXPECT_TRUE(report["diagnostics"][0]["text"].get<std::string>().ends_with("row 500 refused"))
      << report["diagnostics"];
  EXPECT_EQ(ReadFileBytes(Out("part.dat")).size(), 499u * 4);
}

TEST_F(MariaDbRunTest, StopSignalKillsTheRunningQuery) {
  testing::WriteFileBytes(Out("s.dat"), "old export");
  tree_.WriteJobFile("MA", "[JOB]\nSQL001=SELECT 'kv-cancel-me', SLEEP(600)\nFELD01=A\nFTYP01=CHAR\nFLEN01=1\n");
  testing::Child child({KORVADEX_BINARY, "JOB", database_, "s.dat", "1"}, tree_.runDir, env_, dir_ / "stdout");
  const std::string running =
      "SELECT COUNT(*) FROM information_schema.PROCESSLIST WHERE INFO LIKE '%kv-cancel-me%' "
      "AND ID <> CONNECTION_ID();";
  int status = 0;
  for (int attempt = 0; attempt < 300 && Sql(running) != "1\n"; ++attempt) {
    ASSERT_FALSE(child.HasEnded(status)) << ReadFileBytes(dir_ / "stdout");
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  ASSERT_EQ(Sql(running), "1\n") << "the statement never ran";
  StopAndExpectTheTargetKept(child);
  // The connector's cancel is a KILL QUERY; without it the server would go on
  // sleeping for ten minutes.
  for (int attempt = 0; attempt < 100 && Sql(running) != "0\n"; ++attempt) {
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  EXPECT_EQ(Sql(running), "0\n");
}

// Bytes the process `pid` has written with write(2) and its kin so far, or -1.
long long WrittenBytes(pid_t pid) {
  std::ifstream io("/proc/" + std::to_string(pid) + "/io");
  std::string key;
  long long value = -1;
  while (io >> key >> value) {
    if (key == "wchar:") return value;
  }
  return -1;
}

// Stop signals during long fetches, at stepped points of them: between its
// own calls this connector's SQLCancel closes the statement and frees the
// stored result, so the driver process may cancel only between two fetches,
// never from its watcher beside one. In the sanitizer build (CI) a use of the
// freed result is reported on standard error; in any build the run ends
// cleanly.
TEST_F(MariaDbRunTest, StopSignalsDuringTheFetchCancelBetweenFetches) {
  tree_.WriteJobFile("MA", "[JOB]\nSQL001=SELECT seq, CONCAT('row-', seq) FROM seq_1_to_3000000\n"
                           "FELD01=N\nFTYP01=DEC\nFLEN01=8\nFELD02=NAME\nFTYP02=CHAR\nFLEN02=12\n");
  testing::WriteFileBytes(Out("s.dat"), "old export");
  for (int round = 0; round < 10; ++round) {
    SCOPED_TRACE("round " + std::to_string(round));
    testing::Child child({KORVADEX_BINARY, "JOB", database_, "s.dat", "0"}, tree_.runDir, env_, dir_ / "stdout",
                         dir_ / "stderr");
    // The fetch is under way once the driver process has sent that many
    // bytes of rows (some 60 MB in all); each round waits for more of them.
    const long long sent = (round + 1) * (2ll << 20);
    pid_t driver = 0;
    int status = 0;
    for (int attempt = 0; attempt < 6000 && (driver == 0 || WrittenBytes(driver) < sent); ++attempt) {
      ASSERT_FALSE(child.HasEnded(status)) << ReadFileBytes(dir_ / "stdout");
      std::ifstream("/proc/" + std::to_string(child.pid()) + "/task/" + std::to_string(child.pid()) +
                    "/children") >> driver;
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    ASSERT_GE(WrittenBytes(driver), sent) << "the rows never came";
    StopAndExpectTheTargetKept(child);
    // Nothing from the driver process's sanitizer.
    EXPECT_EQ(ReadFileBytes(dir_ / "stderr"), "");
  }
}

}  // namespace
}  // namespace korvadex
