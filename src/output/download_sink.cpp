// Writes the sorted records to an open download file in large chunks.
#include "output/download_sink.h"

#include <chrono>
#include <cstdint>
#include <cstring>
#include <memory>
#include <string_view>
#include <thread>
#include <utility>

#include "platform/file_io.h"
#include "platform/file_ops.h"
#include "platform/run_signals.h"

namespace korvadex {

namespace {

constexpr std::size_t kWriteBufferSize = std::size_t{1} << 20;

// How much is written before the disk is asked to start on it: the flush
// that makes the file durable then overlaps the writing instead of following it.
constexpr std::uint64_t kWritebackBytes = std::uint64_t{8} << 20;

// Gathers small records into large writes; once a write fails it stays
// failed. A stoppable sink gives up before its next write once a stop signal
// has come, so a stop takes effect within one buffer's worth of writing.
class FileSink {
 public:
  FileSink(int fd, bool isStoppable, DownloadUndo& undo)
      : fd_(fd),
        isStoppable_(isStoppable),
        undo_(undo),
        buffer_(std::make_unique_for_overwrite<char[]>(kWriteBufferSize)) {}

  bool Write(std::string_view data) {
    if (failed_) return false;
    // An empty record's view may have no storage behind it at all.
    if (data.empty()) return true;
    if (used_ + data.size() > kWriteBufferSize && !Flush()) return false;
    if (data.size() >= kWriteBufferSize) return WriteChunk(data.data(), data.size());
    std::memcpy(buffer_.get() + used_, data.data(), data.size());
    used_ += data.size();
    return true;
  }

  bool Flush() {
    if (failed_) return false;
    const std::size_t size = std::exchange(used_, 0);
    return WriteChunk(buffer_.get(), size);
  }

  bool wasStopped() const { return wasStopped_; }

 private:
  bool WriteChunk(const char* data, std::size_t size) {
    if ((isStoppable_ && IsStopRequested()) || !undo_.BeginWrite()) {
      wasStopped_ = true;
      failed_ = true;
      return false;
    }
    failed_ = !WriteAll(fd_, data, size);
    undo_.EndWrite();
    unsyncedBytes_ += size;
    if (!failed_ && unsyncedBytes_ >= kWritebackBytes) {
      StartWriteback(fd_);
      unsyncedBytes_ = 0;
    }
    return !failed_;
  }

  int fd_;
  bool isStoppable_;
  DownloadUndo& undo_;
  std::unique_ptr<char[]> buffer_;
  std::size_t used_ = 0;
  std::uint64_t unsyncedBytes_ = 0;  // written since the disk was last asked to start
  bool failed_ = false;
  bool wasStopped_ = false;
};

}  // namespace

WriteOutcome WriteRecords(int fd, RecordList& list, bool isStoppable, DownloadUndo& undo) {
  FileSink sink(fd, isStoppable, undo);
  if (EmitSortedRecords(list, [&sink](std::string_view record) { return sink.Write(record); }) &&
      sink.Flush()) {
    return WriteOutcome::Written;
  }
  return sink.wasStopped() ? WriteOutcome::Interrupted : WriteOutcome::NotWritten;
}

bool IsStopRequested() { return StopSignal() != 0; }

void PauseWhileBusy() { std::this_thread::sleep_for(std::chrono::milliseconds(10)); }

}  // namespace korvadex
