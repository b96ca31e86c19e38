// The union of two sketches and a sketch's stored state: a union is what one sketch given
// both key sets holds, in either form, wherever the switch to dense falls.

#include <gtest/gtest.h>

#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "sketch/cardinality_sketch.h"
#include "sketch_test_support.h"

namespace {

using sketch::CardinalitySketch;
using sketch::SketchState;
using sketch_test::expect_same_state;
using sketch_test::fixed_sketch;

// Distinct keys in a scrambled order.
std::vector<std::uint64_t> keys_from(std::uint64_t first, std::size_t n) {
    std::vector<std::uint64_t> keys(n);
    for (std::size_t i = 0; i < n; ++i) {
        keys[i] = (first + i) * 0x9e3779b97f4a7c15ULL;
    }
    return keys;
}

std::span<const std::uint64_t> slice(const std::vector<std::uint64_t>& keys, std::size_t begin,
                                     std::size_t end) {
    return std::span<const std::uint64_t>(keys).subspan(begin, end - begin);
}

void insert_all(CardinalitySketch& sketch, std::span<const std::uint64_t> keys, bool batched) {
    if (batched) {
        sketch.insert_many(keys);
        return;
    }
    for (std::uint64_t key : keys) {
        sketch.insert(key);
    }
}

// The fewest distinct keys (of keys_from(0, ...)) after which one sketch is dense.
std::size_t dense_switch() {
    static const std::size_t at = [] {
        const std::vector<std::uint64_t> keys = keys_from(0, 8000);
        CardinalitySketch probe = fixed_sketch();
        for (std::size_t i = 0; i < keys.size(); ++i) {
            probe.insert(keys[i]);
            probe.count();  // folds temp_set into the list, which may turn it dense
            if (probe.is_dense()) {
                return i + 1;
            }
        }
        return keys.size();
    }();
    return at;
}

void expect_same_stored_state(const SketchState& a, const SketchState& b) {
    ASSERT_EQ(a.registers.has_value(), b.registers.has_value());
    EXPECT_EQ(a.sparse.bytes(), b.sparse.bytes());
    EXPECT_EQ(a.sparse.entry_count(), b.sparse.entry_count());
    if (a.registers) {
        sketch_test::expect_registers_equal(*a.registers, *b.registers);
    }
}

// A gets keys [0, a_end), B gets [b_begin, n); one sketch gets all n. Offsets relative to
// the dense switch D let the table hit both sides of it whatever the keys.
struct UnionCase {
    std::string name;
    long a_end;    // absolute, or relative to D when relative is set
    long b_begin;  // B may overlap A (b_begin < a_end)
    long n;
    bool relative;
    bool batched;       // insert_many instead of one key at a time
    std::size_t later;  // keys added to the union and the single sketch afterwards
};

std::size_t resolve(long value, bool relative) {
    return static_cast<std::size_t>(relative ? static_cast<long>(dense_switch()) + value : value);
}

class SketchUnion : public ::testing::TestWithParam<UnionCase> {};

TEST_P(SketchUnion, EqualsOneSketchGivenBothKeySets) {
    const UnionCase& c = GetParam();
    const std::size_t n = resolve(c.n, c.relative);
    const std::size_t a_end = resolve(c.a_end, c.relative);
    const std::size_t b_begin = resolve(c.b_begin, c.relative);
    const std::vector<std::uint64_t> keys = keys_from(0, n);
    const std::vector<std::uint64_t> later = keys_from(1'000'000, c.later);

    CardinalitySketch a = fixed_sketch();
    CardinalitySketch b = fixed_sketch();
    CardinalitySketch one = fixed_sketch();
    insert_all(a, slice(keys, 0, a_end), c.batched);
    insert_all(b, slice(keys, b_begin, n), c.batched);
    insert_all(one, keys, c.batched);

    // state() reads temp_set without folding it in, and agrees with what count() leaves.
    const SketchState b_state = b.state();
    a.merge(b);
    expect_same_stored_state(b.state(), b_state);
    insert_all(a, later, c.batched);
    insert_all(one, later, c.batched);

    const double union_estimate = a.count();
    const double one_estimate = one.count();
    expect_same_state(a, one);
    EXPECT_EQ(union_estimate, one_estimate);
    b.count();
    expect_same_stored_state(b.state(), b_state);
}

// D is the number of keys at which one sketch turns dense (about 5,850).
INSTANTIATE_TEST_SUITE_P(
    Table, SketchUnion,
    ::testing::Values(UnionCase{"BothEmpty", 0, 0, 0, false, false, 0},
                      UnionCase{"IntoEmpty", 0, 0, 100, false, false, 0},
                      UnionCase{"DenseIntoEmpty", 0, 0, 20000, false, true, 100},
                      UnionCase{"EmptyOther", 100, 100, 100, false, false, 0},
                      UnionCase{"SmallDisjoint", 40, 40, 90, false, false, 0},
                      UnionCase{"TempSetsOnly", 60, 30, 125, false, false, 3},
                      UnionCase{"ListsAndTempSets", 700, 650, 1500, false, true, 0},
                      UnionCase{"SameKeys", 1000, 0, 1000, false, false, 0},
                      UnionCase{"UnionStaysSparseAtTheSwitch", -600, -700, -1, true, false, 0},
                      UnionCase{"UnionTurnsDenseAtTheSwitch", -600, -700, 0, true, false, 0},
                      UnionCase{"UnionTurnsDenseThenTakesMore", -3000, -3000, 0, true, true, 500},
                      UnionCase{"SparseIntoDense", 20000, 19800, 20100, false, true, 0},
                      UnionCase{"DenseIntoSparse", 100, 0, 20000, false, true, 0},
                      UnionCase{"DenseWithDense", 15000, 9000, 30000, false, true, 200},
                      UnionCase{"SparseAtTheSwitchIntoDense", -1, -200, 12000, true, false, 0}),
    [](const ::testing::TestParamInfo<UnionCase>& info) { return info.param.name; });

TEST(SketchUnionSelf, MergingAStateIntoItsOwnSketchChangesNothing) {
    for (std::size_t n : {std::size_t{50}, std::size_t{3000}, std::size_t{20000}}) {
        CardinalitySketch sketch = fixed_sketch();
        CardinalitySketch reference = fixed_sketch();
        insert_all(sketch, keys_from(7, n), true);
        insert_all(reference, keys_from(7, n), true);
        sketch.merge(sketch.state());
        sketch.count();
        reference.count();
        expect_same_state(sketch, reference);
    }
}

}  // namespace
