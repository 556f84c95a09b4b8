// End-to-end runs of korvadex through unixODBC and the SQLite ODBC driver, on a
// database file each test makes for itself.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstdio>
#include <utility>
#include <vector>

#include "test_support.h"

namespace korvadex {
namespace {

using testing::CommandResult;
using testing::JobTree;
using testing::ReadFileBytes;
using testing::TempDir;
using testing::WriteFileBytes;

class SqliteRunTest : public ::testing::Test {
 protected:
  void SetUp() override {
    driver_ = testing::FindDriverLibrary("libsqlite3odbc.so");
    ASSERT_FALSE(driver_.empty()) << "the SQLite ODBC driver (libsqliteodbc) is not installed";
    // StepAPI=1 streams the result, so a run-time error in a later row
    // surfaces at that row's fetch.
    env_ = testing::WriteOdbcConfig(dir_ / "odbc",
                                    {{"KVTEST", "Driver=" + driver_ + "\nDatabase=" + (dir_ / "t.db") +
                                                    "\nStepAPI=1\n"}});
    tree_.WriteCredentials("KVTEST", "user", "secret", "SQLITE");
  }

  void Sql(const std::string& statements) {
    CommandResult result = testing::RunCommand({"/usr/bin/sqlite3", dir_ / "t.db"}, "", {}, statements);
    ASSERT_EQ(result.exitCode, 0) << result.err;
  }

  void Job(const std::string& body) { tree_.WriteJobFile("SQLITE", "[JOB]\n" + body); }

  CommandResult Run(const std::string& target, const std::string& flag,
                    const std::string& terminal = "T1", const std::string& extra = "") {
    std::vector<std::string> args{"JOB", terminal, target, flag};
    if (!extra.empty()) args.push_back(extra);
    return testing::RunKorvadex(tree_, args, env_);
  }

  std::string Out(const std::string& name) { return tree_.runDir + "/" + name; }

  TempDir dir_;
  JobTree tree_{dir_.path()};
  std::string driver_;
  std::map<std::string, std::string> env_;
};

constexpr char kPeopleJob[] =
    "SQL001=SELECT id, name, amount, note, day\n"
    "SQL002=FROM people WHERE term = '$parm01'\n"
    "FELD01=ID\nFTYP01=DEC\nFLEN01=4\n"
    "FELD02=NAME\nFTYP02=CHAR\nFLEN02=6\n"
    "FELD03=AMOUNT\nFTYP03=DEC\nFLEN03=8\n"
    "FELD04=NOTE\nFTYP04=TXT\nFLEN04=5\n"
    "FELD05=DAY\nFTYP05=CHAR\nFLEN05=10\n";

TEST_F(SqliteRunTest, ExportsSortedFixedWidthRecords) {
  Sql("CREATE TABLE people (id INTEGER, name TEXT, amount NUMERIC, note TEXT, day TEXT, term TEXT);"
      "INSERT INTO people VALUES (2, 'B', 10.5, ' x', '2026-01-31', 'T1');"
      "INSERT INTO people VALUES (3, 'a', -3, NULL, NULL, 'T1');"
      "INSERT INTO people VALUES (1, '\tA  ', 1234.50, 'l\nf', '2026-12-08', 'T1');"
      "INSERT INTO people VALUES (2, 'B', 10.5, ' x', '2026-01-31', 'T1');"
      "INSERT INTO people VALUES (9, 'other', 0, '', '', 'T2');");
  Job(kPeopleJob);
  CommandResult result = Run("out.dat", "1");
  EXPECT_EQ(result.exitCode, 0);
  EXPECT_EQ(result.out, "4 Saetze kopiert in Datei out.dat \n");
  EXPECT_EQ(result.err, "");
  // SQLite renders 1234.50 as 1234.5; the line feed inside a value is kept.
  EXPECT_EQ(ReadFileBytes(Out("out.dat")),
            "0001A     001234.5l\nf  2026-12-08"
            "0002B     000010.5 x   2026-01-31"
            "0002B     000010.5 x   2026-01-31"
            "0003a     000000-3               ");
}

TEST_F(SqliteRunTest, CutsLongValuesAndKeepsTheirEnd) {
  const std::string v99 = "A" + std::string(97, 'a') + "Z";
  const std::string v150 = "B" + std::string(95, 'b') + "xyz" + std::string(50, 'c') + "Y";
  Sql("CREATE TABLE t (a TEXT, b TEXT); INSERT INTO t VALUES ('" + v99 + "', '" + v150 + "');");
  Job("SQL001=SELECT a, b FROM t\nFELD01=A\nFTYP01=CHAR\nFLEN01=100\n"
      "FELD02=B\nFTYP02=TXT\nFLEN02=3\n");
  ASSERT_EQ(Run("out.dat", "1").out, "1 Saetze kopiert in Datei out.dat \n");
  // The driver hands over the first 99 bytes of the 150, of which the field keeps the last three.
  EXPECT_EQ(ReadFileBytes(Out("out.dat")), v99 + " " + "xyz");
}

// The same rows in every code page the operator may ask for, the counts the
// trace gives for them, and the strict mode; the PostgreSQL and MariaDB tests
// must write the same files.
TEST_F(SqliteRunTest, WritesTheCodePageAskedForAndCountsEveryChange) {
  Sql(std::string("CREATE TABLE t (id INTEGER, name TEXT, note TEXT); INSERT INTO t VALUES ") +
      testing::kCodePageRows + ";");
  Job(std::string("SQL001=SELECT id, name, note FROM t ORDER BY id\n") + testing::kCodePageColumns);
  struct Case {
    const char* codePage;
    std::string expected;
    std::string counts;
  };
  // Without a code page the driver's UTF-8 passes as bytes, and a cut may
  // split a character (row 4's note), as it always has.
  const std::string utf8Bytes = std::string(testing::kCodePage65001Records).replace(
      58, 6, "\x98\x80yz12");
  const Case cases[] = {
      {"1252", testing::kCodePage1252Records, testing::kCodePage1252Counts},
      {"65001", testing::kCodePage65001Records, testing::kCodePage65001Counts},
      {"", utf8Bytes,
       "korvadex: Spalte 02 NAME: 2 Werte gekuerzt (laengster Wert 16 Bytes, Breite 8), 0 Zeichen ersetzt durch '?'\n"
       "korvadex: Spalte 03 NOTE: 4 Werte gekuerzt (laengster Wert 11 Bytes, Breite 6), 0 Zeichen ersetzt durch '?'\n"},
      {"cp1252", utf8Bytes,
       "korvadex: Spalte 02 NAME: 2 Werte gekuerzt (laengster Wert 16 Bytes, Breite 8), 0 Zeichen ersetzt durch '?'\n"
       "korvadex: Spalte 03 NOTE: 4 Werte gekuerzt (laengster Wert 11 Bytes, Breite 6), 0 Zeichen ersetzt durch '?'\n"},
  };
  for (const Case& c : cases) {
    env_["KORVADEX_CODEPAGE"] = c.codePage;
    CommandResult plain = Run("cp.dat", "1");
    EXPECT_EQ(plain.exitCode, 0) << c.codePage;
    EXPECT_EQ(plain.out, "5 Saetze kopiert in Datei cp.dat \n") << c.codePage;
    EXPECT_EQ(plain.err, "") << c.codePage;
    EXPECT_EQ(ReadFileBytes(Out("cp.dat")), c.expected) << c.codePage;
    CommandResult traced = Run("cp.dat", "1", "T1", "/D");
    EXPECT_EQ(ReadFileBytes(Out("cp.dat")), c.expected) << c.codePage;
    const std::size_t times = traced.err.find(" s\n");
    ASSERT_NE(times, std::string::npos) << traced.err;
    EXPECT_EQ(traced.err.substr(times + 3), c.counts) << c.codePage;
  }
  // The ignored setting says so on the trace and counts what the bytes give.
  CommandResult ignored = Run("cp.dat", "1", "T1", "/D");
  EXPECT_NE(ignored.out.find("KORVADEX_CODEPAGE ungueltig, ignoriert: \"cp1252\"\n"), std::string::npos)
      << ignored.out;
  // The report carries the same counts, per column, and row 3's NULL note.
  env_["KORVADEX_CODEPAGE"] = "1252";
  env_["KORVADEX_REPORT"] = Out("cp.json");
  EXPECT_EQ(Run("cp.dat", "1").exitCode, 0);
  const nlohmann::json report = testing::ReadCheckedReport(Out("cp.json"), "secret");
  ASSERT_EQ(report["columns"].size(), 3u) << report;
  const int expected[3][3] = {{0, 0, 0}, {1, 2, 0}, {1, 1, 1}};  // cut, replaced, nulls
  for (int i = 0; i < 3; ++i) {
    EXPECT_EQ(report["columns"][i]["number"], i + 1);
    EXPECT_EQ(report["columns"][i]["cut"], expected[i][0]) << i;
    EXPECT_EQ(report["columns"][i]["replaced"], expected[i][1]) << i;
    EXPECT_EQ(report["columns"][i]["nulls"], expected[i][2]) << i;
  }
  env_.erase("KORVADEX_REPORT");

  // Strict: the first change is row 2's name, cut to its width, and row 3's
  // replaced characters come after it; nothing is written.
  env_["KORVADEX_CODEPAGE"] = "1252";
  env_["KORVADEX_STRICT"] = "1";
  WriteFileBytes(Out("cp.dat"), "previous");
  CommandResult strict = Run("cp.dat", "1", "T1", "/D");
  EXPECT_EQ(strict.exitCode, 10);
  EXPECT_EQ(strict.out.substr(strict.out.find("End GetIniValues\n") + 17),
            "Werte gekuerzt oder ersetzt, nichts geschrieben \n0 Saetze kopiert in Datei cp.dat \n");
  EXPECT_EQ(strict.err.substr(0, strict.err.find('\n') + 1),
            "korvadex: KORVADEX_STRICT: Spalte 02 NAME, Satz 2: Wert gekuerzt\n");
  EXPECT_EQ(ReadFileBytes(Out("cp.dat")), "previous");
  // Wide enough fields, and the only change left is a replaced character.
  Job("SQL001=SELECT name FROM t WHERE id IN (1, 3) ORDER BY id\nFELD01=NAME\nFTYP01=CHAR\nFLEN01=12\n");
  CommandResult replaced = Run("cp.dat", "0");
  EXPECT_EQ(replaced.exitCode, 10);
  EXPECT_EQ(replaced.out, "Werte gekuerzt oder ersetzt, nichts geschrieben \n0 Saetze kopiert in Datei cp.dat \n");
  EXPECT_EQ(Run("cp.dat", "0", "T1", "/D").err.substr(0, 67),
            "korvadex: KORVADEX_STRICT: Spalte 01 NAME, Satz 2: Zeichen ersetzt\n");
  EXPECT_EQ(ReadFileBytes(Out("cp.dat")), "previous");
  env_["KORVADEX_CODEPAGE"] = "";
  env_["KORVADEX_STRICT"] = "";
  CommandResult bytes = Run("cp.dat", "0");
  EXPECT_EQ(bytes.exitCode, 0);
  EXPECT_EQ(ReadFileBytes(Out("cp.dat")), "previousM\xC3\xBCller     \xA2\xE5\xAD\x97 \xC3\x98lb\xC3\xA6r");
}

TEST_F(SqliteRunTest, ZeroRowsLeaveTheTargetUntouched) {
  Sql("CREATE TABLE t (a TEXT);");
  Job("SQL001=SELECT a FROM t\nFELD01=A\nFTYP01=CHAR\nFLEN01=3\n");
  WriteFileBytes(Out("old.dat"), "keep me");
  EXPECT_EQ(Run("old.dat", "1").out, "0 Saetze kopiert in Datei old.dat \n");
  EXPECT_EQ(ReadFileBytes(Out("old.dat")), "keep me");
  EXPECT_EQ(Run("new.dat", "1").out, "0 Saetze kopiert in Datei new.dat \n");
  EXPECT_FALSE(testing::FileExists(Out("new.dat")));
}

TEST_F(SqliteRunTest, AppendAddsTheSortedBlockAfterExistingContent) {
  Sql("CREATE TABLE t (a TEXT); INSERT INTO t VALUES ('b'); INSERT INTO t VALUES ('a');");
  Job("SQL001=SELECT a FROM t\nFELD01=A\nFTYP01=CHAR\nFLEN01=2\n");
  WriteFileBytes(Out("log.dat"), "head");
  ::chmod(Out("log.dat").c_str(), 0640);
  EXPECT_EQ(Run("log.dat", "0").out, "2 Saetze kopiert in Datei log.dat \n");
  EXPECT_EQ(Run("log.dat", "0").out, "2 Saetze kopiert in Datei log.dat \n");
  EXPECT_EQ(ReadFileBytes(Out("log.dat")), "heada b a b ");
  struct stat st {};
  ASSERT_EQ(::stat(Out("log.dat").c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0640u);
  EXPECT_EQ(Run("log.dat", "1").out, "2 Saetze kopiert in Datei log.dat \n");
  EXPECT_EQ(ReadFileBytes(Out("log.dat")), "a b ");
}

TEST_F(SqliteRunTest, UnwritableTargetsAndOutputsTellTheirExitCodes) {
  Sql("CREATE TABLE t (a TEXT); INSERT INTO t VALUES ('x');");
  Job("SQL001=SELECT a FROM t\nFELD01=A\nFTYP01=CHAR\nFLEN01=2\n");
  // A missing folder and /dev/full as the target: FaultTest, with either flag.
  testing::MakeDirs(Out("adir"));
  EXPECT_EQ(Run("adir", "0").out, "Ausgabedatei konnte nicht geoeffnet \n0 Saetze kopiert in Datei adir \n");

  // Standard output that cannot be written: the file is complete, the caller
  // must still learn that the messages are lost. A closed one becomes /dev/null.
  const std::string korvadex = KORVADEX_BINARY;
  std::map<std::string, std::string> reported = env_;
  reported["KORVADEX_REPORT"] = Out("lost.json");
  CommandResult lost = testing::RunCommand(
      {"/bin/sh", "-c", "exec \"$0\" JOB T1 lost.dat 1 /D >/dev/full", korvadex}, tree_.runDir, reported);
  EXPECT_EQ(lost.exitCode, 8);
  EXPECT_EQ(ReadFileBytes(Out("lost.dat")), "x ");
  const nlohmann::json report = testing::ReadCheckedReport(Out("lost.json"), "secret");
  EXPECT_EQ(report["exit"]["name"], "output_lost");
  EXPECT_EQ(report["output"]["sha256"], testing::Sha256sum("x "));
  // A failure's own code wins over the lost messages.
  for (const auto& [args, code] : std::vector<std::pair<std::string, int>>{{"JOB T1 no/such.dat 1", 7},
                                                                          {"NOSUCH T1 lost.dat 1", 3}}) {
    CommandResult failed = testing::RunCommand({"/bin/sh", "-c", "exec \"$0\" " + args + " >/dev/full", korvadex},
                                               tree_.runDir, env_);
    EXPECT_EQ(failed.exitCode, code) << args;
  }
  CommandResult closed = testing::RunCommand(
      {"/bin/sh", "-c", "exec \"$0\" JOB T1 closed.dat 1 /D >&-", korvadex}, tree_.runDir, env_);
  EXPECT_EQ(closed.exitCode, 0);
  EXPECT_EQ(ReadFileBytes(Out("closed.dat")), "x ");
}

TEST_F(SqliteRunTest, FailedStatementsAndReadErrorsWriteNothing) {
  Sql("CREATE TABLE t (a INTEGER); INSERT INTO t VALUES (1); INSERT INTO t VALUES (2);"
      "INSERT INTO t VALUES (3); INSERT INTO t VALUES (4);");
  Job("SQL001=SELEKT a FROM t\nFELD01=A\nFTYP01=DEC\nFLEN01=2\n");
  CommandResult syntax = Run("bad.dat", "1");
  EXPECT_EQ(syntax.exitCode, 5);
  EXPECT_EQ(syntax.out, "0 Saetze kopiert in Datei bad.dat \n");
  EXPECT_FALSE(testing::FileExists(Out("bad.dat")));
  CommandResult traced = Run("bad.dat", "1", "T1", "/D");
  EXPECT_NE(traced.out.find("ODBC-Diagnose: SQLSTATE"), std::string::npos) << traced.out;
  // A quote in the terminal name breaks the statement it is put into.
  Job("SQL001=SELECT a FROM t WHERE '$parm01' <> ''\nFELD01=A\nFTYP01=DEC\nFLEN01=2\n");
  EXPECT_EQ(Run("bad.dat", "1", "O'Brien").exitCode, 5);
  EXPECT_FALSE(testing::FileExists(Out("bad.dat")));

  // The integer overflow of abs() strikes at the third row, after two were
  // read: neither a replace nor an append may pass the two off as the export.
  Job("SQL001=SELECT CASE WHEN a < 3 THEN a ELSE abs(-9223372036854775807 - (a - 2)) END FROM t\n"
      "FELD01=A\nFTYP01=DEC\nFLEN01=2\n");
  WriteFileBytes(Out("part.dat"), "complete");
  for (const char* flag : {"1", "0"}) {
    CommandResult readError = Run("part.dat", flag);
    EXPECT_EQ(readError.exitCode, 6);
    EXPECT_EQ(readError.out, "Fehler Lesen in Leseschleife -10 Saetze kopiert in Datei part.dat \n");
    EXPECT_EQ(ReadFileBytes(Out("part.dat")), "complete");
  }

  // A statement without a result set has nothing to fetch, and did its work.
  Job("SQL001=UPDATE t SET a = a + 1\nFELD01=A\nFTYP01=DEC\nFLEN01=2\n");
  CommandResult update = Run("upd.dat", "1");
  EXPECT_EQ(update.exitCode, 0);
  EXPECT_EQ(update.out, "Fehler Lesen in Leseschleife -10 Saetze kopiert in Datei upd.dat \n");
}

TEST_F(SqliteRunTest, ConnectFailureAndMissingJob) {
  Job("SQL001=SELECT 1\nFELD01=A\nFTYP01=DEC\nFLEN01=2\n");
  tree_.WriteCredentials("NOSUCHDSN", "user", "secret", "SQLITE");
  CommandResult noSource = Run("x.dat", "1");
  EXPECT_EQ(noSource.exitCode, 4);
  EXPECT_EQ(noSource.out, "dbConnect_Status: -1\n");
  EXPECT_FALSE(testing::FileExists(Out("x.dat")));
  CommandResult traced = Run("x.dat", "1", "T1", "/d");
  EXPECT_EQ(traced.out.rfind(" Aktiviert Debugger\ndbConnect_Status: -1\nODBC-Diagnose: SQLSTATE IM002", 0), 0u)
      << traced.out;
  EXPECT_EQ(traced.out.find("secret"), std::string::npos);

  tree_.WriteCredentials("KVTEST", "user", "secret", "NOJOBFILE");
  CommandResult noJob = Run("x.dat", "1", "T1", "/D");
  EXPECT_EQ(noJob.exitCode, 3);
  EXPECT_EQ(noJob.out, " Aktiviert Debugger\nStr GetIniValues\n");
}

// The run report of each way a run ends, checked against the schema; what it
// says of the written bytes against the file itself.
TEST_F(SqliteRunTest, ReportTellsHowEachRunEndedAndWhatItWrote) {
  Sql("CREATE TABLE t (a TEXT, b INTEGER); INSERT INTO t VALUES ('b', 2); INSERT INTO t VALUES ('a', NULL);"
      "INSERT INTO t VALUES ('c', 3);");
  const std::string columns = "FELD01=A\nFTYP01=CHAR\nFLEN01=2\nFELD03=B\nFTYP03=DEC\nFLEN03=3\n";
  const std::string overflow = "SELECT a, CASE WHEN b IS NULL THEN abs(-9223372036854775807 - 1) ELSE b END, b FROM t";
  struct Case {
    std::string label;
    std::string dataSource;
    std::string job;          // the section's body
    std::string target;
    std::string flag;
    std::string before;       // the target's content before the run; none when empty
    int exitCode;
    std::string exitName;
    std::int64_t rows;
    std::uint64_t bytes;
    bool isHashed;            // the report gives a hash: of the new block (the whole file after a replace)
    std::string sqlstate;     // of the first diagnostic record; empty for none
  };
  const Case cases[] = {
      {"replace", "KVTEST", "SQL001=SELECT a, 0, b FROM t\n" + columns, "r.dat", "1", "old", 0, "completed", 3, 15, true, ""},
      {"append", "KVTEST", "SQL001=SELECT a, 0, b FROM t\n" + columns, "a.dat", "0", "head", 0, "completed", 3, 15, true,
       ""},
      {"no rows", "KVTEST", "SQL001=SELECT a, 0, b FROM t WHERE 0\n" + columns, "n.dat", "1", "", 0, "completed", 0, 0,
       false, ""},
      {"connect", "NOSUCHDSN", "SQL001=SELECT a, 0, b FROM t\n" + columns, "c.dat", "1", "", 4, "connect_failed", 0, 0,
       false, "IM002"},
      {"no statement", "KVTEST", columns, "s.dat", "1", "", 3, "no_statement", 0, 0, false, ""},
      {"statement", "KVTEST", "SQL001=SELEKT a FROM t\n" + columns, "e.dat", "1", "", 5, "execute_failed", 0, 0, false,
       "HY000"},
      {"read", "KVTEST", "SQL001=" + overflow + "\n" + columns, "p.dat", "0", "complete", 6, "read_failed", 0, 0, false,
       "HY000"},
      {"full disk", "KVTEST", "SQL001=SELECT a, 0, b FROM t\n" + columns, "/dev/full", "1", "", 7, "write_failed", 0, 0,
       false, ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.label);
    tree_.WriteCredentials(c.dataSource, "user", "secret-of-the-test-user", "SQLITE");
    Job(c.job);
    const std::string target = c.target.starts_with("/") ? c.target : Out(c.target);
    if (!c.before.empty()) WriteFileBytes(target, c.before);
    // An older report is replaced whatever the run's end.
    WriteFileBytes(dir_ / "report.json", "{\"format\": 1, \"exit\": {\"code\": 0}}");
    std::map<std::string, std::string> env = env_;
    env["KORVADEX_REPORT"] = dir_ / "report.json";
    const CommandResult result = testing::RunKorvadex(tree_, {"JOB", "T1", c.target, c.flag}, env);
    EXPECT_EQ(result.exitCode, c.exitCode) << result.out;
    const nlohmann::json report = testing::ReadCheckedReport(dir_ / "report.json", "secret-of-the-test-user");
    if (report.is_null()) continue;
    EXPECT_EQ(report["exit"]["code"], c.exitCode);
    EXPECT_EQ(report["exit"]["name"], c.exitName);
    EXPECT_EQ(report["job"]["section"], "JOB");
    EXPECT_EQ(report["job"]["terminal"], "T1");
    EXPECT_EQ(report["job"]["target"], c.target);
    EXPECT_EQ(report["job"]["replace"], c.flag == "1");
    // The job's fields are known only once the connect succeeded.
    EXPECT_EQ(report["job"]["record_length"], c.exitCode == 4 || c.exitCode == 3 ? 0 : 5);
    EXPECT_EQ(report["output"]["rows"], c.rows);
    EXPECT_EQ(report["output"]["bytes"], c.bytes);
    EXPECT_EQ(report["database"]["data_source"], c.dataSource);
    if (c.isHashed) {
      const std::string file = ReadFileBytes(target);
      const std::string written = c.flag == "1" ? file : file.substr(c.before.size());
      EXPECT_EQ(written, "a 000b 002c 003");
      EXPECT_EQ(report["output"]["sha256"], testing::Sha256sum(written));
    } else {
      EXPECT_TRUE(report["output"]["sha256"].is_null());
    }
    if (c.sqlstate.empty()) {
      EXPECT_EQ(report["diagnostics"].size(), 0u) << report["diagnostics"];
    } else {
      ASSERT_GE(report["diagnostics"].size(), 1u);
      EXPECT_EQ(report["diagnostics"][0]["sqlstate"], c.sqlstate);
    }
    if (c.exitCode == 4) {
      EXPECT_TRUE(report["database"]["driver_name"].is_null());
      EXPECT_TRUE(report["job"]["statement"].is_null());
    } else {
      EXPECT_EQ(report["database"]["driver_name"], "sqlite3odbc.so");
      EXPECT_EQ(report["database"]["dbms_name"], "SQLite");
    }
    if (c.exitCode == 0 || c.exitCode >= 5) {
      // The pieces are joined with a blank before and after each.
      EXPECT_EQ(report["job"]["statement"], " " + c.job.substr(7, c.job.find('\n') - 7) + " ");
      ASSERT_EQ(report["columns"].size(), 2u);
      EXPECT_EQ(report["columns"][1]["number"], 3);
      EXPECT_EQ(report["columns"][1]["name"], "B");
      EXPECT_EQ(report["columns"][1]["type"], "DEC");
      EXPECT_EQ(report["columns"][1]["width"], 3);
    }
    EXPECT_TRUE(report["stop"]["deadline"].is_null());
    EXPECT_TRUE(report["stop"]["signal"].is_null());
  }
  // Standard output is what it is without a report.
  tree_.WriteCredentials("KVTEST", "user", "secret", "SQLITE");
  Job("SQL001=SELECT a, 0, b FROM t\n" + columns);
  std::map<std::string, std::string> env = env_;
  env["KORVADEX_REPORT"] = dir_ / "report.json";
  EXPECT_EQ(testing::RunKorvadex(tree_, {"JOB", "T1", "o.dat", "1"}, env).out, "3 Saetze kopiert in Datei o.dat \n");
  // A report that cannot be written leaves the exit code and says so in the trace only.
  env["KORVADEX_REPORT"] = dir_ / "no/such/report.json";
  const CommandResult unwritten = testing::RunKorvadex(tree_, {"JOB", "T1", "o.dat", "1", "/D"}, env);
  EXPECT_EQ(unwritten.exitCode, 0);
  EXPECT_TRUE(unwritten.out.ends_with("3 Saetze kopiert in Datei o.dat \n")) << unwritten.out;
  EXPECT_NE(unwritten.err.find("Laufbericht nicht geschrieben: " + (dir_ / "no/such/report.json") + ": No such file or directory"),
            std::string::npos)
      << unwritten.err;
}

TEST_F(SqliteRunTest, DebugRunTracesStepsAndFindsFilesWhateverTheirCase) {
  Sql("CREATE TABLE t (a TEXT); INSERT INTO t VALUES ('v');");
  // Files copied from Windows keep the case their owner gave them.
  testing::MakeDirs(dir_ / "files");
  ::rename(tree_.credentialPath.c_str(), (dir_ / "files/kastrovin.ini").c_str());
  ::rmdir((dir_ / "Files").c_str());
  testing::WriteFileBytes(tree_.runDir + "/korvadex.SQLITE.ini",
                          "[job]\nsql001=SELECT a FROM t WHERE '$parm01' = 'T1'\n"
                          "feld01=A\nftyp01=CHAR\nflen01=2\n");
  CommandResult result = Run("out.dat", "1", "T1", "/D");
  EXPECT_EQ(result.out,
            " Aktiviert Debugger\n"
            "Str GetIniValues\n"
            "  >>>>> SQL-Statement <<<<<\n"
            "  ' SELECT a FROM t WHERE '$parm01' = 'T1' '\n"
            "End GetIniValues\n"
            "Str WriteFile\n"
            "End WriteFile\n"
            "1 Saetze kopiert in Datei out.dat \n");
  // Where the time went, on standard error, apart from the trace.
  double seconds[4] = {-1, -1, -1, -1};
  int parsed = 0;
  std::sscanf(result.err.c_str(), "korvadex: connect+execute %lf s, fetch %lf s, sort %lf s, write %lf s\n%n",
              &seconds[0], &seconds[1], &seconds[2], &seconds[3], &parsed);
  EXPECT_EQ(static_cast<std::size_t>(parsed), result.err.size()) << result.err;
  for (double phase : seconds) EXPECT_GE(phase, 0.0) << result.err;
  EXPECT_EQ(ReadFileBytes(Out("out.dat")), "v ");
}

// The start of a Python script that runs korvadex (its own arguments) with
// standard error on a pseudo-terminal and standard output into tty.out (or
// on the terminal as well), and reads the terminal until the progress line
// shows `phase`.
std::string RunAtTerminalUntil(const std::string& phase, bool isOutputOnTerminal = false) {
  return "import os, pty, signal, subprocess, sys\n"
         "master, slave = pty.openpty()\n"
         "run = subprocess.Popen(sys.argv[1:], stdout=" +
         std::string(isOutputOnTerminal ? "slave" : "open('tty.out', 'wb')") +
         ", stderr=slave)\n"
         "os.close(slave)\n"
         "seen = b''\n"
         "while b'korvadex: " + phase + "' not in seen:\n"
         "    seen += os.read(master, 4096)\n";
}

// The rest of such a script: waits for korvadex and reads what is left on
// the terminal.
constexpr char kReadToTheEnd[] =
    "status = run.wait()\n"
    "try:\n"
    "    while True:\n"
    "        chunk = os.read(master, 4096)\n"
    "        if not chunk: break\n"
    "        seen += chunk\n"
    "except OSError:\n"
    "    pass\n";

// A person at a terminal sees how a long run gets on, on standard error; a
// job script's pipe sees nothing of it.
TEST_F(SqliteRunTest, ProgressLineOnlyOnATerminal) {
  Sql("CREATE TABLE t (a TEXT); INSERT INTO t VALUES ('x'); INSERT INTO t VALUES ('y');");
  Job("SQL001=SELECT a FROM t\nFELD01=A\nFTYP01=CHAR\nFLEN01=2\n");
  CommandResult piped = Run("piped.dat", "1");
  EXPECT_EQ(piped.out, "2 Saetze kopiert in Datei piped.dat \n");
  EXPECT_EQ(piped.err, "");
  // The target is a FIFO that nobody reads until the line has shown, so the
  // run waits in its writing step for as long as that takes.
  ASSERT_EQ(::mkfifo(Out("fifo").c_str(), 0600), 0);
  WriteFileBytes(dir_ / "watch_terminal.py",
                 RunAtTerminalUntil("writing") +
                 "records = open('fifo', 'rb').read()\n" + kReadToTheEnd +
                 "sys.stdout.write(repr((status, records, seen)))\n");
  CommandResult terminal = testing::RunCommand(
      {"/usr/bin/python3", dir_ / "watch_terminal.py", KORVADEX_BINARY, "JOB", "T1", "fifo", "1"}, tree_.runDir, env_);
  ASSERT_EQ(terminal.exitCode, 0) << terminal.err;
  EXPECT_EQ(ReadFileBytes(Out("tty.out")), "2 Saetze kopiert in Datei fifo \n");
  EXPECT_EQ(terminal.out.rfind("(0, b'x y ', b'\\rkorvadex: writing  2 rows, ", 0), 0u) << terminal.out;
  // Cleared before the count line.
  EXPECT_NE(terminal.out.find("\\x1b[K\\r\\x1b[K')"), std::string::npos) << terminal.out;

  // A fetch far longer than the test, stopped once the line says it fetches:
  // the driver process runs on its one thread meanwhile, since SQLite's
  // driver fetches faster in a process without a second one.
  Job("SQL001=WITH RECURSIVE c(x) AS (SELECT 1 UNION ALL SELECT x + 1 FROM c WHERE x < 1000000000)\n"
      "SQL002=SELECT x FROM c\nFELD01=X\nFTYP01=DEC\nFLEN01=10\n");
  WriteFileBytes(dir_ / "watch_fetch.py",
                 RunAtTerminalUntil("fetching") +
                 "children = open('/proc/%d/task/%d/children' % (run.pid, run.pid)).read().split()\n"
                 "threads = [len(os.listdir('/proc/%s/task' % child)) for child in children]\n"
                 "run.send_signal(signal.SIGTERM)\n"
                 "sys.stdout.write(repr((run.wait(), threads)))\n");
  CommandResult fetching = testing::RunCommand(
      {"/usr/bin/python3", dir_ / "watch_fetch.py", KORVADEX_BINARY, "JOB", "T1", "long.dat", "1"}, tree_.runDir, env_);
  // Sanitizer runtimes keep threads of their own.
  const bool isSanitized = !testing::CanLimitAddressSpace();
  EXPECT_EQ(fetching.out.substr(0, 6), "(143, ") << fetching.err;
  if (!isSanitized) {
    EXPECT_EQ(fetching.out, "(143, [1])") << fetching.err;
  }

  // A read error while the line is drawn, with the messages on the same
  // terminal: the line is cleared before the message, which has no line end
  // and must stay on the screen up to the count line.
  WriteFileBytes(dir_ / "watch_error.py",
                 RunAtTerminalUntil("fetching", true) +
                 "children = open('/proc/%d/task/%d/children' % (run.pid, run.pid)).read().split()\n"
                 "os.kill(int(children[0]), signal.SIGKILL)\n" + kReadToTheEnd +
                 "sys.stdout.write(repr((status, seen[seen.rfind(b'\\x1b[K'):])))\n");
  CommandResult failing = testing::RunCommand(
      {"/usr/bin/python3", dir_ / "watch_error.py", KORVADEX_BINARY, "JOB", "T1", "long.dat", "1"}, tree_.runDir, env_);
  EXPECT_EQ(failing.out, "(6, b'\\x1b[KFehler Lesen in Leseschleife -10 Saetze kopiert in Datei long.dat \\r\\n')")
      << failing.err;
}

TEST_F(SqliteRunTest, UsesOnlyTheFirstThirtyOfFortyColumns) {
  std::string select = "SELECT ";
  for (int i = 1; i <= 40; ++i) select += (i > 1 ? ", " : "") + std::to_string(i);
  Job("SQL001=" + select + "\nFELD30=C30\nFTYP30=DEC\nFLEN30=3\n");
  EXPECT_EQ(Run("wide.dat", "1").out, "1 Saetze kopiert in Datei wide.dat \n");
  EXPECT_EQ(ReadFileBytes(Out("wide.dat")), "030");
}

}  // namespace
}  // namespace korvadex
