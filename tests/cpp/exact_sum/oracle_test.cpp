// The mean and the std against exact rational arithmetic (fractions.Fraction, computed by
// bench/exact_sum_cases.py into tests/data/exact_sum_cases.txt): bit for bit, for cases
// built to defeat naive sums, on every path a value can take into a state.
#include <algorithm>
#include <random>

#include "exact_sum_test_support.h"

namespace exact_sum_test {
namespace {

class OracleTest : public ::testing::TestWithParam<OracleCase> {};

void expect_oracle(const ExactMoments& m, const OracleCase& c, const std::string& path) {
    EXPECT_EQ(m.count(), c.count) << c.name << " " << path;
    EXPECT_TRUE(same_bits(m.mean(), c.mean))
        << c.name << " " << path << ": mean " << show(m.mean()) << ", exact " << show(c.mean);
    EXPECT_TRUE(same_bits(m.std(), c.std))
        << c.name << " " << path << ": std " << show(m.std()) << ", exact " << show(c.std);
}

TEST_P(OracleTest, EveryPathGivesTheCorrectlyRoundedResults) {
    const OracleCase& c = GetParam();
    expect_oracle(of(c.values), c, "add_many");

    ExactMoments one_by_one;
    for (double v : c.values) {
        one_by_one.add(v);
    }
    expect_oracle(one_by_one, c, "add");

    std::vector<double> shuffled = c.values;
    std::shuffle(shuffled.begin(), shuffled.end(), std::mt19937_64(7));
    expect_oracle(of(shuffled), c, "shuffled");

    // Three parts merged right to left, in uneven calls.
    const std::size_t a = c.values.size() / 3;
    const std::size_t b = c.values.size() - a / 2;
    ExactMoments left = of({c.values.begin(), c.values.begin() + a});
    ExactMoments middle = of({c.values.begin() + a, c.values.begin() + b});
    ExactMoments right = of({c.values.begin() + b, c.values.end()});
    right.merge(middle);
    right.merge(left);
    expect_oracle(right, c, "merged");

    std::vector<std::uint8_t> bytes = stored(one_by_one);
    std::span<const std::uint8_t> input(bytes);
    expect_oracle(read_from(input), c, "stored");
    EXPECT_TRUE(input.empty());
}

INSTANTIATE_TEST_SUITE_P(Table, OracleTest, ::testing::ValuesIn(oracle_cases()),
                         [](const auto& info) { return info.param.name; });

TEST(OracleTable, IsThere) {
    EXPECT_GE(oracle_cases().size(), 30u);
}

}  // namespace
}  // namespace exact_sum_test
