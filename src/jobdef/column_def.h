// One output column of a job: name, type and width, read from FELDnn/FTYPnn/FLENnn.
#ifndef KORVADEX_JOBDEF_COLUMN_DEF_H_
#define KORVADEX_JOBDEF_COLUMN_DEF_H_

#include <array>
#include <cstdint>
#include <string>

#include "db/row_buffer.h"

namespace korvadex {

struct ColumnDef {
  std::string name;        // at most 99 characters; empty leaves the column out
  std::string type;        // at most 4 characters: "CHAR", "DEC" or "TXT"
  std::int32_t width = 0;  // field width in characters
};

using ColumnTable = std::array<ColumnDef, kMaxColumns>;

}  // namespace korvadex

#endif  // KORVADEX_JOBDEF_COLUMN_DEF_H_
