// The CPUs the process may keep busy at once, and from them the number of shards of every
// column map and whether a call may fold on a second thread (ingest/fold_pipeline.h).
//
// The figure is the process's CPU affinity mask, capped by the tightest control-group CPU
// quota on the path from its own cgroup up to the hierarchy's root (cgroup v2 cpu.max and
// v1 cpu.cfs_quota_us / cpu.cfs_period_us alike). Anything that cannot be read counts as
// no limit; no figure at all counts as one processor. More shards than CPUs that can run
// at once only add memory, and fewer make callers on different CPUs meet on one lock.
//
// Thread safety: the parsers are pure; usable_processors reads the platform once, on its
// first call (a function-local static), and returns the cached figure thereafter.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace profiler {

// A control-group CPU limit: `quota` microseconds of CPU time per `period`.
struct CpuQuota {
    std::uint64_t quota = 0;
    std::uint64_t period = 0;
};

// The CPUs a process that may run on `processors` CPUs (0 when unknown) can keep busy,
// capped by `quota` where one applies (rounded down, at least one): P.
std::size_t processors_for(std::size_t processors, std::optional<CpuQuota> quota);
// The shard count for such a process: the smallest power of two at least 4 x P.
std::size_t shard_amount_for(std::size_t processors, std::optional<CpuQuota> quota);
// The contents of a cgroup v2 cpu.max file ("max 100000" or "50000 100000").
std::optional<CpuQuota> parse_cpu_max(std::string_view text);
// The contents of cgroup v1 cpu.cfs_quota_us and cpu.cfs_period_us (-1: no quota).
std::optional<CpuQuota> parse_cfs_quota(std::string_view quota_text, std::string_view period_text);
// Where the control-group files are; the defaults are the system's own.
struct CgroupPaths {
    std::string self_cgroup = "/proc/self/cgroup";  // "id:controllers:path" per hierarchy
    std::string unified = "/sys/fs/cgroup";         // the v2 mount
    std::vector<std::string> v1_cpu = {"/sys/fs/cgroup/cpu", "/sys/fs/cgroup/cpu,cpuacct"};
};
// The tightest CPU quota on the paths from the process's cgroups (v2 and v1 cpu) up to
// their hierarchies' roots; nothing when no level sets one.
std::optional<CpuQuota> cgroup_quota(const CgroupPaths& paths);
// P for this process, read from the platform on first call.
std::size_t usable_processors();
// The shard count of every map in this process.
std::size_t default_shard_amount();

}  // namespace profiler
