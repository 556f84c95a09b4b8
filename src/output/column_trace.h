// The debug trace's lines about what a run changed in each column's values.
#ifndef KORVADEX_OUTPUT_COLUMN_TRACE_H_
#define KORVADEX_OUTPUT_COLUMN_TRACE_H_

#include <string>

#include "jobdef/column_def.h"
#include "output/column_stats.h"

namespace korvadex {

// One line for each column that had a value cut or a character replaced,
// in column order, e.g. "korvadex: Spalte 02 NAME: 3 Werte gekuerzt
// (laengster Wert 12 Bytes, Breite 6), 1 Zeichen ersetzt durch '?'"; empty
// when no column had any.
std::string FormatColumnStats(const ColumnTable& columns, const ColumnStatsTable& stats);

}  // namespace korvadex

#endif  // KORVADEX_OUTPUT_COLUMN_TRACE_H_
