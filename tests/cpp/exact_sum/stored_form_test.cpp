// The stored form: round trips that behave identically ever after, reading only its own
// bytes, and forged forms (malformed, oversized, or sums no values could make) refused.
#include <cfloat>
#include <limits>

#include "exact_sum_test_support.h"

namespace exact_sum_test {
namespace {

using exact_sum::from_u64;
using exact_sum::shifted_left;
using common::FormatError;
using exact_sum::times;

const std::vector<std::vector<double>>& states() {
    static const std::vector<std::vector<double>> s = {
        {},
        {0.0},
        {-0.0, -0.0},
        {-3.5},
        {0x1p-1074},
        {DBL_MAX, DBL_MAX},
        {-DBL_MAX, 1.0},
        wild_values(777, 21),
        wild_values(5000, 22),
    };
    return s;
}

TEST(StoredForm, ReadStatesBehaveAsTheOriginalsEverAfter) {
    const std::vector<double> later = wild_values(3000, 23);
    for (const std::vector<double>& values : states()) {
        ExactMoments original = of(values);
        std::vector<std::uint8_t> bytes = stored(original);
        bytes.push_back(0xAB);  // what follows is the caller's
        std::span<const std::uint8_t> input(bytes);
        ExactMoments copy = read_from(input);
        ASSERT_EQ(input.size(), 1u);
        EXPECT_EQ(input[0], 0xAB);
        expect_same(copy, original, "read");
        copy.add_many(later);
        original.add_many(later);
        expect_same(copy, original, "read, then added to");
        ExactMoments merged = read_from(input = bytes);
        merged.merge(copy);
        ExactMoments direct = of(values);
        direct.merge(original);
        expect_same(merged, direct, "read, then merged");
    }
}

TEST(StoredForm, EmptyIsThreeZeroBytes) {
    EXPECT_EQ(stored(ExactMoments()), (std::vector<std::uint8_t>{0, 0, 0}));
}

std::vector<std::uint8_t> bytes_of(std::initializer_list<int> list) {
    std::vector<std::uint8_t> out;
    for (int b : list) {
        out.push_back(static_cast<std::uint8_t>(b));
    }
    return out;
}

struct Forged {
    const char* name;
    std::vector<std::uint8_t> bytes;
    const char* message;  // a part of what the error says
};

std::vector<Forged> forged_forms() {
    const Limbs one = from_u64(1);
    const Limbs above_max = shifted_left(one, 2098);  // 2^1024 in units of 2^-1074
    const Limbs not_a_double = from_u64((1ULL << 60) + 1);
    std::vector<std::uint8_t> huge_count = bytes_of({1, 1, 0});
    std::vector<Forged> out = {
        {"empty", {}, "truncated profile: count at byte 0"},
        {"count_not_shortest", bytes_of({0x80, 0x00, 0, 0}), "shortest form"},
        {"count_beyond_64_bits", bytes_of({0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0x02, 0, 0}),
         "does not fit 64 bits"},
        {"sum_sign_3", bytes_of({1, 3}), "sign byte 3"},
        {"squares_negative", bytes_of({1, 0, 2, 0, 1, 1, 0, 0, 0}), "sign byte 2"},
        {"no_sum_after_count", bytes_of({1}), "truncated profile: sum at byte 1"},
        {"lowest_limb_beyond", bytes_of({1, 1, 68, 1, 1, 0, 0, 0, 0}), "do not lie within the 68"},
        {"no_limbs", bytes_of({1, 1, 0, 0}), "do not lie within"},
        {"limbs_past_the_top", bytes_of({1, 1, 60, 9}), "do not lie within"},
        {"square_limbs_past_the_top", bytes_of({1, 0, 1, 100, 35}), "within the 134"},
        // A limb count of 2^63: refused before anything is allocated for it.
        {"huge_limb_count", bytes_of({1, 1, 0, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x01}),
         "do not lie within"},
        {"limbs_truncated", bytes_of({1, 1, 0, 2, 1, 0, 0, 0, 1}), "truncated profile: sum at byte 4 needs 8 bytes, 5 left"},
        {"zero_low_limb", bytes_of({1, 1, 0, 2, 0, 0, 0, 0, 1, 0, 0, 0, 0}), "canonical"},
        {"zero_top_limb", bytes_of({1, 1, 0, 2, 1, 0, 0, 0, 0, 0, 0, 0, 0}), "canonical"},
        {"no_squares", bytes_of({1, 0}), "truncated profile: sum of squares at byte 2"},
        {"no_values_but_a_sum", forged(0, one, false, one), "no values"},
        {"no_values_but_squares", forged(0, {}, false, one), "no values"},
        {"sum_above_count_times_max", forged(1, above_max, true, times(above_max, above_max)),
         "the count times the largest double"},
        {"squares_above_count_times_max", forged(2, {}, false, shifted_left(one, 4200)),
         "the count times the largest square"},
        // Two values summing to 2 units with squares summing to 1: (S1)^2 = 4 > 2 * 1.
        {"cauchy_schwarz", forged(2, from_u64(2), false, one), "Cauchy-Schwarz"},
        {"squares_zero_sum_not", forged(5, one, true, {}), "Cauchy-Schwarz"},
        {"one_value_not_a_double", forged(1, not_a_double, false, times(not_a_double, not_a_double)),
         "not a double"},
        {"one_value_wrong_square", forged(1, from_u64(3), false, from_u64(10)), "not its square"},
    };
    return out;
}

class ForgedForm : public ::testing::TestWithParam<Forged> {};

TEST_P(ForgedForm, IsRefusedWithItsReason) {
    const Forged& f = GetParam();
    std::span<const std::uint8_t> input(f.bytes);
    try {
        read_from(input);
        FAIL() << f.name << " was accepted";
    } catch (const FormatError& e) {
        EXPECT_NE(std::string(e.what()).find(f.message), std::string::npos) << f.name << ": " << e.what();
    }
    EXPECT_EQ(input.size(), f.bytes.size()) << "a refused form consumes nothing";
}

INSTANTIATE_TEST_SUITE_P(Table, ForgedForm, ::testing::ValuesIn(forged_forms()),
                         [](const auto& info) { return std::string(info.param.name); });

// The edges of what the checks let through: states values can make.
TEST(StoredForm, ReachableEdgesAreAccepted) {
    const Limbs three = from_u64(3);
    const std::vector<std::uint8_t> accepted[] = {
        forged(3, {}, false, {}),                            // three zeros
        forged(1, three, true, from_u64(9)),                 // -3 units
        forged(2, from_u64(2), false, from_u64(2)),          // 1 and 1 unit: S1^2 = n S2
        forged(1, largest_units(), false, largest_square_units()),  // DBL_MAX
    };
    for (const std::vector<std::uint8_t>& bytes : accepted) {
        const ExactMoments m = read_all(bytes);
        EXPECT_EQ(stored(m), bytes);
    }
}

// Every prefix of a valid form is refused, and so is every single-byte change that
// leaves the form canonical-looking but inconsistent, or it reads back to the same bytes.
TEST(StoredForm, DamagedFormsAreRefusedOrReadBackCanonically) {
    const std::vector<std::uint8_t> bytes = stored(of(wild_values(300, 31)));
    for (std::size_t cut = 0; cut < bytes.size(); ++cut) {
        std::span<const std::uint8_t> input(bytes.data(), cut);
        EXPECT_THROW(read_from(input), FormatError) << cut;
    }
    for (std::size_t at = 0; at < bytes.size(); ++at) {
        for (int bit = 0; bit < 8; ++bit) {
            std::vector<std::uint8_t> damaged = bytes;
            damaged[at] ^= static_cast<std::uint8_t>(1 << bit);
            std::span<const std::uint8_t> input(damaged);
            try {
                const ExactMoments m = read_from(input);
                std::vector<std::uint8_t> again = stored(m);
                EXPECT_TRUE(std::equal(again.begin(), again.end(), damaged.begin()))
                    << "byte " << at << " bit " << bit << " read back differently";
            } catch (const FormatError&) {
            }
        }
    }
}

}  // namespace
}  // namespace exact_sum_test
