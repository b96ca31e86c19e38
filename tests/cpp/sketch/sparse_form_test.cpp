// The sparse form: codes, the difference-encoded list, temp_set and its merge.

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <random>
#include <set>
#include <span>
#include <string>
#include <vector>

#include "sketch/cardinality_sketch.h"
#include "sketch_test_support.h"

namespace {

using sketch::CardinalitySketch;
using sketch::DifIntVec;
using sketch::RegisterUpdate;
using sketch_test::code_of;
using sketch_test::fixed_sketch;

std::vector<std::uint32_t> codes_in(const DifIntVec& list) {
    std::vector<std::uint32_t> codes;
    list.for_each([&](std::uint32_t code) { codes.push_back(code); });
    return codes;
}

// ---- codes ---------------------------------------------------------------------------

struct CodeCase {
    std::uint64_t hash;
    std::uint32_t code;
    RegisterUpdate update;
};

class SparseCode : public ::testing::TestWithParam<CodeCase> {};

// The code of a hash decodes to the register and rank dense insertion takes from it.
TEST_P(SparseCode, EncodesAndDecodesToTheDenseUpdate) {
    const CodeCase& c = GetParam();
    EXPECT_EQ(sketch::sparse_code(c.hash), c.code);
    EXPECT_EQ(sketch::dense_update(c.hash), c.update);
    EXPECT_EQ(sketch::decode_code(c.code), c.update);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, SparseCode,
    ::testing::Values(
        // D (bits 49..39) all ones: flag 0, rank 1.
        CodeCase{0xFFFFFFFFFFFFFFFFULL, 0x03FFFFFE, {16383, 1}},
        // D = 1: flag 0, the largest rank a flag-0 code holds.
        CodeCase{std::uint64_t{1} << 39, 0x2, {0, 11}},
        // D = 0 and bit 38 set: flag 1 with rho' = 1, rank 12.
        CodeCase{std::uint64_t{1} << 38, 0x3, {0, 12}},
        // Bits 49..0 all zero: rho' = 40, rank 51, in either form.
        CodeCase{0xFFFC000000000000ULL, 0xFFFC0051, {16383, 51}}, CodeCase{0, 0x51, {0, 51}},
        // The lowest bits still count: rank 50 from bit 0, rank 38 from bit 12.
        CodeCase{1, 0x4F, {0, 50}},
        CodeCase{(std::uint64_t{1} << 50) | 0x1FFF, 0x00040037, {1, 38}}));

TEST(SparseCode, AgreesWithDenseInsertionOnRandomHashes) {
    std::mt19937_64 random(7);
    for (int i = 0; i < 200000; ++i) {
        std::uint64_t h = random();
        if (i % 2 == 1) {
            // D = 0, the flag-1 codes, with every count of leading zeros in bits 38..0.
            const unsigned zeros = static_cast<unsigned>(i / 2 % 40);
            const std::uint64_t low = zeros == 39 ? 0 : random() >> (25 + zeros);
            h = (h & (std::uint64_t{0x3FFF} << 50)) | low;
        }
        const std::uint32_t code = sketch::sparse_code(h);
        ASSERT_EQ(sketch::decode_code(code), sketch::dense_update(h)) << std::hex << h;
        ASSERT_NE(code, 0xFFFFFFFFu);
        ASSERT_LE(code, 0xFFFFFFD1u);
    }
}

// ---- the list ------------------------------------------------------------------------

struct ListCase {
    std::vector<std::uint32_t> codes;
    std::vector<std::uint8_t> bytes;
};

class DifIntVecFormat : public ::testing::TestWithParam<ListCase> {};

TEST_P(DifIntVecFormat, WritesDifferencesLowGroupFirstAndReadsThemBack) {
    const ListCase& c = GetParam();
    DifIntVec list;
    for (std::uint32_t code : c.codes) {
        list.push(code);
    }
    EXPECT_EQ(list.bytes(), c.bytes);
    EXPECT_EQ(list.entry_count(), c.codes.size());
    EXPECT_EQ(list.last_value(), c.codes.back());
    EXPECT_EQ(codes_in(list), c.codes);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, DifIntVecFormat,
    ::testing::Values(ListCase{{5}, {0x05}}, ListCase{{300}, {0xAC, 0x02}},
                      ListCase{{5, 305}, {0x05, 0xAC, 0x02}},
                      ListCase{{127, 255}, {0x7F, 0x80, 0x01}},
                      ListCase{{(1u << 14) - 1}, {0xFF, 0x7F}},
                      ListCase{{1u << 14}, {0x80, 0x80, 0x01}},
                      ListCase{{1, (1u << 28) + 1}, {0x01, 0x80, 0x80, 0x80, 0x80, 0x01}},
                      ListCase{{0xFFFFFFD1}, {0xD1, 0xFF, 0xFF, 0xFF, 0x0F}},
                      ListCase{{2, 0xFFFFFFFF}, {0x02, 0xFD, 0xFF, 0xFF, 0xFF, 0x0F}}));

TEST(DifIntVec, EncodedLengthSteps) {
    EXPECT_EQ(DifIntVec::encoded_length(0), 1u);
    EXPECT_EQ(DifIntVec::encoded_length(127), 1u);
    EXPECT_EQ(DifIntVec::encoded_length(128), 2u);
    EXPECT_EQ(DifIntVec::encoded_length((1u << 21) - 1), 3u);
    EXPECT_EQ(DifIntVec::encoded_length(1u << 21), 4u);
    EXPECT_EQ(DifIntVec::encoded_length((1u << 28) - 1), 4u);
    EXPECT_EQ(DifIntVec::encoded_length(1u << 28), 5u);
    EXPECT_EQ(DifIntVec::encoded_length(0xFFFFFFFF), 5u);
}

DifIntVec list_of(const std::set<std::uint32_t>& codes) {
    DifIntVec list;
    for (std::uint32_t code : codes) {
        list.push(code);
    }
    return list;
}

// Merges of random lists and fresh codes (overlapping, before the first code, after the
// last, in runs and alone) give the list of the union, byte for byte; a limit one byte
// short of the result refuses the merge.
TEST(DifIntVec, MergeGivesTheListOfTheUnion) {
    std::mt19937_64 random(17);
    for (int trial = 0; trial < 3000; ++trial) {
        // Spreads from 2^8 to 2^32 give differences of one to five bytes.
        const unsigned spread_bits = 8 + static_cast<unsigned>(trial % 25);
        auto random_code = [&] {
            return static_cast<std::uint32_t>(2 +
                                              random() % ((std::uint64_t{1} << spread_bits) - 2));
        };
        std::set<std::uint32_t> old_codes;
        const std::size_t old_size = static_cast<std::size_t>(random() % 400);
        while (old_codes.size() < old_size &&
               old_codes.size() + 2 < (std::uint64_t{1} << spread_bits) / 2) {
            old_codes.insert(random_code());
        }
        std::set<std::uint32_t> fresh_codes;
        const std::size_t fresh_size = static_cast<std::size_t>(random() % 133);
        for (std::size_t i = 0; i < fresh_size; ++i) {
            if (!old_codes.empty() && random() % 3 == 0) {
                fresh_codes.insert(*std::next(old_codes.begin(), random() % old_codes.size()));
            } else {
                fresh_codes.insert(random_code());
            }
        }
        std::set<std::uint32_t> all = old_codes;
        all.insert(fresh_codes.begin(), fresh_codes.end());
        const DifIntVec expected = list_of(all);
        const std::vector<std::uint32_t> fresh(fresh_codes.begin(), fresh_codes.end());
        const DifIntVec old_list = list_of(old_codes);
        SCOPED_TRACE(::testing::Message() << "trial " << trial);

        const std::size_t exact = expected.bytes().size();
        EXPECT_EQ(DifIntVec::encoded_size(std::vector<std::uint32_t>(all.begin(), all.end())),
                  exact);
        // Into an empty list, a merge is refused by its size alone, before it writes.
        const std::size_t fresh_bytes = DifIntVec::encoded_size(fresh);
        EXPECT_TRUE(DifIntVec::merge(DifIntVec(), fresh, fresh_bytes).has_value());
        if (fresh_bytes > 0) {
            EXPECT_FALSE(DifIntVec::merge(DifIntVec(), fresh, fresh_bytes - 1).has_value());
        }
        const auto merged = DifIntVec::merge(old_list, fresh, exact);
        ASSERT_TRUE(merged.has_value());
        ASSERT_EQ(merged->bytes(), expected.bytes());
        EXPECT_EQ(merged->entry_count(), all.size());
        EXPECT_EQ(merged->last_value(), expected.last_value());
        EXPECT_LE(merged->bytes().capacity(), exact);
        if (exact > 0) {
            EXPECT_FALSE(DifIntVec::merge(old_list, fresh, exact - 1).has_value());
        }
    }
}

// ---- temp_set and merge --------------------------------------------------------------

// Keys 0, 1, 2, ... whose codes under the fixed key are all distinct, `n` of them.
std::vector<std::uint64_t> keys_with_distinct_codes(std::size_t n) {
    std::vector<std::uint64_t> keys;
    std::set<std::uint32_t> seen;
    for (std::uint64_t key = 0; keys.size() < n; ++key) {
        if (seen.insert(code_of(key)).second) {
            keys.push_back(key);
        }
    }
    return keys;
}

TEST(SparseSketch, NewSketchHoldsNothing) {
    CardinalitySketch sketch = fixed_sketch();
    EXPECT_FALSE(sketch.is_dense());
    EXPECT_EQ(sketch.registers(), nullptr);
    EXPECT_EQ(sketch.temp_set_size(), 0u);
    EXPECT_EQ(sketch.sparse().bytes().capacity(), 0u);
    EXPECT_EQ(sketch.sparse().entry_count(), 0u);
}

TEST(SparseSketch, MergesAtTheHundredThirtySecondCode) {
    const auto keys = keys_with_distinct_codes(132);
    CardinalitySketch sketch = fixed_sketch();
    for (std::size_t i = 0; i < 131; ++i) {
        sketch.insert(keys[i]);
    }
    EXPECT_EQ(sketch.temp_set_size(), 131u);
    EXPECT_EQ(sketch.sparse().entry_count(), 0u);
    // A repeat runs the trigger test again but adds nothing.
    sketch.insert(keys[0]);
    EXPECT_EQ(sketch.temp_set_size(), 131u);
    EXPECT_TRUE(sketch.sparse().bytes().empty());

    sketch.insert(keys[131]);
    EXPECT_EQ(sketch.temp_set_size(), 0u);
    EXPECT_FALSE(sketch.is_dense());
    std::vector<std::uint32_t> expected;
    for (std::uint64_t key : keys) {
        expected.push_back(code_of(key));
    }
    std::sort(expected.begin(), expected.end());
    EXPECT_EQ(codes_in(sketch.sparse()), expected);
    EXPECT_EQ(sketch.sparse().entry_count(), 132u);
    EXPECT_EQ(sketch.sparse().last_value(), expected.back());
}

// Codes already in the list pass through temp_set again; the merge writes each once.
TEST(SparseSketch, CodeInListAndTempSetIsWrittenOnce) {
    const auto keys = keys_with_distinct_codes(140);
    CardinalitySketch sketch = fixed_sketch();
    for (std::size_t i = 0; i < 132; ++i) {
        sketch.insert(keys[i]);
    }
    const std::vector<std::uint8_t> merged = sketch.sparse().bytes();
    for (std::size_t i = 0; i < 131; ++i) {
        sketch.insert(keys[i]);
    }
    EXPECT_EQ(sketch.temp_set_size(), 131u);
    sketch.insert(keys[131]);  // the 132nd: a merge of codes all in the list already
    EXPECT_EQ(sketch.temp_set_size(), 0u);
    EXPECT_EQ(sketch.sparse().bytes(), merged);
    EXPECT_EQ(sketch.sparse().entry_count(), 132u);

    sketch.insert(keys[5]);
    sketch.insert(keys[139]);
    sketch.count();
    EXPECT_EQ(sketch.sparse().entry_count(), 133u);
}

TEST(SparseSketch, RepeatedKeysChangeNothing) {
    const auto keys = keys_with_distinct_codes(1000);
    CardinalitySketch once = fixed_sketch();
    CardinalitySketch thrice = fixed_sketch();
    for (std::uint64_t key : keys) {
        once.insert(key);
    }
    for (int round = 0; round < 3; ++round) {
        for (std::uint64_t key : keys) {
            thrice.insert(key);
        }
    }
    once.count();  // merges temp_set
    thrice.count();
    ASSERT_FALSE(once.is_dense());
    sketch_test::expect_same_state(once, thrice);
    EXPECT_EQ(once.sparse().entry_count(), 1000u);
}

// Flag-0 codes lie below 2^26 and flag-1 codes mostly far above, so the step to the first
// flag-1 code can need all five groups.
TEST(SparseSketch, FiveByteDifferencesOccurAndDecode) {
    std::uint64_t low = 0;
    while (code_of(low) & 1u) {
        ++low;
    }
    std::uint64_t high = 0;
    while (!(code_of(high) & 1u) || code_of(high) - code_of(low) < (1u << 28)) {
        ++high;
    }
    CardinalitySketch sketch = fixed_sketch();
    sketch.insert(low);
    sketch.insert(high);
    sketch.count();
    const std::uint32_t a = code_of(low);
    const std::uint32_t b = code_of(high);
    EXPECT_EQ(sketch.sparse().bytes().size(), DifIntVec::encoded_length(a) + 5);
    EXPECT_EQ(codes_in(sketch.sparse()), (std::vector<std::uint32_t>{a, b}));
}

// The list never takes more room than the 13108 bytes of dense registers: its buffer's
// capacity, not just its length, stays within the limit all the way to the switch.
TEST(SparseSketch, ListCapacityStaysWithinDenseSize) {
    CardinalitySketch sketch = fixed_sketch();
    std::mt19937_64 random(11);
    std::size_t most = 0;
    while (!sketch.is_dense()) {
        sketch.insert(random());
        const std::size_t capacity = sketch.sparse().bytes().capacity();
        ASSERT_LE(capacity, sketch::kDenseSizeLimit);
        ASSERT_LE(sketch.sparse().bytes().size(), capacity);
        most = std::max(most, sketch.sparse().bytes().size());
    }
    EXPECT_GT(most, sketch::kDenseSizeLimit - 700);
    EXPECT_EQ(sketch.sparse().bytes().capacity(), 0u);
}

// insert_many has the effect of inserting the keys one at a time, whatever the chunks,
// including a chunk within which the sketch turns dense.
TEST(SparseSketch, InsertManyMatchesSingleInserts) {
    std::mt19937_64 random(5);
    std::vector<std::uint64_t> keys(30000);
    for (std::size_t i = 0; i < keys.size(); ++i) {
        keys[i] = (i % 7 == 3) ? keys[random() % (i + 1)] : random();  // some repeats
    }
    for (std::size_t chunk : {1u, 7u, 131u, 132u, 1000u, 30000u}) {
        for (std::size_t n : {0u, 1u, 131u, 132u, 5000u, 30000u}) {
            CardinalitySketch single = fixed_sketch();
            CardinalitySketch many = fixed_sketch();
            for (std::size_t i = 0; i < n; ++i) {
                single.insert(keys[i]);
            }
            for (std::size_t i = 0; i < n; i += chunk) {
                many.insert_many(std::span(keys).subspan(i, std::min(chunk, n - i)));
            }
            SCOPED_TRACE(::testing::Message() << "chunk " << chunk << " n " << n);
            sketch_test::expect_same_state(single, many);
        }
    }
}

}  // namespace

// ---- long runs of insert_many ----------------------------------------------------------

// `length` keys drawn with repeats from `distinct` random values.
std::vector<std::uint64_t> drawn_keys(std::size_t distinct, std::size_t length, unsigned seed) {
    std::mt19937_64 random(seed);
    std::vector<std::uint64_t> values(distinct);
    for (std::uint64_t& value : values) {
        value = random();
    }
    std::vector<std::uint64_t> keys(length);
    for (std::uint64_t& key : keys) {
        key = values[random() % distinct];
    }
    return keys;
}

// Inserts `lead` one at a time into both, then `keys` into `single` one at a time and into
// `many` by insert_many in chunks of `chunk`, and compares the two.
void expect_run_matches(std::span<const std::uint64_t> lead, std::span<const std::uint64_t> keys,
                        std::size_t chunk) {
    CardinalitySketch single = fixed_sketch();
    CardinalitySketch many = fixed_sketch();
    for (std::uint64_t key : lead) {
        single.insert(key);
        many.insert(key);
    }
    for (std::uint64_t key : keys) {
        single.insert(key);
    }
    for (std::size_t i = 0; i < keys.size(); i += chunk) {
        many.insert_many(keys.subspan(i, std::min(chunk, keys.size() - i)));
    }
    sketch_test::expect_same_state(single, many);
}

struct LongRun {
    const char* name;
    std::size_t distinct;  // values the keys are drawn from, with repeats
    std::size_t length;
};

class InsertManyLongRun : public ::testing::TestWithParam<LongRun> {};

// A long run, in one call or a few, leaves the state single inserts leave, whether or not
// the sketch held codes before: temp_set emptied at the same points and left holding the
// same codes, the same list, or the same registers once the run passes the switch.
TEST_P(InsertManyLongRun, MatchesSingleInserts) {
    const LongRun& run = GetParam();
    const auto keys = drawn_keys(run.distinct, run.length, 17);
    // The longest lead leaves a list of about 5,000 codes, near where long runs start
    // checking after every thousand codes whether the list still fits.
    const auto lead = drawn_keys(1000000, 5000, 18);
    for (std::size_t lead_length : {0u, 500u, 5000u}) {
        for (std::size_t chunk : {run.length, run.length / 3 + 1}) {
            SCOPED_TRACE(::testing::Message() << "lead " << lead_length << " chunk " << chunk);
            expect_run_matches(std::span(lead).first(lead_length), keys, chunk);
        }
    }
}

INSTANTIATE_TEST_SUITE_P(Runs, InsertManyLongRun,
                         ::testing::Values(LongRun{"TenValues", 10, 20000},
                                           LongRun{"ThousandValues", 1000, 200000},
                                           LongRun{"FourThousandValues", 4000, 60000},
                                           LongRun{"SixThousandValues", 6000, 60000},
                                           LongRun{"MostlyNew", 1000000, 60000}),
                         [](const auto& info) { return std::string(info.param.name); });

// A single call whose keys cross the switch at every distance from its end: the switch
// found by the run's last merge, by a merge in its middle, or just after it.
TEST(SparseSketch, InsertManyCrossingTheSwitchMatchesSingleInserts) {
    const auto keys = drawn_keys(1000000, 40000, 19);
    CardinalitySketch probe = fixed_sketch();
    std::size_t switch_at = 0;
    while (!probe.is_dense()) {
        probe.insert(keys[switch_at++]);
    }
    for (std::size_t n : {switch_at - 1, switch_at, switch_at + 1, switch_at + 131, switch_at + 132,
                          switch_at + 9000, keys.size()}) {
        SCOPED_TRACE(::testing::Message() << "switch at " << switch_at << " n " << n);
        expect_run_matches({}, std::span(keys).first(n), n);
    }
}
