// Sorted runs of records on disk, in one temporary file without a name, and
// their merge with the records still held in memory.
#ifndef KORVADEX_OUTPUT_RECORD_SPILL_H_
#define KORVADEX_OUTPUT_RECORD_SPILL_H_

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "output/record_sort.h"

namespace korvadex {

// The runs of one list. The file has no name, so it vanishes with its
// descriptor however the run ends.
class SpillFile {
 public:
  SpillFile() = default;
  ~SpillFile();
  SpillFile(const SpillFile&) = delete;
  SpillFile& operator=(const SpillFile&) = delete;

  std::size_t runCount() const { return runs_.size(); }
  std::uint64_t recordCount() const { return recordCount_; }
  std::uint64_t byteCount() const { return end_; }

  // Writes `records`, in their order, as one run, through a buffer of
  // `bufferBytes`. The file is made with the first run: in `folder`, or in
  // the system's temporary folder when that is empty or takes no file. False
  // when the file cannot be made or written.
  bool WriteRun(const SortedView& records, const std::string& folder, std::size_t bufferBytes);

  // Calls `emit` with the records of every run and of `held`, which must be
  // sorted too, all in ascending order. The read-back buffers share
  // `bufferBytes`. False when a run cannot be read back or `emit` returns
  // false. Throws std::bad_alloc.
  bool Merge(const SortedView& held, std::size_t bufferBytes,
             const std::function<bool(std::string_view)>& emit) const;

  // Closes the file and forgets the runs.
  void Release();

 private:
  // Where a run starts in the file, its bytes and its records.
  struct Run {
    std::uint64_t offset = 0;
    std::uint64_t byteCount = 0;
    std::uint64_t recordCount = 0;
  };

  bool Open(const std::string& folder);

  int fd_ = -1;
  std::uint64_t end_ = 0;  // bytes written so far
  std::vector<Run> runs_;
  std::uint64_t recordCount_ = 0;
};

}  // namespace korvadex

#endif  // KORVADEX_OUTPUT_RECORD_SPILL_H_
