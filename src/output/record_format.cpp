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

bool IsUtf8Continuation(char byte) { return (static_cast<unsigned char>(byte) & 0xC0) == 0x80; }

// Writes the field of `kind` for `fieldValue` into the `width` bytes at `out`;
// returns the length of the value after trimming.
std::size_t WriteField(std::string_view fieldValue, std::size_t width, FieldKind kind, bool isUtf8, char* out) {
  // Leading blanks are part of a free text's layout; only the tail is noise.
  std::string_view value = kind == FieldKind::Txt ? TrimRight(fieldValue) : TrimBoth(fieldValue);
  const std::size_t trimmedLength = value.size();
  if (value.size() >= width) {
    // Too long: the value is cut at its beginning, so numbers keep their low digits.
    std::size_t start = value.size() - width;
    // A reader of UTF-8 must not meet the tail of a character, so that tail
    // goes too and the field is filled like one of a shorter value.
    while (isUtf8 && start < value.size() && IsUtf8Continuation(value[start])) ++start;
    if (start == value.size() - width) {
      std::memcpy(out, value.data() + start, width);
      return trimmedLength;
    }
    value.remove_prefix(start);
  }
  const std::size_t padding = width - value.size();
  // An empty value may come without any bytes behind it, so it is never copied.
  if (kind == FieldKind::Dec) {
    std::memset(out, '0', padding);
    if (!value.empty()) std::memcpy(out + padding, value.data(), value.size());
  } else {
    if (!value.empty()) std::memcpy(out, value.data(), value.size());
    std::memset(out + value.size(), ' ', padding);
  }
  return trimmedLength;
}

}  // namespace

void FormatField(std::string_view fieldValue, std::int32_t width, std::string_view type,
                 std::string& record) {
  const FieldKind kind = KindOf(type);
  // A negative width is treated like 0: the column contributes nothing.
  if (kind == FieldKind::None || width <= 0) return;
  const std::size_t start = record.size();
  record.resize(start + static_cast<std::size_t>(width));
  WriteField(fieldValue, static_cast<std::size_t>(width), kind, false, record.data() + start);
}

RecordLayout MakeRecordLayout(const ColumnTable& columns) {
  RecordLayout layout;
  for (int n = 0; n < kMaxColumns; ++n) {
    const ColumnDef& column = columns[n];
    if (column.name.empty() || column.width <= 0) continue;
    const FieldKind kind = KindOf(column.type);
    if (kind == FieldKind::None) continue;
    layout.slots[layout.count] = n;
    layout.widths[layout.count] = static_cast<std::size_t>(column.width);
    layout.kinds[layout.count] = static_cast<std::uint8_t>(kind);
    layout.length += static_cast<std::size_t>(column.width);
    ++layout.count;
  }
  return layout;
}

int FormatValues(const RecordLayout& layout, const std::string_view* values, std::string& record,
                 ColumnStatsTable* stats) {
  record.resize(layout.length);
  char* out = record.data();
  int firstCut = -1;
  for (int i = 0; i < layout.count; ++i) {
    const std::size_t width = layout.widths[i];
    const std::size_t length =
        WriteField(values[i], width, static_cast<FieldKind>(layout.kinds[i]), layout.isUtf8, out);
    out += width;
    if (stats == nullptr) continue;
    ColumnStats& column = (*stats)[static_cast<std::size_t>(layout.slots[i])];
    const auto bytes = static_cast<std::int64_t>(length);
    if (bytes > column.longestValue) column.longestValue = bytes;
    if (length > width) {
      ++column.cutValues;
      if (firstCut < 0) firstCut = i;
    }
  }
  return firstCut;
}

void FormatRecord(const ColumnTable& columns, const RowBuffer& row, std::string& record) {
  const RecordLayout layout = MakeRecordLayout(columns);
  std::string_view values[kMaxColumns];
  for (int i = 0; i < layout.count; ++i) {
    const char* slot = row.slots[layout.slots[i]];
    values[i] = std::string_view(slot, strnlen(slot, kSlotSize - 1));
  }
  FormatValues(layout, values, record);
}

}  // namespace korvadex
