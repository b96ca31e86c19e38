// Merges: exact summaries merge into exactly what one summary of all the values would be;
// beyond that, the bounds hold whatever the tree and order of merges, and summaries go on
// updating correctly after a merge.
#include <gtest/gtest.h>

#include <functional>
#include <random>

#include "top_values_test_support.h"

namespace {

using namespace top_values_test;

std::vector<std::span<const std::uint64_t>> split(std::span<const std::uint64_t> keys,
                                                  std::size_t parts, std::uint64_t seed) {
    std::mt19937_64 gen(seed);
    std::vector<std::size_t> cuts = {0, keys.size()};
    for (std::size_t i = 1; i < parts; ++i) {
        cuts.push_back(gen() % (keys.size() + 1));
    }
    std::sort(cuts.begin(), cuts.end());
    std::vector<std::span<const std::uint64_t>> out;
    for (std::size_t i = 0; i + 1 < cuts.size(); ++i) {
        out.push_back(keys.subspan(cuts[i], cuts[i + 1] - cuts[i]));
    }
    return out;
}

// While the union of keys fits, a merge is exact, and equals observing the parts in turn.
TEST(Merge, ExactSummariesMergeIntoTheSummaryOfAllValues) {
    for (const std::uint64_t seed : {1u, 2u, 3u, 4u}) {
        const auto keys = zipf_keys(5000, 1.2, kCapacity - 1, seed);  // never full
        TopValues folded;
        for (const auto part : split(keys, 1 + seed * 2, seed)) {
            folded.merge(summary_of(part));
        }
        EXPECT_EQ(bytes_of(folded), bytes_of(summary_of(keys)));
    }
}

TEST(Merge, EmptyChangesNothingEitherWay) {
    const auto keys = zipf_keys(5000, 1.1, 3000, 9);
    const TopValues s = summary_of(keys);
    TopValues left = summary_of(keys);
    left.merge(TopValues());
    TopValues right;
    right.merge(s);
    EXPECT_EQ(bytes_of(left), bytes_of(s));
    EXPECT_EQ(bytes_of(right), bytes_of(s));
}

// Merge orders and trees over the same parts: left fold, right fold, balanced pairs and a
// shuffled fold. Each result is checked against the exact counts of all the values.
enum class Tree { kLeftFold, kRightFold, kBalanced, kShuffled };

TopValues merge_as(Tree tree, std::vector<TopValues> parts, std::uint64_t seed) {
    switch (tree) {
        case Tree::kLeftFold:
            for (std::size_t i = 1; i < parts.size(); ++i) {
                parts[0].merge(parts[i]);
            }
            return std::move(parts[0]);
        case Tree::kRightFold:
            for (std::size_t i = parts.size() - 1; i > 0; --i) {
                parts[i - 1].merge(parts[i]);
            }
            return std::move(parts[0]);
        case Tree::kBalanced:
            while (parts.size() > 1) {
                std::vector<TopValues> next;
                for (std::size_t i = 0; i + 1 < parts.size(); i += 2) {
                    parts[i].merge(parts[i + 1]);
                    next.push_back(std::move(parts[i]));
                }
                if (parts.size() % 2 == 1) {
                    next.push_back(std::move(parts.back()));
                }
                parts = std::move(next);
            }
            return std::move(parts[0]);
        case Tree::kShuffled:
            std::shuffle(parts.begin(), parts.end(), std::mt19937_64(seed));
            return merge_as(Tree::kLeftFold, std::move(parts), seed);
    }
    return {};
}

struct TreeCase {
    Tree tree;
    double exponent;
    std::size_t parts;
    std::uint64_t seed;
};

class MergeTrees : public ::testing::TestWithParam<TreeCase> {};

TEST_P(MergeTrees, BoundsHold) {
    const auto [tree, exponent, parts, seed] = GetParam();
    const auto keys = zipf_keys(120000, exponent, 50000, seed);
    std::vector<TopValues> summaries;
    for (const auto part : split(keys, parts, seed)) {
        summaries.push_back(summary_of(part));
    }
    const TopValues merged = merge_as(tree, std::move(summaries), seed);
    expect_bounds(merged, exact_counts(keys), keys.size());
}

INSTANTIATE_TEST_SUITE_P(
    Trees, MergeTrees,
    ::testing::Values(TreeCase{Tree::kLeftFold, 1.1, 8, 1}, TreeCase{Tree::kRightFold, 1.1, 8, 1},
                      TreeCase{Tree::kBalanced, 1.1, 8, 1}, TreeCase{Tree::kShuffled, 1.1, 8, 1},
                      TreeCase{Tree::kLeftFold, 0.6, 16, 2}, TreeCase{Tree::kBalanced, 0.6, 16, 2},
                      TreeCase{Tree::kShuffled, 0.6, 16, 2}, TreeCase{Tree::kLeftFold, 1.6, 5, 3},
                      TreeCase{Tree::kRightFold, 1.6, 5, 3}, TreeCase{Tree::kBalanced, 2.5, 32, 4},
                      TreeCase{Tree::kShuffled, 2.5, 32, 4}));

// Parts over disjoint keys: every merge truncates, which is where the floor matters most.
TEST(Merge, DisjointPartsKeepBounds) {
    std::vector<std::uint64_t> keys;
    std::vector<TopValues> parts;
    for (std::uint64_t p = 0; p < 10; ++p) {
        const auto part = zipf_keys(10000, 0.9, 2000, p + 20);
        std::vector<std::uint64_t> shifted;
        for (const auto k : part) {
            shifted.push_back(scramble(k + p));  // each part its own keys
        }
        keys.insert(keys.end(), shifted.begin(), shifted.end());
        parts.push_back(summary_of(shifted));
    }
    const TopValues merged = merge_as(Tree::kBalanced, std::move(parts), 0);
    expect_bounds(merged, exact_counts(keys), keys.size());
}

// After merges, updates go on from the merged state and the bounds still hold.
TEST(Merge, UpdatesAfterMergesKeepBounds) {
    const auto keys = zipf_keys(90000, 1.0, 20000, 31);
    const auto parts = split(keys, 3, 31);
    TopValues s = summary_of(parts[0]);
    s.merge(summary_of(parts[1]));
    observe(s, parts[2]);
    expect_bounds(s, exact_counts(keys), keys.size());
}

TEST(Merge, WithItselfDoublesEveryCount) {
    const auto keys = zipf_keys(30000, 1.1, 10000, 41);
    TopValues s = summary_of(keys);
    s.merge(s);
    std::vector<std::uint64_t> twice = keys;
    twice.insert(twice.end(), keys.begin(), keys.end());
    expect_bounds(s, exact_counts(twice), twice.size());
}

// The result is a pure function of the two states: equal states merge into equal bytes,
// and a key held on both sides keeps this side's representative.
TEST(Merge, RepresentativeOfThisSideWins) {
    TopValues a;
    a.update(7, Representative::of_number(1.0));
    TopValues b;
    b.update(7, Representative::of_number(2.0));
    b.update(8, Representative::of_text("eight"));
    a.merge(b);
    const auto top = a.top(2);
    EXPECT_EQ(top[0].key, 7u);
    EXPECT_EQ(top[0].count, 2u);
    EXPECT_EQ(top[0].representative.number, 1.0);
    EXPECT_EQ(top[1].representative.text, "eight");
}

}  // namespace
