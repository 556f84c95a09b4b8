// What a run changed in the values of each output column: counted while the
// rows are formatted, read by the debug trace, the strict mode and the report.
#ifndef KORVADEX_OUTPUT_COLUMN_STATS_H_
#define KORVADEX_OUTPUT_COLUMN_STATS_H_

#include <array>
#include <cstdint>

#include "db/row_buffer.h"

namespace korvadex {

struct ColumnStats {
  std::int64_t cutValues = 0;      // values longer than the width, cut to their last bytes
  std::int64_t longestValue = 0;   // bytes of the longest value seen, after trimming
  std::int64_t replacedChars = 0;  // characters the code page lacks, written as '?'
  std::int64_t nullValues = 0;     // NULL values, which the record shows as an empty value
};

// Indexed by the job's column number less one (FELD01 is [0]).
using ColumnStatsTable = std::array<ColumnStats, kMaxColumns>;

}  // namespace korvadex

#endif  // KORVADEX_OUTPUT_COLUMN_STATS_H_
