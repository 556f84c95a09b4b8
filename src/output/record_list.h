// Collects the records of a run and puts them into ascending byte order.
#ifndef KORVADEX_OUTPUT_RECORD_LIST_H_
#define KORVADEX_OUTPUT_RECORD_LIST_H_

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string_view>
#include <vector>

namespace korvadex {

// The records of one run. They are kept in large blocks rather than one heap
// copy each, and sorted once before writing: nothing reads the list earlier,
// so the file is the same as if every insertion had kept it sorted.
struct RecordList {
  std::vector<std::unique_ptr<char[]>> blocks;  // record storage, never moved once written
  std::size_t blockUsed = 0;                    // bytes used in the last block
  std::size_t blockSize = 0;                    // size of the last block
  std::vector<std::string_view> lines;          // one view per record, into `blocks`
  std::size_t byteCount = 0;                    // sum of the record lengths
  bool isSorted = true;                         // `lines` is in CompareRecords order

  std::int32_t count() const { return static_cast<std::int32_t>(lines.size()); }
};

// Adds a copy of `record`, creating the list on first use. Returns 1 when the
// record was added and 0 when memory ran out (the list is then unchanged).
int AddRecord(std::unique_ptr<RecordList>& records, std::string_view record);

// Unsigned byte order; a text that begins a longer one sorts first. -1, 0 or 1.
int CompareRecords(std::string_view first, std::string_view second);

// Puts `lines` into ascending CompareRecords order; equal records all stay.
void SortRecords(RecordList& list);

// Releases the list, which may be absent. Always 0.
int FreeRecordList(std::unique_ptr<RecordList>& records);

}  // namespace korvadex

#endif  // KORVADEX_OUTPUT_RECORD_LIST_H_
