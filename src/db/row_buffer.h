// One fetched row as character text: thirty slots of 100 bytes.
#ifndef KORVADEX_DB_ROW_BUFFER_H_
#define KORVADEX_DB_ROW_BUFFER_H_

#include <cstring>

namespace korvadex {

inline constexpr int kMaxColumns = 30;
inline constexpr int kSlotSize = 100;

// Slot k holds result column k+1 as NUL-terminated text of at most 99 bytes;
// an empty slot stands for NULL or for a column beyond the result's last one.
struct RowBuffer {
  char slots[kMaxColumns][kSlotSize];
};

}  // namespace korvadex

#endif  // KORVADEX_DB_ROW_BUFFER_H_
