// Helpers shared by the Windows implementations in this folder only: wide
// path names, Win32 errors as errno values, the handle behind a descriptor.
#include "platform/win32_util.h"

#include <fcntl.h>
#include <io.h>

#include <cerrno>

namespace korvadex {

std::wstring WidePath(const std::string& text) {
  if (text.empty()) return std::wstring();
  const int length = ::MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0);
  if (length <= 0) return std::wstring();
  std::wstring wide(static_cast<std::size_t>(length), L'\0');
  ::MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), wide.data(), length);
  return wide;
}

std::string NarrowPath(const std::wstring& text) {
  if (text.empty()) return std::string();
  const int length = ::WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0,
                                           nullptr, nullptr);
  if (length <= 0) return std::string();
  std::string narrow(static_cast<std::size_t>(length), '\0');
  ::WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), narrow.data(), length, nullptr,
                        nullptr);
  return narrow;
}

void SetErrnoFromWin32(DWORD error) {
  switch (error) {
    case ERROR_FILE_NOT_FOUND:
    case ERROR_PATH_NOT_FOUND:
    case ERROR_INVALID_DRIVE:
    case ERROR_BAD_NETPATH:
    case ERROR_BAD_NET_NAME:
    case ERROR_INVALID_NAME:
      errno = ENOENT;
      break;
    case ERROR_FILE_EXISTS:
    case ERROR_ALREADY_EXISTS:
      errno = EEXIST;
      break;
    case ERROR_ACCESS_DENIED:
    case ERROR_SHARING_VIOLATION:
    case ERROR_LOCK_VIOLATION:
    case ERROR_WRITE_PROTECT:
    case ERROR_PRIVILEGE_NOT_HELD:
      errno = EACCES;
      break;
    case ERROR_FILENAME_EXCED_RANGE:
    case ERROR_BUFFER_OVERFLOW:
      errno = ENAMETOOLONG;
      break;
    case ERROR_DISK_FULL:
    case ERROR_HANDLE_DISK_FULL:
      errno = ENOSPC;
      break;
    case ERROR_NOT_SAME_DEVICE:
      errno = EXDEV;
      break;
    case ERROR_NOT_SUPPORTED:
    case ERROR_INVALID_FUNCTION:
      errno = EOPNOTSUPP;
      break;
    case ERROR_TOO_MANY_OPEN_FILES:
      errno = EMFILE;
      break;
    case ERROR_NOT_ENOUGH_MEMORY:
    case ERROR_OUTOFMEMORY:
      errno = ENOMEM;
      break;
    case ERROR_DIRECTORY:
      errno = ENOTDIR;
      break;
    default:
      errno = EIO;
      break;
  }
}

HANDLE HandleOf(int fd) { return reinterpret_cast<HANDLE>(::_get_osfhandle(fd)); }

int DescriptorOf(HANDLE handle, bool isReadOnly, bool isAppend) {
  int flags = _O_BINARY | _O_NOINHERIT;
  if (isReadOnly) flags |= _O_RDONLY;
  if (isAppend) flags |= _O_APPEND;
  const int fd = ::_open_osfhandle(reinterpret_cast<intptr_t>(handle), flags);
  if (fd < 0) {
    ::CloseHandle(handle);
    errno = EMFILE;
  }
  return fd;
}

std::wstring UniqueSuffix(int attempt) {
  // The clock tells apart the names of one process's earlier calls; the
  // attempt those of one call that met a name taken.
  return std::to_wstring(::GetCurrentProcessId()) + L"-" + std::to_wstring(::GetTickCount64() % 1000000007) + L"-" +
         std::to_wstring(attempt);
}

}  // namespace korvadex
