// The sketch's states are pinned: digests of stored forms made by fixed inputs, seeds and
// k, taken from the sketch before its compactions were made faster. A change to how a
// level is sorted or merged must leave every state (so every stored byte) as it was; any
// difference in the order of compactions, in the coins or in the items kept shows here.
// The inputs come from a generator of this file's own, so no library's distributions take
// part.
#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <cstdint>
#include <string>
#include <vector>

#include "quantile_test_support.h"
#include "quantiles/sort_values.h"

namespace {

using quantiles::QuantileSketch;

std::uint64_t splitmix(std::uint64_t& state) {
    std::uint64_t z = (state += 0x9E3779B97F4A7C15ULL);
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ULL;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBULL;
    return z ^ (z >> 31);
}

enum class Input { kUniform, kWide, kIntegers, kSorted, kReversed, kMixedSigns };

std::vector<double> input(Input kind, std::size_t n, std::uint64_t seed) {
    std::uint64_t state = seed;
    std::vector<double> v(n);
    for (std::size_t i = 0; i < n; ++i) {
        const std::uint64_t r = splitmix(state);
        const double unit = static_cast<double>(r >> 11) * 0x1.0p-53;
        switch (kind) {
            case Input::kUniform: v[i] = unit * 2000.0 - 1000.0; break;
            case Input::kWide: v[i] = std::ldexp(unit + 0.5, static_cast<int>(r % 200) - 100); break;
            case Input::kIntegers: v[i] = static_cast<double>(r % 1000); break;
            case Input::kSorted: v[i] = static_cast<double>(i) * 0.5; break;
            case Input::kReversed: v[i] = static_cast<double>(n - i); break;
            case Input::kMixedSigns: v[i] = (r & 1) ? -unit : (r & 2) ? 0.0 : -0.0; break;
        }
    }
    return v;
}

std::uint64_t digest(const QuantileSketch& s) {
    std::uint64_t h = 0xcbf29ce484222325ULL;
    for (const std::uint8_t b : quantile_test::bytes_of(s)) {
        h = (h ^ b) * 0x100000001b3ULL;
    }
    return h;
}

struct Pinned {
    const char* name;
    Input kind;
    std::size_t n;
    std::uint32_t k;
    std::size_t shards;  // > 1: one sketch per shard, merged left to right
    std::uint64_t expected;
};

class PinnedState : public ::testing::TestWithParam<Pinned> {};

TEST_P(PinnedState, StoredFormIsUnchanged) {
    const Pinned& c = GetParam();
    const std::vector<double> values = input(c.kind, c.n, c.n * 31 + c.k);
    QuantileSketch merged(0x5eed + c.k, c.k);
    const std::size_t step = (c.n + c.shards - 1) / c.shards;
    for (std::size_t begin = 0; begin < c.n; begin += step) {
        const std::span<const double> shard =
            std::span<const double>(values).subspan(begin, std::min(step, c.n - begin));
        QuantileSketch part(0x5eed + c.k, c.k);
        // Calls of uneven sizes: the state does not depend on them, only on the values.
        for (std::size_t i = 0; i < shard.size();) {
            const std::size_t take = std::min<std::size_t>(shard.size() - i, 1 + (i * 7) % 5000);
            part.update_many(shard.subspan(i, take));
            i += take;
        }
        merged.merge(part);
    }
    EXPECT_EQ(quantile_test::broken_invariant(merged), "");
    EXPECT_EQ(digest(merged), c.expected) << "got 0x" << std::hex << digest(merged);
}

const Pinned kPinned[] = {
    {"uniform_300k", Input::kUniform, 300000, 600, 1,
     0xb6ef01b477c2eefeULL},
    {"uniform_3m", Input::kUniform, 3000000, 600, 1,
     0x2f56f0106960a6d6ULL},
    {"wide_200k", Input::kWide, 200000, 600, 1,
     0x4ede37fcb73f4adeULL},
    {"integers_500k", Input::kIntegers, 500000, 600, 1,
     0x63f8915211dbcb29ULL},
    {"sorted_300k", Input::kSorted, 300000, 600, 1,
     0xea951d730b813923ULL},
    {"reversed_300k", Input::kReversed, 300000, 600, 1,
     0x6603757b7486d47dULL},
    {"signs_100k", Input::kMixedSigns, 100000, 600, 1,
     0x9c38193284a4dbe5ULL},
    {"uniform_k8", Input::kUniform, 100000, 8, 1,
     0x4746bf6a99aa3100ULL},
    {"uniform_k200", Input::kUniform, 200000, 200, 1,
     0xaf7e9681c4028101ULL},
    {"uniform_k4000", Input::kUniform, 400000, 4000, 1,
     0xb4106a7fc0f0c67bULL},
    {"uniform_8_shards", Input::kUniform, 800000, 600, 8,
     0x478a4d02c94962aaULL},
    {"wide_5_shards", Input::kWide, 300000, 600, 5,
     0xbc6ad892371594abULL},
};

INSTANTIATE_TEST_SUITE_P(Inputs, PinnedState, ::testing::ValuesIn(kPinned),
                         [](const auto& info) { return std::string(info.param.name); });

// sort_values against std::sort on every size up to past its scratch buffer, for inputs
// with runs, repeats and both signs.
TEST(SortValues, EqualsStdSortBitForBit) {
    for (const Input kind : {Input::kUniform, Input::kWide, Input::kIntegers, Input::kSorted,
                             Input::kReversed, Input::kMixedSigns}) {
        for (std::size_t n = 0; n <= quantiles::kSortScratch + 40; n += (n < 80 ? 1 : 37)) {
            std::vector<double> values = input(kind, n, n + 1);
            for (double& x : values) {
                x += 0.0;  // as the sketch stores them: no -0.0
            }
            std::vector<double> expected = values;
            std::sort(expected.begin(), expected.end());
            quantiles::sort_values(values);
            for (std::size_t i = 0; i < n; ++i) {
                ASSERT_EQ(std::bit_cast<std::uint64_t>(values[i]),
                          std::bit_cast<std::uint64_t>(expected[i]))
                    << "n=" << n << " at " << i;
            }
        }
    }
}

}  // namespace
