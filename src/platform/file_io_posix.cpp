// Plain file I/O on Linux: open(2) with O_CLOEXEC, read, write, pread,
// pwrite, O_TMPFILE for temporary files.
#include "platform/file_io.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>

#include "platform/paths.h"

namespace korvadex {

int OpenFile(const std::string& path, const OpenOptions& options) {
  int flags = O_CLOEXEC;
  switch (options.access) {
    case FileAccess::Read:
      flags |= O_RDONLY;
      break;
    case FileAccess::Write:
      flags |= O_WRONLY;
      break;
    case FileAccess::ReadWrite:
      flags |= O_RDWR;
      break;
  }
  switch (options.creation) {
    case FileCreation::Existing:
      break;
    case FileCreation::New:
      flags |= O_CREAT | O_EXCL;
      break;
    case FileCreation::Any:
      flags |= O_CREAT;
      break;
    case FileCreation::Truncated:
      flags |= O_CREAT | O_TRUNC;
      break;
  }
  if (options.isAppend) flags |= O_APPEND;
  return ::open(path.c_str(), flags, options.isPrivate ? 0600 : 0666);
}

bool CloseFile(int fd) { return ::close(fd) == 0; }

bool WriteAll(int fd, const char* data, std::size_t size) {
  while (size > 0) {
    ssize_t written = ::write(fd, data, size);
    if (written < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    data += written;
    size -= static_cast<std::size_t>(written);
  }
  return true;
}

bool WriteAllAt(int fd, const char* data, std::size_t size, std::uint64_t offset) {
  while (size > 0) {
    const ssize_t written = ::pwrite(fd, data, size, static_cast<off_t>(offset));
    if (written < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    data += written;
    size -= static_cast<std::size_t>(written);
    offset += static_cast<std::uint64_t>(written);
  }
  return true;
}

std::int64_t ReadSome(int fd, char* data, std::size_t size) {
  for (;;) {
    const ssize_t got = ::read(fd, data, size);
    if (got < 0 && errno == EINTR) continue;
    return got;
  }
}

std::int64_t ReadAt(int fd, char* data, std::size_t size, std::uint64_t offset) {
  for (;;) {
    const ssize_t got = ::pread(fd, data, size, static_cast<off_t>(offset));
    if (got < 0 && errno == EINTR) continue;
    return got;
  }
}

bool RegularFileSize(int fd, std::uint64_t& size) {
  struct stat info {};
  if (::fstat(fd, &info) != 0 || !S_ISREG(info.st_mode)) return false;
  size = static_cast<std::uint64_t>(info.st_size);
  return true;
}

bool SeekTo(int fd, std::uint64_t offset) {
  return ::lseek(fd, static_cast<off_t>(offset), SEEK_SET) == static_cast<off_t>(offset);
}

bool CurrentOffset(int fd, std::uint64_t& offset) {
  const off_t position = ::lseek(fd, 0, SEEK_CUR);
  if (position < 0) return false;
  offset = static_cast<std::uint64_t>(position);
  return true;
}

bool TruncateFile(int fd, std::uint64_t length) { return ::ftruncate(fd, static_cast<off_t>(length)) == 0; }

int OpenTemporaryFile(const std::string& folder) {
  const std::string where = folder.empty() ? std::string(P_tmpdir) : folder;
  // O_TMPFILE where the file system has it, else a named file unlinked at once.
  int fd = ::open(where.c_str(), O_TMPFILE | O_RDWR | O_CLOEXEC, 0600);
  if (fd >= 0) return fd;
  std::string pattern = where + "/.korvadex-spill-XXXXXX";
  fd = ::mkostemp(pattern.data(), O_CLOEXEC);
  if (fd >= 0) ::unlink(pattern.c_str());
  return fd;
}

int CreateUniqueFile(std::string& pathTemplate) { return ::mkostemp(pathTemplate.data(), O_CLOEXEC); }

bool RemoveFile(const std::string& path) { return ::unlink(path.c_str()) == 0; }

PathKind InspectPath(const std::string& path) {
  PathKind kind;
  struct stat linkStat {};
  struct stat targetStat {};
  kind.hasEntry = ::lstat(path.c_str(), &linkStat) == 0;
  kind.isLink = kind.hasEntry && S_ISLNK(linkStat.st_mode);
  kind.exists = ::stat(path.c_str(), &targetStat) == 0;
  kind.isFolder = kind.exists && S_ISDIR(targetStat.st_mode);
  kind.isRegular = kind.exists && S_ISREG(targetStat.st_mode);
  return kind;
}

bool ResolveLinks(const std::string& path, std::string& resolved) {
  char buffer[PATH_MAX];
  if (::realpath(path.c_str(), buffer) == nullptr) return false;
  resolved = buffer;
  return true;
}

bool ResolveLinksToMissingFile(const std::string& path, std::string& resolved) {
  std::string name = path;
  // The kernel follows at most 40 links in one name, too.
  for (int hop = 0; hop < 40; ++hop) {
    struct stat entry {};
    if (::lstat(name.c_str(), &entry) != 0) {
      struct stat folder {};
      if (errno != ENOENT || ::stat(FolderOf(name).c_str(), &folder) != 0 || !S_ISDIR(folder.st_mode)) return false;
      resolved = name;
      return true;
    }
    if (!S_ISLNK(entry.st_mode)) return false;
    char buffer[PATH_MAX];
    const ssize_t length = ::readlink(name.c_str(), buffer, sizeof buffer);
    if (length <= 0 || static_cast<std::size_t>(length) >= sizeof buffer) return false;
    const std::string next(buffer, static_cast<std::size_t>(length));
    name = next.front() == '/' ? next : JoinPath(FolderOf(name), next);
  }
  return false;
}

void IgnoreFileSizeSignal() { ::signal(SIGXFSZ, SIG_IGN); }

}  // namespace korvadex
