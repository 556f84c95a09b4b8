// How much memory this process may still take: physical memory, the memory
// limits of its cgroups and its address-space and data rlimits; on Windows
// the commit limit and job object limits.
#ifndef KORVADEX_PLATFORM_MEMORY_LIMIT_H_
#define KORVADEX_PLATFORM_MEMORY_LIMIT_H_

#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>

namespace korvadex {

// Bytes the process may still allocate before a limit refuses it or the
// kernel's out-of-memory killer ends it: the least of physical memory; for
// its memory cgroup and each one above it, the limit less the memory charged
// there that cannot be reclaimed; RLIMIT_AS less the address space mapped
// (libraries and thread stacks included); RLIMIT_DATA less the data mapped.
// A limit that cannot be read counts as none. Reads /proc and /sys each call.
// On Windows: the least of physical memory, the commit the system can still
// grant, the address space left and the room under a job object's process
// and job memory limits (the job's use taken as its peak).
std::uint64_t AvailableMemory();

// Maps in the pages of [data, data + size) for writing, all in one call: in a
// virtual machine a page fault per page costs far more. A hint only; nothing
// happens where the system cannot do it (Windows, Linux before 5.14).
void PopulateMemory(char* data, std::size_t size);

// What AvailableMemory takes from the system besides files.
struct ProcessLimits {
  std::uint64_t physicalBytes = UINT64_MAX;
  std::uint64_t addressSpaceBytes = UINT64_MAX;  // RLIMIT_AS soft limit; UINT64_MAX for none
  std::uint64_t dataBytes = UINT64_MAX;          // RLIMIT_DATA soft limit; UINT64_MAX for none
};

// A whole file's content, or nothing when it cannot be read.
using FileReader = std::function<std::optional<std::string>(const std::string& path)>;

// AvailableMemory worked out from `limits` and the files `read` gives for
// /proc/self/status, /proc/self/cgroup, /proc/self/mountinfo and the cgroup
// files these lead to.
std::uint64_t AvailableMemoryFrom(const ProcessLimits& limits, const FileReader& read);

// The content of a cgroup limit file (memory.max, memory.limit_in_bytes) in
// bytes; nothing for "max" and for anything that is not a number.
std::optional<std::uint64_t> ParseCgroupLimit(std::string_view text);

// The number on the line of `text` that starts with `name` and a colon or a
// blank, in bytes: "VmSize:  1024 kB" in /proc/self/status counts kibibytes,
// "inactive_file 4096" in memory.stat bytes. Nothing when no line has it.
std::optional<std::uint64_t> ParseFieldBytes(std::string_view text, std::string_view name);

// Where the process's memory cgroup shows in the file system.
struct MemoryCgroup {
  std::string folder;      // the process's own cgroup
  std::string mountPoint;  // the hierarchy's mount; the cgroups between it and `folder` limit too
  bool isVersion2 = false; // memory.max and memory.current rather than the v1 file names
};

// The memory cgroup named in /proc/self/cgroup (`cgroupText`), found through
// the mounts in /proc/self/mountinfo (`mountInfo`): the v1 memory hierarchy
// when one is mounted, else the v2 one. Nothing when neither is mounted.
std::optional<MemoryCgroup> FindMemoryCgroup(std::string_view cgroupText, std::string_view mountInfo);

}  // namespace korvadex

#endif  // KORVADEX_PLATFORM_MEMORY_LIMIT_H_
