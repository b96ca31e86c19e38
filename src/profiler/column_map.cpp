#include "profiler/column_map.h"

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

// ---- Shard count ---------------------------------------------------------------------

std::size_t shard_amount_for(std::size_t processors, std::optional<CpuQuota> quota) {
    std::size_t p = processors == 0 ? 1 : processors;
    if (quota && quota->period > 0) {
        // A quota of 1.5 CPUs cannot keep two CPUs busy: round down, but never below one.
        const std::uint64_t allowed = std::max<std::uint64_t>(quota->quota / quota->period, 1);
        p = static_cast<std::size_t>(std::min<std::uint64_t>(p, allowed));
    }
    return std::bit_ceil(4 * p);
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
// /proc/self/cgroup; "/" when it cannot be read.
std::string own_cgroup_path(bool unified, std::string_view controller) {
    const auto text = read_file("/proc/self/cgroup");
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

std::optional<CpuQuota> cgroup_v2_quota() {
    std::optional<CpuQuota> limit;
    for (const auto& dir : cgroup_dirs("/sys/fs/cgroup", own_cgroup_path(true, ""))) {
        if (const auto text = read_file(dir + "/cpu.max")) {
            limit = tighter(limit, parse_cpu_max(*text));
        }
    }
    return limit;
}

std::optional<CpuQuota> cgroup_v1_quota() {
    std::optional<CpuQuota> limit;
    const std::string path = own_cgroup_path(false, "cpu");
    for (const char* mount : {"/sys/fs/cgroup/cpu", "/sys/fs/cgroup/cpu,cpuacct"}) {
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

std::size_t default_shard_amount() {
    static const std::size_t amount =
        shard_amount_for(affinity_processors(), tighter(cgroup_v2_quota(), cgroup_v1_quota()));
    return amount;
}

// ---- Shard table ---------------------------------------------------------------------

const StatsRef* ColumnMapShard::find(std::uint64_t hash, std::string_view name) const {
    const auto it = table_.find(hash);
    if (it == table_.end()) {
        return nullptr;
    }
    const Bucket& bucket = it->second;
    if (bucket.name == name) {
        return &bucket.value;
    }
    if (bucket.spill) {
        const auto found = bucket.spill->find(name);
        if (found != bucket.spill->end()) {
            return &found->second;
        }
    }
    return nullptr;
}

StatsRef* ColumnMapShard::find(std::uint64_t hash, std::string_view name) {
    return const_cast<StatsRef*>(std::as_const(*this).find(hash, name));
}

StatsRef& ColumnMapShard::insert(std::uint64_t hash, std::string name, StatsRef value) {
    const auto [it, fresh] = table_.try_emplace(hash);
    Bucket& bucket = it->second;
    if (fresh) {
        bucket.name = std::move(name);
        bucket.value = std::move(value);
        return bucket.value;
    }
    if (!bucket.spill) {
        bucket.spill = std::make_unique<Spill>();
    }
    return bucket.spill->emplace(std::move(name), std::move(value)).first->second;
}

// ---- Map -----------------------------------------------------------------------------

namespace {
std::size_t checked_shard_amount(std::size_t shard_amount) {
    if (!(shard_amount > 1)) {
        throw Panic("assertion failed: shard_amount > 1");
    }
    if (!std::has_single_bit(shard_amount)) {
        throw Panic("assertion failed: shard_amount.is_power_of_two()");
    }
    return shard_amount;
}
}  // namespace

ColumnMap::ColumnMap(std::size_t capacity, std::size_t shard_amount)
    : shard_amount_(checked_shard_amount(shard_amount)),
      shift_(64 - static_cast<std::uint64_t>(std::countr_zero(shard_amount))),
      shards_(new ColumnMapShard[shard_amount]) {
    if (capacity > 0) {
        const std::size_t per_shard = (capacity + shard_amount - 1) / shard_amount;
        for (std::size_t i = 0; i < shard_amount; ++i) {
            shards_[i].reserve(per_shard);
        }
    }
}

ColumnMapRef ColumnMap::with_capacity_and_hasher(std::size_t capacity) {
    return ColumnMapRef::make(capacity, default_shard_amount());
}

std::optional<ColumnMap::ReadRef> ColumnMap::get(std::string_view name) const {
    const std::uint64_t hash = sketch::fx_hash(name);
    const ColumnMapShard& shard = shards_[shard_index(hash)];
    std::shared_lock<std::shared_mutex> hold(shard.lock);
    const StatsRef* found = shard.find(hash, name);
    if (found == nullptr) {
        return std::nullopt;
    }
    return ReadRef(std::move(hold), found);
}

ColumnMap::Entry ColumnMap::entry(std::string name) {
    const std::uint64_t hash = sketch::fx_hash(name);
    ColumnMapShard& shard = shards_[shard_index(hash)];
    std::unique_lock<std::shared_mutex> hold(shard.lock);
    StatsRef* found = shard.find(hash, name);
    return Entry(std::move(hold), &shard, hash, std::move(name), found);
}

// ---- Shared references and the slot --------------------------------------------------

void detail::adjust_refs(ColumnMapNode* node, std::int64_t delta) {
    if (node->refs.fetch_add(delta, std::memory_order_acq_rel) + delta == 0) {
        delete node;
    }
}

ColumnMapRef ColumnMapRef::make(std::size_t capacity, std::size_t shard_amount) {
    return ColumnMapRef(new detail::ColumnMapNode(capacity, shard_amount));
}

ColumnMapRef::ColumnMapRef(const ColumnMapRef& other) : node_(other.node_) {
    if (node_ != nullptr) {
        node_->refs.fetch_add(1, std::memory_order_relaxed);
    }
}

ColumnMapRef::~ColumnMapRef() {
    if (node_ != nullptr) {
        detail::adjust_refs(node_, -1);
    }
}

namespace {
detail::ColumnMapNode* node_of(std::uint64_t word) {
    return reinterpret_cast<detail::ColumnMapNode*>(word & ~ColumnMapSlot::kCountMask);
}
std::uint64_t count_of(std::uint64_t word) {
    return word & ColumnMapSlot::kCountMask;
}
}  // namespace

// Turns the caller's reference into the slot's biased one and returns the slot word.
std::uint64_t ColumnMapSlot::install(ColumnMapRef map) {
    if (!map) {
        throw Panic("column map slot given no map");
    }
    detail::ColumnMapNode* node = map.release();
    node->refs.fetch_add(kInstalledBias - 1, std::memory_order_relaxed);
    return reinterpret_cast<std::uint64_t>(node);
}

// Credits the loads counted in a word taken out of the slot to its map and removes the
// slot's bias, keeping `handed_out` references for the caller.
void ColumnMapSlot::uninstall(std::uint64_t word, std::int64_t handed_out) {
    const auto loads = static_cast<std::int64_t>(count_of(word));
    detail::adjust_refs(node_of(word), loads + handed_out - kInstalledBias);
}

ColumnMapSlot::ColumnMapSlot(ColumnMapRef map) : word_(install(std::move(map))) {}

ColumnMapSlot::~ColumnMapSlot() {
    uninstall(word_.load(std::memory_order_acquire), 0);
}

ColumnMapRef ColumnMapSlot::load() const {
    const std::uint64_t word = word_.fetch_add(1, std::memory_order_acquire);
    detail::ColumnMapNode* node = node_of(word);
    if (count_of(word) + 1 >= kHandOverAt) {
        hand_over(node);
    }
    return ColumnMapRef(node);
}

// Moves the loads counted in the word to the map's own count. The map is credited before
// the word is cleared, so its count is never short of its holders; the caller's own load
// keeps the node alive throughout.
void ColumnMapSlot::hand_over(detail::ColumnMapNode* node) const {
    std::uint64_t seen = word_.load(std::memory_order_relaxed);
    while (node_of(seen) == node && count_of(seen) >= kHandOverAt) {
        const std::uint64_t loads = count_of(seen);
        node->refs.fetch_add(static_cast<std::int64_t>(loads), std::memory_order_relaxed);
        if (word_.compare_exchange_weak(seen, seen - loads, std::memory_order_acq_rel,
                                        std::memory_order_relaxed)) {
            return;
        }
        node->refs.fetch_sub(static_cast<std::int64_t>(loads), std::memory_order_relaxed);
    }
}

ColumnMapRef ColumnMapSlot::swap(ColumnMapRef map) const {
    const std::uint64_t previous =
        word_.exchange(install(std::move(map)), std::memory_order_acq_rel);
    uninstall(previous, 1);
    return ColumnMapRef(node_of(previous));
}

}  // namespace profiler
