// How much memory this process may still take on Windows: physical memory,
// the commit that the system can still grant, the address space left, and
// the memory limits of a job object the process runs in.
#include "platform/memory_limit.h"

#include <windows.h>
#include <psapi.h>

#include <algorithm>

namespace korvadex {

namespace {

std::uint64_t RoomUnder(std::uint64_t limit, std::uint64_t used) { return used >= limit ? 0 : limit - used; }

// Memory committed to this process; 0 when it cannot be read.
std::uint64_t CommittedBytes() {
  PROCESS_MEMORY_COUNTERS_EX counters{};
  counters.cb = sizeof counters;
  if (!::GetProcessMemoryInfo(::GetCurrentProcess(), reinterpret_cast<PROCESS_MEMORY_COUNTERS*>(&counters),
                              sizeof counters)) {
    return 0;
  }
  return counters.PrivateUsage;
}

}  // namespace

std::uint64_t AvailableMemory() {
  std::uint64_t available = UINT64_MAX;
  MEMORYSTATUSEX status{};
  status.dwLength = sizeof status;
  // Windows refuses an allocation once the commit limit is reached, well
  // before physical memory is used up when the page file is small.
  if (::GlobalMemoryStatusEx(&status)) {
    available = std::min({status.ullTotalPhys, status.ullAvailPageFile, status.ullAvailVirtual});
  }
  // Not in a job (the usual case) the query fails, and no job limit applies.
  JOBOBJECT_EXTENDED_LIMIT_INFORMATION job{};
  if (::QueryInformationJobObject(nullptr, JobObjectExtendedLimitInformation, &job, sizeof job, nullptr)) {
    const DWORD flags = job.BasicLimitInformation.LimitFlags;
    const std::uint64_t committed = CommittedBytes();
    if ((flags & JOB_OBJECT_LIMIT_PROCESS_MEMORY) != 0) {
      available = std::min<std::uint64_t>(available, RoomUnder(job.ProcessMemoryLimit, committed));
    }
    // Windows tells only the job's peak, which is at least what it uses now.
    if ((flags & JOB_OBJECT_LIMIT_JOB_MEMORY) != 0) {
      available = std::min<std::uint64_t>(
          available, RoomUnder(job.JobMemoryLimit, std::max<std::uint64_t>(job.PeakJobMemoryUsed, committed)));
    }
  }
  return available;
}

void PopulateMemory(char* /*data*/, std::size_t /*size*/) {}

}  // namespace korvadex
