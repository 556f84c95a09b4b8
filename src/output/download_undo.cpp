// The one record of what a run has changed on disk, and how it is taken back.
#include "output/download_undo.h"

#include <thread>
#include <utility>

#include "platform/file_io.h"
#include "platform/file_ops.h"

namespace korvadex {
namespace {

// A timed lock made of tries: std::timed_mutex waits in pthread_mutex_clocklock,
// which the thread sanitizer of our toolchain does not see, so it would
// report every entry read after such a lock as a race.
bool LockWithin(std::mutex& mutex, std::chrono::milliseconds wait) {
  const auto giveUp = std::chrono::steady_clock::now() + wait;
  while (!mutex.try_lock()) {
    if (std::chrono::steady_clock::now() >= giveUp) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  return true;
}

}  // namespace

DownloadUndo::Change::Change(Change&& other) noexcept
    : undo_(std::exchange(other.undo_, nullptr)), slot_(std::exchange(other.slot_, -1)) {}

DownloadUndo::Change& DownloadUndo::Change::operator=(Change&& other) noexcept {
  if (this != &other) {
    Revert();
    undo_ = std::exchange(other.undo_, nullptr);
    slot_ = std::exchange(other.slot_, -1);
  }
  return *this;
}

void DownloadUndo::Change::Keep() {
  if (undo_ != nullptr) std::exchange(undo_, nullptr)->Settle(slot_, false);
}

void DownloadUndo::Change::Revert() {
  if (undo_ != nullptr) std::exchange(undo_, nullptr)->Settle(slot_, true);
}

DownloadUndo::Change DownloadUndo::CutBackTo(int fd, std::uint64_t length) {
  Entry entry;
  entry.isCutBack = true;
  entry.fd = fd;
  entry.length = length;
  return Register(std::move(entry));
}

DownloadUndo::Change DownloadUndo::RemoveCreated(int fd, const std::string& path) {
  Entry entry;
  entry.fd = fd;
  entry.path = path;
  return Register(std::move(entry));
}

DownloadUndo::Change DownloadUndo::Register(Entry entry) {
  std::lock_guard<std::mutex> lock(entriesMutex_);
  for (int slot = 0; slot < kSlots; ++slot) {
    if (entries_[slot].isUsed) continue;
    entry.isUsed = true;
    entries_[slot] = std::move(entry);
    return Change(this, slot);
  }
  // More changes at once than any way of writing makes; unreachable.
  return Change();
}

void DownloadUndo::Settle(int slot, bool isReverted) {
  std::lock_guard<std::mutex> lock(entriesMutex_);
  Entry& entry = entries_[slot];
  // UndoAll took it back already.
  if (!entry.isUsed) return;
  if (isReverted) TakeBack(entry);
  entry = Entry();
}

bool DownloadUndo::BeginWrite() {
  writeMutex_.lock();
  if (!isUndone_.load()) return true;
  writeMutex_.unlock();
  return false;
}

void DownloadUndo::EndWrite() { writeMutex_.unlock(); }

void DownloadUndo::UndoAll() {
  isUndone_.store(true);
  // Both are left held when taken: the process ends next, and no chunk or
  // settlement may follow the undo.
  [[maybe_unused]] const bool isWriteHeld = LockWithin(writeMutex_, kWriteWait);
  if (!LockWithin(entriesMutex_, kWriteWait)) return;
  for (Entry& entry : entries_) {
    if (!entry.isUsed) continue;
    TakeBack(entry);
    entry.isUsed = false;
  }
}

void DownloadUndo::TakeBack(const Entry& entry) {
  if (entry.isCutBack) {
    // Best effort: if this fails too, the file keeps part of the block.
    [[maybe_unused]] const bool isCut = TruncateFile(entry.fd, entry.length);
  } else if (IsSameFile(entry.fd, entry.path)) {
    RemoveFile(entry.path);
  }
}

}  // namespace korvadex
