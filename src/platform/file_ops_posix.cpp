// File primitives of the download writer on Linux: flock, fsync, O_TMPFILE
// with linkat, rename, and extended attributes.
#include "platform/file_ops.h"

#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <memory>
#include <string_view>
#include <thread>
#include <vector>

namespace korvadex {

namespace {

constexpr std::size_t kCopyBufferSize = std::size_t{1} << 20;

// Owns a descriptor that is only read or synced, so close(2) has nothing to report.
class ScopedFd {
 public:
  explicit ScopedFd(int fd) : fd_(fd) {}
  ~ScopedFd() {
    if (fd_ >= 0) ::close(fd_);
  }
  ScopedFd(const ScopedFd&) = delete;
  ScopedFd& operator=(const ScopedFd&) = delete;
  int get() const { return fd_; }

 private:
  int fd_;
};

std::string ProcFdPath(int fd) { return "/proc/self/fd/" + std::to_string(fd); }

LinkResult LinkResultOf(int error) {
  switch (error) {
    case EEXIST:
      return LinkResult::NameTaken;
    case ENAMETOOLONG:
      return LinkResult::NameTooLong;
    default:
      return LinkResult::Failed;
  }
}

// The names of the extended attributes of `fd`, or false. A file system
// without extended attributes has none.
bool ListAttributeNames(int fd, std::vector<std::string>& names) {
  names.clear();
  std::vector<char> buffer;
  for (;;) {
    const ssize_t size = ::flistxattr(fd, nullptr, 0);
    if (size < 0) return errno == ENOTSUP;
    if (size == 0) return true;
    buffer.resize(static_cast<std::size_t>(size));
    const ssize_t got = ::flistxattr(fd, buffer.data(), buffer.size());
    // The list grew between the two calls: ask again.
    if (got < 0 && errno == ERANGE) continue;
    if (got < 0) return false;
    std::string_view list(buffer.data(), static_cast<std::size_t>(got));
    while (!list.empty()) {
      const std::size_t end = std::min(list.find('\0'), list.size());
      if (end > 0) names.emplace_back(list.substr(0, end));
      list.remove_prefix(std::min(end + 1, list.size()));
    }
    return true;
  }
}

// The value of attribute `name` of `fd`; false when it cannot be read,
// `isGone` when it vanished meanwhile.
bool ReadAttribute(int fd, const std::string& name, std::vector<char>& value, bool& isGone) {
  isGone = false;
  for (;;) {
    const ssize_t size = ::fgetxattr(fd, name.c_str(), nullptr, 0);
    if (size < 0) {
      isGone = errno == ENODATA;
      return false;
    }
    value.resize(static_cast<std::size_t>(size));
    const ssize_t got = ::fgetxattr(fd, name.c_str(), value.data(), value.size());
    if (got < 0 && errno == ERANGE) continue;
    if (got < 0) {
      isGone = errno == ENODATA;
      return false;
    }
    value.resize(static_cast<std::size_t>(got));
    return true;
  }
}

// Makes the extended attributes of `toFd` those of `fromFd`: copies each one
// and removes those `fromFd` lacks (an access ACL inherited from the folder's
// default ACL, say).
bool CopyExtendedAttributes(int fromFd, int toFd) {
  std::vector<std::string> fromNames;
  std::vector<std::string> toNames;
  if (!ListAttributeNames(fromFd, fromNames) || !ListAttributeNames(toFd, toNames)) return false;
  std::vector<char> value;
  for (const std::string& name : fromNames) {
    bool isGone = false;
    if (!ReadAttribute(fromFd, name, value, isGone)) {
      if (isGone) continue;
      return false;
    }
    if (::fsetxattr(toFd, name.c_str(), value.data(), value.size(), 0) != 0) return false;
  }
  for (const std::string& name : toNames) {
    if (std::find(fromNames.begin(), fromNames.end(), name) != fromNames.end()) continue;
    if (::fremovexattr(toFd, name.c_str()) != 0 && errno != ENODATA) return false;
  }
  return true;
}

mode_t NewFileMode() {
  const mode_t mask = ::umask(0);
  ::umask(mask);
  return 0666 & ~mask;
}

}  // namespace

LockResult LockFileExclusive(int fd, const std::function<bool()>& shouldStop) {
  // Polled rather than blocking: the stop signals are blocked in this thread
  // and would never interrupt a waiting flock.
  auto pause = std::chrono::milliseconds(1);
  for (;;) {
    if (shouldStop && shouldStop()) return LockResult::Stopped;
    if (::flock(fd, LOCK_EX | LOCK_NB) == 0) return LockResult::Locked;
    if (errno == EINTR) continue;
    if (errno == ENOLCK || errno == EOPNOTSUPP || errno == EINVAL) return LockResult::Unsupported;
    if (errno != EWOULDBLOCK) return LockResult::Failed;
    std::this_thread::sleep_for(pause);
    pause = std::min(pause * 2, std::chrono::milliseconds(20));
  }
}

bool IsSameFile(int fd, const std::string& path) {
  struct stat opened {};
  struct stat named {};
  if (::fstat(fd, &opened) != 0 || ::stat(path.c_str(), &named) != 0) return false;
  return opened.st_dev == named.st_dev && opened.st_ino == named.st_ino;
}

int StandardStreamOf(const std::string& path) {
  struct stat named {};
  if (::stat(path.c_str(), &named) != 0 || S_ISCHR(named.st_mode)) return 0;
  for (int fd : {1, 2}) {
    struct stat opened {};
    if (::fstat(fd, &opened) == 0 && opened.st_dev == named.st_dev && opened.st_ino == named.st_ino) return fd;
  }
  return 0;
}

bool SyncFile(int fd) {
  while (::fsync(fd) != 0) {
    if (errno == EINTR) continue;
    return errno == EINVAL;
  }
  return true;
}

void StartWriteback(int fd) {
  // The whole file: pages already under way are skipped, so asking again costs little.
  ::sync_file_range(fd, 0, 0, SYNC_FILE_RANGE_WRITE);
}

bool SyncFolder(const std::string& folder) {
  ScopedFd dir(::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  // A folder that may be written but not read cannot be opened for fsync;
  // the rename in it stands all the same.
  if (dir.get() < 0) return errno == EACCES || errno == EPERM;
  while (::fsync(dir.get()) != 0) {
    if (errno == EINTR) continue;
    return errno == EINVAL;
  }
  return true;
}

bool SyncFolderOrFail(const std::string& folder) {
  const int fd = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) return false;
  // A file system that cannot flush a folder (EINVAL) has nothing to flush.
  const bool isSynced = ::fsync(fd) == 0 || errno == EINVAL;
  const int syncErrno = errno;
  ::close(fd);
  errno = syncErrno;
  return isSynced;
}

void GiveNewFileMode(int fd) { ::fchmod(fd, NewFileMode()); }

int OpenUnnamedFile(const std::string& folder) {
  // An unnamed file gets its name through /proc/self/fd (only a privileged
  // process may link it without): without /proc it could never be published.
  if (::access("/proc/self/fd", X_OK) != 0) {
    errno = EOPNOTSUPP;
    return -1;
  }
  return ::open(folder.c_str(), O_TMPFILE | O_RDWR | O_CLOEXEC, 0600);
}

LinkResult PublishNewFile(int fd, const std::string& name, const std::string& path) {
  if (!name.empty()) {
    if (::link(name.c_str(), path.c_str()) == 0) {
      ::unlink(name.c_str());
      return LinkResult::Linked;
    }
    // File systems without hard links (FAT) say EPERM.
    if (errno == EPERM || errno == EOPNOTSUPP) return LinkResult::Unsupported;
    return LinkResultOf(errno);
  }
  if (::linkat(fd, "", AT_FDCWD, path.c_str(), AT_EMPTY_PATH) == 0) return LinkResult::Linked;
  // Without CAP_DAC_READ_SEARCH the kernel refuses the empty path with
  // ENOENT; the descriptor's /proc entry names the same file to anyone.
  if (errno != ENOENT) return LinkResultOf(errno);
  const std::string procPath = ProcFdPath(fd);
  if (::linkat(AT_FDCWD, procPath.c_str(), AT_FDCWD, path.c_str(), AT_SYMLINK_FOLLOW) == 0) {
    return LinkResult::Linked;
  }
  if (errno == ENOENT && ::access(procPath.c_str(), F_OK) != 0) return LinkResult::Unsupported;
  // A security policy may refuse links to unnamed files as well.
  if (errno == EPERM || errno == EACCES) return LinkResult::Unsupported;
  return LinkResultOf(errno);
}

bool ReplaceFileAtomically(const std::string& from, const std::string& to) {
  return ::rename(from.c_str(), to.c_str()) == 0;
}

ReplaceResult ReplaceWithNewFile(UniqueFd& newFile, const std::string& newName, UniqueFd& /*oldFile*/,
                                 const std::string& target) {
  if (::rename(newName.c_str(), target.c_str()) != 0) {
    // Refused by the folder (or a security module) though the file itself
    // may be written.
    return errno == EPERM || errno == EACCES ? ReplaceResult::Refused : ReplaceResult::Failed;
  }
  // Closed only now: the new file is named for as short a time as can be
  // before it takes the target's place.
  return newFile.Close() ? ReplaceResult::Replaced : ReplaceResult::NotClosed;
}

bool CanReplaceOpenFiles() { return true; }

bool IsReplaceableKeepingIdentity(int fd) {
  struct stat st {};
  if (::fstat(fd, &st) != 0) return false;
  const uid_t runner = ::geteuid();
  return st.st_nlink <= 1 && (runner == 0 || runner == st.st_uid);
}

bool CopyFileIdentity(int fromFd, int toFd) {
  struct stat from {};
  if (::fstat(fromFd, &from) != 0) return false;
  // Owner first: a change of owner drops file capabilities (an attribute)
  // and set-id bits (the mode), so both are given afterwards.
  if (::fchown(toFd, from.st_uid, from.st_gid) != 0) return false;
  if (!CopyExtendedAttributes(fromFd, toFd)) return false;
  // The ACL written above set the permission bits too; these agree with it.
  if (::fchmod(toFd, from.st_mode & 07777) != 0) return false;
  // The kernel may quietly leave out what the caller may not set, such as
  // set-group-id for a group it is not a member of.
  struct stat to {};
  if (::fstat(toFd, &to) != 0) return false;
  return to.st_uid == from.st_uid && to.st_gid == from.st_gid &&
         (to.st_mode & 07777) == (from.st_mode & 07777);
}

bool CopyFileContent(int fromFd, int toFd) {
  loff_t offset = 0;
  for (;;) {
    const ssize_t copied = ::copy_file_range(fromFd, &offset, toFd, nullptr, std::size_t{1} << 30, 0);
    if (copied == 0) return true;
    if (copied > 0) continue;
    if (errno == EINTR) continue;
    if (errno != EXDEV && errno != ENOSYS && errno != EINVAL && errno != EOPNOTSUPP) return false;
    break;
  }
  // The kernel could not copy in place; go on with plain reads and writes.
  std::unique_ptr<char[]> buffer = std::make_unique_for_overwrite<char[]>(kCopyBufferSize);
  for (;;) {
    const ssize_t got = ::pread(fromFd, buffer.get(), kCopyBufferSize, offset);
    if (got == 0) return true;
    if (got < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    if (!WriteAll(toFd, buffer.get(), static_cast<std::size_t>(got))) return false;
    offset += got;
  }
}

bool ListFolder(const std::string& folder, std::vector<std::string>& names) {
  names.clear();
  std::unique_ptr<DIR, int (*)(DIR*)> dir(::opendir(folder.c_str()), ::closedir);
  if (!dir) return false;
  while (const dirent* entry = ::readdir(dir.get())) {
    const std::string_view name = entry->d_name;
    if (name != "." && name != "..") names.emplace_back(name);
  }
  return true;
}

long CurrentProcessId() { return static_cast<long>(::getpid()); }

bool HasProcessEnded(long pid) { return ::kill(static_cast<pid_t>(pid), 0) != 0 && errno == ESRCH; }

}  // namespace korvadex
