// Collects the records of a run and hands them out in ascending byte order,
// spilling sorted runs to disk when they outgrow a memory budget.
#ifndef KORVADEX_OUTPUT_RECORD_LIST_H_
#define KORVADEX_OUTPUT_RECORD_LIST_H_

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <thread>

#include "output/record_sort.h"
#include "output/record_spill.h"
#include "output/record_store.h"
#include "platform/sha256.h"

namespace korvadex {

// The bytes that an operator's size names: digits, then nothing for bytes or
// K, M or G (either case) for KiB, MiB or GiB (powers of 1024), blanks around
// allowed. Nothing for 0, a sign, a fraction, any other unit or text, and
// more than 64 bits hold.
std::optional<std::uint64_t> ParseMemorySize(std::string_view text);

// Bytes of memory the records of a list may take, their blocks and sort
// index included, when the process may still allocate `available` bytes: a
// quarter of it, at most 1 GiB; or, when an operator asked for `requested`
// bytes (0: nobody did), that much but at most half of `available`. Never
// less than 8 MiB, below which the runs on disk grow many and the merge's
// buffers small for little memory saved.
std::size_t MemoryBudgetFor(std::uint64_t available, std::uint64_t requested = 0);

// MemoryBudgetFor what the process may allocate now (AvailableMemory).
std::size_t MemoryBudget(std::uint64_t requested);

// How far a list's work has come, for a person watching the run: written by
// the threads that do the work, read from any thread at any time.
struct ListProgress {
  std::atomic<std::uint64_t> spilledRuns{0};   // runs on disk
  std::atomic<std::uint64_t> spilledBytes{0};  // their bytes
};

// The records of one run: held in one half of the budget until it is full,
// then sorted and spilled as a run by a thread of the list's own while the
// other half takes the next records, so the records keep coming meanwhile;
// in the end the held ones are sorted and merged with the runs. Nothing
// reads them before that, so the file is the same as if every insertion had
// kept them sorted.
class RecordList {
 public:
  // The budget is worked out when the first record arrives: by then the
  // threads and database buffers of the run take their share of any limit.
  RecordList() = default;
  explicit RecordList(std::size_t budget) : budget_(budget) {}
  ~RecordList();
  RecordList(const RecordList&) = delete;
  RecordList& operator=(const RecordList&) = delete;

  // Folder for the spill file, best the target's; empty: the system's. Set
  // before the first record.
  std::string spillFolder;

  // Bytes an operator asked the records to take (KORVADEX_MEMORY); 0 for
  // the default. Set before the first record.
  std::uint64_t requestedBudget = 0;

  // All records added, those already spilled to disk included.
  std::int64_t count() const { return static_cast<std::int64_t>(spilledCount_ + store().count()); }

  // A record found no memory or a run could not be written: the records are
  // incomplete, all memory and the spill file are given back, and no record
  // is taken any more.
  bool hasSpillFailed() const { return hasFailed_; }

  // Sum of the lengths of all records added.
  std::uint64_t byteCount() const { return byteCount_; }

  // The records held in memory (all of them unless spilled): in the order
  // they were added until SortRecords, in ascending order after it.
  SortedView lines() const { return order().view(store()); }

  // Runs spilled or being spilled.
  std::size_t spillRunCount() const { return spillRunCount_; }

  // The memory budget in force; 0 before the first record.
  std::size_t budget() const { return budget_; }

  // Memory the records taking new ones hold: blocks, views and sort index.
  std::size_t heldMemory() const { return store().memory() + order().MemoryFor(store().count()); }

  const ListProgress& progress() const { return progress_; }

  // AddRecord, SortRecords, PrepareSortedEmission and EmitSortedRecords on this list.
  bool Add(std::string_view record);
  void Sort();
  bool PrepareEmission();
  bool Emit(const std::function<bool(std::string_view)>& emit);

  // From now on Emit also hashes the bytes of every record it passes on
  // (SHA-256), for the run report. Set before Emit.
  void HashEmitted();

  // The hash of all records emitted so far, as hex; empty when not asked
  // for or the platform's hash failed.
  std::string emittedSha256() const;

 private:
  bool EmitUnhashed(const std::function<bool(std::string_view)>& emit);

  bool SpillHeld();
  bool AwaitSpill();
  void GiveUp();
  RecordStore& store() { return stores_[active_]; }
  const RecordStore& store() const { return stores_[active_]; }
  RecordOrder& order() { return orders_[active_]; }
  const RecordOrder& order() const { return orders_[active_]; }

  std::size_t budget_ = 0;       // 0 until the first record
  std::size_t halfBudget_ = 0;   // what one half may take; 0 until the first record
  RecordStore stores_[2];        // the half taking records is stores_[active_]
  RecordOrder orders_[2];
  int active_ = 0;
  SpillFile spill_;              // written by the spiller while it runs
  std::thread spiller_;          // sorts and writes the other half
  bool isSpillWritten_ = true;   // the spiller's result; read once it is joined
  std::uint64_t spilledCount_ = 0;   // records handed to the spiller
  std::size_t spillRunCount_ = 0;    // runs handed to the spiller
  std::uint64_t byteCount_ = 0;
  bool hasFailed_ = false;
  bool isSpent_ = false;         // the spilled runs were merged and given back
  ListProgress progress_;
  std::unique_ptr<Sha256> emittedHash_;  // present once HashEmitted was called
};

// Adds a copy of `record`, creating the list on first use. Returns 1 when the
// record was added and 0 when it could not be held (no memory for it, or its
// run could not be spilled) or an earlier record could not: the list is then
// incomplete for good (`hasSpillFailed`). Never throws.
int AddRecord(std::unique_ptr<RecordList>& records, std::string_view record);

// Puts the held records (`lines`) into ascending CompareRecords order; equal
// records all stay.
void SortRecords(RecordList& list);

// Does what must be done before the first sorted record can go out: waits
// for the run being spilled and, when runs were spilled, sorts the held
// records for the merge. Held records alone are sorted while they are
// emitted. The writer calls it before it opens or locks the target, so that
// nobody waits on the lock for a sort. False when the list is incomplete.
// EmitSortedRecords does it too, when not done before.
bool PrepareSortedEmission(RecordList& list);

// Calls `emit` with every record of the list in ascending order, merging the
// spilled runs with the held records. False when the list is incomplete, memory
// runs out, a run cannot be read back or `emit` returns false. Throws
// nothing of its own. A list whose runs were merged completely has given
// them back and cannot be emitted again (false).
bool EmitSortedRecords(RecordList& list, const std::function<bool(std::string_view)>& emit);

// Releases the list, which may be absent, and its spill file. Always 0.
int FreeRecordList(std::unique_ptr<RecordList>& records);

}  // namespace korvadex

#endif  // KORVADEX_OUTPUT_RECORD_LIST_H_
