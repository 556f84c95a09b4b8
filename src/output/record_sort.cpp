// Puts the records of a store into ascending byte order: a sort index of
// eight-byte keys, sorted on one core or shared with the writing on two.
#include "output/record_sort.h"

#include <atomic>
#include <bit>
#include <cstring>
#include <exception>
#include <system_error>
#include <thread>
#include <utility>

namespace korvadex {

namespace {

// How many records ahead of use their bytes are requested from memory.
constexpr std::size_t kPrefetchDistance = 8;
// Below this many records a helper thread costs more than it saves.
constexpr std::size_t kParallelMinimum = std::size_t{1} << 16;

// Bytes [depth, depth + 8) of `record` as a big-endian number, zero beyond its end.
std::uint64_t KeyAt(std::string_view record, std::size_t depth) {
  unsigned char bytes[8] = {};
  if (depth < record.size()) {
    std::memcpy(bytes, record.data() + depth, std::min<std::size_t>(8, record.size() - depth));
  }
  std::uint64_t key;
  std::memcpy(&key, bytes, sizeof key);
  static_assert(std::endian::native == std::endian::little, "keys are built for little-endian hosts");
  return __builtin_bswap64(key);
}

void SortEntries(const RecordStore& store, SortEntry* first, SortEntry* last, std::size_t depth);

std::size_t KeyByte(const SortEntry& entry, int byteIndex) {
  return static_cast<std::size_t>((entry.key >> (56 - 8 * byteIndex)) & 0xFF);
}

// Counts the entries by key byte `byteIndex`; false when they all share it.
bool CountByByte(const SortEntry* first, const SortEntry* last, int byteIndex, std::size_t (&counts)[256]) {
  std::fill(std::begin(counts), std::end(counts), std::size_t{0});
  for (const SortEntry* entry = first; entry != last; ++entry) ++counts[KeyByte(*entry, byteIndex)];
  return counts[KeyByte(*first, byteIndex)] != static_cast<std::size_t>(last - first);
}

// Moves the entries, in place, into the buckets that `counts` describes, in
// ascending order of key byte `byteIndex`; `ends` receives each bucket's end.
void DistributeByByte(SortEntry* first, int byteIndex, const std::size_t (&counts)[256],
                      std::ptrdiff_t (&ends)[256]) {
  std::ptrdiff_t heads[256];
  std::ptrdiff_t offset = 0;
  for (std::size_t b = 0; b < 256; ++b) {
    heads[b] = offset;
    offset += static_cast<std::ptrdiff_t>(counts[b]);
    ends[b] = offset;
  }
  // Each entry is swapped straight into the bucket its byte names.
  for (std::size_t b = 0; b < 256; ++b) {
    while (heads[b] < ends[b]) {
      SortEntry entry = first[heads[b]];
      std::size_t d = KeyByte(entry, byteIndex);
      while (d != b) {
        std::swap(entry, first[heads[d]++]);
        d = KeyByte(entry, byteIndex);
      }
      first[heads[b]++] = entry;
    }
  }
}

// Sorts entries by key, one byte at a time from the most significant, moving
// them in place; bytes that all entries share cost one counting pass. Small
// ranges go to std::sort, which is faster there.
void SortByKey(SortEntry* first, SortEntry* last, int byteIndex) {
  constexpr std::ptrdiff_t kSmallRange = 128;
  const std::ptrdiff_t count = last - first;
  if (count < kSmallRange || byteIndex == 8) {
    std::sort(first, last, [](const SortEntry& a, const SortEntry& b) { return a.key < b.key; });
    return;
  }
  std::size_t counts[256];
  if (!CountByByte(first, last, byteIndex, counts)) {
    SortByKey(first, last, byteIndex + 1);
    return;
  }
  std::ptrdiff_t ends[256];
  DistributeByByte(first, byteIndex, counts, ends);
  std::ptrdiff_t start = 0;
  for (std::size_t b = 0; b < 256; ++b) {
    const std::ptrdiff_t end = ends[b];
    if (end - start > 1) SortByKey(first + start, first + end, byteIndex + 1);
    start = end;
  }
}

// Orders entries whose keys at `depth` are equal. A record that ends within
// these eight bytes is a prefix of every longer one here (the key pads with
// zeros), so the ended ones come first, shortest first; the rest are ordered
// by their next eight bytes.
void ResolveTies(const RecordStore& store, SortEntry* first, SortEntry* last, std::size_t depth) {
  const std::size_t next = depth + 8;
  SortEntry* longer = std::partition(first, last, [&](const SortEntry& entry) {
    return store[entry.index].size() <= next;
  });
  std::sort(first, longer, [&](const SortEntry& a, const SortEntry& b) {
    return store[a.index].size() < store[b.index].size();
  });
  if (last - longer < 2) return;
  for (SortEntry* entry = longer; entry != last; ++entry) {
    if (last - entry > static_cast<std::ptrdiff_t>(kPrefetchDistance)) {
      __builtin_prefetch(store[entry[kPrefetchDistance].index].data() + next);
    }
    entry->key = KeyAt(store[entry->index], next);
  }
  SortEntries(store, longer, last, next);
}

// Sorts by eight bytes at a time: the records are touched once per level
// instead of once per comparison, which keeps the sort out of cache misses.
void SortEntries(const RecordStore& store, SortEntry* first, SortEntry* last, std::size_t depth) {
  if (last - first < 2) return;
  // Many equal records (one value in every row) would otherwise be sorted
  // again at every level for nothing.
  const std::uint64_t firstKey = first->key;
  if (std::all_of(first + 1, last, [firstKey](const SortEntry& entry) { return entry.key == firstKey; })) {
    ResolveTies(store, first, last, depth);
    return;
  }
  SortByKey(first, last, 0);
  for (SortEntry* run = first; run != last;) {
    SortEntry* end = run + 1;
    while (end != last && end->key == run->key) ++end;
    if (end - run > 1) ResolveTies(store, run, end, depth);
    run = end;
  }
}

// A stretch of the index that can be sorted on its own: every entry in it
// sorts after every entry of the stretches before it.
struct SortPart {
  SortEntry* first;
  SortEntry* last;
};

// Splits [first, last) into parts of at most `limit` entries where the keys
// allow it, bucketing by one key byte after the other; the parts come out in
// ascending order.
void SplitIntoParts(SortEntry* first, SortEntry* last, int byteIndex, std::ptrdiff_t limit,
                    std::vector<SortPart>& parts) {
  std::size_t counts[256];
  while (last - first > limit && byteIndex < 8 && !CountByByte(first, last, byteIndex, counts)) ++byteIndex;
  if (last - first <= limit || byteIndex == 8) {
    parts.push_back(SortPart{first, last});
    return;
  }
  std::ptrdiff_t ends[256];
  DistributeByByte(first, byteIndex, counts, ends);
  std::ptrdiff_t start = 0;
  for (std::size_t b = 0; b < 256; ++b) {
    if (ends[b] > start) SplitIntoParts(first + start, first + ends[b], byteIndex + 1, limit, parts);
    start = ends[b];
  }
}

}  // namespace

int CompareRecords(std::string_view first, std::string_view second) {
  const std::size_t common = std::min(first.size(), second.size());
  const int byteOrder = common == 0 ? 0 : std::memcmp(first.data(), second.data(), common);
  if (byteOrder != 0) return byteOrder < 0 ? -1 : 1;
  if (first.size() == second.size()) return 0;
  return first.size() < second.size() ? -1 : 1;
}

// The sorted order visits the blocks at random; asking for the bytes a few
// records ahead hides most of the memory latency.
bool SortedView::Emit(std::size_t from, std::size_t to, const std::function<bool(std::string_view)>& emit) const {
  for (std::size_t i = from; i < to; ++i) {
    const std::string_view ahead = i + kPrefetchDistance < to ? (*this)[i + kPrefetchDistance] : std::string_view();
    if (!ahead.empty()) {
      __builtin_prefetch(ahead.data());
      __builtin_prefetch(ahead.data() + ahead.size() / 2);
      __builtin_prefetch(ahead.data() + ahead.size() - 1);
    }
    if (!emit((*this)[i])) return false;
  }
  return true;
}

void RecordOrder::NoteAdded(const RecordStore& store) {
  if (!order_.empty()) {
    order_.clear();
    isSorted_ = false;
    return;
  }
  const std::size_t count = store.count();
  if (isSorted_ && count >= 2 && CompareRecords(store[count - 2], store[count - 1]) > 0) isSorted_ = false;
}

// Fills the index with one entry per record, in arrival order. Reading the
// first bytes of every record waits on memory, so a large store has its
// second half done on a helper thread, when one can be had, and two cores
// wait side by side. Throws std::bad_alloc.
void RecordOrder::BuildEntries(const RecordStore& store) {
  const std::size_t count = store.count();
  // Freed first when too small: growing it would hold the old and the new at once.
  if (order_.capacity() < count) std::vector<SortEntry>().swap(order_);
  order_.clear();
  order_.resize(count);
  auto build = [this, &store](std::size_t from, std::size_t to) {
    for (std::size_t i = from; i < to; ++i) {
      order_[i] = SortEntry{KeyAt(store[i], store.sharedPrefix()), static_cast<std::uint32_t>(i)};
    }
  };
  const std::size_t half = count >= kParallelMinimum ? count / 2 : count;
  std::thread helper;
  if (half < count) {
    try {
      helper = std::thread(build, half, count);
    } catch (const std::system_error&) {
      build(half, count);
    }
  }
  build(0, half);
  if (helper.joinable()) helper.join();
}

void RecordOrder::Sort(const RecordStore& store) {
  if (isSorted_) return;
  BuildEntries(store);
  SortEntries(store, order_.data(), order_.data() + order_.size(), store.sharedPrefix());
  isSorted_ = true;
}

// The index is split into parts by its leading key bytes, the helper sorts
// the parts in ascending order, and each part is emitted as soon as it is
// sorted, so writing overlaps most of the sort.
std::optional<bool> RecordOrder::SortAndEmitInParallel(const RecordStore& store,
                                                       const std::function<bool(std::string_view)>& emit) {
  if (isSorted_ || store.count() < kParallelMinimum) return std::nullopt;
  BuildEntries(store);
  SortEntry* const first = order_.data();
  SortEntry* const last = first + order_.size();
  // Small enough parts that the first one is sorted soon and the writer
  // rarely waits, large enough that each is worth a hand-over.
  constexpr std::ptrdiff_t kPartsPerList = 32;
  std::vector<SortPart> parts;
  SplitIntoParts(first, last, 0, std::max<std::ptrdiff_t>((last - first) / kPartsPerList, 4096), parts);
  const auto partCount = static_cast<std::uint32_t>(parts.size());

  std::atomic<std::uint32_t> sortedParts{0};  // parts sorted; all of them also when the helper stopped
  std::atomic<bool> isCancelled{false};
  std::atomic<bool> hasFailed{false};
  std::exception_ptr failure;  // the helper's; read only after joining it
  const std::size_t depth = store.sharedPrefix();
  auto sortParts = [&] {
    try {
      for (std::uint32_t p = 0; p < partCount && !isCancelled.load(std::memory_order_relaxed); ++p) {
        SortEntries(store, parts[p].first, parts[p].last, depth);
        sortedParts.store(p + 1, std::memory_order_release);
        sortedParts.notify_one();
      }
    } catch (...) {
      failure = std::current_exception();
      hasFailed.store(true, std::memory_order_relaxed);
    }
    sortedParts.store(partCount, std::memory_order_release);
    sortedParts.notify_one();
  };
  std::thread helper;
  try {
    helper = std::thread(sortParts);
  } catch (const std::system_error&) {
    order_.clear();
    return std::nullopt;
  }

  bool isComplete = true;
  {
    // However the writing ends, even by an exception, the helper is stopped
    // and joined before anything else touches the index.
    struct Joiner {
      std::thread& thread;
      std::atomic<bool>& isCancelled;
      ~Joiner() {
        isCancelled.store(true, std::memory_order_relaxed);
        thread.join();
      }
    } joiner{helper, isCancelled};
    const SortedView sorted = view(store);
    for (std::uint32_t p = 0; p < partCount && isComplete; ++p) {
      for (std::uint32_t done = sortedParts.load(std::memory_order_acquire); done <= p;
           done = sortedParts.load(std::memory_order_acquire)) {
        sortedParts.wait(done, std::memory_order_acquire);
      }
      if (hasFailed.load(std::memory_order_relaxed)) break;
      isComplete = sorted.Emit(static_cast<std::size_t>(parts[p].first - first),
                               static_cast<std::size_t>(parts[p].last - first), emit);
    }
  }
  if (failure) std::rethrow_exception(failure);
  isSorted_ = isComplete;
  if (!isComplete) order_.clear();
  return isComplete;
}

void RecordOrder::Clear() {
  order_.clear();
  isSorted_ = true;
}

void RecordOrder::Release() {
  std::vector<SortEntry>().swap(order_);
  isSorted_ = true;
}

}  // namespace korvadex
