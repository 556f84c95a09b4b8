// Runs kastrovin-cred as an operator would: every command and misuse with its
// exit code, input from a pipe and from a terminal, files it writes, and what
// korvadex then reads from them.
#include <poll.h>
#include <pty.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "driver/run.h"
#include "driver/run_context.h"
#include "test_support.h"

namespace korvadex {
namespace {

using testing::CommandResult;
using testing::JobTree;
using testing::ReadFileBytes;
using testing::TempDir;
using testing::WriteFileBytes;

constexpr char kBuiltFile[] =
    ";KORVADEX;DATABASE\n"
    "1;DATABASE;A11BD1D4C7AA786D5C2907BCDB5CF510\n"
    ";KORVADEX;LOGIN\n"
    "2;LOGIN;DAA2DA5FBEB80096D9E6CC6D8EC62FB9\n"
    ";KORVADEX;PASS\n"
    "3;PASS;5E866D854C92105611AC5747EDD5116E\n"
    ";KORVADEX;DB_SYSTEM\n"
    "4;DB_SYSTEM;6D616705877AFFD5\n";

CommandResult Cred(const std::vector<std::string>& args, const std::string& workDir = "",
                   const std::string& input = "") {
  std::vector<std::string> argv{KORVADEX_CRED_BINARY};
  argv.insert(argv.end(), args.begin(), args.end());
  return testing::RunCommand(argv, workDir, {}, input);
}

unsigned ModeOf(const std::string& path) {
  struct stat info {};
  if (::stat(path.c_str(), &info) != 0) return 0;
  return static_cast<unsigned>(info.st_mode) & 07777u;
}

std::vector<std::string> InitArgs(const std::string& file) {
  return {"init", file, "--database", "ODBC_PROD", "--login", "kvx_user_prod", "--db-system", "DB2", "--pass", "-"};
}

TEST(KastrovinCredTest, MisuseGivesItsExitCodeAndMessage) {
  TempDir dir;
  WriteFileBytes(dir / "exists.ini", "old\n");
  ::mkdir((dir / "folder").c_str(), 0755);
  struct Row {
    const char* label;
    std::vector<std::string> args;
    std::string input;
    int exitCode;
    std::string message;  // the first line on standard error
  };
  const Row rows[] = {
      {"no command", {}, "", 2, "kastrovin-cred: no command given\n"},
      {"unknown command", {"frob"}, "", 2, "kastrovin-cred: unknown command 'frob'\n"},
      {"encrypt unknown option", {"encrypt", "--bogus"}, "", 2,
       "kastrovin-cred: encrypt: unknown option '--bogus' (use -- before a value that begins with -)\n"},
      {"encrypt two values", {"encrypt", "a", "b"}, "", 2, "kastrovin-cred: encrypt: only one VALUE may be given\n"},
      {"encrypt too long", {"encrypt", std::string(97, 'v')}, "", 3,
       "kastrovin-cred: VALUE has 97 characters; at most 96 fit into the credentials file.\n"},
      {"encrypt nothing on stdin", {"encrypt"}, "", 4, "kastrovin-cred: no value given on standard input\n"},
      {"encrypt over-long stdin line", {"encrypt"}, std::string(2000, 'v') + "\n", 3,
       "kastrovin-cred: the value read is longer than 1024 characters\n"},
      {"decrypt without HEX", {"decrypt"}, "", 2, "kastrovin-cred: decrypt: HEX is missing\n"},
      {"decrypt two HEX", {"decrypt", "6D616705877AFFD5", "6D616705877AFFD5"}, "", 2,
       "kastrovin-cred: decrypt: only one HEX may be given\n"},
      {"decrypt option", {"decrypt", "-x"}, "", 2, "kastrovin-cred: decrypt: unknown option '-x'\n"},
      {"decrypt lower case", {"decrypt", "6d616705877affd5"}, "", 3,
       "kastrovin-cred: decrypt: '6d616705877affd5' is not upper-case hex text of whole 16-character blocks\n"},
      {"decrypt short block", {"decrypt", "6D616705877AFF"}, "", 3,
       "kastrovin-cred: decrypt: '6D616705877AFF' is not upper-case hex text of whole 16-character blocks\n"},
      {"init without FILE", {"init", "--database", "D", "--login", "u", "--db-system", "S"}, "", 2,
       "kastrovin-cred: init: FILE is missing\n"},
      {"init without login", {"init", dir / "n.ini", "--database", "D", "--db-system", "S"}, "", 2,
       "kastrovin-cred: init: --login is required\n"},
      {"init password on the command line",
       {"init", dir / "n.ini", "--database", "D", "--login", "u", "--db-system", "S", "--pass", "secret"}, "", 2,
       "kastrovin-cred: init: --pass only takes '-' (read the password from standard input); a password is "
       "never taken from the command line\n"},
      {"init option twice", {"init", dir / "n.ini", "--database", "D", "--database=E"}, "", 2,
       "kastrovin-cred: init: --database is given twice\n"},
      {"init option without value", {"init", dir / "n.ini", "--login", "u", "--database"}, "", 2,
       "kastrovin-cred: init: --database needs a value\n"},
      {"init option followed by option", {"init", dir / "n.ini", "--login", "--database", "D"}, "", 2,
       "kastrovin-cred: init: --login needs a value\n"},
      {"init unknown option", {"init", dir / "n.ini", "--user", "u"}, "", 2,
       "kastrovin-cred: init: unknown option '--user'\n"},
      {"init two files", {"init", dir / "n.ini", dir / "m.ini"}, "", 2,
       "kastrovin-cred: init: only one FILE may be given ('" + (dir / "m.ini") + "' is extra)\n"},
      {"init DATABASE too long",
       {"init", dir / "n.ini", "--database", std::string(42, 'D'), "--login", "u", "--db-system", "S", "--pass", "-"},
       "p\n", 3, "kastrovin-cred: init: DATABASE must have 1 to 41 characters (it has 42).\n"},
      {"init DB_SYSTEM with slash",
       {"init", dir / "n.ini", "--database", "D", "--login", "u", "--db-system", "../S", "--pass", "-"}, "p\n", 3,
       "kastrovin-cred: init: DB_SYSTEM is part of the file name KORVADEX.<DB_SYSTEM>.INI and must not contain "
       "'/' or '\\'.\n"},
      {"init password too long", InitArgs(dir / "n.ini"), std::string(97, 'p') + "\n", 3,
       "kastrovin-cred: init: PASS has 97 characters; at most 96 fit into the credentials file.\n"},
      {"init no password on stdin", InitArgs(dir / "n.ini"), "", 4,
       "kastrovin-cred: no value given on standard input\n"},
      {"init password from a pipe without --pass -",
       {"init", dir / "n.ini", "--database", "D", "--login", "u", "--db-system", "S"}, "p\n", 4,
       "kastrovin-cred: init: standard input is not a terminal; give --pass - to read the password from it\n"},
      {"init over an existing file", InitArgs(dir / "exists.ini"), "p\n", 5,
       "kastrovin-cred: init: " + (dir / "exists.ini") + " exists; give --force to replace it\n"},
      {"init into a missing folder", InitArgs(dir / "none/n.ini"), "p\n", 6,
       "kastrovin-cred: init: cannot create " + (dir / "none/n.ini") + ": No such file or directory\n"},
      {"check two files", {"check", "a", "b"}, "", 2, "kastrovin-cred: check: only one FILE may be given\n"},
      {"check option", {"check", "--all"}, "", 2, "kastrovin-cred: check: unknown option '--all'\n"},
      {"check terminal without name", {"check", "--connect", "--terminal"}, "", 2,
       "kastrovin-cred: check: --terminal needs a NAME\n"},
      {"check terminal without connect", {"check", "--terminal", "T1"}, "", 2,
       "kastrovin-cred: check: --terminal goes with --connect\n"},
      {"check missing file", {"check", dir / "none.ini"}, "", 2,
       "kastrovin-cred: check: cannot read " + (dir / "none.ini") + ": No such file or directory\n"},
      {"check folder", {"check", dir / "folder"}, "", 2,
       "kastrovin-cred: check: cannot read " + (dir / "folder") + ": not a regular file\n"},
  };
  for (const Row& row : rows) {
    const CommandResult result = Cred(row.args, dir.path(), row.input);
    EXPECT_EQ(result.exitCode, row.exitCode) << row.label;
    const std::size_t start = result.err.find("kastrovin-cred: ");
    ASSERT_NE(start, std::string::npos) << row.label << ": " << result.err;
    EXPECT_EQ(result.err.substr(start, result.err.find('\n', start) + 1 - start), row.message) << row.label;
    EXPECT_EQ(result.out, "") << row.label;
  }
  EXPECT_EQ(ReadFileBytes(dir / "exists.ini"), "old\n");
  EXPECT_FALSE(testing::FileExists(dir / "n.ini"));
}

TEST(KastrovinCredTest, HelpGoesToStandardOutput) {
  for (const std::vector<std::string>& args : std::vector<std::vector<std::string>>{
           {"--help"}, {"help"}, {"-h"}, {"init", "--help"}, {"check", "x", "-h"}}) {
    const CommandResult result = Cred(args);
    EXPECT_EQ(result.exitCode, 0) << args.back();
    EXPECT_EQ(result.out.substr(0, 7), "Usage:\n") << args.back();
    EXPECT_NE(result.out.find("  kastrovin-cred check [FILE] [--connect [--terminal NAME]]\n"), std::string::npos) << args.back();
    EXPECT_EQ(result.err, "") << args.back();
  }
}

TEST(KastrovinCredTest, EncryptAndDecrypt) {
  struct Row {
    const char* label;
    std::vector<std::string> args;
    std::string input;
    std::string out;
  };
  const Row rows[] = {
      {"value argument", {"encrypt", "ODBC_PROD"}, "", "A11BD1D4C7AA786D5C2907BCDB5CF510\n"},
      {"line from a pipe", {"encrypt"}, "kvx_user_prod\n", "DAA2DA5FBEB80096D9E6CC6D8EC62FB9\n"},
      {"CR LF dropped", {"encrypt"}, "kvx_user_prod\r\n", "DAA2DA5FBEB80096D9E6CC6D8EC62FB9\n"},
      {"last line without LF", {"encrypt"}, "kvx_user_prod", "DAA2DA5FBEB80096D9E6CC6D8EC62FB9\n"},
      {"only the first line", {"encrypt", "-"}, "DB2\nsecond\n", "6D616705877AFFD5\n"},
      {"empty line is the empty value", {"encrypt"}, "\n", "\n"},
      {"decrypt", {"decrypt", "5E866D854C92105611AC5747EDD5116E"}, "", "Passwort-2024!\n"},
      {"decrypt a full block", {"decrypt", "92039C712B371DBD"}, "", "Geheim12\n"},
      {"decrypt empty", {"decrypt", ""}, "", "\n"},
  };
  for (const Row& row : rows) {
    const CommandResult result = Cred(row.args, "", row.input);
    EXPECT_EQ(result.exitCode, 0) << row.label << ": " << result.err;
    EXPECT_EQ(result.out, row.out) << row.label;
    EXPECT_EQ(result.err, "") << row.label;
  }
}

TEST(KastrovinCredTest, ValueAfterDoubleDashMayLookLikeAnOption) {
  for (const char* value : {"-x", "--help"}) {
    const CommandResult encrypted = Cred({"encrypt", "--", value});
    ASSERT_EQ(encrypted.exitCode, 0) << value << ": " << encrypted.err;
    ASSERT_EQ(encrypted.out.size(), 17u) << value << ": " << encrypted.out;
    const CommandResult decrypted = Cred({"decrypt", encrypted.out.substr(0, 16)});
    EXPECT_EQ(decrypted.exitCode, 0) << value;
    EXPECT_EQ(decrypted.out, std::string(value) + "\n");
  }
}

TEST(KastrovinCredTest, InitWritesAPrivateFile) {
  TempDir dir;
  const std::string file = dir / "Kastrovin.Ini";
  const CommandResult result = Cred(InitArgs(file), "", "Passwort-2024!\n");
  ASSERT_EQ(result.exitCode, 0) << result.err;
  EXPECT_EQ(ReadFileBytes(file), kBuiltFile);
  EXPECT_EQ(ModeOf(file), 0600u);
  EXPECT_EQ(result.out, "Wrote " + file + " (mode 0600): DATABASE, LOGIN, PASS and DB_SYSTEM, entries 1 to 4.\n");
}

// As Cred, under a file size limit of 0 (ulimit -f 0) with SIGXFSZ at its
// default action, as a shell or scheduler starts the tool: every write to a
// regular file then fails as on a full disk once the tool ignores the signal.
CommandResult CredWithFullDisk(const std::vector<std::string>& args, const std::string& input) {
  // One byte, not none: a sanitizer's runtime writes a file of its own at start.
  std::vector<std::string> argv{"/usr/bin/prlimit", "--fsize=1", KORVADEX_CRED_BINARY};
  argv.insert(argv.end(), args.begin(), args.end());
  // A signal ignored here would stay ignored in the child and hide a tool that dies of it.
  const sighandler_t oldHandler = ::signal(SIGXFSZ, SIG_DFL);
  CommandResult result = testing::RunCommand(argv, "", {}, input);
  ::signal(SIGXFSZ, oldHandler);
  return result;
}

std::vector<std::string> FolderEntries(const std::string& folder) {
  std::vector<std::string> names;
  for (const auto& entry : std::filesystem::directory_iterator(folder)) names.push_back(entry.path().filename());
  std::sort(names.begin(), names.end());
  return names;
}

TEST(KastrovinCredTest, InitForceReplacesWholeOrNotAtAll) {
  TempDir dir;
  const std::string file = dir / "Kastrovin.Ini";
  const std::string oldContent =
      "old content that is longer than the new file would be, to show truncation\n" + std::string(500, 'x');
  WriteFileBytes(file, oldContent);
  ::chmod(file.c_str(), 0644);
  // Root hands the new file to the old one's owner, so the job account can still read it.
  const bool isRoot = ::geteuid() == 0;
  if (isRoot) {
    ASSERT_EQ(::chown(file.c_str(), 4321, 4322), 0);
  }
  std::vector<std::string> args = InitArgs(file);
  args.push_back("--force");

  CommandResult result = CredWithFullDisk(args, "Passwort-2024!\n");
  EXPECT_EQ(result.exitCode, 6);
  EXPECT_EQ(result.err, "kastrovin-cred: init: cannot write " + file +
                            ": File too large; the old file is left as it was\n");
  EXPECT_EQ(result.out, "");
  EXPECT_EQ(ReadFileBytes(file), oldContent);
  EXPECT_EQ(ModeOf(file), 0644u);
  EXPECT_EQ(FolderEntries(dir.path()), std::vector<std::string>{"Kastrovin.Ini"});

  result = Cred(args, "", "Passwort-2024!\n");
  ASSERT_EQ(result.exitCode, 0) << result.err;
  EXPECT_EQ(ReadFileBytes(file), kBuiltFile);
  EXPECT_EQ(ModeOf(file), 0600u);
  EXPECT_EQ(FolderEntries(dir.path()), std::vector<std::string>{"Kastrovin.Ini"});
  if (isRoot) {
    struct stat info {};
    ASSERT_EQ(::stat(file.c_str(), &info), 0);
    EXPECT_EQ(info.st_uid, 4321u);
    EXPECT_EQ(info.st_gid, 4322u);
  }

  // Without --force a file that cannot be written whole is not left behind either.
  result = CredWithFullDisk(InitArgs(dir / "new.ini"), "Passwort-2024!\n");
  EXPECT_EQ(result.exitCode, 6);
  EXPECT_EQ(result.err, "kastrovin-cred: init: cannot write " + (dir / "new.ini") +
                            ": File too large; no file was left behind\n");
  EXPECT_EQ(FolderEntries(dir.path()), std::vector<std::string>{"Kastrovin.Ini"});
}

TEST(KastrovinCredTest, InitDoesNotWriteThroughALink) {
  TempDir dir;
  WriteFileBytes(dir / "target", "keep\n");
  ASSERT_EQ(::symlink((dir / "target").c_str(), (dir / "link.ini").c_str()), 0);
  EXPECT_EQ(Cred(InitArgs(dir / "link.ini"), "", "p\n").exitCode, 5);
  std::vector<std::string> forced = InitArgs(dir / "link.ini");
  forced.push_back("--force");
  const CommandResult result = Cred(forced, "", "p\n");
  EXPECT_EQ(result.exitCode, 6);
  EXPECT_NE(result.err.find("cannot create " + (dir / "link.ini")), std::string::npos) << result.err;
  EXPECT_EQ(ReadFileBytes(dir / "target"), "keep\n");
  // Nor is the link replaced by a file of its own.
  EXPECT_TRUE(std::filesystem::is_symlink(dir / "link.ini"));
}

// The file that init writes is read by korvadex's own credential step.
TEST(KastrovinCredTest, InitFileReadsBackAsKorvadexReadsIt) {
  TempDir dir;
  JobTree tree(dir.path());
  const CommandResult result =
      Cred({"init", tree.credentialPath, "--database=KVCRED", "--login", "op;1", "--db-system", "SQLITE", "--pass",
            "-"},
           "", "pa ss;word\r\n");
  ASSERT_EQ(result.exitCode, 0) << result.err;
  RunContext context;
  ReadCredentials(context, tree.credentialPath);
  EXPECT_EQ(context.dataSource, "KVCRED");
  EXPECT_EQ(context.userName, "op;1");
  EXPECT_EQ(context.password, "pa ss;word");
  EXPECT_EQ(context.dbSystem, "SQLITE");
}

class CredSqliteTest : public ::testing::Test {
 protected:
  void SetUp() override {
    const std::string driver = testing::FindDriverLibrary("libsqlite3odbc.so");
    ASSERT_FALSE(driver.empty()) << "the SQLite ODBC driver (libsqliteodbc) is not installed";
    env_ = testing::WriteOdbcConfig(dir_ / "odbc", {{"KVCRED", "Driver=" + driver + "\nDatabase=" +
                                                                    (dir_ / "t.db") + "\n"}});
    const CommandResult made = testing::RunCommand(
        {"/usr/bin/sqlite3", dir_ / "t.db"}, "", {},
        "CREATE TABLE items (name TEXT, qty INTEGER, term TEXT);"
        "INSERT INTO items VALUES ('Nut', 7, 'T1'), ('Bolt', 12, 'T1'), ('Gear', 3, 'T2');");
    ASSERT_EQ(made.exitCode, 0) << made.err;
    tree_.WriteJobFile("SQLITE",
                       "[JOB]\nSQL001=SELECT name, qty FROM items\nSQL002=WHERE term = '$parm01'\n"
                       "FELD01=NAME\nFTYP01=CHAR\nFLEN01=6\nFELD02=QTY\nFTYP02=DEC\nFLEN02=4\n");
  }

  TempDir dir_;
  JobTree tree_{dir_.path()};
  std::map<std::string, std::string> env_;
};

TEST_F(CredSqliteTest, KorvadexRunsOnTheFileInitWrote) {
  const CommandResult init = Cred({"init", tree_.credentialPath, "--database", "KVCRED", "--login", "user",
                                   "--db-system", "SQLITE", "--pass", "-"},
                                  "", "secret\n");
  ASSERT_EQ(init.exitCode, 0) << init.err;
  const CommandResult run = testing::RunKorvadex(tree_, {"JOB", "T1", "out.dat", "1"}, env_);
  EXPECT_EQ(run.exitCode, 0) << run.out;
  EXPECT_EQ(run.out, "2 Saetze kopiert in Datei out.dat \n");
  EXPECT_EQ(ReadFileBytes(tree_.runDir + "/out.dat"), "Bolt  0012Nut   0007");
}

TEST_F(CredSqliteTest, CheckFindsTheDefaultFileAndTheJobFile) {
  ASSERT_EQ(Cred({"init", tree_.credentialPath, "--database", "KVCRED", "--login", "user", "--db-system",
                  "SQLITE", "--pass", "-"},
                 "", "secret\n")
                .exitCode,
            0);
  CommandResult result = Cred({"check"}, tree_.runDir);
  EXPECT_EQ(result.exitCode, 0) << result.out;
  EXPECT_EQ(result.out,
            "Credentials file: ../../Files/Kastrovin.Ini\n"
            "  DATABASE   line 1  \"KVCRED\"\n"
            "  LOGIN      line 3  \"user\"\n"
            "  PASS       line 5  ********\n"
            "  DB_SYSTEM  line 7  \"SQLITE\"\n"
            "Job definition file: ./KORVADEX.SQLITE.INI (found)\n"
            "info: The terminal name replaces $parm01 as SQL text, unquoted and unchecked: pass only trusted "
            "terminal names without quotes, since some drivers run a second statement after a ';'.\n"
            "No warnings.\n");
  EXPECT_EQ(result.err, "");

  // Found whatever the letter case, as korvadex finds it.
  ASSERT_EQ(::rename((tree_.runDir + "/KORVADEX.SQLITE.INI").c_str(), (tree_.runDir + "/korvadex.sqlite.ini").c_str()),
            0);
  result = Cred({"check"}, tree_.runDir);
  EXPECT_EQ(result.exitCode, 0) << result.out;
  EXPECT_NE(result.out.find("Job definition file: ./korvadex.sqlite.ini (found)\n"), std::string::npos)
      << result.out;

  ASSERT_EQ(::unlink((tree_.runDir + "/korvadex.sqlite.ini").c_str()), 0);
  result = Cred({"check"}, tree_.runDir);
  EXPECT_EQ(result.exitCode, 1);
  EXPECT_NE(result.out.find("Job definition file: ./KORVADEX.SQLITE.INI (not found)\n"
                            "warning: The job definition file ./KORVADEX.SQLITE.INI is not found in the current "
                            "directory; korvadex would end with exit code 3.\n1 warning.\n"),
            std::string::npos)
      << result.out;

  // What korvadex would skip or misread in the job file is a warning too.
  tree_.WriteJobFile("SQLITE",
                     "[JOB]\nSQL001=SELECT name, qty FROM items\nSQL003=WHERE term = 'T1'\n"
                     "FELD01=NAME\nFTYP01=char\nFLEN01=6\n");
  result = Cred({"check"}, tree_.runDir);
  EXPECT_EQ(result.exitCode, 1);
  EXPECT_NE(result.out.find("Job definition file: ./KORVADEX.SQLITE.INI (found)\n"
                            "info: [JOB] The statement has no $parm01, so every terminal gets the same rows; that "
                            "is right only for a job that is not run per terminal.\n"
                            "warning: [JOB] SQL003 is never read: the statement stops at SQL002, which is missing.\n"
                            "warning: [JOB] FTYP01 is \"char\", none of CHAR, DEC and TXT (exact upper case): the "
                            "column is left out of every record.\n"
                            "warning: [JOB] No column is written (each needs a FELDnn, an FTYPnn of CHAR, DEC or "
                            "TXT and an FLENnn above 0), so every record is empty and the download file gets no "
                            "data.\n"
                            "3 warnings.\n"),
            std::string::npos)
      << result.out;
}

// check --connect on the demo's job and on jobs whose fields do not fit their
// statements: the database's own description, nothing executed.
TEST_F(CredSqliteTest, CheckConnectComparesEachStatementsColumnsWithItsFields) {
  const CommandResult made = testing::RunCommand(
      {"/usr/bin/sqlite3", dir_ / "t.db"}, "", {},
      "CREATE TABLE artikel (nr INTEGER, name TEXT, preis NUMERIC, notiz TEXT, terminal TEXT);"
      "CREATE TABLE wide (code VARCHAR(60), qty INTEGER, term TEXT);");
  ASSERT_EQ(made.exitCode, 0) << made.err;
  tree_.WriteJobFile("SQLITE", ReadFileBytes(std::string(KORVADEX_SOURCE_DIR) + "/demo/KORVADEX.SQLITE.INI") +
                                   "[WIDE]\nSQL001=SELECT code, qty FROM wide WHERE term = '$parm01'\n"
                                   "FELD01=CODE\nFTYP01=CHAR\nFLEN01=40\nFELD02=QTY\nFTYP02=DEC\nFLEN02=11\n"
                                   "[FEW]\nSQL001=SELECT code FROM wide WHERE term = '$parm01'\n"
                                   "FELD01=CODE\nFTYP01=CHAR\nFLEN01=60\nFELD02=QTY\nFTYP02=DEC\nFLEN02=11\n"
                                   "[MANY]\nSQL001=SELECT qty, code, term FROM wide WHERE term = '$parm01'\n"
                                   "FELD01=QTY\nFTYP01=DEC\nFLEN01=11\n"
                                   "[BAD]\nSQL001=SELEKT qty FROM wide WHERE term = '$parm01'\n"
                                   "FELD01=QTY\nFTYP01=DEC\nFLEN01=11\n");
  ASSERT_EQ(Cred({"init", tree_.credentialPath, "--database", "KVCRED", "--login", "user", "--db-system",
                  "SQLITE", "--pass", "-"},
                 "", "secret\n")
                .exitCode,
            0);
  const std::string head =
      "Credentials file: ../../Files/Kastrovin.Ini\n"
      "  DATABASE   line 1  \"KVCRED\"\n"
      "  LOGIN      line 3  \"user\"\n"
      "  PASS       line 5  ********\n"
      "  DB_SYSTEM  line 7  \"SQLITE\"\n"
      "Job definition file: ./KORVADEX.SQLITE.INI (found)\n"
      "info: The terminal name replaces $parm01 as SQL text, unquoted and unchecked: pass only trusted "
      "terminal names without quotes, since some drivers run a second statement after a ';'.\n";
  std::map<std::string, std::string> env = env_;
  CommandResult result =
      testing::RunCommand({KORVADEX_CRED_BINARY, "check", "--connect", "--terminal", "KASSE1"}, tree_.runDir, env);
  EXPECT_EQ(result.exitCode, 1) << result.err;
  // SQLite declares what its columns were declared with: INTEGER, TEXT as the
  // longest text, NUMERIC as DOUBLE.
  const std::string columns =
      "info: [ARTIKEL] Column 2 is LONGVARCHAR(65536), FLEN02 is 12: longer values are cut to their last 12 bytes.\n"
      "info: [ARTIKEL] Column 4 is LONGVARCHAR(65536), FLEN04 is 20: longer values are cut to their last 20 bytes.\n"
      "warning: [ARTIKEL] Column 1 is INTEGER, up to 11 bytes, FLEN01 is 5: longer values are cut to their last 5 "
      "bytes.\n"
      "warning: [ARTIKEL] Column 3 is DOUBLE, up to 24 bytes, FLEN03 is 8: longer values are cut to their last 8 "
      "bytes.\n";
  const std::string others =
      "warning: [FEW] The statement gives 1 result column, fewer than the fields name: FELD02 stays empty in every "
      "record.\n"
      "warning: [MANY] The statement gives 3 result columns, the fields read 1: columns 2 to 3 never reach the "
      "file.\n"
      "warning: [BAD] The driver describes no result columns: the statement gives none (korvadex would write no "
      "record), or the driver cannot tell without executing it.\n";
  EXPECT_EQ(result.out, head + "info: Connected to data source \"KVCRED\": SQLite 3.39.3, driver sqlite3odbc.so "
                               "0.9998.\n" + columns +
                            "warning: [WIDE] Column 1 is VARCHAR(60), FLEN01 is 40: longer values are cut to their "
                            "last 40 bytes.\n" + others + "6 warnings.\n");

  // A UTF-8 code page may take four bytes for a character; the placeholder stands in for the terminal.
  env["KORVADEX_CODEPAGE"] = "65001";
  result = testing::RunCommand({KORVADEX_CRED_BINARY, "check", "--connect"}, tree_.runDir, env);
  EXPECT_EQ(result.exitCode, 1) << result.err;
  EXPECT_NE(result.out.find("info: [WIDE] $parm01 was replaced by \"KVCHECK\" for the check; give the real one "
                            "with --terminal NAME.\n"),
            std::string::npos)
      << result.out;
  EXPECT_NE(result.out.find("warning: [WIDE] Column 1 is VARCHAR(60), up to 240 bytes in code page 65001, FLEN01 "
                            "is 40: longer values are cut to their last 40 bytes.\n"),
            std::string::npos)
      << result.out;

  // Nothing ran: the tables are as empty as they were.
  EXPECT_EQ(testing::RunCommand({"/usr/bin/sqlite3", dir_ / "t.db", "SELECT count(*) FROM wide"}, "").out, "0\n");

  ASSERT_EQ(Cred({"init", tree_.credentialPath, "--database", "NOSUCHDSN", "--login", "user", "--db-system",
                  "SQLITE", "--pass", "-", "--force"},
                 "", "secret\n")
                .exitCode,
            0);
  result = testing::RunCommand({KORVADEX_CRED_BINARY, "check", "--connect"}, tree_.runDir, env_);
  EXPECT_EQ(result.exitCode, 7);
  EXPECT_TRUE(result.out.ends_with(
      "warning: Cannot connect to data source \"NOSUCHDSN\": SQLSTATE IM002: [unixODBC][Driver Manager]Data source "
      "name not found and no default driver specified.\n1 warning.\n"))
      << result.out;
  EXPECT_EQ(result.out.find("secret"), std::string::npos);
}

TEST(KastrovinCredTest, CheckWarnsWithExitCodeOne) {
  TempDir dir;
  struct Row {
    const char* label;
    std::string content;
    unsigned mode;
    std::string warning;
  };
  const Row rows[] = {
      {"readable by everyone", kBuiltFile, 0644,
       "warning: " + (dir / "c.ini") +
           " is open to every user (mode 0644); the fixed key only hides the values, so restrict it with chmod 600.\n"},
      {"number 0", ";KORVADEX;PASS\n0;PASS;5E866D854C92105611AC5747EDD5116E\n", 0600,
       "warning: DATABASE is taken from the entry at line 1 with key name \"PASS\", because its number is 0; such "
       "an entry matches every key.\n"},
      {"Windows line ends and a trailing end-of-file byte",
       ";KORVADEX;DATABASE\r\n1;DATABASE;A11BD1D4C7AA786D5C2907BCDB5CF510\r\n\x1A;x\n0;LOGIN;00\n", 0600,
       "warning: LOGIN is missing: no entry matches, so korvadex uses an empty value.\n"},
  };
  for (const Row& row : rows) {
    WriteFileBytes(dir / "c.ini", row.content);
    ::chmod((dir / "c.ini").c_str(), row.mode);
    const CommandResult result = Cred({"check", dir / "c.ini"}, dir.path());
    EXPECT_EQ(result.exitCode, 1) << row.label;
    EXPECT_NE(result.out.find(row.warning), std::string::npos) << row.label << ":\n" << result.out;
    EXPECT_EQ(result.out.find("Passwort"), std::string::npos) << row.label;
  }
}

struct PtyResult {
  int exitCode = -1;       // the negative signal number when a signal ended the program
  std::string transcript;  // everything the program wrote to the terminal
  bool isEchoOn = false;   // the terminal echoes typing again once the program has ended
};

// One step of a dialogue at the terminal: once `prompt` has appeared, `reply`
// is typed and then `signal` (if any) sent to the program.
struct TerminalStep {
  std::string prompt;
  std::string reply;
  int signal = 0;
};

// Runs the tool on a fresh pseudo-terminal; each reply is typed once its prompt
// has appeared, as a person would.
PtyResult RunOnTerminal(const std::vector<std::string>& args, const std::string& workDir,
                        const std::vector<TerminalStep>& dialogue) {
  std::vector<std::string> argv{KORVADEX_CRED_BINARY};
  argv.insert(argv.end(), args.begin(), args.end());
  int master = -1;
  const pid_t pid = ::forkpty(&master, nullptr, nullptr, nullptr);
  if (pid == 0) {
    if (!workDir.empty() && ::chdir(workDir.c_str()) != 0) ::_exit(126);
    std::vector<char*> cargs;
    for (std::string& a : argv) cargs.push_back(a.data());
    cargs.push_back(nullptr);
    ::execv(cargs[0], cargs.data());
    ::_exit(127);
  }
  PtyResult result;
  if (pid < 0) return result;
  std::size_t step = 0;
  std::size_t searchFrom = 0;
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
  for (;;) {
    if (step < dialogue.size()) {
      const std::size_t at = result.transcript.find(dialogue[step].prompt, searchFrom);
      if (at != std::string::npos) {
        const std::string& reply = dialogue[step].reply;
        [[maybe_unused]] ssize_t ignored = ::write(master, reply.data(), reply.size());
        if (dialogue[step].signal != 0) ::kill(pid, dialogue[step].signal);
        searchFrom = at + dialogue[step].prompt.size();
        ++step;
        continue;
      }
    }
    if (std::chrono::steady_clock::now() > deadline) {
      ::kill(pid, SIGKILL);
      break;
    }
    pollfd fd{master, POLLIN, 0};
    if (::poll(&fd, 1, 200) <= 0) continue;
    char buffer[4096];
    const ssize_t got = ::read(master, buffer, sizeof buffer);
    // Linux reports EIO once the program has closed its side.
    if (got <= 0) break;
    result.transcript.append(buffer, static_cast<std::size_t>(got));
  }
  // The terminal's settings outlive the program while this side stays open.
  termios settings {};
  result.isEchoOn = ::tcgetattr(master, &settings) == 0 && (settings.c_lflag & ECHO) != 0;
  ::close(master);
  int status = 0;
  ::waitpid(pid, &status, 0);
  result.exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : -WTERMSIG(status);
  return result;
}

TEST(KastrovinCredTest, TerminalInputIsNotEchoedAndAskedTwice) {
  const PtyResult result = RunOnTerminal({"encrypt"}, "", {{"Value: ", "Geheim12\n"}, {"Repeat: ", "Geheim12\n"}});
  EXPECT_EQ(result.exitCode, 0) << result.transcript;
  EXPECT_EQ(result.transcript, "Value: \r\nRepeat: \r\n92039C712B371DBD\r\n");
}

TEST(KastrovinCredTest, TerminalEntriesThatDifferWriteNothing) {
  TempDir dir;
  const PtyResult result =
      RunOnTerminal({"init", "c.ini", "--database", "D", "--login", "u", "--db-system", "S"}, dir.path(),
                    {{"Password: ", "secret1\n"}, {"Repeat: ", "secret2\n"}});
  EXPECT_EQ(result.exitCode, 4) << result.transcript;
  EXPECT_NE(result.transcript.find("kastrovin-cred: the two entries differ; nothing was done"), std::string::npos)
      << result.transcript;
  EXPECT_EQ(result.transcript.find("secret"), std::string::npos) << result.transcript;
  EXPECT_FALSE(testing::FileExists(dir / "c.ini"));
}

// Ctrl-C (the terminal's SIGINT), kill and a closed terminal at either prompt
// give the echo back and end the tool with 128 + the signal, writing nothing.
TEST(KastrovinCredTest, SignalAtThePromptRestoresEchoAndWritesNothing) {
  // That runtime runs a signal's handler only once the read the tool waits in
  // returns, which a signal at the prompt never makes it do.
  if (testing::kIsThreadSanitized) GTEST_SKIP() << "ThreadSanitizer delays the handler past the wait";
  TempDir dir;
  WriteFileBytes(dir / "old.ini", "old\n");
  const std::vector<std::string> init{"init", "c.ini", "--database", "D", "--login", "u", "--db-system", "S"};
  const std::vector<std::string> forced{"init", "old.ini", "--database", "D", "--login", "u", "--db-system", "S",
                                  "--force"};
  struct Row {
    const char* label;
    std::vector<std::string> args;
    std::vector<TerminalStep> dialogue;
    int exitCode;
    std::string transcript;
  };
  const Row rows[] = {
      {"Ctrl-C while typing the password", init, {{"Password: ", "secr\x03"}}, 130, "Password: \r\n"},
      {"Ctrl-C at the repeat of a replacement", forced, {{"Password: ", "secret\n"}, {"Repeat: ", "\x03"}}, 130,
       "Password: \r\nRepeat: \r\n"},
      {"SIGTERM at encrypt's prompt", {"encrypt"}, {{"Value: ", "", SIGTERM}}, 143, "Value: \r\n"},
      {"SIGHUP at the password", init, {{"Password: ", "", SIGHUP}}, 129, "Password: \r\n"},
  };
  for (const Row& row : rows) {
    const PtyResult result = RunOnTerminal(row.args, dir.path(), row.dialogue);
    EXPECT_EQ(result.exitCode, row.exitCode) << row.label << ": " << result.transcript;
    EXPECT_EQ(result.transcript, row.transcript) << row.label;
    EXPECT_TRUE(result.isEchoOn) << row.label;
    EXPECT_EQ(FolderEntries(dir.path()), std::vector<std::string>{"old.ini"}) << row.label;
    EXPECT_EQ(ReadFileBytes(dir / "old.ini"), "old\n") << row.label;
  }
}

}  // namespace
}  // namespace korvadex
