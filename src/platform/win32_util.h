// Helpers shared by the Windows implementations in this folder only: wide
// path names, Win32 errors as errno values, the handle behind a descriptor.
#ifndef KORVADEX_PLATFORM_WIN32_UTIL_H_
#define KORVADEX_PLATFORM_WIN32_UTIL_H_

#include <windows.h>

#include <string>

namespace korvadex {

// A file name as the program holds it, in UTF-8 (ProgramArguments takes the
// target so from the wide command line, so that any name the file system
// takes passes unchanged), turned into UTF-16 for the wide Win32 functions.
std::wstring WidePath(const std::string& text);

// UTF-16 back to the UTF-8 in which the program holds file names.
std::string NarrowPath(const std::wstring& text);

// Sets errno to the value that the callers' POSIX-minded checks expect for
// Win32 error `error` (ENOENT, EEXIST, EACCES, ENAMETOOLONG, ENOSPC, ...).
void SetErrnoFromWin32(DWORD error);

// The Win32 handle behind descriptor `fd`, or INVALID_HANDLE_VALUE.
HANDLE HandleOf(int fd);

// Wraps `handle` into a binary-mode descriptor that owns it; closes the
// handle and returns -1 when no descriptor is free.
int DescriptorOf(HANDLE handle, bool isReadOnly, bool isAppend);

// A name part for a new file of this process: its id, the clock and
// `attempt`, which the caller counts up while a name is taken.
std::wstring UniqueSuffix(int attempt);

// In a driver process: the inherited event with which the run asks it to
// cancel; null in every other process.
HANDLE ParentCancelEvent();

}  // namespace korvadex

#endif  // KORVADEX_PLATFORM_WIN32_UTIL_H_
