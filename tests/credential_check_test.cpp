// Tests of the operators' credentials check and of the content that init writes:
// each pitfall a file can hold, the masked report, and the value rules.
#include "checks/credential_check.h"

#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "credentials/blowfish.h"
#include "credentials/credential_reader.h"

namespace korvadex {
namespace {

// Hex texts made with OpenSSL's Blowfish under the key "QUENDAL", halves little-endian.
constexpr char kDsnHex[] = "A11BD1D4C7AA786D5C2907BCDB5CF510";   // "ODBC_PROD"
constexpr char kUserHex[] = "DAA2DA5FBEB80096D9E6CC6D8EC62FB9";  // "kvx_user_prod"
constexpr char kPassHex[] = "5E866D854C92105611AC5747EDD5116E";  // "Passwort-2024!"
constexpr char kSystemHex[] = "6D616705877AFFD5";                // "DB2"

std::string Entry(const std::string& firstLine, const std::string& number, const std::string& keyName,
                  const std::string& value) {
  return firstLine + "\n" + number + ";" + keyName + ";" + value + "\n";
}

std::string CleanFile() {
  return Entry(";KORVADEX;DATABASE", "1", "DATABASE", kDsnHex) + Entry(";KORVADEX;LOGIN", "2", "LOGIN", kUserHex) +
         Entry(";KORVADEX;PASS", "3", "PASS", kPassHex) + Entry(";KORVADEX;DB_SYSTEM", "4", "DB_SYSTEM", kSystemHex);
}

std::vector<int> ResolvedLines(const CredentialCheck& check) {
  std::vector<int> lines;
  for (const KeyResolution& resolution : check.keys) lines.push_back(resolution.entry.firstLine);
  return lines;
}

TEST(CredentialCheckTest, CleanFileResolvesEachKeyToItsOwnEntry) {
  const CredentialCheck check = CheckCredentialContent(CleanFile());
  ASSERT_EQ(check.keys.size(), 4u);
  EXPECT_EQ(ResolvedLines(check), (std::vector<int>{1, 3, 5, 7}));
  EXPECT_EQ(check.keys[0].entry.value, "ODBC_PROD");
  EXPECT_EQ(check.keys[1].entry.value, "kvx_user_prod");
  EXPECT_EQ(check.keys[2].entry.value, "Passwort-2024!");
  EXPECT_EQ(check.keys[3].entry.value, "DB2");
  EXPECT_EQ(check.keys[2].hexText, kPassHex);
  EXPECT_EQ(ResolvedDbSystem(check), "DB2");
  EXPECT_TRUE(HasDbSystem(check));
  EXPECT_EQ(check.warnings, std::vector<std::string>());
}

TEST(CredentialCheckTest, FlagsEachPitfall) {
  const std::string longFirstLine = ";KORVADEX;" + std::string(240, 'x');
  struct Row {
    const char* label;
    std::string content;
    std::vector<int> lines;  // first line taken for DATABASE, LOGIN, PASS, DB_SYSTEM; 0 none
    std::vector<std::string> warnings;
  };
  const Row rows[] = {
      {"number 0 takes the first entry for every key",
       Entry(";KORVADEX;DATABASE", "0", "DATABASE", kDsnHex) + Entry(";KORVADEX;LOGIN", "2", "LOGIN", kUserHex) +
           Entry(";KORVADEX;PASS", "3", "PASS", kPassHex) +
           Entry(";KORVADEX;DB_SYSTEM", "4", "DB_SYSTEM", kSystemHex),
       {1, 1, 1, 1},
       {"LOGIN is taken from the entry at line 1 with key name \"DATABASE\", because its number is 0; "
        "such an entry matches every key.",
        "PASS is taken from the entry at line 1 with key name \"DATABASE\", because its number is 0; "
        "such an entry matches every key.",
        "DB_SYSTEM is taken from the entry at line 1 with key name \"DATABASE\", because its number is 0; "
        "such an entry matches every key.",
        "The LOGIN entry at line 3 is never read: LOGIN is taken from line 1.",
        "The PASS entry at line 5 is never read: PASS is taken from line 1.",
        "The DB_SYSTEM entry at line 7 is never read: DB_SYSTEM is taken from line 1."}},
      {"number without digits counts as 0",
       Entry(";KORVADEX;DATABASE", "1", "DATABASE", kDsnHex) + Entry(";KORVADEX;LOGIN", "2", "LOGIN", kUserHex) +
           Entry(";KORVADEX;PASS", "x", "PASS", kPassHex) +
           Entry(";KORVADEX;DB_SYSTEM", "4", "DB_SYSTEM", kSystemHex),
       {1, 3, 5, 5},
       {"DB_SYSTEM is taken from the entry at line 5 with key name \"PASS\", because its number is 0; "
        "such an entry matches every key.",
        "The DB_SYSTEM entry at line 7 is never read: DB_SYSTEM is taken from line 5."}},
      {"first line with one ';' has an empty match text",
       Entry(";KORVADEX;DATABASE", "1", "DATABASE", kDsnHex) + Entry("KORVADEX;LOGIN", "2", "LOGIN", kUserHex) +
           Entry(";KORVADEX;PASS", "3", "PASS", kPassHex) +
           Entry(";KORVADEX;DB_SYSTEM", "4", "DB_SYSTEM", kSystemHex),
       {1, 3, 3, 3},
       {"PASS is taken from the entry at line 3 with key name \"LOGIN\", because its match text is empty "
        "(fewer than two ';' in its first line); such an entry matches every key.",
        "DB_SYSTEM is taken from the entry at line 3 with key name \"LOGIN\", because its match text is empty "
        "(fewer than two ';' in its first line); such an entry matches every key.",
        "The PASS entry at line 5 is never read: PASS is taken from line 3.",
        "The DB_SYSTEM entry at line 7 is never read: DB_SYSTEM is taken from line 3."}},
      {"empty first line and number 0 both named",
       Entry("", "0", "LOGIN", kUserHex) + Entry(";KORVADEX;DATABASE", "1", "DATABASE", kDsnHex),
       {1, 1, 1, 1},
       {"DATABASE is taken from the entry at line 1 with key name \"LOGIN\", because its number is 0 and its "
        "match text is empty (fewer than two ';' in its first line); such an entry matches every key.",
        "PASS is taken from the entry at line 1 with key name \"LOGIN\", because its number is 0 and its "
        "match text is empty (fewer than two ';' in its first line); such an entry matches every key.",
        "DB_SYSTEM is taken from the entry at line 1 with key name \"LOGIN\", because its number is 0 and its "
        "match text is empty (fewer than two ';' in its first line); such an entry matches every key.",
        "The DATABASE entry at line 3 is never read: DATABASE is taken from line 1."}},
      {"missing key",
       Entry(";KORVADEX;DATABASE", "1", "DATABASE", kDsnHex) + Entry(";KORVADEX;LOGIN", "2", "LOGIN", kUserHex) +
           Entry(";KORVADEX;PASS", "3", "PASS", kPassHex),
       {1, 3, 5, 0},
       {"DB_SYSTEM is missing: no entry matches, so korvadex uses an empty value."}},
      {"key name in lower case is never asked for",
       Entry(";KORVADEX;DATABASE", "1", "DATABASE", kDsnHex) + Entry(";KORVADEX;LOGIN", "2", "login", kUserHex) +
           Entry(";KORVADEX;PASS", "3", "PASS", kPassHex) +
           Entry(";KORVADEX;DB_SYSTEM", "4", "DB_SYSTEM", kSystemHex),
       {1, 0, 5, 7},
       {"LOGIN is missing: no entry matches, so korvadex uses an empty value.",
        "The entry at line 3 has the key name \"login\", which korvadex never asks for (key names are exact "
        "and upper case)."}},
      {"lower-case hex",
       Entry(";KORVADEX;DATABASE", "1", "DATABASE", kDsnHex) +
           Entry(";KORVADEX;LOGIN", "2", "LOGIN", "daa2da5fbeb80096d9e6cc6d8ec62fb9") +
           Entry(";KORVADEX;PASS", "3", "PASS", kPassHex) +
           Entry(";KORVADEX;DB_SYSTEM", "4", "DB_SYSTEM", kSystemHex),
       {1, 3, 5, 7},
       {"LOGIN (line 3): the stored value is not upper-case hex text and decrypts to unrelated bytes."}},
      {"hex length not a multiple of 16",
       Entry(";KORVADEX;DATABASE", "1", "DATABASE", kDsnHex) + Entry(";KORVADEX;LOGIN", "2", "LOGIN", kUserHex) +
           Entry(";KORVADEX;PASS", "3", "PASS", "5E866D854C92105611AC") +
           Entry(";KORVADEX;DB_SYSTEM", "4", "DB_SYSTEM", kSystemHex),
       {1, 3, 5, 7},
       {"PASS (line 5): the stored value has 20 characters, not a multiple of 16, so its last block is "
        "incomplete."}},
      {"empty DATABASE",
       Entry(";KORVADEX;DATABASE", "1", "DATABASE", "") + Entry(";KORVADEX;LOGIN", "2", "LOGIN", kUserHex) +
           Entry(";KORVADEX;PASS", "3", "PASS", kPassHex) +
           Entry(";KORVADEX;DB_SYSTEM", "4", "DB_SYSTEM", kSystemHex),
       {1, 3, 5, 7},
       {"DATABASE has 0 characters; korvadex uses it only with 1 to 41 and otherwise connects without a data "
        "source."}},
      {"DATABASE of 42 characters",
       Entry(";KORVADEX;DATABASE", "1", "DATABASE", EncryptPassword(std::string(42, 'D'), kCredentialKey)) +
           Entry(";KORVADEX;LOGIN", "2", "LOGIN", kUserHex) + Entry(";KORVADEX;PASS", "3", "PASS", kPassHex) +
           Entry(";KORVADEX;DB_SYSTEM", "4", "DB_SYSTEM", kSystemHex),
       {1, 3, 5, 7},
       {"DATABASE has 42 characters; korvadex uses it only with 1 to 41 and otherwise connects without a data "
        "source."}},
      {"DATABASE of 41 characters is fine",
       Entry(";KORVADEX;DATABASE", "1", "DATABASE", EncryptPassword(std::string(41, 'D'), kCredentialKey)) +
           Entry(";KORVADEX;LOGIN", "2", "LOGIN", kUserHex) + Entry(";KORVADEX;PASS", "3", "PASS", kPassHex) +
           Entry(";KORVADEX;DB_SYSTEM", "4", "DB_SYSTEM", kSystemHex),
       {1, 3, 5, 7},
       {}},
      {"value that decrypts to control characters",
       Entry(";KORVADEX;DATABASE", "1", "DATABASE", kDsnHex) +
           Entry(";KORVADEX;LOGIN", "2", "LOGIN", EncryptPassword("ab\x01" "cd", kCredentialKey)) +
           Entry(";KORVADEX;PASS", "3", "PASS", kPassHex) +
           Entry(";KORVADEX;DB_SYSTEM", "4", "DB_SYSTEM", kSystemHex),
       {1, 3, 5, 7},
       {"LOGIN (line 3): the decrypted value holds control characters; it was probably not encrypted with the "
        "suite's key."}},
      {"first line cut at its limit shifts the pairing",
       Entry(";KORVADEX;DATABASE", "1", "DATABASE", kDsnHex) + Entry(";KORVADEX;LOGIN", "2", "LOGIN", kUserHex) +
           Entry(";KORVADEX;PASS", "3", "PASS", kPassHex) + Entry(longFirstLine, "4", "DB_SYSTEM", kSystemHex),
       {1, 3, 5, 7},
       {"DB_SYSTEM is taken from the entry at line 7 with key name \"\", because its number is 0; such an "
        "entry matches every key.",
        "DB_SYSTEM (line 7): the stored value is not upper-case hex text and decrypts to unrelated bytes.",
        "DB_SYSTEM (line 7): the stored value has 51 characters, not a multiple of 16, so its last block is "
        "incomplete.",
        "The first line of the entry at line 7 has more than 198 characters; its rest is read as the next line, "
        "which shifts the pairing of every later line."}},
      {"second line cut at its limit",
       Entry(";KORVADEX;DATABASE", "1", "DATABASE", kDsnHex) + Entry(";KORVADEX;LOGIN", "2", "LOGIN", kUserHex) +
           Entry(";KORVADEX;PASS", "3", "PASS", kPassHex) +
           Entry(";KORVADEX;DB_SYSTEM", "4", "DB_SYSTEM", std::string(kSystemHex) + std::string(400, '0')),
       {1, 3, 5, 7},
       {"DB_SYSTEM (line 7): the stored value has 200 characters, not a multiple of 16, so its last block is "
        "incomplete.",
        "Line 8 has more than 398 characters; its rest is read as the next line, which shifts the pairing of "
        "every later line."}},
      {"unpaired last line",
       CleanFile() + ";KORVADEX;EXTRA\n",
       {1, 3, 5, 7},
       {"Line 9 has no partner line and is ignored; every entry takes two lines."}},
      {"empty last line is harmless", CleanFile() + "\n", {1, 3, 5, 7}, {}},
      {"second entry for a key",
       CleanFile() + Entry(";KORVADEX;LOGIN", "5", "LOGIN", kDsnHex),
       {1, 3, 5, 7},
       {"The LOGIN entry at line 9 is never read: LOGIN is taken from line 3."}},
  };
  for (const Row& row : rows) {
    const CredentialCheck check = CheckCredentialContent(row.content);
    EXPECT_EQ(ResolvedLines(check), row.lines) << row.label;
    EXPECT_EQ(check.warnings, row.warnings) << row.label;
  }
}

TEST(CredentialCheckTest, JobFileAndPermissionFindings) {
  CredentialCheck check;
  AddJobFileFinding(check, "./KORVADEX.DB2.INI", true);
  AddPermissionFinding(check, "Kastrovin.Ini", 0100600);
  AddPermissionFinding(check, "Kastrovin.Ini", 0100640);
  EXPECT_EQ(check.warnings, std::vector<std::string>());

  AddJobFileFinding(check, "./KORVADEX.DB2.INI", false);
  AddPermissionFinding(check, "Kastrovin.Ini", 0100644);
  AddPermissionFinding(check, "Kastrovin.Ini", 0100602);
  EXPECT_EQ(check.warnings,
            (std::vector<std::string>{
                "The job definition file ./KORVADEX.DB2.INI is not found in the current directory; korvadex would "
                "end with exit code 3.",
                "Kastrovin.Ini is open to every user (mode 0644); the fixed key only hides the values, so restrict "
                "it with chmod 600.",
                "Kastrovin.Ini is open to every user (mode 0602); the fixed key only hides the values, so restrict "
                "it with chmod 600."}));
}

TEST(CredentialCheckTest, ReportMasksThePassword) {
  const CredentialCheck check = CheckCredentialContent(CleanFile());
  EXPECT_EQ(FormatCheckReport(check, "../../Files/Kastrovin.Ini", "./KORVADEX.DB2.INI", true),
            "Credentials file: ../../Files/Kastrovin.Ini\n"
            "  DATABASE   line 1  \"ODBC_PROD\"\n"
            "  LOGIN      line 3  \"kvx_user_prod\"\n"
            "  PASS       line 5  ********\n"
            "  DB_SYSTEM  line 7  \"DB2\"\n"
            "Job definition file: ./KORVADEX.DB2.INI (found)\n"
            "No warnings.\n");
}

TEST(CredentialCheckTest, ReportMasksThePasswordEntryTakenForOtherKeys) {
  const CredentialCheck check = CheckCredentialContent(Entry(";KORVADEX;PASS", "0", "PASS", kPassHex));
  const std::string report = FormatCheckReport(check, "c.ini", "", false);
  EXPECT_EQ(report.find("Passwort"), std::string::npos) << report;
  EXPECT_EQ(report.substr(0, report.find("warning:")),
            "Credentials file: c.ini\n"
            "  DATABASE   line 1  ********  (entry \"PASS\")\n"
            "  LOGIN      line 1  ********  (entry \"PASS\")\n"
            "  PASS       line 1  ********\n"
            "  DB_SYSTEM  line 1  ********  (entry \"PASS\")\n");
}

TEST(CredentialCheckTest, JobPathIsMaskedWhenDbSystemIsThePassword) {
  const CredentialCheck clean = CheckCredentialContent(CleanFile());
  EXPECT_EQ(ShownJobPath(clean, "./korvadex.db2.ini"), "./korvadex.db2.ini");
  const CredentialCheck shared = CheckCredentialContent(Entry(";KORVADEX;PASS", "0", "PASS", kPassHex));
  EXPECT_EQ(ShownJobPath(shared, "./KORVADEX.Passwort-2024!.INI"), "./KORVADEX.********.INI");
}

TEST(CredentialCheckTest, ReportShowsMissingKeysEscapesControlBytesAndCountsWarnings) {
  const CredentialCheck check = CheckCredentialContent(
      Entry(";KORVADEX;DATABASE", "1", "DATABASE", EncryptPassword("A\"B\x07", kCredentialKey)));
  EXPECT_EQ(FormatCheckReport(check, "c.ini", "", false),
            "Credentials file: c.ini\n"
            "  DATABASE   line 1  \"A\\\"B\\x07\"\n"
            "  LOGIN      not found (empty)\n"
            "  PASS       not found (empty)\n"
            "  DB_SYSTEM  not found (empty)\n"
            "warning: DATABASE (line 1): the decrypted value holds control characters; it was probably not "
            "encrypted with the suite's key.\n"
            "warning: LOGIN is missing: no entry matches, so korvadex uses an empty value.\n"
            "warning: PASS is missing: no entry matches, so korvadex uses an empty value.\n"
            "warning: DB_SYSTEM is missing: no entry matches, so korvadex uses an empty value.\n"
            "4 warnings.\n");
  EXPECT_FALSE(HasDbSystem(check));
}

TEST(CredentialCheckTest, WholeBlockHex) {
  struct Row {
    const char* label;
    const char* text;
    bool expected;
  };
  const Row rows[] = {
      {"empty", "", true},
      {"one block", "6D616705877AFFD5", true},
      {"two blocks", "A11BD1D4C7AA786D5C2907BCDB5CF510", true},
      {"15 characters", "6D616705877AFFD", false},
      {"17 characters", "6D616705877AFFD50", false},
      {"lower case", "6d616705877affd5", false},
      {"letter after F", "6D616705877AFFG5", false},
      {"blank inside", "6D616705 77AFFD5", false},
  };
  for (const Row& row : rows) EXPECT_EQ(IsWholeBlockHex(row.text), row.expected) << row.label;
}

TEST(CredentialCheckTest, PlainValueRules) {
  struct Row {
    const char* label;
    const char* key;
    std::string value;
    const char* expected;  // empty when the value is accepted
  };
  const Row rows[] = {
      {"DATABASE of 1", "DATABASE", "D", ""},
      {"DATABASE of 41", "DATABASE", std::string(41, 'D'), ""},
      {"DATABASE empty", "DATABASE", "", "DATABASE must have 1 to 41 characters (it has 0)."},
      {"DATABASE of 42", "DATABASE", std::string(42, 'D'), "DATABASE must have 1 to 41 characters (it has 42)."},
      {"LF", "DATABASE", "PROD\nX", "DATABASE contains a line end."},
      {"CR", "LOGIN", "user\r", "LOGIN contains a line end."},
      {"zero byte", "PASS", std::string("ab\0cd", 5), "PASS contains a zero byte, which would end the value."},
      {"empty password", "PASS", "", ""},
      {"empty login", "LOGIN", "", ""},
      {"96 characters", "PASS", std::string(96, 'p'), ""},
      {"97 characters", "PASS", std::string(97, 'p'),
       "PASS has 97 characters; at most 96 fit into the credentials file."},
      {"DB_SYSTEM of 24", "DB_SYSTEM", std::string(24, 'S'), ""},
      {"DB_SYSTEM of 25", "DB_SYSTEM", std::string(25, 'S'), "DB_SYSTEM must have 1 to 24 characters (it has 25)."},
      {"DB_SYSTEM empty", "DB_SYSTEM", "", "DB_SYSTEM must have 1 to 24 characters (it has 0)."},
      {"DB_SYSTEM with slash", "DB_SYSTEM", "../X",
       "DB_SYSTEM is part of the file name KORVADEX.<DB_SYSTEM>.INI and must not contain '/' or '\\'."},
      {"DB_SYSTEM with backslash", "DB_SYSTEM", "A\\B",
       "DB_SYSTEM is part of the file name KORVADEX.<DB_SYSTEM>.INI and must not contain '/' or '\\'."},
  };
  for (const Row& row : rows) EXPECT_EQ(CheckPlainValue(row.key, row.value), row.expected) << row.label;
}

TEST(CredentialCheckTest, InitValuesReportTheFirstProblem) {
  EXPECT_EQ(CheckInitValues({"ODBC_PROD", "kvx_user_prod", "Passwort-2024!", "DB2"}), "");
  EXPECT_EQ(CheckInitValues({"", "u", "p\n", "DB2"}), "DATABASE must have 1 to 41 characters (it has 0).");
  EXPECT_EQ(CheckInitValues({"D", "u", "p\n", "DB2"}), "PASS contains a line end.");
  EXPECT_EQ(CheckInitValues({"D", "u", "p", ""}), "DB_SYSTEM must have 1 to 24 characters (it has 0).");
}

TEST(CredentialCheckTest, BuildsTheFileLineByLine) {
  EXPECT_EQ(BuildCredentialFile({"ODBC_PROD", "kvx_user_prod", "Passwort-2024!", "DB2"}),
            ";KORVADEX;DATABASE\n"
            "1;DATABASE;A11BD1D4C7AA786D5C2907BCDB5CF510\n"
            ";KORVADEX;LOGIN\n"
            "2;LOGIN;DAA2DA5FBEB80096D9E6CC6D8EC62FB9\n"
            ";KORVADEX;PASS\n"
            "3;PASS;5E866D854C92105611AC5747EDD5116E\n"
            ";KORVADEX;DB_SYSTEM\n"
            "4;DB_SYSTEM;6D616705877AFFD5\n");
}

TEST(CredentialCheckTest, BuiltFileReadsBackThroughTheReader) {
  struct Row {
    const char* label;
    InitValues values;
  };
  const Row rows[] = {
      {"ordinary", {"ODBC_PROD", "kvx_user_prod", "Passwort-2024!", "DB2"}},
      {"empty login and password", {"KVDEMO", "", "", "SQLITE"}},
      {"block-filling and longest values", {std::string(41, 'D'), "Geheim12", std::string(96, 'p'),
                                            std::string(24, 'S')}},
      {"separators inside values", {"A;B", "x;y;z", ";;", "S;"}},
  };
  for (const Row& row : rows) {
    const std::string content = BuildCredentialFile(row.values);
    EXPECT_EQ(FindCredential(content, "", "DATABASE", 0).value, row.values.dataSource) << row.label;
    EXPECT_EQ(FindCredential(content, "", "LOGIN", 0).value, row.values.login) << row.label;
    EXPECT_EQ(FindCredential(content, "", "PASS", 0).value, row.values.password) << row.label;
    EXPECT_EQ(FindCredential(content, "", "DB_SYSTEM", 0).value, row.values.dbSystem) << row.label;
    const CredentialCheck check = CheckCredentialContent(content);
    EXPECT_EQ(ResolvedLines(check), (std::vector<int>{1, 3, 5, 7})) << row.label;
    EXPECT_EQ(check.warnings, std::vector<std::string>()) << row.label;
  }
}

}  // namespace
}  // namespace korvadex
