// mix_slot: the home slot of a key, from the top bits of its mix.

#include "common/mix64.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <bit>
#include <cstdint>
#include <set>

namespace {

// Doubles of whole numbers differ only in their high half, integers only in their low one;
// both kinds must spread over the slots of a table, at every width, and never leave it.
TEST(Mix64, SlotsStayInRangeAndSpreadHighAndLowKeys) {
    for (const unsigned bits : {1u, 8u, 12u, 32u, 64u}) {
        std::set<std::uint64_t> high_keys;
        std::set<std::uint64_t> low_keys;
        for (std::uint64_t i = 0; i < 1024; ++i) {
            const std::uint64_t as_double = std::bit_cast<std::uint64_t>(static_cast<double>(i));
            const std::size_t high = common::mix_slot(as_double, bits);
            const std::size_t low = common::mix_slot(i, bits);
            if (bits < 64) {
                ASSERT_LT(high, std::size_t{1} << bits);
                ASSERT_LT(low, std::size_t{1} << bits);
            }
            high_keys.insert(high);
            low_keys.insert(low);
        }
        // Of 1024 keys, at least half find slots of their own once there are enough slots.
        const std::size_t enough = bits >= 12 ? 512 : std::min<std::size_t>(512, 1u << bits);
        EXPECT_GE(high_keys.size(), enough) << bits;
        EXPECT_GE(low_keys.size(), enough) << bits;
    }
}

}  // namespace
