// Collects the records of a run and puts them into ascending byte order.
#include "output/record_list.h"

#include <algorithm>
#include <cstring>
#include <new>

namespace korvadex {

namespace {

constexpr std::size_t kMinBlockSize = 1 << 16;
constexpr std::size_t kMaxBlockSize = 1 << 24;

// Returns room for `length` bytes, opening a new block when the last one is full.
// Blocks grow geometrically up to a cap, so small runs stay small and large
// runs need few allocations, without ever copying records already stored.
char* ReserveBytes(RecordList& list, std::size_t length) {
  if (list.blocks.empty() || list.blockSize - list.blockUsed < length) {
    std::size_t size = list.blocks.empty() ? kMinBlockSize : std::min(list.blockSize * 2, kMaxBlockSize);
    size = std::max(size, length);
    list.blocks.push_back(std::make_unique_for_overwrite<char[]>(size));
    list.blockSize = size;
    list.blockUsed = 0;
  }
  char* place = list.blocks.back().get() + list.blockUsed;
  list.blockUsed += length;
  return place;
}

}  // namespace

int AddRecord(std::unique_ptr<RecordList>& records, std::string_view record) {
  try {
    if (!records) records = std::make_unique<RecordList>();
    RecordList& list = *records;
    // Grow the index first: if that fails, no bytes have been claimed yet.
    if (list.lines.size() == list.lines.capacity()) {
      list.lines.reserve(std::max<std::size_t>(16, list.lines.capacity() * 2));
    }
    char* place = ReserveBytes(list, record.size());
    std::memcpy(place, record.data(), record.size());
    if (list.isSorted && !list.lines.empty() &&
        CompareRecords(list.lines.back(), record) > 0) {
      list.isSorted = false;
    }
    list.lines.emplace_back(place, record.size());
    list.byteCount += record.size();
    return 1;
  } catch (const std::bad_alloc&) {
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
  if (list.isSorted) return;
  std::sort(list.lines.begin(), list.lines.end(),
            [](std::string_view a, std::string_view b) { return CompareRecords(a, b) < 0; });
  list.isSorted = true;
}

int FreeRecordList(std::unique_ptr<RecordList>& records) {
  records.reset();
  return 0;
}

}  // namespace korvadex
