// Writes the sorted records into the download file, replacing or appending,
// so that a failure never leaves a half-written file behind.
#include "output/download_writer.h"

#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string_view>
#include <utility>

#include "output/file_io.h"

namespace korvadex {

namespace {

constexpr std::size_t kWriteBufferSize = std::size_t{1} << 20;

// Owns a file descriptor; Close() reports what close(2) says, the destructor
// is only a safety net for the error paths.
class UniqueFd {
 public:
  UniqueFd() = default;
  explicit UniqueFd(int fd) : fd_(fd) {}
  ~UniqueFd() {
    if (fd_ >= 0) ::close(fd_);
  }
  UniqueFd(const UniqueFd&) = delete;
  UniqueFd& operator=(const UniqueFd&) = delete;
  UniqueFd(UniqueFd&& other) noexcept : fd_(std::exchange(other.fd_, -1)) {}
  UniqueFd& operator=(UniqueFd&& other) noexcept {
    if (this != &other) {
      if (fd_ >= 0) ::close(fd_);
      fd_ = std::exchange(other.fd_, -1);
    }
    return *this;
  }

  int get() const { return fd_; }
  bool isOpen() const { return fd_ >= 0; }
  bool Close() {
    if (fd_ < 0) return true;
    return ::close(std::exchange(fd_, -1)) == 0;
  }

 private:
  int fd_ = -1;
};

// Gathers small records into large writes; once a write fails it stays failed.
class FileSink {
 public:
  explicit FileSink(int fd)
      : fd_(fd), buffer_(std::make_unique_for_overwrite<char[]>(kWriteBufferSize)) {}

  bool Write(std::string_view data) {
    if (failed_) return false;
    // An empty record's view may have no storage behind it at all.
    if (data.empty()) return true;
    if (used_ + data.size() > kWriteBufferSize && !Flush()) return false;
    if (data.size() >= kWriteBufferSize) {
      failed_ = !WriteAll(fd_, data.data(), data.size());
      return !failed_;
    }
    std::memcpy(buffer_.get() + used_, data.data(), data.size());
    used_ += data.size();
    return true;
  }

  bool Flush() {
    if (failed_) return false;
    failed_ = !WriteAll(fd_, buffer_.get(), used_);
    used_ = 0;
    return !failed_;
  }

 private:
  int fd_;
  std::unique_ptr<char[]> buffer_;
  std::size_t used_ = 0;
  bool failed_ = false;
};

bool WriteRecords(int fd, RecordList& list) {
  FileSink sink(fd);
  if (!EmitSortedRecords(list, [&sink](std::string_view record) { return sink.Write(record); })) {
    return false;
  }
  return sink.Flush();
}

std::string FolderOf(const std::string& path) {
  std::size_t slash = path.rfind('/');
  if (slash == std::string::npos) return ".";
  if (slash == 0) return "/";
  return path.substr(0, slash);
}

mode_t CurrentUmask() {
  mode_t mask = ::umask(0);
  ::umask(mask);
  return mask;
}

// The name a temporary file of this process gets just before it is renamed
// over `target`: the pid in it tells a later run whether its writer is gone.
std::string TempNamePrefix(const std::string& target) {
  std::string prefix = ".";
  prefix.append(std::string_view(target).substr(target.rfind('/') + 1));
  prefix.append(".korvadex-");
  return prefix;
}

// Removes what killed runs left of their temporary files for `target`: a
// kill between naming the file and renaming it (a few microseconds) leaves
// the whole file under its hidden name. Files of a process that still exists
// are left alone.
void RemoveStrayTempFiles(const std::string& target) {
  const std::string folder = FolderOf(target);
  const std::string prefix = TempNamePrefix(target);
  std::unique_ptr<DIR, int (*)(DIR*)> dir(::opendir(folder.c_str()), ::closedir);
  if (!dir) return;
  while (const dirent* entry = ::readdir(dir.get())) {
    const std::string_view name = entry->d_name;
    if (!name.starts_with(prefix)) continue;
    // <prefix><pid>-<attempt>; the random names of the fallback carry no pid.
    const std::string rest(name.substr(prefix.size()));
    char* end = nullptr;
    errno = 0;
    const long pid = std::strtol(rest.c_str(), &end, 10);
    if (errno != 0 || end == rest.c_str() || *end != '-' || pid <= 0 || pid == ::getpid()) continue;
    if (::kill(static_cast<pid_t>(pid), 0) == 0 || errno != ESRCH) continue;
    ::unlinkat(::dirfd(dir.get()), std::string(name).c_str(), 0);
  }
}

// A new file in the target's folder that becomes the target only by a rename,
// so a reader, a crash or a kill sees the old file or the complete new one.
// Where the file system allows it the file has no name until it is complete,
// so an interrupted run leaves nothing behind.
class TempFile {
 public:
  explicit TempFile(const std::string& target) : target_(target) {
    const std::string folder = FolderOf(target);
    fd_ = UniqueFd(::open(folder.c_str(), O_TMPFILE | O_WRONLY | O_CLOEXEC, 0600));
    if (fd_.isOpen()) return;
    std::string pattern = folder + "/." + target.substr(target.rfind('/') + 1) + ".korvadex-XXXXXX";
    fd_ = UniqueFd(::mkostemp(pattern.data(), O_CLOEXEC));
    if (fd_.isOpen()) name_ = pattern;
  }
  ~TempFile() {
    fd_.Close();
    if (!name_.empty()) ::unlink(name_.c_str());
  }
  TempFile(const TempFile&) = delete;
  TempFile& operator=(const TempFile&) = delete;

  int fd() const { return fd_.get(); }
  bool isOpen() const { return fd_.isOpen(); }

  // Renames the file over the target and closes it; false when any step
  // fails. The file is named only right before the rename and closed after
  // it, so the moment in which a kill leaves it behind stays as short as it
  // can be. A failed close (which local file systems do not report) comes
  // after the rename and is still reported.
  bool Commit() {
    if (name_.empty() && !GiveName()) return false;
    if (::rename(name_.c_str(), target_.c_str()) != 0) return false;
    name_.clear();
    return fd_.Close();
  }

 private:
  bool GiveName() {
    const std::string base = FolderOf(target_) + "/" + TempNamePrefix(target_) + std::to_string(::getpid()) + "-";
    const std::string procPath = "/proc/self/fd/" + std::to_string(fd_.get());
    for (int attempt = 0; attempt < 100; ++attempt) {
      std::string candidate = base + std::to_string(attempt);
      if (::linkat(AT_FDCWD, procPath.c_str(), AT_FDCWD, candidate.c_str(), AT_SYMLINK_FOLLOW) == 0) {
        name_ = candidate;
        return true;
      }
      if (errno != EEXIST) return false;
    }
    return false;
  }

  std::string target_;
  std::string name_;  // empty while the file has no name of its own
  UniqueFd fd_;
};

bool CopyContent(int fromFd, int toFd) {
  for (;;) {
    ssize_t copied = ::copy_file_range(fromFd, nullptr, toFd, nullptr, std::size_t{1} << 30, 0);
    if (copied == 0) return true;
    if (copied > 0) continue;
    if (errno == EINTR) continue;
    if (errno != EXDEV && errno != ENOSYS && errno != EINVAL && errno != EOPNOTSUPP) return false;
    break;
  }
  // The kernel could not copy in place; fall back to plain reads and writes.
  std::unique_ptr<char[]> buffer = std::make_unique_for_overwrite<char[]>(kWriteBufferSize);
  for (;;) {
    ssize_t got = ::read(fromFd, buffer.get(), kWriteBufferSize);
    if (got == 0) return true;
    if (got < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    if (!WriteAll(toFd, buffer.get(), static_cast<std::size_t>(got))) return false;
  }
}

// Writes into the target itself: for devices and pipes, and for a file whose
// folder takes no new files. An append that fails is cut back to the old length.
WriteOutcome WriteDirect(const std::string& path, bool replace, RecordList& list) {
  UniqueFd fd(::open(path.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC | (replace ? O_TRUNC : O_APPEND),
                     0666));
  if (!fd.isOpen()) return WriteOutcome::NotOpened;
  struct stat before {};
  const bool isRegular = ::fstat(fd.get(), &before) == 0 && S_ISREG(before.st_mode);
  bool isWritten = WriteRecords(fd.get(), list);
  if (!isWritten && !replace && isRegular) {
    // Best effort: the file is already damaged if this fails too.
    [[maybe_unused]] int ignored = ::ftruncate(fd.get(), before.st_size);
  }
  if (!fd.Close()) isWritten = false;
  return isWritten ? WriteOutcome::Written : WriteOutcome::NotWritten;
}

}  // namespace

WriteOutcome WriteDownloadFile(const std::string& path, bool replace, RecordList& list) {
  // Records were lost when a run could not be spilled; the target stays as it was.
  if (list.hasSpillFailed()) return WriteOutcome::NotWritten;
  struct stat linkStat {};
  struct stat targetStat {};
  const bool hasEntry = ::lstat(path.c_str(), &linkStat) == 0;
  const bool exists = ::stat(path.c_str(), &targetStat) == 0;
  if (exists && S_ISDIR(targetStat.st_mode)) return WriteOutcome::NotOpened;
  // Devices, pipes and links that point nowhere yet are written as they are:
  // there is nothing a rename could keep safe.
  if ((exists && !S_ISREG(targetStat.st_mode)) || (hasEntry && !exists)) {
    return WriteDirect(path, replace, list);
  }

  std::string target = path;
  if (exists && S_ISLNK(linkStat.st_mode)) {
    char resolved[PATH_MAX];
    if (::realpath(path.c_str(), resolved) == nullptr) return WriteDirect(path, replace, list);
    target = resolved;
  }
  UniqueFd existing;
  if (exists) {
    // A rename needs only the folder's permission; the old file's own must still count.
    existing = UniqueFd(::open(target.c_str(), (replace ? O_WRONLY : O_RDWR) | O_CLOEXEC));
    if (!existing.isOpen()) {
      if (replace || errno != EACCES) return WriteOutcome::NotOpened;
      // Writable but not readable: an append cannot copy the old content.
      UniqueFd writeOnly(::open(target.c_str(), O_WRONLY | O_CLOEXEC));
      if (!writeOnly.isOpen()) return WriteOutcome::NotOpened;
      writeOnly.Close();
      return WriteDirect(target, replace, list);
    }
  }

  RemoveStrayTempFiles(target);
  TempFile temp(target);
  if (!temp.isOpen()) {
    if (!exists) return WriteOutcome::NotOpened;
    existing.Close();
    return WriteDirect(target, replace, list);
  }
  if (!replace && exists && !CopyContent(existing.get(), temp.fd())) return WriteOutcome::NotWritten;
  if (!WriteRecords(temp.fd(), list)) return WriteOutcome::NotWritten;
  if (exists) {
    // Keeping the owner only works for root; anyone else already owns the new file.
    [[maybe_unused]] int ignored = ::fchown(temp.fd(), targetStat.st_uid, targetStat.st_gid);
    // After the owner, since a change of owner clears the set-id bits.
    ::fchmod(temp.fd(), targetStat.st_mode & 07777);
  } else {
    ::fchmod(temp.fd(), 0666 & ~CurrentUmask());
  }
  existing.Close();
  return temp.Commit() ? WriteOutcome::Written : WriteOutcome::NotWritten;
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
    }
  }
  if (debugMode) std::printf("End WriteFile\n");
  return 0;
}

}  // namespace korvadex
