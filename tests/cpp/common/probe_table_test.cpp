// ProbeTable: linear probing with wrap-around, under the slot policies its users need.

#include "common/probe_table.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <random>
#include <set>
#include <span>
#include <vector>

namespace {

using Codes = common::ReservedFree<std::uint32_t, 0xFFFFFFFF>;

auto equals(std::uint32_t code) {
    return [code](std::uint32_t taken) { return taken == code; };
}

// A map from a key to a value whose key may live only outside the slot, as a table of
// names keeps the name's hash and compares the name elsewhere.
struct HashedSlot {
    std::uint64_t hash = 0;
    std::uint32_t column = kNone;
    static constexpr std::uint32_t kNone = 0xFFFFFFFF;
};
struct HashedSlots {
    using Slot = HashedSlot;
    bool is_free(const Slot& slot) const { return slot.column == Slot::kNone; }
    void clear(std::span<Slot> slots) { std::fill(slots.begin(), slots.end(), Slot{}); }
};

// One model set beside the table, for every operation, with keys crowded onto few homes
// so that chains run across the end of the table and wrap.
TEST(ProbeTable, AgreesWithASetWhenChainsWrap) {
    for (const std::size_t slot_count : {std::size_t{7}, std::size_t{64}, std::size_t{100}}) {
        common::ProbeTable<Codes> table(slot_count);
        std::set<std::uint32_t> model;
        std::mt19937 random(static_cast<unsigned>(slot_count));
        for (int round = 0; round < 3; ++round) {
            while (model.size() < slot_count / 2) {
                const std::uint32_t code = random() % (2 * slot_count);
                // Homes among the last four slots only: most chains wrap to slot 0.
                const std::size_t home = slot_count - 1 - code % 4;
                EXPECT_EQ(table.insert(home, code, equals(code)), model.insert(code).second);
                EXPECT_NE(table.find_slot(home, equals(code)), nullptr);
            }
            EXPECT_EQ(table.size(), model.size());
            for (std::uint32_t code = 0; code < 2 * slot_count; ++code) {
                const std::size_t home = slot_count - 1 - code % 4;
                EXPECT_EQ(table.find_slot(home, equals(code)) != nullptr, model.count(code) == 1);
            }
            std::vector<std::uint32_t> taken(table.size() + 1);
            taken.resize(table.copy_taken(taken.data(), [](std::uint32_t c) { return c; }));
            EXPECT_EQ(std::set<std::uint32_t>(taken.begin(), taken.end()), model);
            EXPECT_EQ(taken.size(), model.size());
            table.clear();
            model.clear();
            EXPECT_EQ(table.size(), 0u);
            EXPECT_EQ(table.find_slot(0, equals(1)), nullptr);
        }
    }
}

// The fixed table inside the object behaves as the heap one: the same inserts give the
// same slots.
TEST(ProbeTable, FixedAndHeapTablesPlaceAlike) {
    common::ProbeTable<Codes, 32> fixed;
    common::ProbeTable<Codes> heap(32);
    for (std::uint32_t code = 0; code < 16; ++code) {
        const std::size_t home = (code * 7) % 4 + 28;  // the last four slots
        EXPECT_EQ(fixed.insert(home, code, equals(code)), heap.insert(home, code, equals(code)));
    }
    EXPECT_TRUE(std::ranges::equal(fixed.slots(), heap.slots()));
}

// Entries with one hash are told apart by the caller's comparison; placing skips taken
// slots; growing keeps every entry findable under the new homes.
TEST(ProbeTable, SharedHashesAndGrowth) {
    const std::vector<std::uint64_t> hashes = {5, 5, 5, 9, 12, 5, 3};
    auto home_of = [](std::uint64_t hash, std::size_t slot_count) { return hash % slot_count; };
    common::ProbeTable<HashedSlots> table(16);
    for (std::uint32_t column = 0; column < hashes.size(); ++column) {
        table.place(home_of(hashes[column], table.slot_count()), {hashes[column], column});
    }
    auto find = [&](std::uint32_t column) {
        const HashedSlot* slot = table.find_slot(
            home_of(hashes[column], table.slot_count()),
            [&](const HashedSlot& s) { return s.hash == hashes[column] && s.column == column; });
        return slot ? static_cast<std::int64_t>(slot->column) : -1;
    };
    for (std::uint32_t column = 0; column < hashes.size(); ++column) {
        EXPECT_EQ(find(column), column);
    }
    table.rehash(64, [&](const HashedSlot& s) { return home_of(s.hash, 64); });
    EXPECT_EQ(table.slot_count(), 64u);
    EXPECT_EQ(table.size(), hashes.size());
    for (std::uint32_t column = 0; column < hashes.size(); ++column) {
        EXPECT_EQ(find(column), column);
    }
    // A hash that is present, with a comparison that holds for none of its entries.
    EXPECT_EQ(table.find_slot(home_of(5, 64), [](const HashedSlot& s) { return s.column == 42; }),
              nullptr);
}

}  // namespace
