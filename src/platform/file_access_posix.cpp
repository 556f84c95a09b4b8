// Who may read and write a file on Linux: mode bits and owners.
#include "platform/file_access.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace korvadex {

std::optional<unsigned> FileModeBits(int fd) {
  struct stat info {};
  if (::fstat(fd, &info) != 0) return std::nullopt;
  return static_cast<unsigned>(info.st_mode) & 07777u;
}

bool RestrictToOwner(int fd) {
  // The mode given to open is narrowed by the umask; the file must end up
  // readable and writable by its owner, and by no one else.
  return ::fchmod(fd, 0600) == 0;
}

std::string_view OwnerOnlyDescription() { return "mode 0600"; }

bool MayWriteFile(const std::string& path) {
  const int fd = ::open(path.c_str(), O_WRONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK);
  if (fd < 0) return false;
  ::close(fd);
  return true;
}

bool GiveOwnerOf(const std::string& oldPath, int fd) {
  struct stat old {};
  // A file gone meanwhile has no owner left to keep.
  if (::lstat(oldPath.c_str(), &old) != 0) return true;
  return old.st_uid == ::geteuid() || ::fchown(fd, old.st_uid, old.st_gid) == 0;
}

}  // namespace korvadex
