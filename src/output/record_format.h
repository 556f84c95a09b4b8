// Builds one fixed-width download record from a fetched row and the job's columns.
#ifndef KORVADEX_OUTPUT_RECORD_FORMAT_H_
#define KORVADEX_OUTPUT_RECORD_FORMAT_H_

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "db/row_buffer.h"
#include "jobdef/column_def.h"
#include "output/column_stats.h"

namespace korvadex {

// The text without its trailing blanks and tabs.
std::string_view TrimRight(std::string_view text);

// The text without its leading and trailing blanks and tabs.
std::string_view TrimBoth(std::string_view text);

// Appends `fieldValue` formatted as a field of `type` ("CHAR", "DEC" or "TXT",
// exact bytes) and `width` to `record`; any other type, or a width of 0 or less,
// appends nothing. A value longer than the width keeps its last `width` characters.
void FormatField(std::string_view fieldValue, std::int32_t width, std::string_view type,
                 std::string& record);

// Rebuilds `record` from the named columns of `columns`, column n taking its
// value from slot n-1 of `row`.
void FormatRecord(const ColumnTable& columns, const RowBuffer& row, std::string& record);

// The columns of a job that contribute to its records, in record order.
// Working them out once lets a long run format its rows without looking at
// the job's thirty definitions again for every row.
struct RecordLayout {
  int count = 0;                       // contributing columns
  std::size_t length = 0;              // bytes of every record
  int slots[kMaxColumns] = {};         // row slot each one takes its value from
  std::size_t widths[kMaxColumns] = {};
  std::uint8_t kinds[kMaxColumns] = {};
  bool isUtf8 = false;                 // values are UTF-8: a cut never keeps part of a character
};

RecordLayout MakeRecordLayout(const ColumnTable& columns);

// Rebuilds `record` from `values`, one per column of `layout`, in its order.
// With `stats` (indexed by job column number less one) counts the values cut
// to their width and the longest value. Returns the layout index of the first
// value cut, or -1 when none was. With `layout.isUtf8` a cut that would keep
// the tail of a character keeps less, and the field is filled as for a
// shorter value.
int FormatValues(const RecordLayout& layout, const std::string_view* values, std::string& record,
                 ColumnStatsTable* stats = nullptr);

}  // namespace korvadex

#endif  // KORVADEX_OUTPUT_RECORD_FORMAT_H_
