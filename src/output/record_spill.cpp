// Sorted runs of records on disk, in one temporary file without a name, and
// their merge with the records still held in memory.
#include "output/record_spill.h"

#include <algorithm>
#include <cstring>
#include <memory>
#include <new>
#include <utility>

#include "platform/file_io.h"

namespace korvadex {

namespace {

constexpr std::size_t kMaxReadBufferBytes = std::size_t{1} << 20;
constexpr std::size_t kMinReadBufferBytes = std::size_t{16} << 10;
// Each record of a run is preceded by its length.
constexpr std::size_t kLengthBytes = sizeof(std::uint32_t);

// Reads one spilled run back, record by record, through a buffer of its own.
class RunReader {
 public:
  RunReader(int fd, std::uint64_t offset, std::uint64_t byteCount, std::size_t bufferBytes)
      : fd_(fd),
        next_(offset),
        end_(offset + byteCount),
        capacity_(static_cast<std::size_t>(
            std::min<std::uint64_t>(bufferBytes, std::max<std::uint64_t>(byteCount, kLengthBytes)))),
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
      const std::int64_t got = ReadAt(fd_, buffer_.get() + filled_, want, next_);
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

}  // namespace

SpillFile::~SpillFile() { Release(); }

void SpillFile::Release() {
  // Only read back, and the file vanishes with it: closing has nothing to report.
  if (fd_ >= 0) CloseFile(fd_);
  fd_ = -1;
  end_ = 0;
  std::vector<Run>().swap(runs_);
  recordCount_ = 0;
}

bool SpillFile::Open(const std::string& folder) {
  if (fd_ >= 0) return true;
  // Nothing is left behind however the run ends: the file has no name, or
  // the system deletes it with its last handle.
  if (!folder.empty()) fd_ = OpenTemporaryFile(folder);
  if (fd_ < 0) fd_ = OpenTemporaryFile("");
  return fd_ >= 0;
}

bool SpillFile::WriteRun(const SortedView& records, const std::string& folder, std::size_t bufferBytes) {
  try {
    if (!Open(folder)) return false;
    runs_.reserve(runs_.size() + 1);
    auto buffer = std::make_unique_for_overwrite<char[]>(bufferBytes);
    std::size_t used = 0;
    Run run{end_, 0, records.size()};
    // Written at explicit offsets: the merge reads at its own.
    auto writeAtEnd = [&](const char* data, std::size_t size) {
      if (!WriteAllAt(fd_, data, size, run.offset + run.byteCount)) return false;
      run.byteCount += size;
      return true;
    };
    for (const std::string_view record : records) {
      const auto length = static_cast<std::uint32_t>(record.size());
      if (used + kLengthBytes + record.size() > bufferBytes) {
        if (!writeAtEnd(buffer.get(), used)) return false;
        used = 0;
      }
      if (kLengthBytes + record.size() > bufferBytes) {
        if (!writeAtEnd(reinterpret_cast<const char*>(&length), kLengthBytes) ||
            !writeAtEnd(record.data(), record.size())) {
          return false;
        }
        continue;
      }
      std::memcpy(buffer.get() + used, &length, kLengthBytes);
      // An empty record's view may have no storage behind it at all.
      if (!record.empty()) std::memcpy(buffer.get() + used + kLengthBytes, record.data(), record.size());
      used += kLengthBytes + record.size();
    }
    if (!writeAtEnd(buffer.get(), used)) return false;
    runs_.push_back(run);
    end_ += run.byteCount;
    recordCount_ += run.recordCount;
    return true;
  } catch (const std::bad_alloc&) {
    return false;
  }
}

bool SpillFile::Merge(const SortedView& held, std::size_t bufferBytes,
                      const std::function<bool(std::string_view)>& emit) const {
  const std::size_t readerBytes = std::clamp(bufferBytes / std::max<std::size_t>(runs_.size(), 1),
                                             kMinReadBufferBytes, kMaxReadBufferBytes);
  std::vector<RunReader> readers;
  readers.reserve(runs_.size());
  for (const Run& run : runs_) readers.emplace_back(fd_, run.offset, run.byteCount, readerBytes);
  const std::size_t heldSource = readers.size();
  std::size_t heldPosition = 0;
  auto currentOf = [&](std::size_t source) {
    return source == heldSource ? held[heldPosition] : readers[source].current();
  };
  // Advances `source`; false when it is used up, or when it failed (`ok` false).
  bool ok = true;
  auto advance = [&](std::size_t source, bool first) {
    if (source == heldSource) {
      if (!first) ++heldPosition;
      return heldPosition < held.size();
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

}  // namespace korvadex
