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

namespace {

enum class FieldKind { None, Char, Dec, Txt };

// Exact bytes: a type in another letter case is none of the three.
FieldKind KindOf(std::string_view type) {
  if (type == "CHAR") return FieldKind::Char;
  if (type == "DEC") return FieldKind::Dec;
  if (type == "TXT") return FieldKind::Txt;
  return FieldKind::None;
}

// Writes the field of `kind` for `fieldValue` into the `width` bytes at `out`.
void WriteField(std::string_view fieldValue, std::size_t width, FieldKind kind, char* out) {
  // Leading blanks are part of a free text's layout; only the tail is noise.
  const std::string_view value = kind == FieldKind::Txt ? TrimRight(fieldValue) : TrimBoth(fieldValue);
  if (value.size() >= width) {
    // Too long: the value is cut at its beginning, so numbers keep their low digits.
    std::memcpy(out, value.data() + (value.size() - width), width);
    return;
  }
  const std::size_t padding = width - value.size();
  if (kind == FieldKind::Dec) {
    std::memset(out, '0', padding);
    std::memcpy(out + padding, value.data(), value.size());
  } else {
    std::memcpy(out, value.data(), value.size());
    std::memset(out + value.size(), ' ', padding);
  }
}

}  // namespace

void FormatField(std::string_view fieldValue, std::int32_t width, std::string_view type,
                 std::string& record) {
  const FieldKind kind = KindOf(type);
  // A negative width is treated like 0: the column contributes nothing.
  if (kind == FieldKind::None || width <= 0) return;
  const std::size_t start = record.size();
  record.resize(start + static_cast<std::size_t>(width));
  WriteField(fieldValue, static_cast<std::size_t>(width), kind, record.data() + start);
}

void FormatRecord(const ColumnTable& columns, const RowBuffer& row, std::string& record) {
  // The record is sized once and filled in place: this runs for every row.
  std::size_t length = 0;
  FieldKind kinds[kMaxColumns];
  for (int n = 0; n < kMaxColumns; ++n) {
    const ColumnDef& column = columns[n];
    kinds[n] = column.name.empty() || column.width <= 0 ? FieldKind::None : KindOf(column.type);
    if (kinds[n] != FieldKind::None) length += static_cast<std::size_t>(column.width);
  }
  record.resize(length);
  char* out = record.data();
  for (int n = 0; n < kMaxColumns; ++n) {
    if (kinds[n] == FieldKind::None) continue;
    const char* slot = row.slots[n];
    const auto width = static_cast<std::size_t>(columns[n].width);
    WriteField(std::string_view(slot, strnlen(slot, kSlotSize - 1)), width, kinds[n], out);
    out += width;
  }
}

}  // namespace korvadex
