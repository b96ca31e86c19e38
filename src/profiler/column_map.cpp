#include "profiler/column_map.h"

#include <bit>
#include <string>

namespace profiler {

// ---- Shard table ---------------------------------------------------------------------

void ColumnMapShard::prepare(const NameHash& hash, std::size_t entries) {
    table_ = decltype(table_)(0, hash);  // bucket hint 0: no storage until the first name
    if (entries > 0) {
        table_.reserve(entries);
    }
}

const StatsRef* ColumnMapShard::find(std::string_view name) const {
    const auto it = table_.find(name);
    return it == table_.end() ? nullptr : &it->second;
}

StatsRef* ColumnMapShard::find(std::string_view name) {
    return const_cast<StatsRef*>(std::as_const(*this).find(name));
}

StatsRef& ColumnMapShard::insert(std::string name, StatsRef value) {
    return table_.emplace(std::move(name), std::move(value)).first->second;
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
      name_hash_(NameHash::from_os()),
      shards_(new ColumnMapShard[shard_amount]) {
    const std::size_t per_shard = (capacity + shard_amount - 1) / shard_amount;
    for (std::size_t i = 0; i < shard_amount; ++i) {
        shards_[i].prepare(name_hash_, per_shard);
    }
}

ColumnMapRef ColumnMap::with_capacity_and_hasher(std::size_t capacity) {
    return ColumnMapRef::make(capacity, default_shard_amount());
}

std::optional<ColumnMap::ReadRef> ColumnMap::get(std::string_view name) const {
    const std::uint64_t hash = sketch::fx_hash(name);
    const ColumnMapShard& shard = shards_[shard_index(hash)];
    std::shared_lock<std::shared_mutex> hold(shard.lock);
    const StatsRef* found = shard.find(name);
    if (found == nullptr) {
        return std::nullopt;
    }
    return ReadRef(std::move(hold), found);
}

ColumnMap::Entry ColumnMap::entry(std::string name) {
    const std::uint64_t hash = sketch::fx_hash(name);
    ColumnMapShard& shard = shards_[shard_index(hash)];
    std::unique_lock<std::shared_mutex> hold(shard.lock);
    StatsRef* found = shard.find(name);
    return Entry(std::move(hold), &shard, std::move(name), found);
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
