// Tests of the credentials file reader: line pairing and limits, field rules,
// the any-one-criterion match and reading from real files.
#include "credentials/credential_reader.h"

#include <cstdio>
#include <fstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "test_support.h"

namespace korvadex {
namespace {

// Hex texts made with OpenSSL's Blowfish under the key "QUENDAL", halves little-endian.
constexpr char kDsnHex[] = "A11BD1D4C7AA786D5C2907BCDB5CF510";   // "ODBC_PROD"
constexpr char kUserHex[] = "DAA2DA5FBEB80096D9E6CC6D8EC62FB9";  // "kvx_user_prod"
constexpr char kPassHex[] = "5E866D854C92105611AC5747EDD5116E";  // "Passwort-2024!"
constexpr char kSystemHex[] = "6D616705877AFFD5";                // "DB2"
// Fills its block without a zero byte, so any character left after it shows.
constexpr char kFullBlockHex[] = "92039C712B371DBD";  // "Geheim12"

const char* const kDriverKeys[] = {"DATABASE", "LOGIN", "PASS", "DB_SYSTEM"};

std::string Entry(const std::string& firstLine, const std::string& number, const std::string& keyName,
                  const std::string& value) {
  return firstLine + "\n" + number + ";" + keyName + ";" + value + "\n";
}

void ExpectCleared(const CredentialEntry& entry, const std::string& label) {
  EXPECT_EQ(entry.number, 0) << label;
  EXPECT_EQ(entry.matchText, "") << label;
  EXPECT_EQ(entry.keyName, "") << label;
  EXPECT_EQ(entry.value, "") << label;
  EXPECT_EQ(entry.firstLine, 0) << label;
}

TEST(CredentialReaderTest, FindNthCharFallsBackToLastOccurrence) {
  struct Row {
    const char* label;
    const char* text;
    std::int32_t n;
    std::int32_t expected;
  };
  const Row rows[] = {
      {"first", "a;b;c", 1, 1},        {"second", "a;b;c", 2, 3},     {"fewer than n", "a;b;c", 5, 3},
      {"adjacent", ";;x", 2, 1},       {"none", "abc", 1, -1},        {"empty text", "", 1, -1},
      {"n below 1 gives last", "a;b;c", 0, 3},
  };
  for (const Row& row : rows) {
    EXPECT_EQ(FindNthChar(row.text, ';', row.n), row.expected) << row.label;
  }
}

TEST(CredentialReaderTest, CopySubstringTreatsZeroLengthAsRestOfText) {
  struct Row {
    const char* label;
    std::int32_t start;
    std::int32_t length;
    const char* expected;
  };
  const Row rows[] = {
      {"inside", 1, 2, "bc"},        {"zero length is the rest", 1, 0, "bcdef"},
      {"negative length", 1, -1, ""}, {"length past the end", 4, 10, "ef"},
      {"start at the end", 6, 0, ""}, {"start past the end", 9, 1, ""},
      {"negative start", -1, 2, ""},
  };
  for (const Row& row : rows) {
    EXPECT_EQ(CopySubstring("abcdef", row.start, row.length), row.expected) << row.label;
  }
}

TEST(CredentialReaderTest, TextModeDropsCrBeforeLfAndStopsAtByte26) {
  struct Row {
    const char* label;
    std::string raw;
    std::string expected;
  };
  const Row rows[] = {
      {"CR LF becomes LF", "a\r\nb\r\n", "a\nb\n"},
      {"lone CR stays", "a\rb\n", "a\rb\n"},
      {"only the CR next to LF goes", "a\r\r\nb", "a\r\nb"},
      {"byte 26 ends the text", "ab\nc\x1A" "d\ne\n", "ab\nc"},
      {"byte 26 first", "\x1A" "a\n", ""},
      {"CR cut off from its LF by byte 26", "a\r\x1A\n", "a\r"},
  };
  for (const Row& row : rows) {
    EXPECT_EQ(TextModeContent(row.raw), row.expected) << row.label;
  }
}

TEST(CredentialReaderTest, TakesFieldsByTheirSeparators) {
  struct Row {
    const char* label;
    std::string content;
    std::int32_t number;
    std::string matchText;
    std::string keyName;
    std::string value;
  };
  const Row rows[] = {
      {"plain entry", "x;DSN;y\n7;DATABASE;ABCD\n", 7, "DSN", "DATABASE", "ABCD"},
      {"first line with one ;", "x;DSN\n7;K;V\n", 7, "", "K", "V"},
      {"empty first line", "\n7;K;V\n", 7, "", "K", "V"},
      {"adjacent ; in first line", "x;;rest;z\n7;K;V\n", 7, ";rest;z\n", "K", "V"},
      {"adjacent ; in second line", "x;M;y\n1;;LOGIN;AB\n", 1, "M", ";LOGIN;AB\n", "LOGIN;AB"},
      {"value keeps further ;", "x;M;y\n3;PASS;AB;CD;EF\n", 3, "M", "PASS", "AB;CD;EF"},
      {"nothing after the second ;", "x;M;y\n3;PASS;\n", 3, "M", "PASS", ""},
      {"second line with one ;", "x;M;y\n5;00FF\n", 5, "M", "", "00FF"},
      {"second line without ;", "x;M;y\n12AB\n", 0, "M", "", "12AB"},
      {"last line without LF", "x;M;y\n2;LOGIN;ABCD", 2, "M", "LOGIN", "ABCD"},
      {"empty number field", "x;M;y\n;LOGIN;AB\n", 0, "M", "LOGIN", "AB"},
      {"atoi skips blanks, stops at letters", "x;M;y\n  -42abc;K;V\n", -42, "M", "K", "V"},
      {"atoi sign", "x;M;y\n+17;K;V\n", 17, "M", "K", "V"},
      {"no digits", "x;M;y\nx9;K;V\n", 0, "M", "K", "V"},
      {"number text cut to 11", "x;M;y\n000000000012;K;V\n", 1, "M", "K", "V"},
      {"overflow saturates", "x;M;y\n99999999999;K;V\n", 2147483647, "M", "K", "V"},
      {"underflow saturates", "x;M;y\n-9999999999;K;V\n", -2147483647 - 1, "M", "K", "V"},
      {"int32 minimum", "x;M;y\n-2147483648;K;V\n", -2147483647 - 1, "M", "K", "V"},
      {"zero byte ends the line", std::string("x;M;y\n2;LOG\0IN;ABCD\n", 20), 2, "M", "", "LOG"},
      {"key name cut to 200", "x;M;y\n1;" + std::string(250, 'K') + ";AB\n", 1, "M", std::string(200, 'K'), "AB"},
      {"value cut to 200", "x;M;y\n1;PASS;" + std::string(300, 'A') + "\n", 1, "M", "PASS", std::string(200, 'A')},
  };
  for (const Row& row : rows) {
    const std::vector<RawCredentialEntry> entries = SplitCredentialEntries(row.content);
    ASSERT_EQ(entries.size(), 1u) << row.label;
    const CredentialEntry& fields = entries[0].fields;
    EXPECT_EQ(fields.number, row.number) << row.label;
    EXPECT_EQ(fields.matchText, row.matchText) << row.label;
    EXPECT_EQ(fields.keyName, row.keyName) << row.label;
    EXPECT_EQ(fields.value, row.value) << row.label;
    EXPECT_EQ(fields.firstLine, 1) << row.label;
  }
}

TEST(CredentialReaderTest, LongFirstLineShiftsThePairing) {
  // 250 characters: 199 fill the first buffer, the other 51 and the LF become
  // the second line, so "m;N;o" opens the next entry instead of closing this one.
  const std::string longLine = "a;MATCH;" + std::string(242, 'z');
  const std::string content = longLine + "\nm;N;o\n2;LOGIN;ABCD\nlonely\n";
  const std::vector<RawCredentialEntry> entries = SplitCredentialEntries(content);
  ASSERT_EQ(entries.size(), 2u);
  EXPECT_TRUE(entries[0].firstLineCut);
  EXPECT_FALSE(entries[0].secondLineCut);
  EXPECT_EQ(entries[0].fields.matchText, "MATCH");
  EXPECT_EQ(entries[0].fields.value, std::string(51, 'z'));
  EXPECT_EQ(entries[0].fields.number, 0);
  EXPECT_EQ(entries[0].fields.firstLine, 1);
  EXPECT_EQ(entries[1].fields.matchText, "N");
  EXPECT_EQ(entries[1].fields.keyName, "LOGIN");
  EXPECT_EQ(entries[1].fields.firstLine, 2);
  EXPECT_FALSE(entries[1].firstLineCut);
}

TEST(CredentialReaderTest, LineLimitsCutAtTheirLastCharacter) {
  struct Row {
    const char* label;
    std::string content;
    bool isFirstCut;
    bool isSecondCut;
    std::size_t entryCount;
  };
  const Row rows[] = {
      {"first line of 198 and LF fits", std::string(198, 'f') + "\n1;K;V\n", false, false, 1},
      {"first line of 199: its LF is the next line", std::string(199, 'f') + "\n1;K;V\n", true, false, 1},
      {"second line of 399 ending the text", "x;M;y\n" + std::string(399, 's'), false, false, 1},
      {"second line of 398 and LF fits", "x;M;y\n" + std::string(398, 's') + "\n", false, false, 1},
      {"second line of 399 is cut", "x;M;y\n" + std::string(399, 's') + "\nt;U;v\n", false, true, 2},
  };
  for (const Row& row : rows) {
    const std::vector<RawCredentialEntry> entries = SplitCredentialEntries(row.content);
    ASSERT_EQ(entries.size(), row.entryCount) << row.label;
    EXPECT_EQ(entries[0].firstLineCut, row.isFirstCut) << row.label;
    EXPECT_EQ(entries[0].secondLineCut, row.isSecondCut) << row.label;
  }
}

TEST(CredentialReaderTest, DriverRequestsSkipEntriesThatMatchNothing) {
  const std::string file = Entry("Prod;DSN;x", "1", "DATABASE", kDsnHex) + Entry("Prod;USR;x", "2", "LOGIN", kUserHex) +
                           Entry("Prod;PWD;x", "3", "PASS", kPassHex) + Entry("Prod;SYS;x", "4", "DB_SYSTEM", kSystemHex);
  struct Row {
    const char* key;
    const char* value;
    std::int32_t number;
    int firstLine;
  };
  const Row rows[] = {
      {"DATABASE", "ODBC_PROD", 1, 1},
      {"LOGIN", "kvx_user_prod", 2, 3},
      {"PASS", "Passwort-2024!", 3, 5},
      {"DB_SYSTEM", "DB2", 4, 7},
  };
  for (const Row& row : rows) {
    const CredentialEntry entry = FindCredential(file, "", row.key, 0);
    EXPECT_EQ(entry.value, row.value) << row.key;
    EXPECT_EQ(entry.keyName, row.key) << row.key;
    EXPECT_EQ(entry.number, row.number) << row.key;
    EXPECT_EQ(entry.firstLine, row.firstLine) << row.key;
  }
  ExpectCleared(FindCredential(file, "", "NONE", 0), "no entry for the key");
}

TEST(CredentialReaderTest, LooseFirstEntryIsTakenForEveryKey) {
  const std::string rest = Entry("Prod;USR;x", "2", "LOGIN", kUserHex);
  struct Row {
    const char* label;
    std::string file;
  };
  const Row rows[] = {
      {"number 0", Entry("Prod;DSN;x", "0", "DATABASE", kDsnHex) + rest},
      {"number without digits", Entry("Prod;DSN;x", "abc", "DATABASE", kDsnHex) + rest},
      {"empty first line", Entry("", "1", "DATABASE", kDsnHex) + rest},
      {"first line without ;", Entry("Prod", "1", "DATABASE", kDsnHex) + rest},
      {"first line with one ;", Entry("Prod;DSN", "1", "DATABASE", kDsnHex) + rest},
  };
  for (const Row& row : rows) {
    for (const char* key : kDriverKeys) {
      EXPECT_EQ(FindCredential(row.file, "", key, 0).value, "ODBC_PROD") << row.label << ", " << key;
    }
  }
}

TEST(CredentialReaderTest, KeyNamesAndMatchTextsCompareExactly) {
  const std::string wanted = Entry("Prod;USR;x", "2", "LOGIN", kUserHex);
  struct Row {
    const char* label;
    std::string firstEntry;
  };
  const Row rows[] = {
      {"lower case key", Entry("Prod;DSN;x", "1", "login", kDsnHex)},
      {"blank after key", Entry("Prod;DSN;x", "1", "LOGIN ", kDsnHex)},
      {"blank before key", Entry("Prod;DSN;x", "1", " LOGIN", kDsnHex)},
      {"adjacent ; is not an empty match text", Entry("Prod;;DSN", "1", "DATABASE", kDsnHex)},
      {"blank match text is not empty", Entry("Prod; ;x", "1", "DATABASE", kDsnHex)},
  };
  for (const Row& row : rows) {
    const CredentialEntry entry = FindCredential(row.firstEntry + wanted, "", "LOGIN", 0);
    EXPECT_EQ(entry.value, "kvx_user_prod") << row.label;
    EXPECT_EQ(entry.firstLine, 3) << row.label;
  }
}

TEST(CredentialReaderTest, FirstMatchEndsTheSearch) {
  // The second entry fits all three criteria, the first only the number.
  const std::string file = Entry("Prod;OTHER;x", "2", "DATABASE", kDsnHex) + Entry("Prod;USR;x", "2", "LOGIN", kUserHex);
  struct Row {
    const char* label;
    const char* matchText;
    const char* keyName;
    std::int32_t number;
    const char* value;
  };
  const Row rows[] = {
      {"number alone is enough", "USR", "LOGIN", 2, "ODBC_PROD"},
      {"match text alone is enough", "USR", "NONE", 99, "kvx_user_prod"},
      {"key alone is enough", "NONE", "LOGIN", 99, "kvx_user_prod"},
  };
  for (const Row& row : rows) {
    EXPECT_EQ(FindCredential(file, row.matchText, row.keyName, row.number).value, row.value) << row.label;
  }
}

TEST(CredentialReaderTest, IncompleteContentGivesClearedEntry) {
  struct Row {
    const char* label;
    std::string content;
  };
  const Row rows[] = {
      {"empty", ""},
      {"single line", "Prod;DSN;x\n"},
      {"last line without partner", Entry("Prod;DSN;x", "1", "DATABASE", kDsnHex) + "2;LOGIN;" + kUserHex + "\n"},
  };
  for (const Row& row : rows) {
    ExpectCleared(FindCredential(row.content, "", "LOGIN", 0), row.label);
  }
}

class CredentialFileTest : public ::testing::Test {
 protected:

  const std::string& Write(const std::string& bytes) {
    std::ofstream out(path_, std::ios::binary | std::ios::trunc);
    out << bytes;
    return path_;
  }

  // A folder of each test's own: ctest runs the tests of this suite in parallel.
  testing::TempDir dir_;
  std::string path_ = dir_ / "credentials.ini";
};

TEST_F(CredentialFileTest, ReadsTextModeContentOfTheFile) {
  struct Row {
    const char* label;
    std::string bytes;
    const char* value;
  };
  const std::string loginEntry = "Prod;USR;x\r\n2;LOGIN;" + std::string(kFullBlockHex);
  const Row rows[] = {
      {"CR LF line ends", "Prod;DSN;x\r\n1;DATABASE;" + std::string(kDsnHex) + "\r\n" + loginEntry + "\r\n",
       "Geheim12"},
      {"last line without line end", "Prod;DSN;x\n1;DATABASE;" + std::string(kDsnHex) + "\n" + loginEntry,
       "Geheim12"},
      {"byte 26 hides the rest", "Prod;DSN;x\n1;DATABASE;" + std::string(kDsnHex) + "\n\x1A" + loginEntry + "\n", ""},
  };
  for (const Row& row : rows) {
    EXPECT_EQ(ReadCredential("", "LOGIN", 0, Write(row.bytes)).value, row.value) << row.label;
  }
}

TEST_F(CredentialFileTest, UnreadablePathGivesClearedEntry) {
  ExpectCleared(ReadCredential("", "LOGIN", 0, path_ + ".missing"), "missing file");
  ExpectCleared(ReadCredential("", "LOGIN", 0, ::testing::TempDir()), "directory");
  ExpectCleared(ReadCredential("", "LOGIN", 0, ""), "empty path");
}

TEST_F(CredentialFileTest, EndlessSourceIsReadOnlyUpToALimit) {
  // Lines of zero bytes have an empty match text, so the first entry is taken;
  // what matters is that the read ends at all.
  const CredentialEntry entry = ReadCredential("", "LOGIN", 0, "/dev/zero");
  EXPECT_EQ(entry.value, "");
  EXPECT_EQ(entry.firstLine, 1);
}

}  // namespace
}  // namespace korvadex
