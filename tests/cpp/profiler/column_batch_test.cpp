#include "profiler/column_batch.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <bit>
#include <cstdint>
#include <span>
#include <utility>
#include <vector>

#include "common/mix64.h"

namespace profiler {
namespace {

std::vector<std::uint64_t> contents(const KeyList& keys) {
    const std::span<const std::uint64_t> view = keys;
    return {view.begin(), view.end()};
}

// Lists of no key, one key (kept in place), and keys past the first growth or two keep
// their keys in order through appends and moves, as parts do while a batch's vector of
// parts grows.
TEST(KeyList, KeepsKeysInOrderThroughGrowthAndMoves) {
    // 16384 keys and more live in mapped pages, grown by remapping.
    for (std::size_t n : {0u, 1u, 2u, 16u, 17u, 100u, 16384u, 16385u, 70000u}) {
        SCOPED_TRACE(n);
        std::vector<std::uint64_t> expected;
        KeyList keys;
        for (std::size_t i = 0; i < n; ++i) {
            keys.push_back(1000 + i);
            expected.push_back(1000 + i);
        }
        EXPECT_EQ(contents(keys), expected);

        KeyList moved(std::move(keys));
        EXPECT_EQ(contents(moved), expected);
        EXPECT_EQ(keys.size(), 0u);  // a moved-from list is empty and usable
        keys.push_back(7);
        EXPECT_EQ(contents(keys), std::vector<std::uint64_t>{7});

        KeyList assigned;
        assigned.push_back(1);
        assigned = std::move(moved);
        EXPECT_EQ(contents(assigned), expected);
        assigned.push_back(9);
        expected.push_back(9);
        EXPECT_EQ(contents(assigned), expected);
    }
}

TEST(ColumnPart, PartsKeepTheirKeysWhileTheirVectorGrows) {
    std::vector<ColumnPart> parts;
    for (std::uint32_t i = 0; i < 40; ++i) {
        parts.emplace_back();
        for (std::uint32_t j = 0; j <= i % 3; ++j) {
            parts.back().add(int_cell(i, i * 10 + j, ValueKeys{}));
        }
    }
    for (std::uint32_t i = 0; i < 40; ++i) {
        std::vector<std::uint64_t> expected;
        for (std::uint32_t j = 0; j <= i % 3; ++j) {
            expected.push_back(std::bit_cast<std::uint64_t>(static_cast<double>(i * 10 + j)));
        }
        EXPECT_EQ(contents(parts[i].keys), expected) << "part " << i;
        EXPECT_EQ(parts[i].cells, i % 3 + 1);
    }
}

// Whether `listed` is `input` with some elements left out, in input order.
bool is_subsequence(const std::vector<std::uint64_t>& listed,
                    const std::vector<std::uint64_t>& input) {
    auto at = input.begin();
    for (std::uint64_t key : listed) {
        at = std::find(at, input.end(), key);
        if (at == input.end()) {
            return false;
        }
        ++at;
    }
    return true;
}

std::vector<std::uint64_t> distinct(std::vector<std::uint64_t> keys) {
    std::sort(keys.begin(), keys.end());
    keys.erase(std::unique(keys.begin(), keys.end()), keys.end());
    return keys;
}

// Two keys with the same home slot in the table of recent keys (1024 slots).
std::pair<std::uint64_t, std::uint64_t> sharing_a_slot() {
    const std::size_t home = common::mix_slot(7, 10);
    std::uint64_t other = 8;
    while (common::mix_slot(other, 10) != home) {
        ++other;
    }
    return {7, other};
}

// A part drops keys it listed lately, and only those: whatever the input, it lists every
// distinct key, in input order, and a sketch given the list ends as one given every key.
// Key 0 (the key of int 0) and its neighbours come first late, after the table of recent
// keys has started; keys that share a slot take it from each other; a run of distinct keys
// gives the table up, after which every key is listed.
TEST(ColumnPart, ListsEveryDistinctKeyInInputOrder) {
    struct Case {
        const char* name;
        std::vector<std::uint64_t> keys;
        std::size_t most_listed;  // the list's length is at most this
    };
    std::vector<Case> cases;
    {
        std::vector<std::uint64_t> keys;
        for (std::size_t i = 0; i < 30000; ++i) {
            keys.push_back(1000 + i % 3);
        }
        cases.push_back({"three values", keys, RecentKeys::kStartAfter + 3});
    }
    {
        std::vector<std::uint64_t> keys;
        for (std::size_t i = 0; i < 20000; ++i) {
            keys.push_back(1 + i % 9);
        }
        for (std::uint64_t late : {0, 1, 0, 2, 10, 0}) {
            keys.push_back(late);
        }
        cases.push_back({"0 first seen late", keys, RecentKeys::kStartAfter + 11});
    }
    {
        const auto [a, b] = sharing_a_slot();
        std::vector<std::uint64_t> keys;
        for (std::size_t i = 0; i < 5000; ++i) {
            keys.push_back(i % 2 == 0 ? a : b);
        }
        cases.push_back({"two keys sharing a slot", keys, 5000});
    }
    {
        std::vector<std::uint64_t> keys;
        std::uint64_t x = 1;
        for (std::size_t i = 0; i < 40000; ++i) {
            x = x * 6364136223846793005ULL + 1442695040888963407ULL;
            keys.push_back(i < 10000 ? x : x % 300);  // distinct first, then 300 values
        }
        cases.push_back({"distinct, then repeats", keys, 40000});
    }
    {
        std::vector<std::uint64_t> keys;
        for (std::size_t i = 0; i < RecentKeys::kStartAfter - 1; ++i) {
            keys.push_back(i % 2);
        }
        cases.push_back({"a short part lists every key", keys, keys.size()});
    }
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        ColumnPart part;
        for (std::uint64_t key : c.keys) {
            part.add(Cell{0, Tag::Str, profiler::Origin::Text, 0, key});
        }
        const std::vector<std::uint64_t> listed = contents(part.keys);
        EXPECT_EQ(part.cells, c.keys.size());
        EXPECT_EQ(distinct(listed), distinct(c.keys));
        EXPECT_TRUE(is_subsequence(listed, c.keys));
        EXPECT_LE(listed.size(), c.most_listed);
        if (c.keys.size() < RecentKeys::kStartAfter) {
            EXPECT_EQ(listed, c.keys);
        }
    }
}

}  // namespace
}  // namespace profiler
