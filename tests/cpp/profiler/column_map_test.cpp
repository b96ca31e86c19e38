#include "profiler/column_map.h"

#include <gtest/gtest.h>

#include <functional>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "colliding_names.h"
#include "hash/fxhash.h"
#include "test_support.h"

namespace profiler {
namespace {

using testing::bucket_sharing_names;
using testing::colliding_names;
using testing::hostile_families;
using testing::std_hash_colliding_names;

TEST(ShardAmount, EveryMapTakesTheDefault) {
    EXPECT_EQ(ColumnMap::with_capacity_and_hasher(0)->shard_amount(), default_shard_amount());
}

TEST(ShardSelection, FollowsTheNameTable) {
    struct Case {
        const char* name;
        std::size_t shard4, shard16, shard32, shard64;
    };
    ColumnMap map4(0, 4), map16(0, 16), map32(0, 32), map64(0, 64);
    for (const Case& c : {Case{"", 2, 10, 20, 40}, Case{"a", 0, 2, 4, 8}, Case{"abc", 0, 0, 0, 0},
                          Case{"abcdefghijk", 2, 8, 16, 33}}) {
        const std::uint64_t hash = hash::fx_hash(c.name);
        EXPECT_EQ(map4.shard_index(hash), c.shard4) << c.name;
        EXPECT_EQ(map16.shard_index(hash), c.shard16) << c.name;
        EXPECT_EQ(map32.shard_index(hash), c.shard32) << c.name;
        EXPECT_EQ(map64.shard_index(hash), c.shard64) << c.name;
    }
}

TEST(ColumnMapConstruction, RejectsInvalidShardCounts) {
    struct Case {
        std::size_t shards;
        const char* message;
    };
    for (const Case& c : {Case{0, "assertion failed: shard_amount > 1"},
                          Case{1, "assertion failed: shard_amount > 1"},
                          Case{12, "assertion failed: shard_amount.is_power_of_two()"},
                          Case{3, "assertion failed: shard_amount.is_power_of_two()"}}) {
        try {
            ColumnMap map(0, c.shards);
            ADD_FAILURE() << "no panic for " << c.shards;
        } catch (const Panic& panic) {
            EXPECT_STREQ(panic.what(), c.message);
        }
    }
    EXPECT_NO_THROW(ColumnMap(100, 2));
}

StatsRef insert(ColumnMap& map, const std::string& name) {
    return map.entry(name)
        .or_insert_with([&map] { return ColumnStats::create(map.take_sequence()); })
        .value();
}

TEST(ColumnMapEntries, GetEntryAndOrInsertWith) {
    ColumnMap map(0, 4);
    EXPECT_FALSE(map.get("a").has_value());
    {
        auto vacant = map.entry("a");
        EXPECT_FALSE(vacant.is_occupied());
    }  // dropping a vacant entry inserts nothing and frees the lock
    EXPECT_FALSE(map.get("a").has_value());

    const StatsRef first = insert(map, "a");
    auto occupied = map.entry("a");
    EXPECT_TRUE(occupied.is_occupied());
    int makes = 0;
    const StatsRef again = std::move(occupied)
                               .or_insert_with([&] {
                                   ++makes;
                                   return ColumnStats::create(99);
                               })
                               .value();
    EXPECT_EQ(makes, 0);
    EXPECT_EQ(again, first);
    EXPECT_EQ(map.get("a")->value(), first);
    // Letter case, a trailing space and the empty text are other names.
    for (const char* other : {"A", "a ", ""}) {
        EXPECT_NE(insert(map, other), first) << other;
    }
    const StatsRef empty = insert(map, "");
    EXPECT_EQ(map.get("")->value(), empty);
}

TEST(ColumnMapEntries, IterVisitsEachEntryOnce) {
    ColumnMap empty(0, 8);
    int visits = 0;
    empty.iter([&](std::string_view, const StatsRef&) { ++visits; });
    EXPECT_EQ(visits, 0);

    ColumnMap map(0, 4);
    std::set<std::string> names;
    for (int i = 0; i < 200; ++i) {
        names.insert("column" + std::to_string(i));
        insert(map, "column" + std::to_string(i));
    }
    std::multiset<std::string> seen;
    std::set<std::uint64_t> sequences;
    map.iter([&](std::string_view name, const StatsRef& stats) {
        seen.emplace(name);
        sequences.insert(stats->sequence);
    });
    EXPECT_EQ(std::set<std::string>(seen.begin(), seen.end()), names);
    EXPECT_EQ(seen.size(), names.size());
    EXPECT_EQ(sequences.size(), names.size());
    EXPECT_EQ(*sequences.rbegin(), names.size() - 1);
}

TEST(ColumnMapEntries, NamesSharingOneHashStayDistinct) {
    const auto names = colliding_names(20000);
    const std::uint64_t hash = hash::fx_hash(names.front());
    for (const auto& name : names) {
        ASSERT_EQ(hash::fx_hash(name), hash);
    }
    ColumnMap map(0, 4);
    std::vector<const ColumnStats*> records;
    for (const auto& name : names) {
        records.push_back(insert(map, name).get());
    }
    for (std::size_t i = 0; i < names.size(); ++i) {
        auto hit = map.get(names[i]);
        ASSERT_TRUE(hit.has_value()) << i;
        EXPECT_EQ(hit->value().get(), records[i]) << i;
        EXPECT_EQ(hit->value()->sequence, i);
    }
    std::size_t count = 0;
    map.iter([&](std::string_view, const StatsRef&) { ++count; });
    EXPECT_EQ(count, names.size());
    // A name of the same hash that was never inserted is still a miss.
    EXPECT_FALSE(map.get(colliding_names(20001).back()).has_value());
}

// The fixtures really have the property that made them hostile, against the real hash
// functions; otherwise the tests below would pass for the wrong reason.
TEST(HostileNames, FixturesCollideAsClaimed) {
    const auto fx_equal = colliding_names(500);
    const auto bucketed = bucket_sharing_names(500, 5087);
    const auto std_equal = std_hash_colliding_names(500);
    const ColumnMap map64(0, 64);
    std::set<std::uint64_t> fx_values;
    for (std::size_t i = 0; i < 500; ++i) {
        EXPECT_EQ(hash::fx_hash(fx_equal[i]), hash::fx_hash(fx_equal[0]));
        const std::uint64_t fx = hash::fx_hash(bucketed[i]);
        fx_values.insert(fx);
        EXPECT_EQ(fx % 5087, 7u);
        EXPECT_EQ(map64.shard_index(fx), 0u);
        EXPECT_EQ(std::hash<std::string_view>{}(std_equal[i]),
                  std::hash<std::string_view>{}(std_equal[0]));
    }
    EXPECT_EQ(fx_values.size(), 500u);
    for (const auto& family : {fx_equal, bucketed, std_equal}) {
        EXPECT_EQ(std::set<std::string>(family.begin(), family.end()).size(), 500u);
    }
}

TEST(HostileNames, EachMapDrawsItsOwnKey) {
    const ColumnMap a(0, 4), b(0, 4);
    EXPECT_FALSE(a.name_hash().key == b.name_hash().key);
    EXPECT_FALSE(a.name_hash().key == hash::SipKey{});
}

TEST(HostileNames, CraftedNamesStayDistinctInTheMap) {
    for (const auto& [what, names] : hostile_families(3000)) {
        ColumnMap map(0, 4);
        std::vector<const ColumnStats*> records;
        for (const auto& name : names) {
            records.push_back(insert(map, name).get());
        }
        for (std::size_t i = 0; i < names.size(); ++i) {
            auto hit = map.get(names[i]);
            ASSERT_TRUE(hit.has_value()) << what << " " << i;
            EXPECT_EQ(hit->value().get(), records[i]) << what << " " << i;
            EXPECT_EQ(hit->value()->sequence, i) << what;
        }
        std::set<std::string> seen;
        map.iter([&](std::string_view name, const StatsRef&) { seen.emplace(name); });
        EXPECT_EQ(seen, std::set<std::string>(names.begin(), names.end())) << what;
    }
}

TEST(ColumnMapSlot, PinnedMapOutlivesASwap) {
    ColumnMapSlot slot(ColumnMap::make(0, 4));
    const ColumnMapRef pinned = slot.load();
    const StatsRef before = insert(*pinned, "a");
    testing::apply_value(*before, TypedValue::from_int(5), ValueKeys{});

    const ColumnMapRef previous = slot.swap(ColumnMap::make(0, 4));
    EXPECT_EQ(previous.get(), pinned.get());
    const ColumnMapRef fresh = slot.load();
    EXPECT_NE(fresh.get(), pinned.get());
    EXPECT_FALSE(fresh->get("a").has_value());

    // The pinned map still reaches its records and takes new ones.
    EXPECT_EQ(pinned->get("a")->value(), before);
    insert(*pinned, "late");
    EXPECT_TRUE(previous->get("late").has_value());
    EXPECT_FALSE(slot.load()->get("late").has_value());
}

TEST(ColumnMapSlot, NeverHoldsNoMap) {
    EXPECT_THROW(ColumnMapSlot slot(nullptr), Panic);
    ColumnMapSlot slot(ColumnMap::make(0, 4));
    const ColumnMapRef current = slot.load();
    EXPECT_THROW(slot.swap(nullptr), Panic);
    EXPECT_EQ(slot.load(), current);
}

TEST(ColumnMapSlot, ManyLoadsAcrossSwapsFreeEachMapOnce) {
    // Thousands of pins of each map across several swaps, released out of order; the
    // sanitizer builds catch a map freed twice, too early or never.
    ColumnMapSlot slot(ColumnMap::make(0, 4));
    std::vector<ColumnMapRef> pins;
    for (int round = 0; round < 4; ++round) {
        for (int i = 0; i < 3000; ++i) {
            pins.push_back(slot.load());
        }
        insert(*pins.back(), "round" + std::to_string(round));
        ColumnMapRef previous = slot.swap(ColumnMap::make(0, 4));
        EXPECT_EQ(previous.get(), pins.back().get());
        pins.erase(pins.begin(), pins.begin() + 1500);
    }
    EXPECT_TRUE(pins.back()->get("round3").has_value());
    pins.clear();
    EXPECT_FALSE(slot.load()->get("round3").has_value());
}

}  // namespace
}  // namespace profiler
