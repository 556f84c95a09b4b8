// Tests of the fixed-width record layout: trimming, padding, cutting, column choice.
#include "output/record_format.h"

#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "db/code_page.h"

namespace korvadex {
namespace {

struct FieldCase {
  const char* label;
  const char* type;
  int width;
  const char* value;
  const char* expected;
};

TEST(RecordFormatTest, FormatsFieldsByTypeAndWidth) {
  const FieldCase cases[] = {
      {"char trims both sides", "CHAR", 8, "  Meier  ", "Meier   "},
      {"txt keeps leading blanks", "TXT", 8, "  Meier  ", "  Meier "},
      {"char trims tabs, keeps inner tab", "CHAR", 5, "\ta\tb\t", "a\tb  "},
      {"dec zero-fills", "DEC", 5, " 42 ", "00042"},
      {"dec leaves the sign in place", "DEC", 5, "-42", "00-42"},
      {"dec leaves the separator", "DEC", 5, "3.50", "03.50"},
      {"dec too long keeps last digits", "DEC", 3, "12345", "345"},
      {"char too long keeps the end", "CHAR", 3, "ABCDEFG", "EFG"},
      {"txt too long keeps the end", "TXT", 3, "  ABCDEFG", "EFG"},
      {"exact length unchanged", "CHAR", 4, "ABCD", "ABCD"},
      {"empty char is blanks", "CHAR", 3, "", "   "},
      {"empty txt is blanks", "TXT", 3, "", "   "},
      {"empty dec is zeros", "DEC", 3, "", "000"},
      {"only white space is empty", "DEC", 2, " \t ", "00"},
      {"line feed at end stays", "TXT", 4, "ab\n", "ab\n "},
      {"carriage return stays in char", "CHAR", 3, "a\r", "a\r "},
      {"high bytes are not trimmed", "CHAR", 3, "\xE4", "\xE4  "},
      {"width zero contributes nothing", "CHAR", 0, "abc", ""},
      {"negative width contributes nothing", "DEC", -5, "12", ""},
      {"lower-case type contributes nothing", "char", 4, "abc", ""},
      {"unknown type contributes nothing", "NUM", 4, "1", ""},
  };
  for (const FieldCase& c : cases) {
    std::string record = "|";
    FormatField(c.value, c.width, c.type, record);
    EXPECT_EQ(record, std::string("|") + c.expected) << c.label;
  }
}

TEST(RecordFormatTest, TrimsOnlyBlanksAndTabs) {
  EXPECT_EQ(TrimRight(" \ta b \t"), " \ta b");
  EXPECT_EQ(TrimBoth(" \ta b \t"), "a b");
  EXPECT_EQ(TrimBoth("\n x \n"), "\n x \n");
  EXPECT_EQ(TrimBoth("   "), "");
  EXPECT_EQ(TrimRight(""), "");
}

class FormatRecordTest : public ::testing::Test {
 protected:
  void SetSlot(int index, const char* text) {
    std::strncpy(row.slots[index], text, kSlotSize - 1);
  }
  void SetColumn(int number, const char* name, const char* type, int width) {
    columns[number - 1] = ColumnDef{name, type, width};
  }
  RowBuffer row{};
  ColumnTable columns{};
};

TEST_F(FormatRecordTest, TakesValuesByColumnNumberAndSkipsUnnamedColumns) {
  SetSlot(0, "A");
  SetSlot(1, "skipped");
  SetSlot(2, "7");
  SetColumn(1, "ONE", "CHAR", 3);
  SetColumn(2, "", "CHAR", 5);
  SetColumn(3, "THREE", "DEC", 4);
  std::string record = "old content";
  FormatRecord(columns, row, record);
  EXPECT_EQ(record, "A  0007");
}

TEST_F(FormatRecordTest, NamedColumnWithoutWidthOrBeyondResultGivesFixedFields) {
  SetSlot(0, "x");
  SetColumn(1, "NOWIDTH", "CHAR", 0);
  SetColumn(5, "BEYOND", "DEC", 2);  // slot 4 is empty, as for a short result
  std::string record;
  FormatRecord(columns, row, record);
  EXPECT_EQ(record, "00");
}

TEST_F(FormatRecordTest, ThirtyWideColumnsMakeOneLongRecord) {
  for (int n = 1; n <= kMaxColumns; ++n) SetColumn(n, "F", "TXT", 100);
  SetSlot(29, "end");
  std::string record;
  FormatRecord(columns, row, record);
  ASSERT_EQ(record.size(), 3000u);
  EXPECT_EQ(record.substr(2900, 4), "end ");
}

TEST_F(FormatRecordTest, RecordsLongerThanTheOldBufferAreBuiltWhole) {
  for (int n = 1; n <= kMaxColumns; ++n) SetColumn(n, "F", "DEC", 999);
  std::string record;
  FormatRecord(columns, row, record);
  EXPECT_EQ(record.size(), 29970u);
  EXPECT_EQ(record.find_first_not_of('0'), std::string::npos);
}

// Values in the code page: what each character becomes, what counts as
// replaced, and where the 99-byte limit falls.
TEST(RecordFormatTest, EncodesWideTextIntoTheCodePage) {
  struct EncodeCase {
    const char* label;
    int codePage;
    std::vector<std::uint16_t> units;
    std::string expected;
    int replaced;
  };
  const std::vector<std::uint16_t> hundredA(100, 0x00E4);
  std::vector<std::uint16_t> fiftyPairs;
  for (int k = 0; k < 50; ++k) fiftyPairs.insert(fiftyPairs.end(), {0xD83D, 0xDE00});
  std::vector<std::uint16_t> euroThenA(33, 0x20AC);
  euroThenA.push_back('a');
  std::string thirtyThreeEuros;
  for (int k = 0; k < 33; ++k) thirtyThreeEuros += "\xE2\x82\xAC";
  std::string twentyFourSmileys;
  for (int k = 0; k < 24; ++k) twentyFourSmileys += "\xF0\x9F\x98\x80";
  const EncodeCase cases[] = {
      {"1252 umlauts, sharp s, euro", 1252, {0xC4, 0xFC, 0xDF, 0x20AC}, "\xC4\xFC\xDF\x80", 0},
      {"1252 typographic quotes", 1252, {0x2018, 0x2019, 0x201C, 0x201D}, "\x91\x92\x93\x94", 0},
      {"1252 keeps the C1 gaps as Windows does", 1252, {0x81, 0x8D, 0x8F, 0x90, 0x9D}, "\x81\x8D\x8F\x90\x9D", 0},
      {"1252 other C1 controls are missing", 1252, {0x80, 0x9F}, "??", 2},
      {"1252 no best fit for a with macron", 1252, {0x0101, 'x'}, "?x", 1},
      {"1252 a surrogate pair is one character", 1252, {'a', 0xD83D, 0xDE00, 'b'}, "a?b", 1},
      {"1252 lone surrogates", 1252, {0xDE00, 'a', 0xD83D}, "?a?", 2},
      {"1252 stops at 99 characters", 1252, hundredA, std::string(99, '\xE4'), 0},
      {"1252 counts only what is kept", 1252, fiftyPairs, std::string(50, '?'), 50},
      {"28591 lacks the euro", 28591, {0x20AC, 0xE9}, "?\xE9", 1},
      {"28605 has the euro", 28605, {0x20AC, 0xA4}, "\xA4?", 1},
      {"1250 Polish and Czech letters", 1250, {0x0142, 0x0161, 0x00E4}, "\xB3\x9A\xE4", 0},
      {"850 umlauts and box drawing", 850, {0xE4, 0xDF, 0x2554}, "\x84\xE1\xC9", 0},
      {"437 lacks the euro", 437, {0xFC, 0x20AC}, "\x81?", 1},
      {"65001 three-byte euros cut whole at 99", kUtf8CodePage, euroThenA, thirtyThreeEuros, 0},
      {"65001 four-byte pairs cut whole at 99", kUtf8CodePage, fiftyPairs, twentyFourSmileys, 0},
      {"65001 lone surrogates become one ? each", kUtf8CodePage, {'a', 0xDC00, 0xD800, 'b', 0xD83D}, "a??b?", 3},
      {"65001 a pair beside them is kept", kUtf8CodePage, {0xDFFF, 0xD800, 0xDC00}, "?\xF0\x90\x80\x80", 1},
  };
  for (const EncodeCase& c : cases) {
    CodePageEncoder encoder;
    ASSERT_TRUE(encoder.Open(c.codePage)) << c.label;
    char out[kSlotSize] = {};
    int replaced = 0;
    const std::size_t length = encoder.Encode(c.units.data(), c.units.size(), out, replaced);
    EXPECT_EQ(std::string(out, length), c.expected) << c.label;
    EXPECT_EQ(replaced, c.replaced) << c.label;
  }
  CodePageEncoder unknown;
  EXPECT_FALSE(unknown.Open(1251));
  EXPECT_FALSE(unknown.isOpen());
}

// Cuts to the width keep the last bytes, never the tail of a UTF-8
// character, and are counted with the longest value per job column.
TEST(RecordFormatTest, CutsUtf8OnCharacterBoundariesAndCountsCuts) {
  struct CutCase {
    const char* label;
    const char* type;
    int width;
    std::string value;
    bool isUtf8;
    std::string expected;
  };
  const CutCase cases[] = {
      {"whole euro kept", "CHAR", 4, "ab\xE2\x82\xAC", true, "b\xE2\x82\xAC"},
      {"split euro left out, blanks after", "CHAR", 2, "a\xE2\x82\xAC", true, "  "},
      {"split umlaut left out", "TXT", 5, "M\xC3\xBCller", true, "ller "},
      {"dec fills with zeros in front", "DEC", 2, "1\xC3\xBC" "2", true, "02"},
      {"split smiley, the rest kept", "CHAR", 5, "\xF0\x9F\x98\x80xy", true, "xy   "},
      {"without UTF-8 the bytes are cut as ever", "CHAR", 2, "a\xE2\x82\xAC", false, "\x82\xAC"},
      {"exact fit is no cut", "CHAR", 3, "\xE2\x82\xAC", true, "\xE2\x82\xAC"},
  };
  for (const CutCase& c : cases) {
    ColumnTable columns{};
    columns[3] = ColumnDef{"C", c.type, c.width};
    RecordLayout layout = MakeRecordLayout(columns);
    layout.isUtf8 = c.isUtf8;
    const std::string_view value = c.value;
    std::string record;
    ColumnStatsTable stats{};
    const int firstCut = FormatValues(layout, &value, record, &stats);
    EXPECT_EQ(record, c.expected) << c.label;
    const bool isCut = c.value.size() > static_cast<std::size_t>(c.width);
    EXPECT_EQ(firstCut, isCut ? 0 : -1) << c.label;
    EXPECT_EQ(stats[3].cutValues, isCut ? 1 : 0) << c.label;
    EXPECT_EQ(stats[3].longestValue, static_cast<std::int64_t>(c.value.size())) << c.label;
  }
}

TEST(RecordFormatTest, CountsPerJobColumnAcrossRows) {
  ColumnTable columns{};
  columns[0] = ColumnDef{"A", "CHAR", 3};
  columns[2] = ColumnDef{"B", "DEC", 2};
  const RecordLayout layout = MakeRecordLayout(columns);
  ColumnStatsTable stats{};
  std::string record;
  const std::string_view rows[][2] = {{"abcd", "1"}, {"  ab  ", "123"}, {"abcdef", "12"}};
  EXPECT_EQ(FormatValues(layout, rows[0], record, &stats), 0);
  EXPECT_EQ(FormatValues(layout, rows[1], record, &stats), 1);
  EXPECT_EQ(record, "ab 23");
  EXPECT_EQ(FormatValues(layout, rows[2], record, &stats), 0);
  EXPECT_EQ(stats[0].cutValues, 2);
  EXPECT_EQ(stats[0].longestValue, 6);
  EXPECT_EQ(stats[2].cutValues, 1);
  EXPECT_EQ(stats[2].longestValue, 3);
  EXPECT_EQ(stats[1].cutValues, 0);
}

}  // namespace
}  // namespace korvadex
