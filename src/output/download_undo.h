// The one record of what a run has changed on disk, and how each change is
// taken back: on a failure by the writer itself, on every other way out of
// the run (a second stop signal, a deadline past its grace) all at once.
#ifndef KORVADEX_OUTPUT_DOWNLOAD_UNDO_H_
#define KORVADEX_OUTPUT_DOWNLOAD_UNDO_H_

#include <array>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <mutex>
#include <string>

namespace korvadex {

// Holds every change the writer has made and not yet kept: an append's old
// length, a file the run created (a temporary name included). Each change
// is registered the moment it happens, before its first byte. Writes are
// made one chunk at a time under the undo's write lock, so an undo from
// another thread never races a chunk in flight. Temporary files without a
// name (spill files, the replace's unnamed file) need no entry: they vanish
// with the process however it ends.
class DownloadUndo {
 public:
  // A registered change: taken back when the handle is destroyed unless kept
  // first. The file descriptor it names must stay open until then.
  class Change {
   public:
    Change() = default;
    ~Change() { Revert(); }
    Change(Change&& other) noexcept;
    Change& operator=(Change&& other) noexcept;
    Change(const Change&) = delete;
    Change& operator=(const Change&) = delete;

    // The change stays; the undo forgets it.
    void Keep();
    // Takes the change back now (best effort); the undo forgets it.
    void Revert();

   private:
    friend class DownloadUndo;
    Change(DownloadUndo* undo, int slot) : undo_(undo), slot_(slot) {}
    DownloadUndo* undo_ = nullptr;
    int slot_ = -1;
  };

  DownloadUndo() = default;
  DownloadUndo(const DownloadUndo&) = delete;
  DownloadUndo& operator=(const DownloadUndo&) = delete;

  // The file open as `fd` gets bytes after `length`: an undo cuts it back there.
  Change CutBackTo(int fd, std::uint64_t length);

  // The run created the file `path`, open as `fd`: an undo removes the name
  // while it still names that file (another run may have replaced it).
  Change RemoveCreated(int fd, const std::string& path);

  // For the writer, around each chunk it writes: false once the run has been
  // undone, when nothing more may be written; EndWrite follows a true only.
  bool BeginWrite();
  void EndWrite();

  // Takes back every change still registered, from any thread, for a way out
  // that ends the process next. It waits for a chunk in flight for at most
  // kWriteWait (a write that hangs on a dead network file system or a pipe
  // does not hold it longer), never for the driver; no chunk starts after it.
  void UndoAll();

  // The longest UndoAll waits for a chunk in flight or a change being taken back.
  static constexpr std::chrono::milliseconds kWriteWait{1000};

 private:
  struct Entry {
    bool isUsed = false;
    bool isCutBack = false;  // cut back to `length`; otherwise remove `path`
    int fd = -1;
    std::uint64_t length = 0;
    std::string path;
  };

  // A run has at most an append (cut back and a created file) or a replace
  // (its temporary name and a created target) under way at once.
  static constexpr int kSlots = 8;

  Change Register(Entry entry);
  void Settle(int slot, bool isReverted);
  static void TakeBack(const Entry& entry);

  std::mutex writeMutex_;              // held for each chunk the writer writes
  std::mutex entriesMutex_;            // guards entries_
  std::array<Entry, kSlots> entries_;  // guarded by entriesMutex_
  std::atomic<bool> isUndone_{false};  // set once by UndoAll
};

}  // namespace korvadex

#endif  // KORVADEX_OUTPUT_DOWNLOAD_UNDO_H_
