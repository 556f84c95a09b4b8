// Appends the records in place under the file's lock, with a cut-back on failure.
#include "output/download_append.h"

#include <cerrno>
#include <cstdint>

#include "output/download_sink.h"
#include "platform/file_io.h"
#include "platform/file_ops.h"

namespace korvadex {

namespace {

// Writes the records after the file's present end and makes them durable.
// `fd` is open with O_APPEND and locked, `length` is the file's length seen
// under the lock; `created` is the undo of a file the run created, if it did.
WriteOutcome AppendLocked(UniqueFd& fd, std::uint64_t length, DownloadUndo::Change& created, RecordList& list,
                          DownloadUndo& undo) {
  DownloadUndo::Change block = undo.CutBackTo(fd.get(), length);
  const WriteOutcome outcome = WriteRecords(fd.get(), list, true, undo);
  if (outcome != WriteOutcome::Written) return outcome;
  if (!SyncFile(fd.get())) return WriteOutcome::NotWritten;
  // Kept before the descriptor closes: an undo must never reach its number
  // once another file may have it.
  block.Keep();
  created.Keep();
  return fd.Close() ? WriteOutcome::Written : WriteOutcome::NotWritten;
}

// Opens the target for appending, creating it when there is none; a file
// it creates is registered in `undo` at once, in `created`.
UniqueFd OpenForAppend(const std::string& target, DownloadUndo& undo, DownloadUndo::Change& created) {
  for (int attempt = 0; attempt < kMaxAttempts; ++attempt) {
    // Without O_CREAT first: under fs.protected_regular a file of another
    // user in a sticky folder refuses O_CREAT even where it may be written.
    UniqueFd fd(OpenFile(target, {FileAccess::Write, FileCreation::Existing, true, false}));
    if (fd.isOpen() || errno != ENOENT) return fd;
    fd = UniqueFd(OpenFile(target, {FileAccess::Write, FileCreation::New, true, false}));
    if (fd.isOpen()) {
      created = undo.RemoveCreated(fd.get(), target);
      return fd;
    }
    if (errno != EEXIST) return fd;
  }
  return UniqueFd();
}

}  // namespace

WriteOutcome AppendToFile(const std::string& target, RecordList& list, DownloadUndo& undo) {
  for (int attempt = 0; attempt < kMaxAttempts;) {
    // A stop that came during the sort creates no file to remove again.
    if (IsStopRequested()) return WriteOutcome::Interrupted;
    DownloadUndo::Change created;
    UniqueFd fd = OpenForAppend(target, undo, created);
    if (!fd.isOpen()) return WriteOutcome::NotOpened;
    // Declared after the descriptor, so it is settled before that closes.
    DownloadUndo::Change createdHere = std::move(created);
    const LockResult lock = LockFileExclusive(fd.get(), IsStopRequested);
    if (lock == LockResult::Stopped) return WriteOutcome::Interrupted;
    if (lock == LockResult::Failed) return WriteOutcome::NotWritten;
    // Waiting without the file open, as Windows needs (see LockFileExclusive);
    // the run that holds the lock has the created file open and keeps it.
    if (lock == LockResult::Busy) {
      createdHere.Keep();
      fd.Close();
      PauseWhileBusy();
      continue;
    }
    ++attempt;
    // A replacing run may have put a new file under the name while this one
    // waited: the block belongs into that one, and the name is no longer ours.
    if (!IsSameFile(fd.get(), target)) {
      createdHere.Keep();
      continue;
    }
    std::uint64_t length = 0;
    if (!RegularFileSize(fd.get(), length)) return WriteOutcome::NotWritten;
    return AppendLocked(fd, length, createdHere, list, undo);
  }
  return WriteOutcome::NotWritten;
}

}  // namespace korvadex
