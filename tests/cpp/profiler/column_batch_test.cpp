#include "profiler/column_batch.h"

#include <gtest/gtest.h>

#include <bit>
#include <cstdint>
#include <span>
#include <utility>
#include <vector>

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
    for (std::size_t n : {0u, 1u, 2u, 16u, 17u, 100u}) {
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

}  // namespace
}  // namespace profiler
