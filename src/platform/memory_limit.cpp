// How much memory this process may still take on Linux, worked out from the
// texts of /proc and the cgroup files, which any system can parse.
#include "platform/memory_limit.h"

#include <algorithm>
#include <vector>

namespace korvadex {

namespace {

std::uint64_t RoomUnder(std::uint64_t limit, std::uint64_t used) { return used >= limit ? 0 : limit - used; }

// Leading decimal digits of `text` as a number; nothing when there are none
// or they overflow. `rest` receives what follows them.
std::optional<std::uint64_t> ParseNumber(std::string_view text, std::string_view& rest) {
  std::uint64_t value = 0;
  std::size_t length = 0;
  for (; length < text.size() && text[length] >= '0' && text[length] <= '9'; ++length) {
    const auto digit = static_cast<std::uint64_t>(text[length] - '0');
    if (value > (UINT64_MAX - digit) / 10) return std::nullopt;
    value = value * 10 + digit;
  }
  if (length == 0) return std::nullopt;
  rest = text.substr(length);
  return value;
}

std::string_view TrimBlanks(std::string_view text) {
  const std::size_t first = text.find_first_not_of(" \t\n");
  if (first == std::string_view::npos) return {};
  return text.substr(first, text.find_last_not_of(" \t\n") - first + 1);
}

// The lines of `text`, without their line ends.
std::vector<std::string_view> Lines(std::string_view text) {
  std::vector<std::string_view> lines;
  while (!text.empty()) {
    const std::size_t end = text.find('\n');
    lines.push_back(text.substr(0, end));
    if (end == std::string_view::npos) break;
    text.remove_prefix(end + 1);
  }
  return lines;
}

std::vector<std::string_view> Words(std::string_view line, char separator) {
  std::vector<std::string_view> words;
  for (;;) {
    const std::size_t end = line.find(separator);
    words.push_back(line.substr(0, end));
    if (end == std::string_view::npos) return words;
    line.remove_prefix(end + 1);
  }
}

bool HasWord(std::string_view list, std::string_view word) {
  for (std::string_view item : Words(list, ',')) {
    if (item == word) return true;
  }
  return false;
}

// The cgroup path of the process in the v1 hierarchy with the memory
// controller, or else in the v2 hierarchy ("0::/path").
std::optional<std::string_view> CgroupPath(std::string_view cgroupText, bool isVersion2) {
  for (std::string_view line : Lines(cgroupText)) {
    const std::size_t first = line.find(':');
    const std::size_t second = first == std::string_view::npos ? first : line.find(':', first + 1);
    if (second == std::string_view::npos) continue;
    const std::string_view controllers = line.substr(first + 1, second - first - 1);
    const bool isMatch = isVersion2 ? line.substr(0, first) == "0" && controllers.empty()
                                    : HasWord(controllers, "memory");
    if (isMatch) return line.substr(second + 1);
  }
  return std::nullopt;
}

// The folder of cgroup `path` under a mount of its hierarchy whose root is
// `root`; nothing when the cgroup lies outside what the mount shows.
std::optional<std::string> FolderUnder(std::string_view path, std::string_view root, std::string_view mountPoint) {
  if (root == "/") root = "";
  if (!path.starts_with(root) || (path.size() > root.size() && path[root.size()] != '/')) return std::nullopt;
  std::string folder(mountPoint);
  const std::string_view below = path.substr(root.size());
  if (below != "/") folder.append(below);
  return folder;
}

std::optional<MemoryCgroup> FindInHierarchy(std::string_view cgroupText, std::string_view mountInfo,
                                            bool isVersion2) {
  const std::optional<std::string_view> path = CgroupPath(cgroupText, isVersion2);
  if (!path) return std::nullopt;
  for (std::string_view line : Lines(mountInfo)) {
    // id parent major:minor root mount-point options [optional fields] - type source super-options
    const std::vector<std::string_view> fields = Words(line, ' ');
    const auto dash = std::find(fields.begin(), fields.end(), "-");
    if (fields.size() < 6 || fields.end() - dash < 4) continue;
    const std::string_view type = dash[1];
    const bool isMatch = isVersion2 ? type == "cgroup2" : type == "cgroup" && HasWord(dash[3], "memory");
    if (!isMatch) continue;
    if (std::optional<std::string> folder = FolderUnder(*path, fields[3], fields[4])) {
      return MemoryCgroup{std::move(*folder), std::string(fields[4]), isVersion2};
    }
  }
  return std::nullopt;
}

// What the cgroup at `folder` still lets its processes take; nothing when
// it sets no limit of its own.
std::optional<std::uint64_t> CgroupRoom(const std::string& folder, bool isVersion2, const FileReader& read) {
  const std::optional<std::string> limitText = read(folder + (isVersion2 ? "/memory.max" : "/memory.limit_in_bytes"));
  if (!limitText) return std::nullopt;
  const std::optional<std::uint64_t> limit = ParseCgroupLimit(*limitText);
  if (!limit) return std::nullopt;
  const std::optional<std::string> usageText =
      read(folder + (isVersion2 ? "/memory.current" : "/memory.usage_in_bytes"));
  std::uint64_t usage = usageText ? ParseCgroupLimit(*usageText).value_or(0) : 0;
  // Page cache of files read or written is charged too, but the kernel
  // reclaims its inactive part before it runs out.
  if (const std::optional<std::string> stat = read(folder + "/memory.stat")) {
    const std::uint64_t reclaimable =
        ParseFieldBytes(*stat, isVersion2 ? "inactive_file" : "total_inactive_file").value_or(0);
    usage -= std::min(usage, reclaimable);
  }
  return RoomUnder(*limit, usage);
}

}  // namespace

std::optional<std::uint64_t> ParseCgroupLimit(std::string_view text) {
  text = TrimBlanks(text);
  std::string_view rest;
  const std::optional<std::uint64_t> value = ParseNumber(text, rest);
  if (!value || !rest.empty()) return std::nullopt;
  return value;
}

std::optional<std::uint64_t> ParseFieldBytes(std::string_view text, std::string_view name) {
  for (std::string_view line : Lines(text)) {
    if (!line.starts_with(name) || line.size() == name.size()) continue;
    std::string_view rest = line.substr(name.size());
    if (rest[0] != ':' && rest[0] != ' ' && rest[0] != '\t') continue;
    rest.remove_prefix(std::min(rest.find_first_not_of(": \t"), rest.size()));
    const std::optional<std::uint64_t> value = ParseNumber(rest, rest);
    if (!value) return std::nullopt;
    if (TrimBlanks(rest) != "kB") return value;
    if (*value > UINT64_MAX / 1024) return std::nullopt;
    return *value * 1024;
  }
  return std::nullopt;
}

std::optional<MemoryCgroup> FindMemoryCgroup(std::string_view cgroupText, std::string_view mountInfo) {
  // With both mounted (a hybrid host) the memory controller is v1's.
  if (std::optional<MemoryCgroup> cgroup = FindInHierarchy(cgroupText, mountInfo, false)) return cgroup;
  return FindInHierarchy(cgroupText, mountInfo, true);
}

std::uint64_t AvailableMemoryFrom(const ProcessLimits& limits, const FileReader& read) {
  std::uint64_t available = limits.physicalBytes;
  const std::optional<std::string> status = read("/proc/self/status");
  auto usedBy = [&status](std::string_view field) {
    return status ? ParseFieldBytes(*status, field).value_or(0) : 0;
  };
  if (limits.addressSpaceBytes != UINT64_MAX) {
    available = std::min(available, RoomUnder(limits.addressSpaceBytes, usedBy("VmSize")));
  }
  if (limits.dataBytes != UINT64_MAX) available = std::min(available, RoomUnder(limits.dataBytes, usedBy("VmData")));

  const std::optional<std::string> cgroupText = read("/proc/self/cgroup");
  const std::optional<std::string> mountInfo = read("/proc/self/mountinfo");
  if (!cgroupText || !mountInfo) return available;
  const std::optional<MemoryCgroup> cgroup = FindMemoryCgroup(*cgroupText, *mountInfo);
  if (!cgroup) return available;
  // A cgroup's limit binds everything below it, so each one up to the mount counts.
  for (std::string folder = cgroup->folder;;) {
    if (std::optional<std::uint64_t> room = CgroupRoom(folder, cgroup->isVersion2, read)) {
      available = std::min(available, *room);
    }
    if (folder.size() <= cgroup->mountPoint.size()) break;
    folder.resize(folder.rfind('/'));
  }
  return available;
}

}  // namespace korvadex
