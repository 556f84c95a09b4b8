// Test helper for the Windows build, run under wine by
// tests/windows/process-scenarios.sh: makes a run's driver process crash as a
// faulting driver DLL would, by starting a thread in it at address 0 (an
// access violation, 0xC0000005). The driver process is the korvadex.exe whose
// parent is another korvadex.exe; prints its id once the thread is started.
#include <windows.h>
#include <tlhelp32.h>

#include <cstdio>
#include <cwchar>
#include <vector>

int wmain() {
  HANDLE snapshot = ::CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
  if (snapshot == INVALID_HANDLE_VALUE) return 1;
  std::vector<PROCESSENTRY32W> runs;
  PROCESSENTRY32W entry{};
  entry.dwSize = sizeof entry;
  for (BOOL has = ::Process32FirstW(snapshot, &entry); has; has = ::Process32NextW(snapshot, &entry)) {
    if (_wcsicmp(entry.szExeFile, L"korvadex.exe") == 0) runs.push_back(entry);
  }
  ::CloseHandle(snapshot);
  for (const PROCESSENTRY32W& child : runs) {
    for (const PROCESSENTRY32W& parent : runs) {
      if (child.th32ParentProcessID != parent.th32ProcessID) continue;
      HANDLE process = ::OpenProcess(PROCESS_ALL_ACCESS, FALSE, child.th32ProcessID);
      if (process == nullptr) return 1;
      HANDLE thread = ::CreateRemoteThread(process, nullptr, 0, nullptr, nullptr, 0, nullptr);
      if (thread == nullptr) {
        std::fprintf(stderr, "crash_child: no thread in %lu (error %lu)\n", child.th32ProcessID, ::GetLastError());
        return 1;
      }
      std::printf("crashed %lu\n", child.th32ProcessID);
      return 0;
    }
  }
  std::fprintf(stderr, "crash_child: no driver process found\n");
  return 1;
}
