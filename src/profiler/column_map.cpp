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

void ColumnMapShard::erase(std::string_view name) noexcept {
    const auto it = table_.find(name);
    if (it != table_.end()) {
        table_.erase(it);
    }
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
      name_hash_(NameHash::fresh()),
      shards_(new ColumnMapShard[shard_amount]) {
    const std::size_t per_shard = (capacity + shard_amount - 1) / shard_amount;
    for (std::size_t i = 0; i < shard_amount; ++i) {
        shards_[i].prepare(name_hash_, per_shard);
    }
}

ColumnMapRef ColumnMap::with_capacity_and_hasher(std::size_t capacity) {
    return make(capacity, default_shard_amount());
}

ColumnMapRef ColumnMap::make(std::size_t capacity, std::size_t shard_amount) {
    return std::make_shared<ColumnMap>(capacity, shard_amount);
}

std::optional<ColumnMap::ReadRef> ColumnMap::get(std::string_view name) const {
    const std::uint64_t hash = hash::fx_hash(name);
    const ColumnMapShard& shard = shards_[shard_index(hash)];
    std::shared_lock<std::shared_mutex> hold(shard.lock);
    const StatsRef* found = shard.find(name);
    if (found == nullptr) {
        return std::nullopt;
    }
    return ReadRef(std::move(hold), found);
}

ColumnMap::Entry ColumnMap::entry(std::string name) {
    const std::uint64_t hash = hash::fx_hash(name);
    ColumnMapShard& shard = shards_[shard_index(hash)];
    std::unique_lock<std::shared_mutex> hold(shard.lock);
    StatsRef* found = shard.find(name);
    return Entry(std::move(hold), &shard, std::move(name), found);
}

void ColumnMap::abandon(std::string_view name, const StatsRef& record) noexcept {
    const std::uint64_t hash = hash::fx_hash(name);
    ColumnMapShard& shard = shards_[shard_index(hash)];
    std::unique_lock<std::shared_mutex> hold(shard.lock);
    if (record->claims.fetch_sub(1, std::memory_order_acq_rel) != 1 ||
        record->published.load(std::memory_order_acquire)) {
        return;
    }
    const StatsRef* stored = shard.find(name);
    if (stored != nullptr && stored->get() == record.get()) {
        shard.erase(name);
    }
}

// ---- The slot ----------------------------------------------------------------------

namespace {
ColumnMapRef checked_map(ColumnMapRef map) {
    if (!map) {
        throw Panic("column map slot given no map");
    }
    return map;
}
}  // namespace

ColumnMapSlot::ColumnMapSlot(ColumnMapRef map) : map_(checked_map(std::move(map))) {}

ColumnMapRef ColumnMapSlot::load() const {
    std::lock_guard<std::mutex> hold(mutex_);
    return map_;
}

// The caller's reference to the previous map leaves the lock with it, so the map is never
// freed while the mutex is held.
ColumnMapRef ColumnMapSlot::swap(ColumnMapRef map) const {
    map = checked_map(std::move(map));
    std::lock_guard<std::mutex> hold(mutex_);
    map_.swap(map);
    return map;
}

}  // namespace profiler
