// Tests of reading the memory limits: the file formats of /proc and of both
// cgroup versions, given as literal texts, and how the limits combine.
#include "platform/memory_limit.h"

#include <sys/resource.h>

#include <gtest/gtest.h>

#include <fstream>
#include <iterator>
#include <map>
#include <optional>
#include <string>

namespace korvadex {
namespace {

constexpr std::uint64_t kMiB = std::uint64_t{1} << 20;

TEST(MemoryLimitTest, ReadsCgroupLimitFiles) {
  const struct {
    const char* label;
    const char* text;
    std::optional<std::uint64_t> expected;
  } cases[] = {
      {"v2 bytes", "314572800\n", 314572800},
      {"v2 no limit", "max\n", std::nullopt},
      {"v1 no limit", "9223372036854771712\n", 9223372036854771712u},
      {"zero", "0\n", 0},
      {"no line end", "4096", 4096},
      {"empty", "", std::nullopt},
      {"negative", "-1\n", std::nullopt},
      {"unit", "300M\n", std::nullopt},
      {"overflow", "18446744073709551616\n", std::nullopt},
  };
  for (const auto& c : cases) EXPECT_EQ(ParseCgroupLimit(c.text), c.expected) << c.label;
}

TEST(MemoryLimitTest, ReadsFieldsOfStatusAndStatFiles) {
  const char* status =
      "Name:\tkorvadex\n"
      "VmPeak:\t   90732 kB\n"
      "VmSize:\t   86632 kB\n"
      "VmData:\t   13600 kB\n"
      "VmSizeX:\t 1 kB\n";
  const char* stat = "active_file 8192\ninactive_file 1048576\ntotal_inactive_file 2097152\n";
  const struct {
    const char* label;
    const char* text;
    const char* name;
    std::optional<std::uint64_t> expected;
  } cases[] = {
      {"kibibytes", status, "VmSize", 86632u * 1024},
      {"last but one line", status, "VmData", 13600u * 1024},
      {"a longer name is another field", status, "VmSiz", std::nullopt},
      {"missing", status, "VmSwap", std::nullopt},
      {"bytes", stat, "inactive_file", 1048576},
      {"v1 hierarchical", stat, "total_inactive_file", 2097152},
      {"no number", "VmSize:\t kB\n", "VmSize", std::nullopt},
      {"name alone", "VmSize", "VmSize", std::nullopt},
  };
  for (const auto& c : cases) EXPECT_EQ(ParseFieldBytes(c.text, c.name), c.expected) << c.label;
}

// A line of /proc/self/mountinfo for a mount of `type` at `mountPoint`
// showing the hierarchy from `root`.
std::string Mount(const std::string& root, const std::string& mountPoint, const std::string& type,
                  const std::string& superOptions) {
  return "35 24 0:30 " + root + " " + mountPoint + " rw,nosuid,nodev,noexec,relatime shared:9 - " + type +
         " cgroup " + superOptions + "\n";
}

TEST(MemoryLimitTest, FindsTheMemoryCgroupOfEitherVersion) {
  const std::string unified = Mount("/", "/sys/fs/cgroup", "cgroup2", "rw,nsdelegate");
  const std::string hybrid = Mount("/", "/sys/fs/cgroup/unified", "cgroup2", "rw") +
                             Mount("/", "/sys/fs/cgroup/cpu", "cgroup", "rw,cpu") +
                             Mount("/", "/sys/fs/cgroup/memory", "cgroup", "rw,memory");
  const struct {
    const char* label;
    std::string cgroup;
    std::string mounts;
    std::optional<std::string> folder;  // nothing: no cgroup found
    std::string mountPoint;
    bool isVersion2;
  } cases[] = {
      {"v2", "0::/system.slice/nightly.service\n", unified, "/sys/fs/cgroup/system.slice/nightly.service",
       "/sys/fs/cgroup", true},
      {"v2 root", "0::/\n", unified, "/sys/fs/cgroup", "/sys/fs/cgroup", true},
      {"hybrid takes v1 memory", "9:cpu,cpuacct:/a\n4:memory:/jobs/kx\n0::/other\n", hybrid,
       "/sys/fs/cgroup/memory/jobs/kx", "/sys/fs/cgroup/memory", false},
      {"v1 controllers shared", "4:blkio,memory:/b\n", Mount("/", "/cg", "cgroup", "rw,blkio,memory"),
       "/cg/b", "/cg", false},
      {"container mount of its own subtree", "4:memory:/docker/abc\n",
       Mount("/docker/abc", "/sys/fs/cgroup/memory", "cgroup", "rw,memory"), "/sys/fs/cgroup/memory",
       "/sys/fs/cgroup/memory", false},
      {"below the mounted subtree", "0::/docker/abc/job\n", Mount("/docker/abc", "/sys/fs/cgroup", "cgroup2", "rw"),
       "/sys/fs/cgroup/job", "/sys/fs/cgroup", true},
      {"outside the mounted subtree", "0::/docker/abcd\n", Mount("/docker/abc", "/sys/fs/cgroup", "cgroup2", "rw"),
       std::nullopt, "", false},
      {"v1 without memory falls back to v2", "9:cpu:/a\n0::/b\n", Mount("/", "/cpu", "cgroup", "rw,cpu") + unified,
       "/sys/fs/cgroup/b", "/sys/fs/cgroup", true},
      {"memoryless v1 option is no match", "4:memory:/a\n", Mount("/", "/m", "cgroup", "rw,memory_recursiveprot"),
       std::nullopt, "", false},
      {"nothing mounted", "0::/a\n", Mount("/", "/proc", "proc", "rw"), std::nullopt, "", false},
      {"garbage", "no colons here\n", "short line\n", std::nullopt, "", false},
  };
  for (const auto& c : cases) {
    const std::optional<MemoryCgroup> found = FindMemoryCgroup(c.cgroup, c.mounts);
    ASSERT_EQ(found.has_value(), c.folder.has_value()) << c.label;
    if (!found) continue;
    EXPECT_EQ(found->folder, *c.folder) << c.label;
    EXPECT_EQ(found->mountPoint, c.mountPoint) << c.label;
    EXPECT_EQ(found->isVersion2, c.isVersion2) << c.label;
  }
}

// Files of a pretend system: a cgroup v2 job two levels below the root.
std::map<std::string, std::string> JobFiles() {
  return {
      {"/proc/self/status", "VmSize:\t  102400 kB\nVmData:\t   51200 kB\n"},
      {"/proc/self/cgroup", "0::/jobs/nightly\n"},
      {"/proc/self/mountinfo", Mount("/", "/sys/fs/cgroup", "cgroup2", "rw")},
      {"/sys/fs/cgroup/jobs/nightly/memory.max", "max\n"},
      {"/sys/fs/cgroup/jobs/nightly/memory.current", "1048576\n"},
      {"/sys/fs/cgroup/jobs/memory.max", "314572800\n"},                 // 300 MiB
      {"/sys/fs/cgroup/jobs/memory.current", "115343360\n"},             // 110 MiB
      {"/sys/fs/cgroup/jobs/memory.stat", "anon 1\ninactive_file 10485760\n"},  // 10 MiB
  };
}

std::uint64_t AvailableWith(const ProcessLimits& limits, const std::map<std::string, std::string>& files) {
  return AvailableMemoryFrom(limits, [&files](const std::string& path) -> std::optional<std::string> {
    const auto found = files.find(path);
    if (found == files.end()) return std::nullopt;
    return found->second;
  });
}

TEST(MemoryLimitTest, TheTightestLimitLessItsUseIsWhatRemains) {
  const ProcessLimits physicalOnly{64 * 1024 * kMiB, UINT64_MAX, UINT64_MAX};
  // The parent's 300 MiB less 100 MiB that cannot be reclaimed; the job's own "max" sets none.
  EXPECT_EQ(AvailableWith(physicalOnly, JobFiles()), 200 * kMiB);

  // Address space: 150 MiB less the 100 MiB mapped.
  EXPECT_EQ(AvailableWith({64 * 1024 * kMiB, 150 * kMiB, UINT64_MAX}, JobFiles()), 50 * kMiB);
  // Data: 80 MiB less the 50 MiB mapped.
  EXPECT_EQ(AvailableWith({64 * 1024 * kMiB, UINT64_MAX, 80 * kMiB}, JobFiles()), 30 * kMiB);
  // Physical memory below every other limit.
  EXPECT_EQ(AvailableWith({128 * kMiB, UINT64_MAX, UINT64_MAX}, JobFiles()), 128 * kMiB);
  // A limit already used up leaves nothing.
  EXPECT_EQ(AvailableWith({64 * 1024 * kMiB, 90 * kMiB, UINT64_MAX}, JobFiles()), 0u);

  // The job's own cgroup limit, tighter than its parent's.
  std::map<std::string, std::string> files = JobFiles();
  files["/sys/fs/cgroup/jobs/nightly/memory.max"] = "67108864\n";  // 64 MiB, 1 MiB used
  EXPECT_EQ(AvailableWith(physicalOnly, files), 63 * kMiB);

  // Without usage files the whole limit counts; unreadable /proc files set no limit.
  files = {{"/proc/self/cgroup", "0::/jobs/nightly\n"},
           {"/proc/self/mountinfo", Mount("/", "/sys/fs/cgroup", "cgroup2", "rw")},
           {"/sys/fs/cgroup/jobs/nightly/memory.max", "314572800\n"}};
  EXPECT_EQ(AvailableWith(physicalOnly, files), 300 * kMiB);
  EXPECT_EQ(AvailableWith({64 * 1024 * kMiB, 150 * kMiB, UINT64_MAX}, files), 150 * kMiB);
  EXPECT_EQ(AvailableWith(physicalOnly, {}), 64 * 1024 * kMiB);
}

TEST(MemoryLimitTest, VersionOneLimitsCountTheirHierarchicalCache) {
  const std::map<std::string, std::string> files = {
      {"/proc/self/cgroup", "4:memory:/batch\n"},
      {"/proc/self/mountinfo", Mount("/", "/sys/fs/cgroup/memory", "cgroup", "rw,memory")},
      {"/sys/fs/cgroup/memory/batch/memory.limit_in_bytes", "209715200\n"},  // 200 MiB
      {"/sys/fs/cgroup/memory/batch/memory.usage_in_bytes", "104857600\n"},  // 100 MiB
      {"/sys/fs/cgroup/memory/batch/memory.stat", "inactive_file 1\ntotal_inactive_file 20971520\n"},
      {"/sys/fs/cgroup/memory/memory.limit_in_bytes", "9223372036854771712\n"},
      {"/sys/fs/cgroup/memory/memory.usage_in_bytes", "8589934592\n"},
  };
  EXPECT_EQ(AvailableWith({64 * 1024 * kMiB, UINT64_MAX, UINT64_MAX}, files), 120 * kMiB);
}

TEST(MemoryLimitTest, AnAddressSpaceLimitCountsWhatIsAlreadyMapped) {
  rlimit saved{};
  ASSERT_EQ(::getrlimit(RLIMIT_AS, &saved), 0);
  const std::optional<std::string> status = [] {
    std::ifstream in("/proc/self/status");
    return std::optional<std::string>(std::string(std::istreambuf_iterator<char>(in), {}));
  }();
  const std::optional<std::uint64_t> mapped = ParseFieldBytes(*status, "VmSize");
  ASSERT_TRUE(mapped);
  rlimit limit = saved;
  limit.rlim_cur = *mapped + 64 * kMiB;
  ASSERT_EQ(::setrlimit(RLIMIT_AS, &limit), 0);
  const std::uint64_t available = AvailableMemory();
  ::setrlimit(RLIMIT_AS, &saved);
  EXPECT_LE(available, 64 * kMiB);
  EXPECT_GT(available, 48 * kMiB);
}

}  // namespace
}  // namespace korvadex
