// Appends the records in place under the file's lock, with a cut-back on failure.
#include "output/download_append.h"

#include <cerrno>

#include "output/download_sink.h"
#include "platform/file_io.h"
#include "platform/file_ops.h"

namespace korvadex {

AppendGuard::~AppendGuard() {
  if (isCommitted_) return;
  // Best effort: if this fails too, the file keeps part of the block.
  [[maybe_unused]] const bool isCut = TruncateFile(fd_, length_);
  if (createdPath_ != nullptr && IsSameFile(fd_, *createdPath_)) RemoveFile(*createdPath_);
}

namespace {

// Writes the records after the file's present end and makes them durable.
// `fd` is open with O_APPEND and locked, `length` is the file's length seen
// under the lock.
WriteOutcome AppendLocked(UniqueFd& fd, std::uint64_t length, const std::string* createdPath, RecordList& list) {
  AppendGuard guard(fd.get(), length, createdPath);
  const WriteOutcome outcome = WriteRecords(fd.get(), list, true);
  if (outcome != WriteOutcome::Written) return outcome;
  if (!SyncFile(fd.get())) return WriteOutcome::NotWritten;
  guard.Commit();
  return fd.Close() ? WriteOutcome::Written : WriteOutcome::NotWritten;
}

// Opens the target for appending, creating it when there is none; `isCreated` tells which.
UniqueFd OpenForAppend(const std::string& target, bool& isCreated) {
  for (int attempt = 0; attempt < kMaxAttempts; ++attempt) {
    isCreated = false;
    // Without O_CREAT first: under fs.protected_regular a file of another
    // user in a sticky folder refuses O_CREAT even where it may be written.
    UniqueFd fd(OpenFile(target, {FileAccess::Write, FileCreation::Existing, true, false}));
    if (fd.isOpen() || errno != ENOENT) return fd;
    fd = UniqueFd(OpenFile(target, {FileAccess::Write, FileCreation::New, true, false}));
    if (fd.isOpen()) {
      isCreated = true;
      return fd;
    }
    if (errno != EEXIST) return fd;
  }
  return UniqueFd();
}

}  // namespace

WriteOutcome AppendToFile(const std::string& target, RecordList& list) {
  for (int attempt = 0; attempt < kMaxAttempts;) {
    bool isCreated = false;
    UniqueFd fd = OpenForAppend(target, isCreated);
    if (!fd.isOpen()) return WriteOutcome::NotOpened;
    const LockResult lock = LockFileExclusive(fd.get(), IsStopRequested);
    if (lock == LockResult::Stopped) return WriteOutcome::Interrupted;
    if (lock == LockResult::Failed) return WriteOutcome::NotWritten;
    // Waiting without the file open, as Windows needs (see LockFileExclusive).
    if (lock == LockResult::Busy) {
      fd.Close();
      PauseWhileBusy();
      continue;
    }
    ++attempt;
    // A replacing run may have put a new file under the name while this one
    // waited: the block belongs into that one.
    if (!IsSameFile(fd.get(), target)) continue;
    std::uint64_t length = 0;
    if (!RegularFileSize(fd.get(), length)) return WriteOutcome::NotWritten;
    return AppendLocked(fd, length, isCreated ? &target : nullptr, list);
  }
  return WriteOutcome::NotWritten;
}

}  // namespace korvadex
