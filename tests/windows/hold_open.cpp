// Test helper for the Windows build, run under wine by .ci/steps/70-windows.sh:
// holds a file open for a while as another program would ("read": sharing
// only reading, as an editor; "readwrite": sharing reading and writing but
// not renaming) or as another korvadex run would ("lock": every sharing mode
// and the exclusive lock). Prints "held" once it holds the file.
#include <windows.h>

#include <cstdio>
#include <cwchar>

int wmain(int argc, wchar_t** argv) {
  if (argc != 4) {
    std::fprintf(stderr, "usage: hold_open FILE MILLISECONDS read|readwrite|lock\n");
    return 2;
  }
  const bool isLock = std::wcscmp(argv[3], L"lock") == 0;
  DWORD share = FILE_SHARE_READ;
  if (std::wcscmp(argv[3], L"readwrite") == 0) share |= FILE_SHARE_WRITE;
  if (isLock) share |= FILE_SHARE_WRITE | FILE_SHARE_DELETE;
  HANDLE file = ::CreateFileW(argv[1], GENERIC_READ | (isLock ? GENERIC_WRITE : 0), share, nullptr, OPEN_EXISTING,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) {
    std::fprintf(stderr, "hold_open: cannot open the file (error %lu)\n", ::GetLastError());
    return 1;
  }
  OVERLAPPED whole{};
  if (isLock && !::LockFileEx(file, LOCKFILE_EXCLUSIVE_LOCK, 0, MAXDWORD, MAXDWORD, &whole)) {
    std::fprintf(stderr, "hold_open: cannot lock the file (error %lu)\n", ::GetLastError());
    return 1;
  }
  std::printf("held\n");
  std::fflush(stdout);
  ::Sleep(static_cast<DWORD>(std::wcstoul(argv[2], nullptr, 10)));
  ::CloseHandle(file);
  return 0;
}
