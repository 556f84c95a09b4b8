// Collects the records of a run and puts them into ascending byte order,
// spilling sorted runs to a temporary file when they outgrow a memory budget.
#include "output/record_list.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <bit>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <new>
#include <optional>
#include <system_error>
#include <thread>
#include <utility>

#include "output/file_io.h"
#include "platform/memory_limit.h"

namespace korvadex {

namespace {

constexpr std::size_t kMaxBlockBytes = std::size_t{4} << 20;
// How many records ahead of use their bytes are requested from memory.
constexpr std::size_t kPrefetchDistance = 8;
constexpr std::size_t kMinBudget = std::size_t{8} << 20;
constexpr std::size_t kMaxBudget = std::size_t{1} << 30;
constexpr std::size_t kSpillBufferBytes = std::size_t{1} << 20;
constexpr std::size_t kRunBufferBytes = std::size_t{1} << 20;
constexpr std::size_t kMinRunBufferBytes = std::size_t{16} << 10;
constexpr std::size_t kLengthBytes = sizeof(std::uint32_t);
// Below this many held records a helper thread for the sort costs more than it saves.
constexpr std::size_t kParallelSortMinimum = std::size_t{1} << 16;

// The record at `index` in insertion order.
std::string_view StoredRecord(const RecordList& list, std::size_t index) {
  if (!list.hasUniformLength) return list.views[index];
  if (list.recordLength == 0) return {};
  const char* block = list.blocks[index / list.recordsPerBlock].get();
  return {block + (index % list.recordsPerBlock) * list.recordLength, list.recordLength};
}

// The size of a storage block: a small part of the budget, so that what the
// last block leaves unused never weighs much, and at most 4 MiB.
std::size_t BlockBytes(const RecordList& list) {
  return std::clamp<std::size_t>(list.memoryBudget / 8, 1, kMaxBlockBytes);
}

// Where the next record goes and what has to be allocated for it first.
// AddRecord charges that against the budget before StoreRecord allocates it.
struct Placement {
  bool startsRun = false;        // no record held yet: this one's length sets the layout
  bool switchesToViews = false;  // a record of another length ends the uniform layout
  std::size_t recordsPerBlock = 0;  // of the uniform layout, once it is set
  std::size_t blockSize = 0;     // nonzero: block `blocksInUse` must first be claimed this large
  std::size_t viewCapacity = 0;  // nonzero: `views` must first grow to this capacity
};

Placement PlaceRecord(const RecordList& list, std::size_t size) {
  Placement place;
  place.startsRun = list.heldCount == 0;
  if (place.startsRun || (list.hasUniformLength && size == list.recordLength)) {
    place.recordsPerBlock = !place.startsRun ? list.recordsPerBlock
                            : size == 0      ? 1
                                             : std::max<std::size_t>(1, BlockBytes(list) / size);
    if (size > 0 && list.heldCount % place.recordsPerBlock == 0) place.blockSize = place.recordsPerBlock * size;
    return place;
  }
  place.switchesToViews = list.hasUniformLength;
  if (place.switchesToViews) {
    place.viewCapacity = list.heldCount + 1;
  } else if (list.views.size() == list.views.capacity()) {
    place.viewCapacity = 2 * list.views.capacity();
  }
  if (size > 0 && (list.blocksInUse == 0 || list.blockSizes[list.blocksInUse - 1] - list.blockUsed < size)) {
    place.blockSize = std::max(BlockBytes(list), size);
  }
  return place;
}

// Bytes that storing a record at `place` adds to what the list holds.
std::size_t PlacementGrowth(const RecordList& list, const Placement& place) {
  std::size_t growth = 0;
  if (place.blockSize > 0) {
    const std::size_t reusable = list.blocksInUse < list.blocks.size() ? list.blockSizes[list.blocksInUse] : 0;
    growth += place.blockSize - std::min(place.blockSize, reusable);
  }
  if (place.viewCapacity > list.views.capacity()) {
    growth += (place.viewCapacity - list.views.capacity()) * sizeof(std::string_view);
  }
  return growth;
}

// What the held records take: their blocks (those kept from before a spill
// too), views and sort index, the index as large as one entry per record.
std::size_t HeldMemory(const RecordList& list, std::size_t recordCount) {
  return list.blockBytes + list.views.capacity() * sizeof(std::string_view) +
         std::max(list.order.capacity(), recordCount) * sizeof(SortEntry);
}

// Makes block `blocksInUse` at least `size` bytes, reusing a block left from
// before a spill when it is big enough. Throws std::bad_alloc with the list unchanged.
void ClaimBlock(RecordList& list, std::size_t size) {
  const std::size_t index = list.blocksInUse;
  if (index < list.blocks.size() && list.blockSizes[index] >= size) return;
  // Untouched pages of a block cost no memory, so blocks are not sized to fit.
  // Plain pages on purpose: huge pages were measured slower here, since each
  // fault clears 2 MiB of fresh memory.
  if (index >= list.blocks.size()) {
    list.blocks.reserve(index + 1);
    list.blockSizes.reserve(index + 1);
  }
  std::unique_ptr<char, RecordList::BlockFree> block(static_cast<char*>(std::malloc(size)));
  if (!block) throw std::bad_alloc();
  if (index < list.blocks.size()) {
    list.blockBytes -= list.blockSizes[index];
    list.blocks[index] = std::move(block);
    list.blockSizes[index] = size;
  } else {
    list.blocks.push_back(std::move(block));
    list.blockSizes.push_back(size);
  }
  list.blockBytes += size;
}

// Gives every held record a view of its own, for when a record of another
// length arrives. Throws std::bad_alloc with the list unchanged.
void SwitchToViews(RecordList& list, std::size_t capacity) {
  std::vector<std::string_view> views;
  views.reserve(capacity);
  for (std::size_t i = 0; i < list.heldCount; ++i) views.push_back(StoredRecord(list, i));
  list.views = std::move(views);
  list.hasUniformLength = false;
}

// Copies `record` into the blocks at `place`; throws std::bad_alloc with the
// list unchanged.
void StoreRecord(RecordList& list, std::string_view record, const Placement& place) {
  if (place.blockSize > 0) ClaimBlock(list, place.blockSize);
  if (place.switchesToViews) {
    SwitchToViews(list, place.viewCapacity);
  } else if (place.viewCapacity > 0) {
    list.views.reserve(place.viewCapacity);
  }
  if (place.startsRun) {
    list.hasUniformLength = true;
    list.recordLength = record.size();
    list.recordsPerBlock = place.recordsPerBlock;
  }
  if (place.blockSize > 0) {
    ++list.blocksInUse;
    list.blockUsed = 0;
  }
  char* target = nullptr;
  if (!record.empty()) {
    target = list.blocks[list.blocksInUse - 1].get() + list.blockUsed;
    std::memcpy(target, record.data(), record.size());
    list.blockUsed += record.size();
  }
  if (!list.hasUniformLength) list.views.emplace_back(target, record.size());
  ++list.heldCount;
}

// How many leading bytes, up to `limit`, `first` and `second` have in common.
std::size_t SharedLength(std::string_view first, std::string_view second, std::size_t limit) {
  limit = std::min({limit, first.size(), second.size()});
  std::size_t length = 0;
  while (length < limit && first[length] == second[length]) ++length;
  return length;
}

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

void SortEntries(const RecordList& list, SortEntry* first, SortEntry* last, std::size_t depth);

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
void ResolveTies(const RecordList& list, SortEntry* first, SortEntry* last, std::size_t depth) {
  const std::size_t next = depth + 8;
  SortEntry* longer = std::partition(first, last, [&](const SortEntry& entry) {
    return StoredRecord(list, entry.index).size() <= next;
  });
  std::sort(first, longer, [&](const SortEntry& a, const SortEntry& b) {
    return StoredRecord(list, a.index).size() < StoredRecord(list, b.index).size();
  });
  if (last - longer < 2) return;
  for (SortEntry* entry = longer; entry != last; ++entry) {
    if (last - entry > static_cast<std::ptrdiff_t>(kPrefetchDistance)) {
      __builtin_prefetch(StoredRecord(list, entry[kPrefetchDistance].index).data() + next);
    }
    entry->key = KeyAt(StoredRecord(list, entry->index), next);
  }
  SortEntries(list, longer, last, next);
}

// Sorts by eight bytes at a time: the records are touched once per level
// instead of once per comparison, which keeps the sort out of cache misses.
void SortEntries(const RecordList& list, SortEntry* first, SortEntry* last, std::size_t depth) {
  if (last - first < 2) return;
  // Many equal records (one value in every row) would otherwise be sorted
  // again at every level for nothing.
  const std::uint64_t firstKey = first->key;
  if (std::all_of(first + 1, last, [firstKey](const SortEntry& entry) { return entry.key == firstKey; })) {
    ResolveTies(list, first, last, depth);
    return;
  }
  SortByKey(first, last, 0);
  for (SortEntry* run = first; run != last;) {
    SortEntry* end = run + 1;
    while (end != last && end->key == run->key) ++end;
    if (end - run > 1) ResolveTies(list, run, end, depth);
    run = end;
  }
}

// Fills `order` with one sort entry per held record, in insertion order.
// Reading the first bytes of every record waits on memory, so a large list
// has its second half done on a helper thread, when one can be had, and two
// cores wait side by side. Throws std::bad_alloc.
void BuildSortEntries(RecordList& list) {
  // Freed first when too small: growing it would hold the old and the new at once.
  if (list.order.capacity() < list.heldCount) std::vector<SortEntry>().swap(list.order);
  list.order.clear();
  list.order.resize(list.heldCount);
  auto build = [&list](std::size_t from, std::size_t to) {
    for (std::size_t i = from; i < to; ++i) {
      list.order[i] = SortEntry{KeyAt(StoredRecord(list, i), list.commonPrefix), static_cast<std::uint32_t>(i)};
    }
  };
  const std::size_t half = list.heldCount >= kParallelSortMinimum ? list.heldCount / 2 : list.heldCount;
  std::thread helper;
  if (half < list.heldCount) {
    try {
      helper = std::thread(build, half, list.heldCount);
    } catch (const std::system_error&) {
      build(half, list.heldCount);
    }
  }
  build(0, half);
  if (helper.joinable()) helper.join();
}

// Sorts the held records; throws std::bad_alloc when the index finds no memory.
void SortHeld(RecordList& list) {
  if (list.isSorted) return;
  BuildSortEntries(list);
  SortEntries(list, list.order.data(), list.order.data() + list.order.size(), list.commonPrefix);
  list.isSorted = true;
}

// The held record at `position` of the current order.
std::string_view HeldRecord(const RecordList& list, std::size_t position) {
  return StoredRecord(list, list.order.empty() ? position : list.order[position].index);
}

// Emits the held records at positions [from, to) of the current order. The
// sorted order visits the blocks at random; asking for the bytes a few
// records ahead hides most of the memory latency.
bool EmitHeld(const RecordList& list, std::size_t from, std::size_t to,
              const std::function<bool(std::string_view)>& emit) {
  for (std::size_t i = from; i < to; ++i) {
    const std::string_view ahead = i + kPrefetchDistance < to ? HeldRecord(list, i + kPrefetchDistance) : std::string_view();
    if (!ahead.empty()) {
      __builtin_prefetch(ahead.data());
      __builtin_prefetch(ahead.data() + ahead.size() / 2);
      __builtin_prefetch(ahead.data() + ahead.size() - 1);
    }
    if (!emit(HeldRecord(list, i))) return false;
  }
  return true;
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

// Sorts the held records and emits them with the second core's help: the
// index is split into parts by its leading key bytes, a helper thread sorts
// the parts in ascending order, and each part is emitted as soon as it is
// sorted, so writing overlaps most of the sort. Returns whether every record
// was emitted, or nothing, having emitted nothing, when no helper thread can
// be had; the caller then sorts on its own. Throws std::bad_alloc.
std::optional<bool> SortAndEmitInParallel(RecordList& list, const std::function<bool(std::string_view)>& emit) {
  BuildSortEntries(list);
  SortEntry* const first = list.order.data();
  SortEntry* const last = first + list.order.size();
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
  const std::size_t depth = list.commonPrefix;
  auto sortParts = [&] {
    try {
      for (std::uint32_t p = 0; p < partCount && !isCancelled.load(std::memory_order_relaxed); ++p) {
        SortEntries(list, parts[p].first, parts[p].last, depth);
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
    list.order.clear();
    return std::nullopt;
  }

  bool isComplete = true;
  {
    // However the writing ends, even by an exception, the helper is stopped
    // and joined before anything else touches the list's index.
    struct Joiner {
      std::thread& thread;
      std::atomic<bool>& isCancelled;
      ~Joiner() {
        isCancelled.store(true, std::memory_order_relaxed);
        thread.join();
      }
    } joiner{helper, isCancelled};
    for (std::uint32_t p = 0; p < partCount && isComplete; ++p) {
      for (std::uint32_t done = sortedParts.load(std::memory_order_acquire); done <= p;
           done = sortedParts.load(std::memory_order_acquire)) {
        sortedParts.wait(done, std::memory_order_acquire);
      }
      if (hasFailed.load(std::memory_order_relaxed)) break;
      isComplete = EmitHeld(list, static_cast<std::size_t>(parts[p].first - first),
                            static_cast<std::size_t>(parts[p].last - first), emit);
    }
  }
  if (failure) std::rethrow_exception(failure);
  list.isSorted = isComplete;
  if (!isComplete) list.order.clear();
  return isComplete;
}

// Forgets the held records but keeps the blocks and the index for the next run.
void ClearHeld(RecordList& list) {
  list.heldCount = 0;
  list.blocksInUse = 0;
  list.blockUsed = 0;
  list.hasUniformLength = true;
  list.recordLength = 0;
  std::vector<std::string_view>().swap(list.views);
  list.order.clear();
  list.isSorted = true;
  list.commonPrefix = 0;
  list.heldBytes = HeldMemory(list, 0);
}

// Marks the list incomplete for good and gives back its memory and spill
// file: the run cannot be written any more, but it still has to report so.
void GiveUp(RecordList& list) {
  list.hasSpillFailed = true;
  ClearHeld(list);
  std::vector<std::unique_ptr<char, RecordList::BlockFree>>().swap(list.blocks);
  std::vector<std::size_t>().swap(list.blockSizes);
  list.blockBytes = 0;
  std::vector<SortEntry>().swap(list.order);
  std::vector<SpillRun>().swap(list.runs);
  list.heldBytes = 0;
  if (list.spillFd >= 0) ::close(list.spillFd);
  list.spillFd = -1;
}

// A file without a name, so that nothing is left behind however the run ends:
// O_TMPFILE where the file system has it, else a named file unlinked at once.
int OpenSpillFile(const std::string& folder) {
  int fd = ::open(folder.c_str(), O_TMPFILE | O_RDWR | O_CLOEXEC, 0600);
  if (fd >= 0) return fd;
  std::string pattern = folder + "/.korvadex-spill-XXXXXX";
  fd = ::mkostemp(pattern.data(), O_CLOEXEC);
  if (fd >= 0) ::unlink(pattern.c_str());
  return fd;
}

bool EnsureSpillFile(RecordList& list) {
  if (list.spillFd >= 0) return true;
  if (!list.spillFolder.empty()) list.spillFd = OpenSpillFile(list.spillFolder);
  if (list.spillFd < 0) list.spillFd = OpenSpillFile(P_tmpdir);
  return list.spillFd >= 0;
}

// Writes the held records as one sorted run, each preceded by its length,
// and empties the memory for the next run. False when any write fails.
bool SpillHeld(RecordList& list) {
  try {
    SortHeld(list);
    if (!EnsureSpillFile(list)) return false;
    auto buffer = std::make_unique_for_overwrite<char[]>(kSpillBufferBytes);
    std::size_t used = 0;
    SpillRun run{list.spillEnd, 0, list.heldCount};
    for (std::size_t i = 0; i < list.heldCount; ++i) {
      const std::string_view record = HeldRecord(list, i);
      const auto length = static_cast<std::uint32_t>(record.size());
      if (used + kLengthBytes + record.size() > kSpillBufferBytes) {
        if (!WriteAll(list.spillFd, buffer.get(), used)) return false;
        run.byteCount += used;
        used = 0;
      }
      if (kLengthBytes + record.size() > kSpillBufferBytes) {
        if (!WriteAll(list.spillFd, reinterpret_cast<const char*>(&length), kLengthBytes) ||
            !WriteAll(list.spillFd, record.data(), record.size())) {
          return false;
        }
        run.byteCount += kLengthBytes + record.size();
        continue;
      }
      std::memcpy(buffer.get() + used, &length, kLengthBytes);
      // An empty record's view may have no storage behind it at all.
      if (!record.empty()) std::memcpy(buffer.get() + used + kLengthBytes, record.data(), record.size());
      used += kLengthBytes + record.size();
    }
    if (!WriteAll(list.spillFd, buffer.get(), used)) return false;
    run.byteCount += used;
    list.runs.push_back(run);
    list.spillEnd += run.byteCount;
    list.spilledCount += list.heldCount;
    ClearHeld(list);
    return true;
  } catch (const std::bad_alloc&) {
    return false;
  }
}

// Reads one spilled run back, record by record, through a buffer of its own.
class RunReader {
 public:
  RunReader(int fd, const SpillRun& run, std::size_t bufferBytes)
      : fd_(fd),
        next_(run.offset),
        end_(run.offset + run.byteCount),
        capacity_(static_cast<std::size_t>(std::min<std::uint64_t>(
            bufferBytes, std::max<std::uint64_t>(run.byteCount, kLengthBytes)))),
        buffer_(std::make_unique_for_overwrite<char[]>(capacity_)) {}

  // Moves to the next record; false at the end of the run or on a read error
  // (then `failed()` is true). The record stays valid until the next call.
  bool Advance() {
    start_ += currentSize_;
    currentSize_ = 0;
    if (available() == 0 && next_ == end_) return false;
    std::uint32_t length = 0;
    if (!Ensure(kLengthBytes)) return false;
    std::memcpy(&length, buffer_.get() + start_, kLengthBytes);
    start_ += kLengthBytes;
    if (!Ensure(length)) return false;
    current_ = std::string_view(buffer_.get() + start_, length);
    currentSize_ = length;
    return true;
  }

  std::string_view current() const { return current_; }
  bool failed() const { return failed_; }

 private:
  std::size_t available() const { return filled_ - start_; }

  // Makes `size` bytes available from `start_`, growing the buffer for a
  // record larger than it.
  bool Ensure(std::size_t size) {
    if (available() >= size) return true;
    if (size > capacity_) {
      auto larger = std::make_unique_for_overwrite<char[]>(size);
      std::memcpy(larger.get(), buffer_.get() + start_, available());
      buffer_ = std::move(larger);
      capacity_ = size;
    } else {
      std::memmove(buffer_.get(), buffer_.get() + start_, available());
    }
    filled_ = available();
    start_ = 0;
    while (filled_ < size) {
      const std::size_t want =
          static_cast<std::size_t>(std::min<std::uint64_t>(capacity_ - filled_, end_ - next_));
      if (want == 0) return Fail();
      ssize_t got = ::pread(fd_, buffer_.get() + filled_, want, static_cast<off_t>(next_));
      if (got < 0 && errno == EINTR) continue;
      if (got <= 0) return Fail();
      filled_ += static_cast<std::size_t>(got);
      next_ += static_cast<std::uint64_t>(got);
    }
    return true;
  }

  bool Fail() {
    failed_ = true;
    return false;
  }

  int fd_;
  std::uint64_t next_;  // file offset of the next byte to read
  std::uint64_t end_;   // file offset just past the run
  std::size_t capacity_;
  std::unique_ptr<char[]> buffer_;
  std::size_t start_ = 0;   // first unread byte in the buffer
  std::size_t filled_ = 0;  // bytes of the buffer holding data
  std::string_view current_;
  std::size_t currentSize_ = 0;
  bool failed_ = false;
};

bool MergeRuns(RecordList& list, const std::function<bool(std::string_view)>& emit) {
  // The held records stay in memory beside the readers, so all the readers'
  // buffers together get an eighth of the budget.
  const std::size_t bufferBytes =
      std::clamp(list.memoryBudget / 8 / list.runs.size(), kMinRunBufferBytes, kRunBufferBytes);
  std::vector<RunReader> readers;
  readers.reserve(list.runs.size());
  for (const SpillRun& run : list.runs) readers.emplace_back(list.spillFd, run, bufferBytes);
  const std::size_t heldSource = readers.size();
  std::size_t heldPosition = 0;
  auto currentOf = [&](std::size_t source) {
    return source == heldSource ? HeldRecord(list, heldPosition) : readers[source].current();
  };
  // Advances `source`; false when it is used up, or when it failed (`ok` false).
  bool ok = true;
  auto advance = [&](std::size_t source, bool first) {
    if (source == heldSource) {
      if (!first) ++heldPosition;
      return heldPosition < list.heldCount;
    }
    if (readers[source].Advance()) return true;
    if (readers[source].failed()) ok = false;
    return false;
  };
  // A min-heap of sources by their current record.
  auto later = [&](std::size_t a, std::size_t b) { return CompareRecords(currentOf(a), currentOf(b)) > 0; };
  std::vector<std::size_t> heap;
  heap.reserve(readers.size() + 1);
  for (std::size_t source = 0; source <= heldSource; ++source) {
    if (advance(source, true)) heap.push_back(source);
    if (!ok) return false;
  }
  std::make_heap(heap.begin(), heap.end(), later);
  while (!heap.empty()) {
    std::pop_heap(heap.begin(), heap.end(), later);
    const std::size_t source = heap.back();
    if (!emit(currentOf(source))) return false;
    if (advance(source, false)) {
      std::push_heap(heap.begin(), heap.end(), later);
    } else {
      if (!ok) return false;
      heap.pop_back();
    }
  }
  return true;
}

}  // namespace

std::size_t RecordLines::size() const { return list_.heldCount; }

std::string_view RecordLines::operator[](std::size_t position) const {
  return HeldRecord(list_, position);
}

std::size_t MemoryBudgetFor(std::uint64_t available) {
  return static_cast<std::size_t>(std::clamp<std::uint64_t>(available / 4, kMinBudget, kMaxBudget));
}

std::size_t DefaultMemoryBudget() { return MemoryBudgetFor(AvailableMemory()); }

void RecordList::BlockFree::operator()(char* block) const { std::free(block); }

RecordList::~RecordList() {
  if (spillFd >= 0) ::close(spillFd);
}

int AddRecord(std::unique_ptr<RecordList>& records, std::string_view record) {
  try {
    if (!records) records = std::make_unique<RecordList>();
  } catch (const std::bad_alloc&) {
    return 0;
  }
  RecordList& list = *records;
  if (list.hasSpillFailed) return 0;
  try {
    if (list.memoryBudget == 0) list.memoryBudget = DefaultMemoryBudget();
    Placement place = PlaceRecord(list, record.size());
    // The index entry is charged now, so that sorting never goes over the budget.
    // The sort index numbers records with 32 bits, which also bounds a run.
    const bool isFull =
        HeldMemory(list, list.heldCount + 1) + PlacementGrowth(list, place) > list.memoryBudget ||
        list.heldCount == UINT32_MAX;
    if (list.heldCount > 0 && isFull) {
      if (!SpillHeld(list)) {
        GiveUp(list);
        return 0;
      }
      place = PlaceRecord(list, record.size());
    }
    if (!list.order.empty()) {
      // A sorted list that grows shows insertion order again until the next sort.
      list.order.clear();
      list.isSorted = false;
    }
    const bool staysSorted = !list.isSorted || list.heldCount == 0 ||
                             CompareRecords(StoredRecord(list, list.heldCount - 1), record) <= 0;
    StoreRecord(list, record, place);
    list.isSorted = list.isSorted && staysSorted;
    if (list.heldCount == 1) {
      list.commonPrefix = record.size();
    } else if (list.commonPrefix > 0) {
      list.commonPrefix = SharedLength(StoredRecord(list, 0), record, list.commonPrefix);
    }
    list.heldBytes = HeldMemory(list, list.heldCount);
    list.byteCount += record.size();
    return 1;
  } catch (const std::bad_alloc&) {
    // Records lost halfway through would make a file that looks complete.
    GiveUp(list);
    return 0;
  }
}

int CompareRecords(std::string_view first, std::string_view second) {
  const std::size_t common = std::min(first.size(), second.size());
  const int byteOrder = common == 0 ? 0 : std::memcmp(first.data(), second.data(), common);
  if (byteOrder != 0) return byteOrder < 0 ? -1 : 1;
  if (first.size() == second.size()) return 0;
  return first.size() < second.size() ? -1 : 1;
}

void SortRecords(RecordList& list) {
  try {
    SortHeld(list);
  } catch (const std::bad_alloc&) {
    // Without memory for the index the records stay in insertion order;
    // EmitSortedRecords meets the same shortage and reports it.
    list.order.clear();
  }
}

bool EmitSortedRecords(RecordList& list, const std::function<bool(std::string_view)>& emit) {
  if (list.hasSpillFailed) return false;
  try {
    if (list.runs.empty()) {
      if (!list.isSorted && list.heldCount >= kParallelSortMinimum) {
        if (const std::optional<bool> isComplete = SortAndEmitInParallel(list, emit)) return *isComplete;
      }
      SortHeld(list);
      return EmitHeld(list, 0, list.heldCount, emit);
    }
    SortHeld(list);
    return MergeRuns(list, emit);
  } catch (const std::bad_alloc&) {
    return false;
  }
}

int FreeRecordList(std::unique_ptr<RecordList>& records) {
  records.reset();
  return 0;
}

}  // namespace korvadex
