// The debug trace's lines about what a run changed in each column's values.
#include "output/column_trace.h"

#include <cstdio>

namespace korvadex {

std::string FormatColumnStats(const ColumnTable& columns, const ColumnStatsTable& stats) {
  std::string text;
  for (int n = 0; n < kMaxColumns; ++n) {
    const ColumnStats& column = stats[static_cast<std::size_t>(n)];
    if (column.cutValues == 0 && column.replacedChars == 0) continue;
    char line[400];
    std::snprintf(line, sizeof line,
                  "korvadex: Spalte %02d %.99s: %lld Werte gekuerzt (laengster Wert %lld Bytes, Breite %d), "
                  "%lld Zeichen ersetzt durch '?'\n",
                  n + 1, columns[static_cast<std::size_t>(n)].name.c_str(),
                  static_cast<long long>(column.cutValues), static_cast<long long>(column.longestValue),
                  static_cast<int>(columns[static_cast<std::size_t>(n)].width),
                  static_cast<long long>(column.replacedChars));
    text += line;
  }
  return text;
}

}  // namespace korvadex
