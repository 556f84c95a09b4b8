// Replaces the download file by a new one that takes its name and identity,
// or, where it cannot, writes the ready content into the file itself.
#include "output/download_replace.h"

#include <cerrno>
#include <cstdlib>
#include <string_view>
#include <vector>

#include "output/download_sink.h"
#include "platform/file_io.h"
#include "platform/file_ops.h"
#include "platform/paths.h"

namespace korvadex {

namespace {

// Candidate names tried per temporary-name prefix before giving up.
constexpr int kMaxNameAttempts = 100;

// The temporary-name prefix for targets whose own name leaves no room for
// the longer one; it keeps ".korvadex-" so every temporary file is found alike.
constexpr std::string_view kShortTempPrefix = ".korvadex-";

// The name a temporary file of this process gets just before it is renamed
// over `target`: the pid in it tells a later run whether its writer is gone.
std::string TempNamePrefix(const std::string& target) {
  std::string prefix = ".";
  prefix.append(FileNameOf(target));
  prefix.append(".korvadex-");
  return prefix;
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

  explicit TempFile(DownloadUndo& undo) : undo_(undo) {}
  ~TempFile();
  TempFile(const TempFile&) = delete;
  TempFile& operator=(const TempFile&) = delete;

  // False when the folder takes no new file.
  bool Open(const std::string& target);

  int fd() const { return fd_.get(); }
  bool isOpen() const { return fd_.isOpen(); }

  // Makes the file the target, which did not exist; never replaces anything.
  // Until Keep the new target is removed again with this object or an undo.
  LinkResult Publish();

  // The published target stays.
  void Keep() { named_.Keep(); }

  // Makes the file take the target's place, whose open file `old` holds the
  // lock, and closes it. The file is named only right before that, so the
  // moment in which a kill leaves it behind stays as short as it can be.
  // CannotName: the file can take the target's place only by being copied
  // into it; both are still open then.
  Swap ReplaceTarget(UniqueFd& old);

 private:
  LinkResult GiveName();

  DownloadUndo& undo_;
  std::string target_;
  std::string name_;  // empty while the file has no name of its own
  UniqueFd fd_;
  DownloadUndo::Change named_;  // removes name_ again; settled before fd_ closes
};

TempFile::~TempFile() {
  named_.Revert();
  const bool isClosed = !fd_.isOpen();
  fd_.Close();
  if (isClosed && !name_.empty()) RemoveFile(name_);
}

bool TempFile::Open(const std::string& target) {
  target_ = target;
  fd_ = UniqueFd(OpenUnnamedFile(FolderOf(target)));
  if (fd_.isOpen()) return true;
  for (bool isShort : {false, true}) {
    for (int attempt = 0; attempt < kMaxNameAttempts; ++attempt) {
      const std::string candidate = TempName(target, isShort, attempt);
      fd_ = UniqueFd(OpenFile(candidate, {FileAccess::ReadWrite, FileCreation::New, false, true, true}));
      if (fd_.isOpen()) {
        name_ = candidate;
        named_ = undo_.RemoveCreated(fd_.get(), name_);
        return true;
      }
      if (errno == ENAMETOOLONG) break;
      if (errno != EEXIST) return false;
    }
  }
  return false;
}

LinkResult TempFile::Publish() {
  const LinkResult result = PublishNewFile(fd_.get(), name_, target_);
  if (result == LinkResult::Linked) {
    // The file is the target now; the run created that name, which an undo
    // from another way out still removes until the writer is done.
    named_ = undo_.RemoveCreated(fd_.get(), target_);
    name_.clear();
  }
  return result;
}

TempFile::Swap TempFile::ReplaceTarget(UniqueFd& old) {
  if (name_.empty()) {
    const LinkResult named = GiveName();
    if (named == LinkResult::Failed) return Swap::Failed;
    if (named != LinkResult::Linked) return Swap::CannotName;
  }
  // The rename closes the file; an undo meanwhile compares the file under
  // the temporary name with the descriptor's, and a renamed file is under
  // that name no longer, so the undo stays registered until it is done.
  switch (ReplaceWithNewFile(fd_, name_, old, target_)) {
    case ReplaceResult::Replaced:
      named_.Keep();
      name_.clear();
      return Swap::Done;
    case ReplaceResult::NotClosed:
      named_.Keep();
      name_.clear();
      return Swap::Failed;
    case ReplaceResult::Refused:
      return Swap::CannotName;
    case ReplaceResult::Failed:
      // Still under its temporary name, which goes with this object (on
      // Windows the rename closed it first: see the destructor).
      break;
  }
  return Swap::Failed;
}

LinkResult TempFile::GiveName() {
  LinkResult result = LinkResult::Failed;
  for (bool isShort : {false, true}) {
    for (int attempt = 0; attempt < kMaxNameAttempts; ++attempt) {
      const std::string candidate = TempName(target_, isShort, attempt);
      result = PublishNewFile(fd_.get(), "", candidate);
      if (result == LinkResult::Linked) {
        name_ = candidate;
        named_ = undo_.RemoveCreated(fd_.get(), name_);
      }
      if (result != LinkResult::NameTaken) break;
    }
    if (result != LinkResult::NameTooLong) return result;
  }
  return result;
}

// Writes the new content into the target itself, from its start, and cuts
// it to the new length: for a file that a new one cannot replace without
// changing it for others (another owner, further hard links) or whose folder
// takes no new file. The old content cannot be restored once the first byte
// is written, so a failure, a kill or a power loss before the sync leaves a
// mix of old and new. To keep that window short this runs only when the
// content is ready (complete in `temp`, or held and sorted in `list`), under
// the lock, and a stop signal does not cut it short. `created` is the undo
// of a target the run created for it, settled before the file closes.
WriteOutcome OverwriteLocked(UniqueFd& fd, RecordList& list, const TempFile& temp, DownloadUndo& undo,
                             DownloadUndo::Change& created) {
  if (!SeekTo(fd.get(), 0)) return WriteOutcome::NotWritten;
  bool isWritten = temp.isOpen() ? CopyFileContent(temp.fd(), fd.get())
                                 : WriteRecords(fd.get(), list, false, undo) == WriteOutcome::Written;
  std::uint64_t length = 0;
  isWritten = isWritten && CurrentOffset(fd.get(), length) && TruncateFile(fd.get(), length) && SyncFile(fd.get());
  if (isWritten) {
    created.Keep();
  } else {
    created.Revert();
  }
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

}  // namespace

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

WriteOutcome ReplaceFile(const std::string& target, RecordList& list, DownloadUndo& undo) {
  int openError = 0;
  // Opened first though not needed yet: a rename needs only the folder's
  // permission, and the old file's own must still count.
  UniqueFd existing = OpenExisting(target, openError);
  if (!existing.isOpen() && openError != ENOENT) return WriteOutcome::NotOpened;
  TempFile temp(undo);
  DownloadUndo::Change created;  // a target this run creates to copy into; settled before `existing` closes
  if (!existing.isOpen() || IsReplaceableKeepingIdentity(existing.get())) {
    if (!temp.Open(target) && !existing.isOpen()) return WriteOutcome::NotOpened;
  }
  // Where an open file cannot be replaced, another run's replace must not
  // wait for this one's write: the target is opened again for the lock.
  const bool isReopened = existing.isOpen() && temp.isOpen() && !CanReplaceOpenFiles();
  if (isReopened) existing.Close();
  if (temp.isOpen()) {
    const WriteOutcome outcome = WriteRecords(temp.fd(), list, true, undo);
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
          const bool isSynced = SyncFolder(FolderOf(target));
          temp.Keep();
          return isSynced ? WriteOutcome::Written : WriteOutcome::NotWritten;
        }
        if (published == LinkResult::Failed) return WriteOutcome::NotWritten;
        canRename = published == LinkResult::NameTaken;
      }
      if (!canRename) {
        // The new file cannot be given a name here: the target is created
        // and the content copied into it.
        existing = UniqueFd(OpenFile(target, {FileAccess::Write, FileCreation::New, false, false}));
        if (!existing.isOpen() && errno != EEXIST) return WriteOutcome::NotOpened;
        if (existing.isOpen()) created = undo.RemoveCreated(existing.get(), target);
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
    // Either way the file is another run's now (or no longer under the name).
    if (lock == LockResult::Busy || !IsSameFile(existing.get(), target)) created.Keep();
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
      return OverwriteLocked(existing, list, temp, undo, created);
    }
    switch (temp.ReplaceTarget(existing)) {
      case TempFile::Swap::Done:
        // The old file is released (and its lock with it) only once the new
        // one has the name; a run waiting for the lock then starts over.
        return SyncFolder(FolderOf(target)) ? WriteOutcome::Written : WriteOutcome::NotWritten;
      case TempFile::Swap::CannotName:
        return OverwriteLocked(existing, list, temp, undo, created);
      case TempFile::Swap::Failed:
        return WriteOutcome::NotWritten;
    }
  }
  return WriteOutcome::NotWritten;
}

}  // namespace korvadex
