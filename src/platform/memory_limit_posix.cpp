// How much memory this process may still take on Linux: physical memory,
// the memory limits of its cgroups and its address-space and data rlimits.
#include "platform/memory_limit.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/resource.h>
#include <unistd.h>

#include <cerrno>

namespace korvadex {

namespace {

// Far more than any of the files read here holds, mountinfo of a busy host included.
constexpr std::size_t kMaxFileBytes = std::size_t{4} << 20;

std::optional<std::string> ReadWholeFile(const std::string& path) {
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return std::nullopt;
  std::string content;
  char buffer[8192];
  for (;;) {
    const ssize_t got = ::read(fd, buffer, sizeof buffer);
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0 || content.size() + static_cast<std::size_t>(got) > kMaxFileBytes) {
      ::close(fd);
      if (got == 0) return content;
      return std::nullopt;
    }
    content.append(buffer, static_cast<std::size_t>(got));
  }
}

std::uint64_t RlimitBytes(int resource) {
  rlimit limit{};
  if (::getrlimit(resource, &limit) != 0 || limit.rlim_cur == RLIM_INFINITY) return UINT64_MAX;
  return static_cast<std::uint64_t>(limit.rlim_cur);
}

}  // namespace

std::uint64_t AvailableMemory() {
  ProcessLimits limits;
  const long pages = ::sysconf(_SC_PHYS_PAGES);
  const long pageSize = ::sysconf(_SC_PAGESIZE);
  if (pages > 0 && pageSize > 0) {
    limits.physicalBytes = static_cast<std::uint64_t>(pages) * static_cast<std::uint64_t>(pageSize);
  }
  limits.addressSpaceBytes = RlimitBytes(RLIMIT_AS);
  limits.dataBytes = RlimitBytes(RLIMIT_DATA);
  return AvailableMemoryFrom(limits, ReadWholeFile);
}

void PopulateMemory(char* data, std::size_t size) {
#ifndef MADV_POPULATE_WRITE
  constexpr int MADV_POPULATE_WRITE = 23;  // Linux 5.14; older headers lack the name
#endif
  const auto pageSize = static_cast<std::uintptr_t>(::sysconf(_SC_PAGESIZE));
  const auto address = reinterpret_cast<std::uintptr_t>(data);
  // Only whole pages inside the range: the ones it shares with other memory are left alone.
  const std::uintptr_t first = (address + pageSize - 1) / pageSize * pageSize;
  const std::uintptr_t last = (address + size) / pageSize * pageSize;
  if (last > first) ::madvise(reinterpret_cast<void*>(first), last - first, MADV_POPULATE_WRITE);
}

}  // namespace korvadex
