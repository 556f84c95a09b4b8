// Plain file I/O on Windows: CreateFileW with every sharing mode, so others
// may rename and delete an open file as on Linux; binary-mode descriptors;
// 64-bit offsets; temporary files deleted on close.
#include "platform/file_io.h"

#include <io.h>

#include <algorithm>
#include <cerrno>
#include <cwctype>

#include "platform/paths.h"
#include "platform/win32_util.h"

namespace korvadex {

namespace {

// _read and _write count in unsigned int; larger requests go in pieces.
constexpr std::size_t kMaxChunk = std::size_t{1} << 30;

constexpr DWORD kShareAll = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;

// How long an open waits while another program holds the file without
// sharing it; then the caller reports that it cannot open the file.
constexpr ULONGLONG kHeldFileWaitMs = 10000;

int FailWithLastError() {
  SetErrnoFromWin32(::GetLastError());
  return -1;
}

OVERLAPPED OffsetOf(std::uint64_t offset) {
  OVERLAPPED overlapped{};
  overlapped.Offset = static_cast<DWORD>(offset & 0xFFFFFFFFu);
  overlapped.OffsetHigh = static_cast<DWORD>(offset >> 32);
  return overlapped;
}

std::wstring TemporaryFolder() {
  wchar_t buffer[MAX_PATH + 1];
  const DWORD length = ::GetTempPathW(MAX_PATH + 1, buffer);
  if (length == 0 || length > MAX_PATH) return L".";
  return std::wstring(buffer, length);
}

// Six characters for a "XXXXXX" template from the process id, the clock and the attempt.
std::string TemplateCharacters(int attempt) {
  constexpr char kAlphabet[] = "abcdefghijklmnopqrstuvwxyz0123456789";
  std::uint64_t seed = (static_cast<std::uint64_t>(::GetCurrentProcessId()) << 32) ^ ::GetTickCount64() ^
                       (static_cast<std::uint64_t>(attempt) * 0x9E3779B97F4A7C15ull);
  std::string characters(6, 'a');
  for (char& c : characters) {
    seed = seed * 6364136223846793005ull + 1442695040888963407ull;
    c = kAlphabet[(seed >> 33) % 36];
  }
  return characters;
}

// True when the last part of `path` is a DOS device's name with something
// after it ("nul.txt", "NUL .dat", "com1:x"), which Windows takes for the
// device; the bare name ("NUL", "sub\con") names the device itself, and
// "\\.\" and "\\?\" paths are what they say.
bool IsDeviceAlias(const std::wstring& path) {
  if (path.rfind(L"\\\\.\\", 0) == 0 || path.rfind(L"\\\\?\\", 0) == 0) return false;
  const std::size_t slash = path.find_last_of(L"\\/:");
  const std::wstring name = slash == std::wstring::npos ? path : path.substr(slash + 1);
  std::size_t end = name.find_first_of(L".:");
  if (end == std::wstring::npos) return false;
  while (end > 0 && name[end - 1] == L' ') --end;
  std::wstring base = name.substr(0, end);
  for (wchar_t& c : base) c = static_cast<wchar_t>(std::towupper(c));
  for (const wchar_t* device : {L"CON", L"PRN", L"AUX", L"NUL", L"CONIN$", L"CONOUT$"}) {
    if (base == device) return true;
  }
  return base.size() == 4 && (base.rfind(L"COM", 0) == 0 || base.rfind(L"LPT", 0) == 0) && base[3] >= L'1' &&
         base[3] <= L'9';
}

}  // namespace

int OpenFile(const std::string& path, const OpenOptions& options) {
  DWORD access = GENERIC_READ;
  if (options.access == FileAccess::Write) access = GENERIC_WRITE;
  if (options.access == FileAccess::ReadWrite) access = GENERIC_READ | GENERIC_WRITE;
  DWORD disposition = OPEN_EXISTING;
  if (options.creation == FileCreation::New) disposition = CREATE_NEW;
  // Truncated is done below: CREATE_ALWAYS would also reset the attributes
  // and fail on a hidden file.
  if (options.creation == FileCreation::Any || options.creation == FileCreation::Truncated) {
    disposition = OPEN_ALWAYS;
  }
  // A created file takes the access rules its folder hands down; Windows has
  // no umask and no mode bits, so isPrivate adds nothing here.
  const std::wstring widePath = WidePath(path);
  if (IsDeviceAlias(widePath)) {
    errno = EINVAL;
    return -1;
  }
  const DWORD attributes = options.isHidden ? FILE_ATTRIBUTE_HIDDEN : FILE_ATTRIBUTE_NORMAL;
  const ULONGLONG start = ::GetTickCount64();
  DWORD pause = 10;
  HANDLE handle = INVALID_HANDLE_VALUE;
  for (;;) {
    handle = ::CreateFileW(widePath.c_str(), access, kShareAll, nullptr, disposition, attributes, nullptr);
    if (handle != INVALID_HANDLE_VALUE) break;
    if (::GetLastError() != ERROR_SHARING_VIOLATION || ::GetTickCount64() - start >= kHeldFileWaitMs) {
      return FailWithLastError();
    }
    ::Sleep(pause);
    pause = std::min<DWORD>(pause * 2, 200);
  }
  if (options.creation == FileCreation::Truncated && ::GetFileType(handle) == FILE_TYPE_DISK &&
      !::SetEndOfFile(handle)) {
    const DWORD error = ::GetLastError();
    ::CloseHandle(handle);
    SetErrnoFromWin32(error);
    return -1;
  }
  return DescriptorOf(handle, options.access == FileAccess::Read, options.isAppend);
}

bool CloseFile(int fd) { return ::_close(fd) == 0; }

bool WriteAll(int fd, const char* data, std::size_t size) {
  while (size > 0) {
    const int written = ::_write(fd, data, static_cast<unsigned>(std::min(size, kMaxChunk)));
    if (written < 0) return false;
    if (written == 0) {
      errno = ENOSPC;
      return false;
    }
    data += written;
    size -= static_cast<std::size_t>(written);
  }
  return true;
}

bool WriteAllAt(int fd, const char* data, std::size_t size, std::uint64_t offset) {
  const HANDLE handle = HandleOf(fd);
  while (size > 0) {
    OVERLAPPED at = OffsetOf(offset);
    DWORD written = 0;
    if (!::WriteFile(handle, data, static_cast<DWORD>(std::min(size, kMaxChunk)), &written, &at)) {
      FailWithLastError();
      return false;
    }
    if (written == 0) {
      errno = ENOSPC;
      return false;
    }
    data += written;
    size -= written;
    offset += written;
  }
  return true;
}

std::int64_t ReadSome(int fd, char* data, std::size_t size) {
  return ::_read(fd, data, static_cast<unsigned>(std::min(size, kMaxChunk)));
}

std::int64_t ReadAt(int fd, char* data, std::size_t size, std::uint64_t offset) {
  OVERLAPPED at = OffsetOf(offset);
  DWORD got = 0;
  if (!::ReadFile(HandleOf(fd), data, static_cast<DWORD>(std::min(size, kMaxChunk)), &got, &at)) {
    if (::GetLastError() == ERROR_HANDLE_EOF) return 0;
    return FailWithLastError();
  }
  return got;
}

bool RegularFileSize(int fd, std::uint64_t& size) {
  const HANDLE handle = HandleOf(fd);
  LARGE_INTEGER length{};
  if (::GetFileType(handle) != FILE_TYPE_DISK || !::GetFileSizeEx(handle, &length)) return false;
  size = static_cast<std::uint64_t>(length.QuadPart);
  return true;
}

bool SeekTo(int fd, std::uint64_t offset) {
  return ::_lseeki64(fd, static_cast<__int64>(offset), SEEK_SET) == static_cast<__int64>(offset);
}

bool CurrentOffset(int fd, std::uint64_t& offset) {
  const __int64 position = ::_lseeki64(fd, 0, SEEK_CUR);
  if (position < 0) return false;
  offset = static_cast<std::uint64_t>(position);
  return true;
}

bool TruncateFile(int fd, std::uint64_t length) {
  const HANDLE handle = HandleOf(fd);
  LARGE_INTEGER position{};
  LARGE_INTEGER end{};
  end.QuadPart = static_cast<LONGLONG>(length);
  // SetEndOfFile cuts at the handle's position, which writes use too.
  if (!::SetFilePointerEx(handle, LARGE_INTEGER{}, &position, FILE_CURRENT) ||
      !::SetFilePointerEx(handle, end, nullptr, FILE_BEGIN) || !::SetEndOfFile(handle)) {
    FailWithLastError();
    return false;
  }
  ::SetFilePointerEx(handle, position, nullptr, FILE_BEGIN);
  return true;
}

int OpenTemporaryFile(const std::string& folder) {
  const std::wstring where = folder.empty() ? TemporaryFolder() : WidePath(folder);
  for (int attempt = 0; attempt < 100; ++attempt) {
    const std::wstring name = WidePath(JoinPath(NarrowPath(where), ".korvadex-spill-")) + UniqueSuffix(attempt);
    // Nobody else may open it; the system deletes it when the last handle
    // goes, which a process that dies closes too.
    HANDLE handle = ::CreateFileW(name.c_str(), GENERIC_READ | GENERIC_WRITE | DELETE, 0, nullptr, CREATE_NEW,
                                  FILE_ATTRIBUTE_TEMPORARY | FILE_ATTRIBUTE_HIDDEN | FILE_FLAG_DELETE_ON_CLOSE,
                                  nullptr);
    if (handle != INVALID_HANDLE_VALUE) return DescriptorOf(handle, false, false);
    if (::GetLastError() != ERROR_FILE_EXISTS) return FailWithLastError();
  }
  errno = EEXIST;
  return -1;
}

int CreateUniqueFile(std::string& pathTemplate) {
  constexpr std::size_t kTemplateLength = 6;
  if (pathTemplate.size() < kTemplateLength ||
      pathTemplate.compare(pathTemplate.size() - kTemplateLength, kTemplateLength, "XXXXXX") != 0) {
    errno = EINVAL;
    return -1;
  }
  for (int attempt = 0; attempt < 100; ++attempt) {
    pathTemplate.replace(pathTemplate.size() - kTemplateLength, kTemplateLength, TemplateCharacters(attempt));
    HANDLE handle = ::CreateFileW(WidePath(pathTemplate).c_str(), GENERIC_READ | GENERIC_WRITE, kShareAll, nullptr,
                                  CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (handle != INVALID_HANDLE_VALUE) return DescriptorOf(handle, false, false);
    if (::GetLastError() != ERROR_FILE_EXISTS) return FailWithLastError();
  }
  errno = EEXIST;
  return -1;
}

bool RemoveFile(const std::string& path) {
  if (::DeleteFileW(WidePath(path).c_str())) return true;
  FailWithLastError();
  return false;
}

PathKind InspectPath(const std::string& path) {
  PathKind kind;
  const std::wstring wide = WidePath(path);
  const DWORD attributes = ::GetFileAttributesW(wide.c_str());
  kind.hasEntry = attributes != INVALID_FILE_ATTRIBUTES;
  kind.isLink = kind.hasEntry && (attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0;
  // Opened without any access, which no other program's sharing refuses, and
  // through links; devices such as NUL have no attributes but open.
  HANDLE handle =
      ::CreateFileW(wide.c_str(), 0, kShareAll, nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
  if (handle == INVALID_HANDLE_VALUE) return kind;
  kind.exists = true;
  kind.hasEntry = true;
  BY_HANDLE_FILE_INFORMATION info{};
  kind.isFolder =
      ::GetFileInformationByHandle(handle, &info) && (info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
  kind.isRegular = !kind.isFolder && ::GetFileType(handle) == FILE_TYPE_DISK;
  ::CloseHandle(handle);
  return kind;
}

bool ResolveLinksToMissingFile(const std::string& /*path*/, std::string& /*resolved*/) { return false; }

bool ResolveLinks(const std::string& path, std::string& resolved) {
  HANDLE handle = ::CreateFileW(WidePath(path).c_str(), 0, kShareAll, nullptr, OPEN_EXISTING,
                                FILE_FLAG_BACKUP_SEMANTICS, nullptr);
  if (handle == INVALID_HANDLE_VALUE) return false;
  std::wstring buffer(32768, L'\0');
  const DWORD length = ::GetFinalPathNameByHandleW(handle, buffer.data(), static_cast<DWORD>(buffer.size()),
                                                   FILE_NAME_NORMALIZED | VOLUME_NAME_DOS);
  ::CloseHandle(handle);
  if (length == 0 || length >= buffer.size()) return false;
  buffer.resize(length);
  // "\\?\C:\x" and "\\?\UNC\server\share\x" back to the names people write.
  if (buffer.starts_with(L"\\\\?\\UNC\\")) {
    buffer.replace(0, 8, L"\\\\");
  } else if (buffer.starts_with(L"\\\\?\\") && buffer.size() > 5 && buffer[5] == L':') {
    buffer.erase(0, 4);
  }
  resolved = NarrowPath(buffer);
  return true;
}

void IgnoreFileSizeSignal() {}

}  // namespace korvadex
