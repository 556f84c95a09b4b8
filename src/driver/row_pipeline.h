// Formats and stores the rows of a run on a second thread while the first one
// goes on fetching.
#ifndef KORVADEX_DRIVER_ROW_PIPELINE_H_
#define KORVADEX_DRIVER_ROW_PIPELINE_H_

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <thread>

#include "db/row_buffer.h"
#include "jobdef/column_def.h"
#include "output/record_format.h"
#include "output/record_list.h"

namespace korvadex {

// The driver's fetch is most of a run's time, and formatting a row and storing
// its record do not depend on the next fetch, so they run beside it. Rows
// travel in batches that hold only the values the records use, packed, so a
// hand-over costs a copy of a few hundred bytes per row and at most one
// wake-up per batch. The records reach the list in fetch order, so the list
// ends up exactly as if the fetching thread had added them itself.
class RowPipeline {
 public:
  RowPipeline(const ColumnTable& columns, std::unique_ptr<RecordList>& records);
  ~RowPipeline();
  RowPipeline(const RowPipeline&) = delete;
  RowPipeline& operator=(const RowPipeline&) = delete;

  // Starts the second thread; false when none can be had, and the caller then
  // formats and stores the rows itself.
  bool Start();

  // Hands over the values of `row` that the records take. Only after Start.
  void Push(const RowBuffer& row);

  // True once a record could not be stored (no memory for it, or its run could
  // not be spilled): the run is lost, and the rows pushed from then on are
  // dropped, so the fetch may as well stop. Cheap enough to ask between fetches.
  bool hasFailed() const { return hasFailed_.load(std::memory_order_relaxed); }

  // Hands over the rows still in hand and waits until every record is stored;
  // the list may be used again afterwards. False when a record could not be
  // stored; true when the pipeline was never started.
  bool Finish();

 private:
  static constexpr std::size_t kBatchCount = 4;
  static constexpr std::size_t kBatchBytes = std::size_t{128} << 10;
  static constexpr std::size_t kMaxBatchRows = 2048;
  // The counts wrap at 2^32, which only a power of two divides evenly.
  static_assert((kBatchCount & (kBatchCount - 1)) == 0);

  struct Batch {
    std::unique_ptr<char[]> bytes;
    std::size_t used = 0;
    std::size_t rowCount = 0;
    bool isLast = false;
  };

  void HandOver(bool isLast);
  void Consume();
  bool StoreBatch(const Batch& batch, std::string& record);

  const RecordLayout layout_;
  const std::size_t maxRowBytes_;  // one length byte and up to 99 value bytes per column
  std::unique_ptr<RecordList>& records_;
  Batch batches_[kBatchCount];
  // Batches handed over and batches stored. 32 bits wrap harmlessly, since
  // only their differences, never more than kBatchCount, are looked at, and
  // they keep the waits on the kernel's own futex.
  std::atomic<std::uint32_t> produced_{0};
  std::atomic<std::uint32_t> consumed_{0};
  std::uint32_t handedOver_ = 0;  // the fetching thread's own count of produced_
  std::thread worker_;
  std::atomic<bool> hasFailed_{false};  // set by the worker, never cleared
};

}  // namespace korvadex

#endif  // KORVADEX_DRIVER_ROW_PIPELINE_H_
