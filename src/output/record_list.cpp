// Collects the records of a run and hands them out in ascending byte order,
// spilling sorted runs to disk when they outgrow a memory budget.
#include "output/record_list.h"

#include <algorithm>
#include <new>
#include <optional>

#include "platform/memory_limit.h"

namespace korvadex {

namespace {

constexpr std::size_t kMinBudget = std::size_t{8} << 20;
constexpr std::size_t kMaxBudget = std::size_t{1} << 30;
constexpr std::size_t kMaxBlockBytes = std::size_t{4} << 20;

// A block is a small part of the budget, so that what the last one leaves
// unused never weighs much.
std::size_t BlockBytesFor(std::size_t budget) { return std::clamp<std::size_t>(budget / 8, 1, kMaxBlockBytes); }

}  // namespace

std::size_t MemoryBudgetFor(std::uint64_t available) {
  return static_cast<std::size_t>(std::clamp<std::uint64_t>(available / 4, kMinBudget, kMaxBudget));
}

std::size_t DefaultMemoryBudget() { return MemoryBudgetFor(AvailableMemory()); }

// Sorts the held records and writes them as one run, emptying the memory
// for the next. False when the run cannot be written or memory runs out.
bool RecordList::SpillHeld() {
  try {
    order_.Sort(store_);
  } catch (const std::bad_alloc&) {
    return false;
  }
  if (!spill_.WriteRun(order_.view(store_), spillFolder)) return false;
  store_.Clear();
  order_.Clear();
  return true;
}

// Records lost halfway through would make a file that looks complete: the
// list refuses every record from now on and gives back what it holds.
void RecordList::GiveUp() {
  hasFailed_ = true;
  store_.Release();
  order_.Release();
  spill_.Release();
}

bool RecordList::Add(std::string_view record) {
  if (hasFailed_) return false;
  if (budget_ == 0) budget_ = DefaultMemoryBudget();
  store_.SetBlockBytes(BlockBytesFor(budget_));
  // The index entry is charged now, so that sorting never goes over the budget.
  // The index numbers records with 32 bits, which also bounds a run.
  const std::size_t held = store_.count();
  const bool isFull = store_.memory() + store_.GrowthFor(record.size()) + order_.MemoryFor(held + 1) > budget_ ||
                      held == UINT32_MAX;
  if (held > 0 && isFull && !SpillHeld()) {
    GiveUp();
    return false;
  }
  try {
    store_.Add(record);
  } catch (const std::bad_alloc&) {
    GiveUp();
    return false;
  }
  order_.NoteAdded(store_);
  byteCount_ += record.size();
  return true;
}

void RecordList::Sort() {
  try {
    order_.Sort(store_);
  } catch (const std::bad_alloc&) {
    // Without memory for the index the records stay in arrival order; Emit
    // meets the same shortage and reports it.
  }
}

bool RecordList::Emit(const std::function<bool(std::string_view)>& emit) {
  if (hasFailed_) return false;
  try {
    if (spill_.runCount() == 0) {
      if (const std::optional<bool> isComplete = order_.SortAndEmitInParallel(store_, emit)) return *isComplete;
      order_.Sort(store_);
      const SortedView held = order_.view(store_);
      return held.Emit(0, held.size(), emit);
    }
    order_.Sort(store_);
    // The held records stay in memory beside the read-back buffers, which
    // share an eighth of the budget.
    return spill_.Merge(order_.view(store_), budget_ / 8, emit);
  } catch (const std::bad_alloc&) {
    return false;
  }
}

int AddRecord(std::unique_ptr<RecordList>& records, std::string_view record) {
  if (!records) {
    try {
      records = std::make_unique<RecordList>();
    } catch (const std::bad_alloc&) {
      return 0;
    }
  }
  return records->Add(record) ? 1 : 0;
}

void SortRecords(RecordList& list) { list.Sort(); }

bool EmitSortedRecords(RecordList& list, const std::function<bool(std::string_view)>& emit) {
  return list.Emit(emit);
}

int FreeRecordList(std::unique_ptr<RecordList>& records) {
  records.reset();
  return 0;
}

}  // namespace korvadex
