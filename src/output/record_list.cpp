// Collects the records of a run and hands them out in ascending byte order,
// spilling sorted runs to disk when they outgrow a memory budget.
#include "output/record_list.h"

#include <algorithm>
#include <limits>
#include <new>
#include <optional>
#include <system_error>

#include "platform/memory_limit.h"
#include "platform/sha256.h"
#include "platform/thread_priority.h"

namespace korvadex {

namespace {

constexpr std::size_t kMinBudget = std::size_t{8} << 20;
constexpr std::uint64_t kMaxBudget = std::uint64_t{1} << 30;
constexpr std::size_t kMaxBlockBytes = std::size_t{4} << 20;

// A block is a small part of the budget, so that what the last one leaves
// unused never weighs much.
std::size_t BlockBytesFor(std::size_t budget) { return std::clamp<std::size_t>(budget / 8, 1, kMaxBlockBytes); }

// The buffer a run is written through, while the other half already fills:
// it comes out of the budget too.
std::size_t SpillBufferFor(std::size_t budget) {
  return std::clamp<std::size_t>(budget / 64, std::size_t{4} << 10, std::size_t{1} << 20);
}

}  // namespace

std::optional<std::uint64_t> ParseMemorySize(std::string_view text) {
  const std::size_t first = text.find_first_not_of(' ');
  if (first == std::string_view::npos) return std::nullopt;
  text = text.substr(first, text.find_last_not_of(' ') - first + 1);
  int shift = 0;
  switch (text.back()) {
    case 'K': case 'k': shift = 10; break;
    case 'M': case 'm': shift = 20; break;
    case 'G': case 'g': shift = 30; break;
    default: break;
  }
  if (shift != 0) text.remove_suffix(1);
  if (text.empty()) return std::nullopt;
  std::uint64_t value = 0;
  for (const char c : text) {
    if (c < '0' || c > '9') return std::nullopt;
    const auto digit = static_cast<std::uint64_t>(c - '0');
    if (value > (UINT64_MAX - digit) / 10) return std::nullopt;
    value = value * 10 + digit;
  }
  if (value == 0 || value > (UINT64_MAX >> shift)) return std::nullopt;
  return value << shift;
}

std::size_t MemoryBudgetFor(std::uint64_t available, std::uint64_t requested) {
  // A 32-bit process could not address more, whatever it was told.
  constexpr std::uint64_t kAddressable = std::numeric_limits<std::size_t>::max() / 2;
  const std::uint64_t budget =
      requested == 0 ? std::min(available / 4, kMaxBudget) : std::min({requested, available / 2, kAddressable});
  return static_cast<std::size_t>(std::max<std::uint64_t>(budget, kMinBudget));
}

std::size_t MemoryBudget(std::uint64_t requested) { return MemoryBudgetFor(AvailableMemory(), requested); }

RecordList::~RecordList() { AwaitSpill(); }

// Hands the held records to the spiller, which sorts them and writes them as
// one run while the other half takes the next records; false when the
// previous run could not be written. Without a thread the run is written
// here and now.
bool RecordList::SpillHeld() {
  if (!AwaitSpill()) return false;
  const int spilling = active_;
  active_ = 1 - active_;
  spilledCount_ += stores_[spilling].count();
  ++spillRunCount_;
  auto write = [this, spilling] {
    try {
      orders_[spilling].Sort(stores_[spilling]);
      isSpillWritten_ = spill_.WriteRun(orders_[spilling].view(stores_[spilling]), spillFolder,
                                       SpillBufferFor(budget_));
      if (isSpillWritten_) {
        progress_.spilledRuns.store(spill_.runCount(), std::memory_order_relaxed);
        progress_.spilledBytes.store(spill_.byteCount(), std::memory_order_relaxed);
      }
    } catch (const std::bad_alloc&) {
      isSpillWritten_ = false;
    }
    // The blocks stay for the next time this half fills: memory that is
    // already mapped costs no page faults.
    stores_[spilling].Clear();
    orders_[spilling].Clear();
  };
  try {
    spiller_ = std::thread([write] {
      // The fetch is what the run waits for; the spill has time until the
      // other half fills, so it gives way when the cores are all busy.
      LowerThreadPriority();
      write();
    });
  } catch (const std::system_error&) {
    write();
  }
  return true;
}

// Waits for the spiller; false when its run could not be written.
bool RecordList::AwaitSpill() {
  if (spiller_.joinable()) spiller_.join();
  return isSpillWritten_;
}

// Records lost halfway through would make a file that looks complete: the
// list refuses every record from now on and gives back what it holds.
void RecordList::GiveUp() {
  AwaitSpill();
  hasFailed_ = true;
  for (int half = 0; half < 2; ++half) {
    stores_[half].Release();
    orders_[half].Release();
  }
  spill_.Release();
}

bool RecordList::Add(std::string_view record) {
  if (hasFailed_) return false;
  if (budget_ == 0) budget_ = MemoryBudget(requestedBudget);
  // Each half gets half of what the spill buffer leaves: while one is
  // spilled, the other takes the next records, so the fetch never waits for
  // a whole run to be sorted and written.
  // (Budgets too small for that, in tests, are just halved.)
  if (halfBudget_ == 0) {
    const std::size_t buffer = SpillBufferFor(budget_);
    halfBudget_ = budget_ > 2 * buffer ? (budget_ - buffer) / 2 : std::max<std::size_t>(budget_ / 2, 1);
  }
  const std::size_t limit = halfBudget_;
  RecordStore& held = store();
  held.SetBlockBytes(BlockBytesFor(limit));
  // The index entry is charged now, so that sorting never goes over the budget.
  // The index numbers records with 32 bits, which also bounds a run.
  const std::size_t heldCount = held.count();
  const bool isFull =
      held.memory() + held.GrowthFor(record.size()) + order().MemoryFor(heldCount + 1) > limit ||
      heldCount == UINT32_MAX;
  if (heldCount > 0 && isFull && !SpillHeld()) {
    GiveUp();
    return false;
  }
  try {
    // The half that takes the record may have changed with the spill.
    store().SetBlockBytes(BlockBytesFor(halfBudget_));
    store().Add(record);
  } catch (const std::bad_alloc&) {
    GiveUp();
    return false;
  }
  order().NoteAdded(store());
  byteCount_ += record.size();
  return true;
}

void RecordList::Sort() {
  try {
    order().Sort(store());
  } catch (const std::bad_alloc&) {
    // Without memory for the index the records stay in arrival order; Emit
    // meets the same shortage and reports it.
  }
}

bool RecordList::PrepareEmission() {
  if (hasFailed_ || isSpent_) return false;
  if (!AwaitSpill()) {
    GiveUp();
    return false;
  }
  if (spill_.runCount() > 0) {
    // The spilled half's blocks wait for records that will not come; the
    // merge's read buffers take their place.
    stores_[1 - active_].Release();
    orders_[1 - active_].Release();
    try {
      order().Sort(store());
    } catch (const std::bad_alloc&) {
      // Emit meets the same shortage and reports it.
    }
  }
  return true;
}

void RecordList::HashEmitted() {
  if (!emittedHash_) emittedHash_ = std::make_unique<Sha256>();
}

std::string RecordList::emittedSha256() const { return emittedHash_ ? emittedHash_->HexDigest() : std::string(); }

bool RecordList::Emit(const std::function<bool(std::string_view)>& emit) {
  if (!emittedHash_) return EmitUnhashed(emit);
  // Each record is hashed as it is passed on, in file order, so the digest
  // covers exactly the bytes the writer was given, with no second pass.
  Sha256& hash = *emittedHash_;
  return EmitUnhashed([&hash, &emit](std::string_view record) {
    hash.Update(record.data(), record.size());
    return emit(record);
  });
}

bool RecordList::EmitUnhashed(const std::function<bool(std::string_view)>& emit) {
  if (!PrepareEmission()) return false;
  try {
    if (spill_.runCount() == 0) {
      if (const std::optional<bool> isComplete = order().SortAndEmitInParallel(store(), emit)) return *isComplete;
      order().Sort(store());
      const SortedView held = order().view(store());
      return held.Emit(0, held.size(), emit);
    }
    order().Sort(store());
    // The held records stay in memory beside the read-back buffers, which
    // share an eighth of the budget.
    if (!spill_.Merge(order().view(store()), budget_ / 8, emit)) return false;
    // Giving back a spill file of gigabytes keeps the system busy for a
    // while, better spent while the writer waits for the disk. The runs are
    // gone then: the list cannot be emitted again.
    isSpent_ = true;
    try {
      spiller_ = std::thread([this] { spill_.Release(); });
    } catch (const std::system_error&) {
      spill_.Release();
    }
    return true;
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

bool PrepareSortedEmission(RecordList& list) { return list.PrepareEmission(); }

bool EmitSortedRecords(RecordList& list, const std::function<bool(std::string_view)>& emit) {
  return list.Emit(emit);
}

int FreeRecordList(std::unique_ptr<RecordList>& records) {
  records.reset();
  return 0;
}

}  // namespace korvadex
