// Plain file I/O on descriptors, the same on Linux and Windows: opening with
// the tool's rules, whole reads and writes, sizes and offsets of 64 bits.
// Every file is opened in binary mode and is not inherited by child processes.
#ifndef KORVADEX_PLATFORM_FILE_IO_H_
#define KORVADEX_PLATFORM_FILE_IO_H_

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <utility>

namespace korvadex {

enum class FileAccess { Read, Write, ReadWrite };

enum class FileCreation {
  Existing,   // the file must exist
  New,        // the file must not exist and is created (EEXIST otherwise)
  Any,        // opened, or created when missing
  Truncated,  // opened and emptied, or created when missing
};

struct OpenOptions {
  FileAccess access = FileAccess::Read;
  FileCreation creation = FileCreation::Existing;
  bool isAppend = false;   // every write goes to the end of the file
  bool isPrivate = false;  // a created file is readable by its owner only (mode 0600), else 0666 less the umask
  bool isHidden = false;   // Windows: a created file is marked hidden (on Linux its leading dot hides it)
};

// Opens `path`; a descriptor, or -1 with errno set (ENOENT: no such file or
// folder, EEXIST: the file exists, EACCES: refused, ENAMETOOLONG). On
// Windows other programs may read, write, rename and delete the file while
// it is open, as on Linux, and a file that another program holds open
// without sharing it is waited for up to ten seconds; a name that Windows
// takes for a device though it is not the device's own ("nul.txt",
// "con.dat"; "NUL" itself is the device) is refused with EINVAL.
int OpenFile(const std::string& path, const OpenOptions& options);

// Closes `fd`; false when the system reports an error (data may be lost).
bool CloseFile(int fd);

// Owns a file descriptor; Close() reports what closing says, the destructor
// is only a safety net for the error paths.
class UniqueFd {
 public:
  UniqueFd() = default;
  explicit UniqueFd(int fd) : fd_(fd) {}
  ~UniqueFd() {
    if (fd_ >= 0) CloseFile(fd_);
  }
  UniqueFd(const UniqueFd&) = delete;
  UniqueFd& operator=(const UniqueFd&) = delete;
  UniqueFd(UniqueFd&& other) noexcept : fd_(std::exchange(other.fd_, -1)) {}
  UniqueFd& operator=(UniqueFd&& other) noexcept {
    if (this != &other) {
      if (fd_ >= 0) CloseFile(fd_);
      fd_ = std::exchange(other.fd_, -1);
    }
    return *this;
  }

  int get() const { return fd_; }
  bool isOpen() const { return fd_ >= 0; }
  bool Close() {
    if (fd_ < 0) return true;
    return CloseFile(std::exchange(fd_, -1));
  }

 private:
  int fd_ = -1;
};

// Writes all `size` bytes at the descriptor's offset (its end when opened
// for appending), resuming after short writes and interruptions; false on
// the first real error (errno tells which).
bool WriteAll(int fd, const char* data, std::size_t size);

// Writes all `size` bytes at `offset`, leaving the descriptor's own offset
// alone; false on the first error.
bool WriteAllAt(int fd, const char* data, std::size_t size, std::uint64_t offset);

// Reads up to `size` bytes at the descriptor's offset: the count, 0 at the
// end of the file, -1 on an error (interruptions are retried).
std::int64_t ReadSome(int fd, char* data, std::size_t size);

// Reads up to `size` bytes at `offset` without using the descriptor's own
// offset: the count, 0 at the end, -1 on an error.
std::int64_t ReadAt(int fd, char* data, std::size_t size, std::uint64_t offset);

// Reads exactly `size` bytes; false at the end of input or on an error.
bool ReadExactly(int fd, void* data, std::size_t size);

// The size of the regular file behind `fd`; false for anything else (a
// pipe, a device) and on an error.
bool RegularFileSize(int fd, std::uint64_t& size);

// Moves the descriptor's offset to `offset` from the start; false on an error.
bool SeekTo(int fd, std::uint64_t offset);

// The descriptor's offset; false on an error.
bool CurrentOffset(int fd, std::uint64_t& offset);

// Cuts or extends the file to `length` bytes; false with errno set.
bool TruncateFile(int fd, std::uint64_t length);

// Opens a new, empty file for reading and writing in `folder` (the system's
// temporary folder when empty) that no one else may read and that vanishes
// when it is closed or the process ends, however it ends. -1 when the folder
// takes no such file.
int OpenTemporaryFile(const std::string& folder);

// Creates a new file, mode 0600, for reading and writing from `pathTemplate`,
// whose last six characters are "XXXXXX" and are replaced by ones that give a
// name no file has; the template then holds that name. -1 with errno set.
int CreateUniqueFile(std::string& pathTemplate);

// Removes the name `path`; false with errno set.
bool RemoveFile(const std::string& path);

// What a path names.
struct PathKind {
  bool hasEntry = false;   // the name exists, perhaps as a link that points nowhere
  bool isLink = false;     // the name is a symbolic link
  bool exists = false;     // the name leads to something (links followed)
  bool isFolder = false;   // ... which is a folder
  bool isRegular = false;  // ... which is a regular file
};

// Inspects `path` without opening it.
PathKind InspectPath(const std::string& path);

// The absolute path with every link resolved; false when it cannot be had.
bool ResolveLinks(const std::string& path, std::string& resolved);

// For `path`, a symbolic link that points nowhere: the name its chain of
// links leads to, which a file created through it would get (in a folder
// that exists). False where that cannot be told: a loop, a chain that ends
// at something that exists, a missing folder, and on Windows, whose links
// are left to the system.
bool ResolveLinksToMissingFile(const std::string& path, std::string& resolved);

// Makes a write past the file size limit (ulimit -f, RLIMIT_FSIZE) fail with
// EFBIG, as on a full disk, instead of ending the process with SIGXFSZ;
// nothing to do on Windows, which has no such limit.
void IgnoreFileSizeSignal();

}  // namespace korvadex

#endif  // KORVADEX_PLATFORM_FILE_IO_H_
