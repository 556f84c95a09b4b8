// Collects the records of a run and puts them into ascending byte order,
// spilling sorted runs to a temporary file when they outgrow a memory budget.
#ifndef KORVADEX_OUTPUT_RECORD_LIST_H_
#define KORVADEX_OUTPUT_RECORD_LIST_H_

#include <cstddef>
#include <cstdint>
#include <functional>
#include <iterator>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace korvadex {

struct RecordList;

// A read-only view of the records a list holds in memory: in the order they
// were added until SortRecords, in ascending byte order after it.
class RecordLines {
 public:
  class Iterator {
   public:
    using iterator_category = std::forward_iterator_tag;
    using value_type = std::string_view;
    using difference_type = std::ptrdiff_t;
    using pointer = void;
    using reference = std::string_view;

    Iterator() = default;
    Iterator(const RecordLines* lines, std::size_t position) : lines_(lines), position_(position) {}
    std::string_view operator*() const { return (*lines_)[position_]; }
    Iterator& operator++() {
      ++position_;
      return *this;
    }
    Iterator operator++(int) {
      Iterator before = *this;
      ++position_;
      return before;
    }
    bool operator==(const Iterator& other) const { return position_ == other.position_; }

   private:
    const RecordLines* lines_ = nullptr;
    std::size_t position_ = 0;
  };

  explicit RecordLines(const RecordList& list) : list_(list) {}
  RecordLines(const RecordLines&) = delete;
  RecordLines& operator=(const RecordLines&) = delete;

  std::size_t size() const;
  bool empty() const { return size() == 0; }
  std::string_view operator[](std::size_t position) const;
  Iterator begin() const { return Iterator(this, 0); }
  Iterator end() const { return Iterator(this, size()); }

 private:
  const RecordList& list_;
};

// One entry of the sort index: eight bytes of the record as a big-endian
// number, so most comparisons are one integer compare, and the record number.
// Packed to 12 bytes: the index costs memory for every record held.
#pragma pack(push, 4)
struct SortEntry {
  std::uint64_t key;
  std::uint32_t index;
};
#pragma pack(pop)

// One sorted run in the spill file: where it starts, its bytes and records.
struct SpillRun {
  std::uint64_t offset = 0;
  std::uint64_t byteCount = 0;
  std::uint64_t recordCount = 0;
};

// Bytes of memory the held records may take, their blocks and sort index
// included, before they go to disk as a sorted run, when the process may
// still allocate `available` bytes: a quarter of it, at least 8 MiB, at most 1 GiB.
std::size_t MemoryBudgetFor(std::uint64_t available);

// MemoryBudgetFor what the process may allocate now (AvailableMemory).
std::size_t DefaultMemoryBudget();

// The records of one run. They are stored in large blocks rather than one
// heap copy each and sorted once before writing; nothing reads them earlier,
// so the file is the same as if every insertion had kept them sorted.
// Not copyable or movable: `lines` refers to the list itself.
struct RecordList {
  // The budget is worked out when the first record arrives: by then the
  // threads and database buffers of the run take their share of any limit.
  RecordList() = default;
  explicit RecordList(std::size_t budget) : memoryBudget(budget) {}
  ~RecordList();
  RecordList(const RecordList&) = delete;
  RecordList& operator=(const RecordList&) = delete;

  // All records added, those already spilled to disk included.
  std::int64_t count() const { return static_cast<std::int64_t>(spilledCount + heldCount); }

  std::size_t memoryBudget = 0;  // memory for held records before a spill; 0 until the first record
  std::string spillFolder;   // folder for the spill file, best the target's; empty: the system's
  RecordLines lines{*this};  // the records held in memory (all of them unless spilled)
  std::uint64_t byteCount = 0;  // sum of the lengths of all records added

  // Storage of the held records.
  struct BlockFree {
    void operator()(char* block) const;
  };
  std::vector<std::unique_ptr<char, BlockFree>> blocks;  // kept for reuse after a spill
  std::vector<std::size_t> blockSizes;          // size of each block
  std::size_t blockBytes = 0;                   // sum of blockSizes
  std::size_t blocksInUse = 0;                  // blocks holding records of this run
  std::size_t blockUsed = 0;                    // bytes used in the last block in use
  std::size_t heldCount = 0;                    // records held in memory
  std::size_t heldBytes = 0;                    // memory they take: blocks, views, sort index
  // While every held record has the same length (the normal case: one job
  // gives fixed-width records) record i sits at a computed place and needs no
  // index of its own; `views` is filled only once two lengths differ.
  bool hasUniformLength = true;
  std::size_t recordLength = 0;    // the common length while uniform
  std::size_t recordsPerBlock = 0; // how many of them one block holds
  std::vector<std::string_view> views;
  std::vector<SortEntry> order;    // the sorted order; empty means insertion order
  bool isSorted = true;            // the held records are in CompareRecords order
  // Bytes at the start that every held record shares (a zero-filled number
  // column shares its leading zeros); the sort keys begin after them, so
  // they do not waste key bytes that would otherwise tell records apart.
  std::size_t commonPrefix = 0;

  // Spilled runs; the file has no name, so it vanishes with its descriptor.
  int spillFd = -1;
  std::uint64_t spillEnd = 0;
  std::vector<SpillRun> runs;
  std::uint64_t spilledCount = 0;
  // A record found no memory or a run could not be written: the records are
  // incomplete, all memory and the spill file are given back, nothing more is added.
  bool hasSpillFailed = false;
};

// Adds a copy of `record`, creating the list on first use. Returns 1 when the
// record was added and 0 when it could not be held (no memory for it, or its
// run could not be spilled) or an earlier record could not: the list is then
// incomplete for good (`hasSpillFailed`). Never throws.
int AddRecord(std::unique_ptr<RecordList>& records, std::string_view record);

// Unsigned byte order; a text that begins a longer one sorts first. -1, 0 or 1.
int CompareRecords(std::string_view first, std::string_view second);

// Puts the held records (`lines`) into ascending CompareRecords order; equal
// records all stay.
void SortRecords(RecordList& list);

// Calls `emit` with every record of the list in ascending order, merging the
// spilled runs with the held records. False when the list is incomplete, memory
// runs out, a run cannot be read back or `emit` returns false. Never throws.
bool EmitSortedRecords(RecordList& list, const std::function<bool(std::string_view)>& emit);

// Releases the list, which may be absent, and its spill file. Always 0.
int FreeRecordList(std::unique_ptr<RecordList>& records);

}  // namespace korvadex

#endif  // KORVADEX_OUTPUT_RECORD_LIST_H_
