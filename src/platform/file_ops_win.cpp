// File primitives of the download writer on Windows: LockFileEx,
// FlushFileBuffers, MoveFileExW, and the file's attributes and access rules.
#include "platform/file_ops.h"

#include <aclapi.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <memory>

#include "platform/paths.h"
#include "platform/win32_util.h"

namespace korvadex {

namespace {

constexpr DWORD kShareAll = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;
constexpr std::size_t kCopyBufferSize = std::size_t{1} << 20;

// How long a replace keeps trying while another program holds the target
// open; then the run reports a write failure and the old file stays.
constexpr ULONGLONG kHeldTargetWaitMs = 10000;

// The attributes a replaced file keeps. Read-only cannot occur (the old file
// was opened for writing) and the archive bit belongs to backup programs.
constexpr DWORD kKeptAttributes = FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM | FILE_ATTRIBUTE_NOT_CONTENT_INDEXED;

bool FailWithLastError() {
  SetErrnoFromWin32(::GetLastError());
  return false;
}

// Errors with which Windows refuses to replace a file that another program
// has open, or has mapped into memory.
bool IsHeldByOthers(DWORD error) {
  return error == ERROR_SHARING_VIOLATION || error == ERROR_ACCESS_DENIED || error == ERROR_LOCK_VIOLATION ||
         error == ERROR_USER_MAPPED_FILE;
}

bool FileInformation(HANDLE handle, BY_HANDLE_FILE_INFORMATION& info) {
  return ::GetFileInformationByHandle(handle, &info) != 0;
}

// Frees what GetSecurityInfo hands out.
struct LocalFreer {
  void operator()(void* memory) const { ::LocalFree(memory); }
};
using SecurityDescriptor = std::unique_ptr<void, LocalFreer>;

// The DACL of `handle` and whether it is protected from inheritance; false
// when it cannot be read.
bool ReadDacl(HANDLE handle, SecurityDescriptor& holder, PACL& dacl, bool& isProtected) {
  PSECURITY_DESCRIPTOR descriptor = nullptr;
  dacl = nullptr;
  if (::GetSecurityInfo(handle, SE_FILE_OBJECT, DACL_SECURITY_INFORMATION, nullptr, nullptr, &dacl, nullptr,
                        &descriptor) != ERROR_SUCCESS) {
    return false;
  }
  holder.reset(descriptor);
  SECURITY_DESCRIPTOR_CONTROL control = 0;
  DWORD revision = 0;
  isProtected = ::GetSecurityDescriptorControl(descriptor, &control, &revision) && (control & SE_DACL_PROTECTED);
  return true;
}

bool IsSameAcl(const ACL* a, const ACL* b) {
  if (a == nullptr || b == nullptr) return a == b;
  return a->AclSize == b->AclSize && std::memcmp(a, b, a->AclSize) == 0;
}

// Gives `to` the DACL of `from` unless it has the same already, as a new
// file in the same folder usually has: both inherited it from there.
bool CopyAccessRules(HANDLE from, HANDLE to) {
  SecurityDescriptor fromDescriptor;
  SecurityDescriptor toDescriptor;
  PACL fromDacl = nullptr;
  PACL toDacl = nullptr;
  bool isFromProtected = false;
  bool isToProtected = false;
  if (!ReadDacl(from, fromDescriptor, fromDacl, isFromProtected) ||
      !ReadDacl(to, toDescriptor, toDacl, isToProtected)) {
    return false;
  }
  if (isFromProtected == isToProtected && IsSameAcl(fromDacl, toDacl)) return true;
  // The descriptor was opened for reading and writing data; changing its
  // access rules takes a handle that asks for that.
  HANDLE writable = ::ReOpenFile(to, WRITE_DAC | READ_CONTROL, kShareAll, 0);
  if (writable == INVALID_HANDLE_VALUE) return false;
  const SECURITY_INFORMATION what =
      DACL_SECURITY_INFORMATION |
      (isFromProtected ? PROTECTED_DACL_SECURITY_INFORMATION : UNPROTECTED_DACL_SECURITY_INFORMATION);
  const bool isSet =
      ::SetSecurityInfo(writable, SE_FILE_OBJECT, what, nullptr, nullptr, fromDacl, nullptr) == ERROR_SUCCESS;
  ::CloseHandle(writable);
  return isSet;
}

bool CopyAttributes(HANDLE from, HANDLE to) {
  FILE_BASIC_INFO fromInfo{};
  FILE_BASIC_INFO toInfo{};
  if (!::GetFileInformationByHandleEx(from, FileBasicInfo, &fromInfo, sizeof fromInfo) ||
      !::GetFileInformationByHandleEx(to, FileBasicInfo, &toInfo, sizeof toInfo)) {
    return false;
  }
  const DWORD wanted = (toInfo.FileAttributes & ~kKeptAttributes) | (fromInfo.FileAttributes & kKeptAttributes);
  if (wanted == toInfo.FileAttributes) return true;
  FILE_BASIC_INFO change{};  // times left 0: unchanged
  change.FileAttributes = wanted;
  return ::SetFileInformationByHandle(to, FileBasicInfo, &change, sizeof change) != 0;
}

}  // namespace

LockResult LockFileExclusive(int fd, const std::function<bool()>& shouldStop) {
  if (shouldStop && shouldStop()) return LockResult::Stopped;
  OVERLAPPED whole{};
  if (::LockFileEx(HandleOf(fd), LOCKFILE_EXCLUSIVE_LOCK | LOCKFILE_FAIL_IMMEDIATELY, 0, MAXDWORD, MAXDWORD,
                   &whole)) {
    return LockResult::Locked;
  }
  const DWORD error = ::GetLastError();
  if (error == ERROR_LOCK_VIOLATION || error == ERROR_IO_PENDING) return LockResult::Busy;
  if (error == ERROR_NOT_SUPPORTED || error == ERROR_INVALID_FUNCTION) return LockResult::Unsupported;
  SetErrnoFromWin32(error);
  return LockResult::Failed;
}

bool IsSameFile(int fd, const std::string& path) {
  BY_HANDLE_FILE_INFORMATION opened{};
  BY_HANDLE_FILE_INFORMATION named{};
  if (!FileInformation(HandleOf(fd), opened)) return false;
  HANDLE handle = ::CreateFileW(WidePath(path).c_str(), 0, kShareAll, nullptr, OPEN_EXISTING,
                                FILE_FLAG_BACKUP_SEMANTICS, nullptr);
  if (handle == INVALID_HANDLE_VALUE) return false;
  const bool isRead = FileInformation(handle, named);
  ::CloseHandle(handle);
  return isRead && opened.dwVolumeSerialNumber == named.dwVolumeSerialNumber &&
         opened.nFileIndexHigh == named.nFileIndexHigh && opened.nFileIndexLow == named.nFileIndexLow;
}

int StandardStreamOf(const std::string& path) {
  for (int fd : {1, 2}) {
    if (::GetFileType(HandleOf(fd)) != FILE_TYPE_CHAR && IsSameFile(fd, path)) return fd;
  }
  return 0;
}

bool SyncFile(int fd) {
  const HANDLE handle = HandleOf(fd);
  if (::GetFileType(handle) != FILE_TYPE_DISK) return true;
  return ::FlushFileBuffers(handle) || FailWithLastError();
}

void StartWriteback(int /*fd*/) {}

bool SyncFolder(const std::string& /*folder*/) { return true; }

bool SyncFolderOrFail(const std::string& /*folder*/) { return true; }

void GiveNewFileMode(int fd) {
  // The file was hidden while it was the writer's own; as the target it is a file like any other.
  const HANDLE handle = HandleOf(fd);
  FILE_BASIC_INFO info{};
  if (!::GetFileInformationByHandleEx(handle, FileBasicInfo, &info, sizeof info)) return;
  if ((info.FileAttributes & FILE_ATTRIBUTE_HIDDEN) == 0) return;
  FILE_BASIC_INFO change{};  // times left 0: unchanged
  change.FileAttributes = info.FileAttributes & ~FILE_ATTRIBUTE_HIDDEN;
  if (change.FileAttributes == 0) change.FileAttributes = FILE_ATTRIBUTE_NORMAL;
  ::SetFileInformationByHandle(handle, FileBasicInfo, &change, sizeof change);
}

int OpenUnnamedFile(const std::string& /*folder*/) {
  errno = EOPNOTSUPP;
  return -1;
}

LinkResult PublishNewFile(int /*fd*/, const std::string& name, const std::string& path) {
  if (name.empty()) return LinkResult::Unsupported;
  // Renamed while open: every handle of the tool's files shares deletion,
  // which is what Windows asks for; without the replace flag nothing that
  // has the name is touched.
  if (::MoveFileExW(WidePath(name).c_str(), WidePath(path).c_str(), MOVEFILE_WRITE_THROUGH)) {
    return LinkResult::Linked;
  }
  const DWORD error = ::GetLastError();
  SetErrnoFromWin32(error);
  if (error == ERROR_ALREADY_EXISTS || error == ERROR_FILE_EXISTS) return LinkResult::NameTaken;
  if (error == ERROR_FILENAME_EXCED_RANGE) return LinkResult::NameTooLong;
  return LinkResult::Failed;
}

bool ReplaceFileAtomically(const std::string& from, const std::string& to) {
  const std::wstring wideFrom = WidePath(from);
  const std::wstring wideTo = WidePath(to);
  const ULONGLONG start = ::GetTickCount64();
  DWORD pause = 10;
  for (;;) {
    if (::MoveFileExW(wideFrom.c_str(), wideTo.c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) {
      return true;
    }
    const DWORD error = ::GetLastError();
    if (!IsHeldByOthers(error) || ::GetTickCount64() - start >= kHeldTargetWaitMs) {
      SetErrnoFromWin32(error);
      return false;
    }
    ::Sleep(pause);
    pause = std::min<DWORD>(pause * 2, 200);
  }
}

ReplaceResult ReplaceWithNewFile(UniqueFd& newFile, const std::string& newName, UniqueFd& oldFile,
                                 const std::string& target) {
  if (!newFile.Close()) return ReplaceResult::Failed;
  // Nothing was written through it, so closing it loses nothing; the lock goes with it.
  oldFile.Close();
  return ReplaceFileAtomically(newName, target) ? ReplaceResult::Replaced : ReplaceResult::Failed;
}

bool CanReplaceOpenFiles() { return false; }

bool IsReplaceableKeepingIdentity(int fd) {
  BY_HANDLE_FILE_INFORMATION info{};
  return FileInformation(HandleOf(fd), info) && info.nNumberOfLinks <= 1;
}

bool CopyFileIdentity(int fromFd, int toFd) {
  const HANDLE from = HandleOf(fromFd);
  const HANDLE to = HandleOf(toFd);
  return CopyAttributes(from, to) && CopyAccessRules(from, to);
}

bool CopyFileContent(int fromFd, int toFd) {
  std::unique_ptr<char[]> buffer = std::make_unique_for_overwrite<char[]>(kCopyBufferSize);
  std::uint64_t offset = 0;
  for (;;) {
    const std::int64_t got = ReadAt(fromFd, buffer.get(), kCopyBufferSize, offset);
    if (got == 0) return true;
    if (got < 0) return false;
    if (!WriteAll(toFd, buffer.get(), static_cast<std::size_t>(got))) return false;
    offset += static_cast<std::uint64_t>(got);
  }
}

bool ListFolder(const std::string& folder, std::vector<std::string>& names) {
  names.clear();
  WIN32_FIND_DATAW entry{};
  HANDLE search = ::FindFirstFileExW(WidePath(JoinPath(folder, "*")).c_str(), FindExInfoBasic, &entry,
                                     FindExSearchNameMatch, nullptr, 0);
  if (search == INVALID_HANDLE_VALUE) return false;
  do {
    const std::wstring name = entry.cFileName;
    if (name != L"." && name != L"..") names.push_back(NarrowPath(name));
  } while (::FindNextFileW(search, &entry));
  ::FindClose(search);
  return true;
}

long CurrentProcessId() { return static_cast<long>(::GetCurrentProcessId()); }

bool HasProcessEnded(long pid) {
  if (pid <= 0 || static_cast<unsigned long>(pid) > MAXDWORD) return false;
  HANDLE process = ::OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, static_cast<DWORD>(pid));
  if (process == nullptr) return ::GetLastError() == ERROR_INVALID_PARAMETER;
  DWORD code = 0;
  const bool hasEnded = ::GetExitCodeProcess(process, &code) && code != STILL_ACTIVE;
  ::CloseHandle(process);
  return hasEnded;
}

}  // namespace korvadex
