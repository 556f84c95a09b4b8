// Tests of the fixed-width record layout: trimming, padding, cutting, column choice.
#include "output/record_format.h"

#include <gtest/gtest.h>

#include <cstring>

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

}  // namespace
}  // namespace korvadex
