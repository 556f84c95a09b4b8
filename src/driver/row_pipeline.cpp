// Formats and stores the rows of a run on a second thread while the first one
// goes on fetching.
#include "driver/row_pipeline.h"

#include <cstring>
#include <new>
#include <string_view>
#include <system_error>

namespace korvadex {

RowPipeline::RowPipeline(const ColumnTable& columns, std::unique_ptr<RecordList>& records)
    : layout_(MakeRecordLayout(columns)),
      maxRowBytes_(static_cast<std::size_t>(layout_.count) * kSlotSize),
      records_(records) {}

RowPipeline::~RowPipeline() {
  if (!worker_.joinable()) return;
  HandOver(true);
  worker_.join();
}

bool RowPipeline::Start() {
  try {
    // Not cleared: only the bytes a batch has been given are ever read.
    for (Batch& batch : batches_) batch.bytes = std::make_unique_for_overwrite<char[]>(kBatchBytes);
    worker_ = std::thread(&RowPipeline::Consume, this);
  } catch (const std::bad_alloc&) {
    return false;
  } catch (const std::system_error&) {
    return false;
  }
  return true;
}

void RowPipeline::Push(const RowBuffer& row) {
  Batch* batch = &batches_[handedOver_ % kBatchCount];
  if (batch->rowCount == kMaxBatchRows || kBatchBytes - batch->used < maxRowBytes_) {
    HandOver(false);
    batch = &batches_[handedOver_ % kBatchCount];
  }
  char* out = batch->bytes.get() + batch->used;
  for (int i = 0; i < layout_.count; ++i) {
    const char* slot = row.slots[layout_.slots[i]];
    const std::size_t length = strnlen(slot, kSlotSize - 1);
    *out++ = static_cast<char>(length);
    std::memcpy(out, slot, length);
    out += length;
  }
  batch->used = static_cast<std::size_t>(out - batch->bytes.get());
  ++batch->rowCount;
}

void RowPipeline::HandOver(bool isLast) {
  batches_[handedOver_ % kBatchCount].isLast = isLast;
  ++handedOver_;
  produced_.store(handedOver_, std::memory_order_release);
  produced_.notify_one();
  if (isLast) return;
  // The next batch is free once the worker is done with what it held before.
  for (std::uint32_t done = consumed_.load(std::memory_order_acquire); handedOver_ - done >= kBatchCount;
       done = consumed_.load(std::memory_order_acquire)) {
    consumed_.wait(done, std::memory_order_acquire);
  }
  Batch& next = batches_[handedOver_ % kBatchCount];
  next.used = 0;
  next.rowCount = 0;
}

bool RowPipeline::Finish() {
  if (!worker_.joinable()) return true;
  HandOver(true);
  worker_.join();
  return !hasFailed();
}

// False at the first record that could not be stored; the rest of the batch is left.
bool RowPipeline::StoreBatch(const Batch& batch, std::string& record) {
  std::string_view values[kMaxColumns];
  const char* in = batch.bytes.get();
  for (std::size_t row = 0; row < batch.rowCount; ++row) {
    for (int i = 0; i < layout_.count; ++i) {
      const auto length = static_cast<unsigned char>(*in++);
      values[i] = std::string_view(in, length);
      in += length;
    }
    FormatValues(layout_, values, record);
    if (AddRecord(records_, record) == 0) return false;
  }
  return true;
}

void RowPipeline::Consume() {
  std::string record;
  for (std::uint32_t next = 0;;) {
    std::uint32_t available = produced_.load(std::memory_order_acquire);
    while (available == next) {
      produced_.wait(next, std::memory_order_acquire);
      available = produced_.load(std::memory_order_acquire);
    }
    for (; next != available; ++next) {
      const Batch& batch = batches_[next % kBatchCount];
      // After a failure the batches are still taken, so the fetching thread never waits for ever.
      if (!hasFailed()) {
        bool isStored = false;
        try {
          isStored = StoreBatch(batch, record);
        } catch (const std::bad_alloc&) {
          // Only a record's own growth can throw, and the run is lost the same.
        }
        if (!isStored) hasFailed_.store(true, std::memory_order_relaxed);
      }
      const bool isLast = batch.isLast;
      consumed_.store(next + 1, std::memory_order_release);
      consumed_.notify_one();
      if (isLast) return;
    }
  }
}

}  // namespace korvadex
