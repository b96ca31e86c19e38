// ColumnMap: the concurrent map from column name to the column's shared ColumnStats, and
// ColumnMapSlot (column_map_slot.h), the atomically swappable reference through which the
// engine holds it.
//
// Layout. A map has a fixed power-of-two number of shards (default_shard_amount(), at
// least 4), chosen once per process from the CPUs it may use (cpu_budget.h). A name's
// FxHash picks its shard: the bits just below the hash's top 7 bits. Each shard is a hash
// table guarded by its own reader-writer lock. The tables do not place names by FxHash:
// it has no seed, so callers could pick names that share a bucket (or the whole hash) and
// make every lookup walk them all. They place names by the map's NameHash, SipHash under
// a key of the map's own that derives from a secret the process draws from the operating
// system's random source (name_hash.h); crafted names can still crowd one shard's lock,
// but not one bucket. Entries are added; one leaves only through abandon, when the write
// that created it failed before any write applied to it (column_stats.h).
//
// Invariants:
//  - a name appears at most once in a map; its record never changes while it is there.
//  - every record's sequence number is unique within its map and grows with creation.
//  - a map is freed exactly once, by whichever of its holders lets go last.
//
// Thread safety: get takes a shard's lock shared; entry takes it exclusive and keeps it
// until the resulting reference is dropped; iter holds each shard's lock shared while it
// visits that shard. The lock (std::shared_mutex, glibc's reader-preferring rwlock) lets
// new readers in while a writer waits. Lock order: a shard lock, then a column's
// sketch_mutex; no code holds two shard locks. The slot's own locking is
// column_map_slot.h's.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <shared_mutex>
#include <string>
#include <string_view>
#include <unordered_map>
#include <utility>

#include "hash/fxhash.h"
#include "profiler/column_map_slot.h"
#include "profiler/column_stats.h"
#include "profiler/cpu_budget.h"
#include "profiler/name_hash.h"
#include "profiler/panic.h"

namespace profiler {

using StatsRef = std::shared_ptr<ColumnStats>;

// One shard's table, keyed by the map's NameHash. Not synchronised by itself: its owner
// holds `lock` around each use.
class ColumnMapShard {
  public:
    mutable std::shared_mutex lock;

    // Empties the table and keys it by `hash`, with room for `entries` names.
    void prepare(const NameHash& hash, std::size_t entries);
    // The record stored under name, or nullptr.
    const StatsRef* find(std::string_view name) const;
    StatsRef* find(std::string_view name);
    // Stores a name the shard does not hold yet and returns its stored value.
    StatsRef& insert(std::string name, StatsRef value);
    // Removes the name's entry, if any; allocates nothing.
    void erase(std::string_view name) noexcept;

    // Calls visit(name, record) for every entry.
    template <class Visit>
    void for_each(Visit& visit) const {
        for (const auto& [name, value] : table_) {
            visit(std::string_view(name), value);
        }
    }

  private:
    std::unordered_map<std::string, StatsRef, NameHash, std::equal_to<>> table_;
};

class ColumnMap {
  public:
    // A read reference: holds the shard's shared lock while it lives.
    class ReadRef {
      public:
        const StatsRef& value() const { return *value_; }

      private:
        friend class ColumnMap;
        ReadRef(std::shared_lock<std::shared_mutex> lock, const StatsRef* value)
            : lock_(std::move(lock)), value_(value) {}
        std::shared_lock<std::shared_mutex> lock_;
        const StatsRef* value_;
    };

    // A write reference: holds the shard's exclusive lock while it lives.
    class WriteRef {
      public:
        const StatsRef& value() const { return *value_; }

      private:
        friend class ColumnMap;
        WriteRef(std::unique_lock<std::shared_mutex> lock, StatsRef* value)
            : lock_(std::move(lock)), value_(value) {}
        std::unique_lock<std::shared_mutex> lock_;
        StatsRef* value_;
    };

    // A name looked up under the shard's exclusive lock, present or not.
    class Entry {
      public:
        bool is_occupied() const { return found_ != nullptr; }
        // On a vacant entry stores maker()'s record under the name; on an occupied one
        // drops the offered name. Either way returns the stored record, lock still held.
        template <class Maker>
        WriteRef or_insert_with(Maker&& maker) && {
            if (found_ == nullptr) {
                found_ = &shard_->insert(std::move(name_), maker());
            }
            return WriteRef(std::move(lock_), found_);
        }

      private:
        friend class ColumnMap;
        Entry(std::unique_lock<std::shared_mutex> lock, ColumnMapShard* shard, std::string name,
              StatsRef* found)
            : lock_(std::move(lock)), shard_(shard), name_(std::move(name)), found_(found) {}
        std::unique_lock<std::shared_mutex> lock_;
        ColumnMapShard* shard_;
        std::string name_;
        StatsRef* found_;
    };

    // A map with `shard_amount` shards, each with room for ceil(capacity / shard_amount)
    // entries (none at all for capacity 0), its tables keyed by a NameHash of its own.
    // Throws Panic unless shard_amount is a power of two greater than 1.
    ColumnMap(std::size_t capacity, std::size_t shard_amount);
    ColumnMap(const ColumnMap&) = delete;
    ColumnMap& operator=(const ColumnMap&) = delete;

    // A shared map with default_shard_amount() shards.
    static ColumnMapRef with_capacity_and_hasher(std::size_t capacity);
    // A shared map with the given shard count (which must be valid, as above).
    static ColumnMapRef make(std::size_t capacity, std::size_t shard_amount);

    std::optional<ReadRef> get(std::string_view name) const;
    Entry entry(std::string name);
    // Ends a write's claim on `record`, stored under `name`, when the write applied
    // nothing: under the shard's exclusive lock, so no other write can claim it meanwhile,
    // the record leaves the map if no write claims it any more and none has applied to it.
    void abandon(std::string_view name, const StatsRef& record) noexcept;

    // Visits every (name, record) pair: shards in index order, each under its shared lock
    // for the whole of its visit. No order across the map beyond that.
    template <class Visit>
    void iter(Visit&& visit) const {
        for (std::size_t i = 0; i < shard_amount_; ++i) {
            std::shared_lock<std::shared_mutex> hold(shards_[i].lock);
            shards_[i].for_each(visit);
        }
    }

    std::size_t shard_amount() const { return shard_amount_; }
    // The hash of this map's tables; also fit for any index of names a call builds while it
    // holds the map.
    const NameHash& name_hash() const { return name_hash_; }
    std::size_t shard_index(std::uint64_t hash) const {
        return static_cast<std::size_t>((hash << 7) >> shift_);
    }
    // The next creation sequence number of this map.
    std::uint64_t take_sequence() { return next_sequence_.fetch_add(1, std::memory_order_relaxed); }

  private:
    std::size_t shard_amount_;
    std::uint64_t shift_;  // 64 - log2(shard_amount_)
    NameHash name_hash_;
    std::unique_ptr<ColumnMapShard[]> shards_;
    std::atomic<std::uint64_t> next_sequence_{0};
};

}  // namespace profiler
