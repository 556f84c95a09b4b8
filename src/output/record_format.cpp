// Builds one fixed-width download record from a fetched row and the job's columns.
#include "output/record_format.h"

#include <cstring>

namespace korvadex {

namespace {

// Only blank and tab count: line ends and other control bytes in a value are data.
bool IsFieldBlank(char c) { return c == ' ' || c == '\t'; }

}  // namespace

std::string_view TrimRight(std::string_view text) {
  std::size_t end = text.size();
  while (end > 0 && IsFieldBlank(text[end - 1])) --end;
  return text.substr(0, end);
}

std::string_view TrimBoth(std::string_view text) {
  text = TrimRight(text);
  std::size_t start = 0;
  while (start < text.size() && IsFieldBlank(text[start])) ++start;
  return text.substr(start);
}

void FormatField(std::string_view fieldValue, std::int32_t width, std::string_view type,
                 std::string& record) {
  enum class Align { Left, ZeroFilledRight };
  Align align;
  std::string_view value;
  if (type == "CHAR") {
    align = Align::Left;
    value = TrimBoth(fieldValue);
  } else if (type == "DEC") {
    align = Align::ZeroFilledRight;
    value = TrimBoth(fieldValue);
  } else if (type == "TXT") {
    // Leading blanks are part of a free text's layout; only the tail is noise.
    align = Align::Left;
    value = TrimRight(fieldValue);
  } else {
    return;
  }
  // A negative width is treated like 0: the column contributes nothing.
  if (width <= 0) return;
  const std::size_t fieldWidth = static_cast<std::size_t>(width);
  if (value.size() >= fieldWidth) {
    // Too long: the value is cut at its beginning, so numbers keep their low digits.
    record.append(value.substr(value.size() - fieldWidth));
    return;
  }
  const std::size_t padding = fieldWidth - value.size();
  if (align == Align::Left) {
    record.append(value);
    record.append(padding, ' ');
  } else {
    record.append(padding, '0');
    record.append(value);
  }
}

void FormatRecord(const ColumnTable& columns, const RowBuffer& row, std::string& record) {
  record.clear();
  for (int n = 0; n < kMaxColumns; ++n) {
    const ColumnDef& column = columns[n];
    if (column.name.empty()) continue;
    const char* slot = row.slots[n];
    FormatField(std::string_view(slot, strnlen(slot, kSlotSize - 1)), column.width, column.type,
                record);
  }
}

}  // namespace korvadex
