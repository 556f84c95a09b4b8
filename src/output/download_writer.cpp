// Writes the sorted records into the download file, replacing or appending,
// so that a failure never leaves a half-written file behind where the file
// system allows it, and concurrent runs on one file take turns.
#include "output/download_writer.h"

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <optional>
#include <string_view>
#include <thread>
#include <utility>
#include <vector>

#include "platform/file_io.h"
#include "platform/file_ops.h"
#include "platform/paths.h"
#include "platform/run_signals.h"

namespace korvadex {

namespace {

constexpr std::size_t kWriteBufferSize = std::size_t{1} << 20;

// How often a run starts over because another run replaced or removed the
// file while this one waited for its lock; only a pathological churn of
// replacing runs gets near it.
constexpr int kMaxAttempts = 1000;

// Candidate names tried per temporary-name prefix before giving up.
constexpr int kMaxNameAttempts = 100;

// The temporary-name prefix for targets whose own name leaves no room for
// the longer one; it keeps ".korvadex-" so every temporary file is found alike.
constexpr std::string_view kShortTempPrefix = ".korvadex-";

bool IsStopRequested() { return StopSignal() != 0; }

// How long a run waits, with the file closed, before it asks again for a
// lock that another run holds (Windows only; see LockFileExclusive).
void PauseWhileBusy() { std::this_thread::sleep_for(std::chrono::milliseconds(10)); }

// Gathers small records into large writes; once a write fails it stays
// failed. A stoppable sink gives up before its next write once a stop signal
// has come, so a stop takes effect within one buffer's worth of writing.
class FileSink {
 public:
  FileSink(int fd, bool isStoppable)
      : fd_(fd),
        isStoppable_(isStoppable),
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
    if (isStoppable_ && IsStopRequested()) {
      wasStopped_ = true;
      failed_ = true;
      return false;
    }
    failed_ = !WriteAll(fd_, data, size);
    return !failed_;
  }

  int fd_;
  bool isStoppable_;
  std::unique_ptr<char[]> buffer_;
  std::size_t used_ = 0;
  bool failed_ = false;
  bool wasStopped_ = false;
};

// Writes every record at the descriptor's offset (or end, with O_APPEND).
WriteOutcome WriteRecords(int fd, RecordList& list, bool isStoppable) {
  FileSink sink(fd, isStoppable);
  if (EmitSortedRecords(list, [&sink](std::string_view record) { return sink.Write(record); }) &&
      sink.Flush()) {
    return WriteOutcome::Written;
  }
  return sink.wasStopped() ? WriteOutcome::Interrupted : WriteOutcome::NotWritten;
}

// The name a temporary file of this process gets just before it is renamed
// over `target`: the pid in it tells a later run whether its writer is gone.
std::string TempNamePrefix(const std::string& target) {
  std::string prefix = ".";
  prefix.append(FileNameOf(target));
  prefix.append(".korvadex-");
  return prefix;
}

// Removes what killed runs left of their temporary files for `target` (and
// of the short names any target in the folder may use): a kill between
// naming the file and renaming it (a few microseconds) leaves the whole file
// under its hidden name. Files of a process that still exists are left alone.
void RemoveStrayTempFiles(const std::string& target) {
  const std::string folder = FolderOf(target);
  const std::string prefix = TempNamePrefix(target);
  std::vector<std::string> names;
  if (!ListFolder(folder, names)) return;
  for (const std::string& name : names) {
    std::size_t prefixLength = 0;
    if (name.starts_with(prefix)) {
      prefixLength = prefix.size();
    } else if (name.starts_with(kShortTempPrefix)) {
      prefixLength = kShortTempPrefix.size();
    } else {
      continue;
    }
    // <prefix><pid>-<attempt>; random names of other tools carry no pid.
    const std::string rest(name.substr(prefixLength));
    char* end = nullptr;
    errno = 0;
    const long pid = std::strtol(rest.c_str(), &end, 10);
    if (errno != 0 || end == rest.c_str() || *end != '-' || pid <= 0 || pid == CurrentProcessId()) continue;
    if (!HasProcessEnded(pid)) continue;
    RemoveFile(JoinPath(folder, name));
  }
}

// The hidden names, longest first, that a temporary file for `target` tries:
// the short one when the target's own name leaves no room for the long one.
std::string TempName(const std::string& target, bool isShort, int attempt) {
  const std::string prefix = isShort ? std::string(kShortTempPrefix) : TempNamePrefix(target);
  return JoinPath(FolderOf(target), prefix + std::to_string(CurrentProcessId()) + "-" + std::to_string(attempt));
}

// A new file in the target's folder that takes the target's place in one
// step, so a reader, a crash or a kill sees the old file or the complete new
// one. Where the system allows it the file has no name until it is
// complete, so an interrupted run leaves nothing behind.
class TempFile {
 public:
  enum class Swap { Done, CannotName, Failed };

  TempFile() = default;
  ~TempFile() {
    fd_.Close();
    if (!name_.empty()) RemoveFile(name_);
  }
  TempFile(const TempFile&) = delete;
  TempFile& operator=(const TempFile&) = delete;

  // False when the folder takes no new file.
  bool Open(const std::string& target) {
    target_ = target;
    fd_ = UniqueFd(OpenUnnamedFile(FolderOf(target)));
    if (fd_.isOpen()) return true;
    for (bool isShort : {false, true}) {
      for (int attempt = 0; attempt < kMaxNameAttempts; ++attempt) {
        const std::string candidate = TempName(target, isShort, attempt);
        fd_ = UniqueFd(OpenFile(candidate, {FileAccess::ReadWrite, FileCreation::New, false, true}));
        if (fd_.isOpen()) {
          name_ = candidate;
          return true;
        }
        if (errno == ENAMETOOLONG) break;
        if (errno != EEXIST) return false;
      }
    }
    return false;
  }

  int fd() const { return fd_.get(); }
  bool isOpen() const { return fd_.isOpen(); }

  // Makes the file the target, which did not exist; never replaces anything.
  LinkResult Publish() {
    const LinkResult result = PublishNewFile(fd_.get(), name_, target_);
    if (result == LinkResult::Linked) name_.clear();
    return result;
  }

  // Makes the file take the target's place, whose open file `old` holds the
  // lock, and closes it. The file is named only right before that, so the
  // moment in which a kill leaves it behind stays as short as it can be.
  // CannotName: the file can take the target's place only by being copied
  // into it; both are still open then.
  Swap ReplaceTarget(UniqueFd& old) {
    if (name_.empty()) {
      const LinkResult named = GiveName();
      if (named == LinkResult::Failed) return Swap::Failed;
      if (named != LinkResult::Linked) return Swap::CannotName;
    }
    switch (ReplaceWithNewFile(fd_, name_, old, target_)) {
      case ReplaceResult::Replaced:
        name_.clear();
        return Swap::Done;
      case ReplaceResult::NotClosed:
        name_.clear();
        return Swap::Failed;
      case ReplaceResult::Refused:
        return Swap::CannotName;
      case ReplaceResult::Failed:
        break;
    }
    return Swap::Failed;
  }

 private:
  LinkResult GiveName() {
    LinkResult result = LinkResult::Failed;
    for (bool isShort : {false, true}) {
      for (int attempt = 0; attempt < kMaxNameAttempts; ++attempt) {
        const std::string candidate = TempName(target_, isShort, attempt);
        result = PublishNewFile(fd_.get(), "", candidate);
        if (result == LinkResult::Linked) name_ = candidate;
        if (result != LinkResult::NameTaken) break;
      }
      if (result != LinkResult::NameTooLong) return result;
    }
    return result;
  }

  std::string target_;
  std::string name_;  // empty while the file has no name of its own
  UniqueFd fd_;
};

// Cuts a file that is being appended to back to the length it had under the
// lock unless the append is committed: on every way out, an exception
// unwinding through the writer included. A file the run created is removed
// again, so a failed run leaves the target as it was. The lock must be held.
class AppendGuard {
 public:
  AppendGuard(int fd, std::uint64_t length, const std::string* createdPath)
      : fd_(fd), length_(length), createdPath_(createdPath) {}
  ~AppendGuard() {
    if (isCommitted_) return;
    // Best effort: if this fails too, the file keeps part of the block.
    [[maybe_unused]] const bool isCut = TruncateFile(fd_, length_);
    if (createdPath_ != nullptr && IsSameFile(fd_, *createdPath_)) RemoveFile(*createdPath_);
  }
  AppendGuard(const AppendGuard&) = delete;
  AppendGuard& operator=(const AppendGuard&) = delete;

  void Commit() { isCommitted_ = true; }

 private:
  int fd_;
  std::uint64_t length_;
  const std::string* createdPath_;
  bool isCommitted_ = false;
};

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

// Appends the records in place: only the new block is written, so the cost
// grows with the block, not with the file. Runs on one file take turns
// through the file's lock; a failure cuts the file back to its old length.
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

// Writes the new content into the target itself, from its start, and cuts
// it to the new length: for a file that a new one cannot replace without
// changing it for others (another owner, further hard links) or whose folder
// takes no new file. The old content cannot be restored once the first byte
// is written, so a failure, a kill or a power loss before the sync leaves a
// mix of old and new. To keep that window short this runs only when the
// content is ready (complete in `temp`, or held and sorted in `list`), under
// the lock, and a stop signal does not cut it short.
WriteOutcome OverwriteLocked(UniqueFd& fd, RecordList& list, const TempFile& temp) {
  if (!SeekTo(fd.get(), 0)) return WriteOutcome::NotWritten;
  bool isWritten = temp.isOpen() ? CopyFileContent(temp.fd(), fd.get())
                                 : WriteRecords(fd.get(), list, false) == WriteOutcome::Written;
  std::uint64_t length = 0;
  isWritten = isWritten && CurrentOffset(fd.get(), length) && TruncateFile(fd.get(), length) && SyncFile(fd.get());
  if (!fd.Close()) isWritten = false;
  return isWritten ? WriteOutcome::Written : WriteOutcome::NotWritten;
}

// Opens an existing target for writing, without creating it; `error` is
// errno when it could not (ENOENT: there is none).
UniqueFd OpenExisting(const std::string& target, int& error) {
  UniqueFd fd(OpenFile(target, {FileAccess::Write, FileCreation::Existing, false, false}));
  error = fd.isOpen() ? 0 : errno;
  return fd;
}

// Replaces the target by a complete new file that takes its name in one
// step, keeping the old file's identity; where that cannot be done, writes
// the ready content into the target itself. Runs on one file take turns
// through the old file's lock, held until the new file has its name.
WriteOutcome ReplaceFile(const std::string& target, RecordList& list) {
  int openError = 0;
  // Opened first though not needed yet: a rename needs only the folder's
  // permission, and the old file's own must still count.
  UniqueFd existing = OpenExisting(target, openError);
  if (!existing.isOpen() && openError != ENOENT) return WriteOutcome::NotOpened;
  TempFile temp;
  if (!existing.isOpen() || IsReplaceableKeepingIdentity(existing.get())) {
    if (!temp.Open(target) && !existing.isOpen()) return WriteOutcome::NotOpened;
  }
  // Where an open file cannot be replaced, another run's replace must not
  // wait for this one's write: the target is opened again for the lock.
  const bool isReopened = existing.isOpen() && temp.isOpen() && !CanReplaceOpenFiles();
  if (isReopened) existing.Close();
  if (temp.isOpen()) {
    const WriteOutcome outcome = WriteRecords(temp.fd(), list, true);
    if (outcome != WriteOutcome::Written) return outcome;
    if (!SyncFile(temp.fd())) return WriteOutcome::NotWritten;
  }
  if (isReopened) {
    existing = OpenExisting(target, openError);
    if (!existing.isOpen() && openError != ENOENT) return WriteOutcome::NotOpened;
  }

  bool canRename = temp.isOpen();
  for (int attempt = 0; attempt < kMaxAttempts; ++attempt) {
    if (!existing.isOpen()) {
      if (canRename) {
        GiveNewFileMode(temp.fd());
        const LinkResult published = temp.Publish();
        if (published == LinkResult::Linked) {
          return SyncFolder(FolderOf(target)) ? WriteOutcome::Written : WriteOutcome::NotWritten;
        }
        if (published == LinkResult::Failed) return WriteOutcome::NotWritten;
        canRename = published == LinkResult::NameTaken;
      }
      if (!canRename) {
        // The new file cannot be given a name here: the target is created
        // and the content copied into it.
        existing = UniqueFd(OpenFile(target, {FileAccess::Write, FileCreation::New, false, false}));
        if (!existing.isOpen() && errno != EEXIST) return WriteOutcome::NotOpened;
      }
      // Someone else created the target meanwhile: this run replaces that file.
      if (!existing.isOpen()) {
        existing = OpenExisting(target, openError);
        if (!existing.isOpen() && openError != ENOENT) return WriteOutcome::NotOpened;
        continue;
      }
    }

    const LockResult lock = LockFileExclusive(existing.get(), IsStopRequested);
    if (lock == LockResult::Stopped) return WriteOutcome::Interrupted;
    if (lock == LockResult::Failed) return WriteOutcome::NotWritten;
    if (lock == LockResult::Busy) {
      // Waiting without the file open, as Windows needs (see
      // LockFileExclusive); a wait is no new attempt.
      existing.Close();
      PauseWhileBusy();
      --attempt;
    }
    if (lock == LockResult::Busy || !IsSameFile(existing.get(), target)) {
      // Replaced or removed while this run waited: the new file is the one to replace.
      existing = OpenExisting(target, openError);
      if (!existing.isOpen() && openError != ENOENT) return WriteOutcome::NotOpened;
      continue;
    }
    if (!canRename || !IsReplaceableKeepingIdentity(existing.get()) ||
        !CopyFileIdentity(existing.get(), temp.fd())) {
      return OverwriteLocked(existing, list, temp);
    }
    switch (temp.ReplaceTarget(existing)) {
      case TempFile::Swap::Done:
        // The old file is released (and its lock with it) only once the new
        // one has the name; a run waiting for the lock then starts over.
        return SyncFolder(FolderOf(target)) ? WriteOutcome::Written : WriteOutcome::NotWritten;
      case TempFile::Swap::CannotName:
        return OverwriteLocked(existing, list, temp);
      case TempFile::Swap::Failed:
        return WriteOutcome::NotWritten;
    }
  }
  return WriteOutcome::NotWritten;
}

// Writes into the target itself: for devices, pipes and links that point
// nowhere yet. An append to a regular file that fails is cut back.
WriteOutcome WriteDirect(const std::string& path, bool replace, RecordList& list) {
  UniqueFd fd(OpenFile(path, {FileAccess::Write, replace ? FileCreation::Truncated : FileCreation::Any, !replace,
                              false}));
  if (!fd.isOpen()) return WriteOutcome::NotOpened;
  std::uint64_t length = 0;
  std::optional<AppendGuard> guard;
  if (!replace && RegularFileSize(fd.get(), length)) guard.emplace(fd.get(), length, nullptr);
  WriteOutcome outcome = WriteRecords(fd.get(), list, true);
  if (outcome == WriteOutcome::Written && !SyncFile(fd.get())) outcome = WriteOutcome::NotWritten;
  if (outcome != WriteOutcome::Written) return outcome;
  if (guard) guard->Commit();
  return fd.Close() ? WriteOutcome::Written : WriteOutcome::NotWritten;
}

WriteOutcome WriteTarget(const std::string& path, bool replace, RecordList& list) {
  const PathKind kind = InspectPath(path);
  if (kind.isFolder) return WriteOutcome::NotOpened;
  // Devices, pipes and links that point nowhere yet are written as they are:
  // there is nothing a rename could keep safe.
  if ((kind.exists && !kind.isRegular) || (kind.hasEntry && !kind.exists)) {
    return WriteDirect(path, replace, list);
  }
  std::string target = path;
  if (kind.exists && kind.isLink && !ResolveLinks(path, target)) return WriteDirect(path, replace, list);
  RemoveStrayTempFiles(target);
  return replace ? ReplaceFile(target, list) : AppendToFile(target, list);
}

}  // namespace

WriteOutcome WriteDownloadFile(const std::string& path, bool replace, RecordList& list) {
  // Records were lost when a run could not be spilled; the target stays as it was.
  if (list.hasSpillFailed()) return WriteOutcome::NotWritten;
  try {
    return WriteTarget(path, replace, list);
  } catch (const std::exception&) {
    // Out of memory (or threads) while the records were merged and written:
    // on the way out an append was cut back and a temporary file dropped.
    return WriteOutcome::NotWritten;
  }
}

int WriteFile(std::unique_ptr<RecordList>& records, const std::string& targetFileName,
              int replaceFlag, int debugMode) {
  if (debugMode) std::printf("Str WriteFile\n");
  if (records && (records->count() > 0 || records->hasSpillFailed())) {
    switch (WriteDownloadFile(targetFileName, replaceFlag == 1, *records)) {
      case WriteOutcome::Written:
        break;
      case WriteOutcome::NotOpened:
        std::printf("Ausgabedatei konnte nicht geoeffnet \n");
        return -1;
      case WriteOutcome::NotWritten:
        std::printf("Ausgabedatei konnte nicht geschrieben \n");
        return -1;
      case WriteOutcome::Interrupted:
        // The driver reports the stop and ends the run.
        return -1;
    }
  }
  if (debugMode) std::printf("End WriteFile\n");
  return 0;
}

}  // namespace korvadex
