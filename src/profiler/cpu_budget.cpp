#include "profiler/cpu_budget.h"

#include <sched.h>

#include <algorithm>
#include <bit>
#include <charconv>
#include <fstream>
#include <iterator>
#include <sstream>
#include <string>
#include <vector>

namespace profiler {

std::size_t processors_for(std::size_t processors, std::optional<CpuQuota> quota) {
    std::size_t p = processors == 0 ? 1 : processors;
    if (quota && quota->period > 0) {
        // A quota of 1.5 CPUs cannot keep two CPUs busy: round down, but never below one.
        const std::uint64_t allowed = std::max<std::uint64_t>(quota->quota / quota->period, 1);
        p = static_cast<std::size_t>(std::min<std::uint64_t>(p, allowed));
    }
    return p;
}

std::size_t shard_amount_for(std::size_t processors, std::optional<CpuQuota> quota) {
    return std::bit_ceil(4 * processors_for(processors, quota));
}

namespace {

std::string_view trim(std::string_view text) {
    const auto first = text.find_first_not_of(" \t\n");
    if (first == std::string_view::npos) {
        return {};
    }
    const auto last = text.find_last_not_of(" \t\n");
    return text.substr(first, last - first + 1);
}

std::optional<std::uint64_t> parse_u64(std::string_view text) {
    text = trim(text);
    std::uint64_t value = 0;
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (error != std::errc() || end != text.data() + text.size() || text.empty()) {
        return std::nullopt;
    }
    return value;
}

std::optional<std::string> read_file(const std::string& path) {
    std::ifstream in(path);
    if (!in) {
        return std::nullopt;
    }
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

std::optional<CpuQuota> tighter(std::optional<CpuQuota> a, std::optional<CpuQuota> b) {
    if (!a) {
        return b;
    }
    if (!b) {
        return a;
    }
    // Compare quota/period without division.
    const auto lhs = static_cast<unsigned __int128>(a->quota) * b->period;
    const auto rhs = static_cast<unsigned __int128>(b->quota) * a->period;
    return lhs <= rhs ? a : b;
}

// Whether a comma-separated controller list such as "cpu,cpuacct" names `controller`.
bool lists_controller(std::string_view list, std::string_view controller) {
    for (;;) {
        const auto comma = list.find(',');
        if (list.substr(0, comma) == controller) {
            return true;
        }
        if (comma == std::string_view::npos) {
            return false;
        }
        list.remove_prefix(comma + 1);
    }
}

// The process's own cgroup path in the given hierarchy ("" for the unified one), from
// the process's cgroup file; "/" when it cannot be read.
std::string own_cgroup_path(const std::string& self_cgroup, bool unified,
                            std::string_view controller) {
    const auto text = read_file(self_cgroup);
    if (!text) {
        return "/";
    }
    std::istringstream lines(*text);
    std::string line;
    while (std::getline(lines, line)) {
        const auto first = line.find(':');
        const auto second = line.find(':', first + 1);
        if (first == std::string::npos || second == std::string::npos) {
            continue;
        }
        const std::string_view controllers =
            std::string_view(line).substr(first + 1, second - first - 1);
        const bool match =
            unified ? controllers.empty() : lists_controller(controllers, controller);
        if (match) {
            return line.substr(second + 1);
        }
    }
    return "/";
}

// Every directory from the process's cgroup up to the hierarchy's root; the tightest
// limit on that path applies.
std::vector<std::string> cgroup_dirs(const std::string& mount, std::string path) {
    std::vector<std::string> dirs;
    while (!path.empty() && path != "/") {
        dirs.push_back(mount + path);
        path.resize(path.rfind('/'));
    }
    dirs.push_back(mount);
    return dirs;
}

std::optional<CpuQuota> cgroup_v2_quota(const CgroupPaths& paths) {
    std::optional<CpuQuota> limit;
    for (const auto& dir :
         cgroup_dirs(paths.unified, own_cgroup_path(paths.self_cgroup, true, ""))) {
        if (const auto text = read_file(dir + "/cpu.max")) {
            limit = tighter(limit, parse_cpu_max(*text));
        }
    }
    return limit;
}

std::optional<CpuQuota> cgroup_v1_quota(const CgroupPaths& paths) {
    std::optional<CpuQuota> limit;
    const std::string path = own_cgroup_path(paths.self_cgroup, false, "cpu");
    for (const std::string& mount : paths.v1_cpu) {
        // Inside a container the mount's root is often the process's own cgroup already.
        auto dirs = cgroup_dirs(mount, path);
        for (const auto& dir : dirs) {
            const auto quota = read_file(dir + "/cpu.cfs_quota_us");
            const auto period = read_file(dir + "/cpu.cfs_period_us");
            if (quota && period) {
                limit = tighter(limit, parse_cfs_quota(*quota, *period));
            }
        }
    }
    return limit;
}

std::size_t affinity_processors() {
    cpu_set_t set;
    CPU_ZERO(&set);
    if (sched_getaffinity(0, sizeof set, &set) != 0) {
        return 0;
    }
    return static_cast<std::size_t>(CPU_COUNT(&set));
}

}  // namespace

std::optional<CpuQuota> parse_cpu_max(std::string_view text) {
    text = trim(text);
    const auto space = text.find(' ');
    if (space == std::string_view::npos) {
        return std::nullopt;  // "max" alone or malformed
    }
    const auto quota = parse_u64(text.substr(0, space));  // "max" does not parse: no limit
    const auto period = parse_u64(text.substr(space + 1));
    if (!quota || !period || *period == 0) {
        return std::nullopt;
    }
    return CpuQuota{*quota, *period};
}

std::optional<CpuQuota> parse_cfs_quota(std::string_view quota_text, std::string_view period_text) {
    const auto quota = parse_u64(quota_text);  // -1 (no quota) does not parse
    const auto period = parse_u64(period_text);
    if (!quota || !period || *period == 0) {
        return std::nullopt;
    }
    return CpuQuota{*quota, *period};
}

std::optional<CpuQuota> cgroup_quota(const CgroupPaths& paths) {
    return tighter(cgroup_v2_quota(paths), cgroup_v1_quota(paths));
}

std::size_t usable_processors() {
    static const std::size_t processors =
        processors_for(affinity_processors(), cgroup_quota(CgroupPaths{}));
    return processors;
}

std::size_t default_shard_amount() {
    return std::bit_ceil(4 * usable_processors());
}

}  // namespace profiler
