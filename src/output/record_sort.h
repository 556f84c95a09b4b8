// Puts the records of a store into ascending byte order: a sort index of
// eight-byte keys, sorted on one core or shared with the writing on two.
#ifndef KORVADEX_OUTPUT_RECORD_SORT_H_
#define KORVADEX_OUTPUT_RECORD_SORT_H_

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <iterator>
#include <optional>
#include <string_view>
#include <vector>

#include "output/record_store.h"

namespace korvadex {

// Unsigned byte order; a text that begins a longer one sorts first. -1, 0 or 1.
int CompareRecords(std::string_view first, std::string_view second);

// One entry of the sort index: eight bytes of the record as a big-endian
// number, so most comparisons are one integer compare, and the record number.
// Packed to 12 bytes: the index costs memory for every record held.
#pragma pack(push, 4)
struct SortEntry {
  std::uint64_t key;
  std::uint32_t index;
};
#pragma pack(pop)

// A read-only view of the records of a store in one order: by an index, or
// as they arrived. Valid while the store and the index are left as they are.
class SortedView {
 public:
  class Iterator {
   public:
    using iterator_category = std::forward_iterator_tag;
    using value_type = std::string_view;
    using difference_type = std::ptrdiff_t;
    using pointer = void;
    using reference = std::string_view;

    Iterator() = default;
    Iterator(const SortedView* view, std::size_t position) : view_(view), position_(position) {}
    std::string_view operator*() const { return (*view_)[position_]; }
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
    const SortedView* view_ = nullptr;
    std::size_t position_ = 0;
  };

  // The records of `store` in the order of `order`, or as they arrived when it is null.
  SortedView(const RecordStore& store, const SortEntry* order) : store_(&store), order_(order) {}

  std::size_t size() const { return store_->count(); }
  bool empty() const { return size() == 0; }
  std::string_view operator[](std::size_t position) const {
    return (*store_)[order_ == nullptr ? position : order_[position].index];
  }
  Iterator begin() const { return Iterator(this, 0); }
  Iterator end() const { return Iterator(this, size()); }

  // Calls `emit` with the records at positions [from, to); false as soon as it returns false.
  bool Emit(std::size_t from, std::size_t to, const std::function<bool(std::string_view)>& emit) const;

 private:
  const RecordStore* store_;
  const SortEntry* order_;
};

// The order of the records a store holds: their arrival order as long as
// that is ascending, else a sort index built when asked for. It must be told
// of every record the store takes.
class RecordOrder {
 public:
  RecordOrder() = default;
  RecordOrder(const RecordOrder&) = delete;
  RecordOrder& operator=(const RecordOrder&) = delete;

  // Notes the record just added as the last of `store`. A sorted order that
  // grows shows arrival order again until the next Sort.
  void NoteAdded(const RecordStore& store);

  // Sorts the records of `store`; equal records all stay. Throws std::bad_alloc.
  void Sort(const RecordStore& store);

  // The records of `store`: sorted after Sort, as they arrived before.
  SortedView view(const RecordStore& store) const {
    return SortedView(store, order_.empty() ? nullptr : order_.data());
  }

  // Sorts the records of `store` and emits them with a helper thread's help,
  // which sorts part after part while the parts already sorted are emitted.
  // Whether every record was emitted; nothing, having emitted nothing, when
  // they are too few to be worth it, already in order, or no helper thread
  // can be had: Sort and the view then do it on one core. Throws std::bad_alloc.
  std::optional<bool> SortAndEmitInParallel(const RecordStore& store,
                                            const std::function<bool(std::string_view)>& emit);

  // Bytes the index takes with room for one entry per record of `count`.
  std::size_t MemoryFor(std::size_t count) const {
    return std::max(order_.capacity(), count) * sizeof(SortEntry);
  }

  // Forgets the order, for a store that was cleared; keeps the index's memory.
  void Clear();

  // Forgets the order and gives the index's memory back.
  void Release();

 private:
  void BuildEntries(const RecordStore& store);

  std::vector<SortEntry> order_;  // the sorted order; empty means arrival order
  bool isSorted_ = true;          // the view is in CompareRecords order
};

}  // namespace korvadex

#endif  // KORVADEX_OUTPUT_RECORD_SORT_H_
