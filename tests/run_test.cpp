// Tests of the command line, the fixed texts and the credential step of the driver.
#include "driver/run.h"

#include <gtest/gtest.h>

#include "credentials/blowfish.h"
#include "test_support.h"

namespace korvadex {
namespace {

const char kBannerAndCountError[] =
    "\n"
    "******************************************************\n"
    "** Projekt     : KASTROVIN                          **\n"
    "** Tool        : KORVADEX                           **\n"
    "** Beschreibung:  Ausfuehren einer SQL-Anweisung    **\n"
    "**                und erstellen einer Downloaddatei **\n"
    "**                aus den Resultierenden Daten      **\n"
    "******************************************************\n"
    "\n"
    "Falsche Anzahl Parameter\n"
    "\n"
    "Befehlsformat: \n"
    "KORVADEX.EXE Sektionsname Terminalname Zieldatei 0/1 \n"
    "\n"
    "Sektionsname : Name der Sektion in der Ini-Datei     \n"
    "Terminalname : Parameter fuer das SQL-Statement      \n"
    "Zieldatei    : Dateiname der Ausgabedatei            \n"
    "RepaceFlag   : 0= Anhaengen, 1= Ersetzen             \n"
    "\n"
    "Beispiel:\n"
    "KORVADEX.EXE VOLTIRAP ZutCtrl voltirap.txt 1\n"
    "\n";

struct Parsed {
  int result;
  std::string output;
  RunContext context;
};

void Parse(std::vector<const char*> args, Parsed& parsed) {
  args.insert(args.begin(), "korvadex");
  ::testing::internal::CaptureStdout();
  parsed.result = ParseArguments(static_cast<int>(args.size()), args.data(), parsed.context);
  parsed.output = ::testing::internal::GetCapturedStdout();
}

TEST(RunTest, TooFewArgumentsPrintBannerMessageAndUsage) {
  Parsed parsed;
  Parse({"JOB", "T", "out.dat"}, parsed);
  EXPECT_EQ(parsed.result, 1);
  EXPECT_EQ(parsed.output, kBannerAndCountError);
}

TEST(RunTest, ReplaceFlagMustBeExactlyZeroOrOne) {
  for (const char* flag : {"2", "01", " 1", "1 ", "", "x"}) {
    Parsed parsed;
  Parse({"JOB", "T", "out.dat", flag}, parsed);
    EXPECT_EQ(parsed.result, 2) << "flag '" << flag << "'";
    EXPECT_NE(parsed.output.find("\nFalsches ReplaceFlag, erlaubt: '0' oder '1'\n\nBefehlsformat: \n"),
              std::string::npos);
  }
}

TEST(RunTest, CapturesArgumentsAndDebugSwitchInAnyCase) {
  Parsed parsed;
  Parse({"JOB", "TERM", "out.dat", "1", "/d", "extra"}, parsed);
  ASSERT_EQ(parsed.result, 0);
  EXPECT_EQ(parsed.output, " Aktiviert Debugger\n");
  EXPECT_EQ(parsed.context.sectionName, "JOB");
  EXPECT_EQ(parsed.context.terminalName, "TERM");
  EXPECT_EQ(parsed.context.targetFileName, "out.dat");
  EXPECT_EQ(parsed.context.replaceFlag, 1);
  EXPECT_EQ(parsed.context.debugMode, 1);

  Parsed noDebug;
  Parse({"JOB", "T", "f", "0", "-D"}, noDebug);
  EXPECT_EQ(noDebug.result, 0);
  EXPECT_EQ(noDebug.output, "");
  EXPECT_EQ(noDebug.context.debugMode, 0);
  EXPECT_EQ(noDebug.context.replaceFlag, 0);
}

TEST(RunTest, KeepsLongArgumentsWhole) {
  const std::string longName(10000, 'n');
  Parsed parsed;
  Parse({longName.c_str(), longName.c_str(), longName.c_str(), "0"}, parsed);
  ASSERT_EQ(parsed.result, 0);
  EXPECT_EQ(parsed.context.terminalName, longName);
  EXPECT_EQ(parsed.context.targetFileName, longName);
}

TEST(RunTest, UpperCaseChangesOnlyAsciiLetters) {
  std::string text = "/d\xe4z1";
  EXPECT_EQ(UpperCase(text), "/D\xe4Z1");
}

TEST(RunTest, DataSourceIsKeptOnlyWithOneTo41Characters) {
  testing::TempDir dir;
  testing::JobTree tree(dir.path());
  RunContext context;
  tree.WriteCredentials(std::string(41, 'd'), "user", "secret", "SQLITE");
  ReadCredentials(context, tree.credentialPath);
  EXPECT_EQ(context.dataSource, std::string(41, 'd'));
  EXPECT_EQ(context.userName, "user");
  EXPECT_EQ(context.password, "secret");
  EXPECT_EQ(context.dbSystem, "SQLITE");

  RunContext tooLong;
  tree.WriteCredentials(std::string(42, 'd'), "user", "secret", "SQLITE");
  ReadCredentials(tooLong, tree.credentialPath);
  EXPECT_EQ(tooLong.dataSource, "");
  EXPECT_EQ(tooLong.userName, "user");

  RunContext missing;
  ReadCredentials(missing, dir / "none");
  EXPECT_EQ(missing.dataSource, "");
  EXPECT_EQ(missing.dbSystem, "");
}

TEST(RunTest, BinaryExitCodesForCommandLineErrorsAndMissingJob) {
  testing::TempDir dir;
  testing::JobTree tree(dir.path());
  auto tooFew = testing::RunKorvadex(tree, {"A", "B", "C"}, {});
  EXPECT_EQ(tooFew.exitCode, 1);
  EXPECT_EQ(tooFew.out, kBannerAndCountError);
  EXPECT_EQ(tooFew.err, "");
  EXPECT_EQ(testing::RunKorvadex(tree, {"A", "B", "C", "2"}, {}).exitCode, 2);

  // A job that its file does not hold (a job file that is missing: SqliteRunTest).
  const std::string driver = testing::FindDriverLibrary("libsqlite3odbc.so");
  ASSERT_FALSE(driver.empty()) << "the SQLite ODBC driver (libsqliteodbc) is not installed";
  const auto env = testing::WriteOdbcConfig(dir / "odbc", {{"KVRUN", "Driver=" + driver + "\nDatabase=" +
                                                                       (dir / "r.db") + "\n"}});
  tree.WriteCredentials("KVRUN", "user", "pw", "SQLITE");
  tree.WriteJobFile("SQLITE", "[OTHER]\nSQL001=SELECT 1\nFELD01=A\nFTYP01=DEC\nFLEN01=1\n");
  auto missing = testing::RunKorvadex(tree, {"JOB", "T1", "out.dat", "1"}, env);
  EXPECT_EQ(missing.exitCode, 3);
  EXPECT_EQ(missing.out, "");
  EXPECT_FALSE(testing::FileExists(tree.runDir + "/out.dat"));
}

}  // namespace
}  // namespace korvadex
