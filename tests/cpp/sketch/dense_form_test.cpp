// The dense form: register packing, the switch from the sparse list and dense insertion.

#include <gtest/gtest.h>

#include <atomic>
#include <cstdint>
#include <cstdlib>
#include <iterator>
#include <new>
#include <random>
#include <set>
#include <vector>

#include "sketch/cardinality_sketch.h"
#include "sketch_test_support.h"

// Every allocation of the test binary is counted, so that a test can show a stretch of
// work allocates nothing.
namespace {
std::atomic<std::size_t> g_allocations{0};

void* counted_malloc(std::size_t n) {
    g_allocations.fetch_add(1, std::memory_order_relaxed);
    return std::malloc(n == 0 ? 1 : n);
}
void* counted_new(std::size_t n) {
    if (void* p = counted_malloc(n)) {
        return p;
    }
    throw std::bad_alloc();
}
}  // namespace

void* operator new(std::size_t n) {
    return counted_new(n);
}
void* operator new[](std::size_t n) {
    return counted_new(n);
}
void* operator new(std::size_t n, const std::nothrow_t&) noexcept {
    return counted_malloc(n);
}
void* operator new[](std::size_t n, const std::nothrow_t&) noexcept {
    return counted_malloc(n);
}
void operator delete(void* p) noexcept {
    std::free(p);
}
void operator delete[](void* p) noexcept {
    std::free(p);
}
void operator delete(void* p, std::size_t) noexcept {
    std::free(p);
}
void operator delete[](void* p, std::size_t) noexcept {
    std::free(p);
}
void operator delete(void* p, const std::nothrow_t&) noexcept {
    std::free(p);
}
void operator delete[](void* p, const std::nothrow_t&) noexcept {
    std::free(p);
}

namespace {

using sketch::CardinalitySketch;
using sketch::DifIntVec;
using sketch::RegistersPlus;
using sketch_test::code_of;
using sketch_test::fixed_sketch;

// ---- register packing ----------------------------------------------------------------

TEST(RegistersPlus, StartsEmpty) {
    const RegistersPlus registers = RegistersPlus::with_count(sketch::kRegisterCount);
    EXPECT_EQ(registers.words().size(), sketch::kRegisterWords);
    EXPECT_EQ(registers.register_count(), 16384u);
    EXPECT_EQ(registers.zero_count(), 16384u);
    for (std::uint32_t word : registers.words()) {
        ASSERT_EQ(word, 0u);
    }
    EXPECT_EQ(RegistersPlus::with_count(7).words().size(), 2u);
    EXPECT_EQ(RegistersPlus::with_count(7).zero_count(), 7u);
}

struct PackCase {
    std::size_t index;
    std::size_t word;
    unsigned shift;
};

class RegisterPacking : public ::testing::TestWithParam<PackCase> {};

// Register i is the six bits at 6 * (i mod 5) of word i / 5; no other bit moves.
TEST_P(RegisterPacking, RankLandsInItsBits) {
    const PackCase& c = GetParam();
    RegistersPlus registers = RegistersPlus::with_count(sketch::kRegisterCount);
    registers.raise(c.index, 51);
    for (std::size_t w = 0; w < registers.words().size(); ++w) {
        ASSERT_EQ(registers.words()[w], w == c.word ? 51u << c.shift : 0u) << "word " << w;
    }
    EXPECT_EQ(registers.get(c.index), 51u);
    EXPECT_EQ(registers.zero_count(), 16383u);
}

INSTANTIATE_TEST_SUITE_P(Cases, RegisterPacking,
                         ::testing::Values(PackCase{0, 0, 0}, PackCase{1, 0, 6}, PackCase{4, 0, 24},
                                           PackCase{5, 1, 0}, PackCase{16379, 3275, 24},
                                           PackCase{16380, 3276, 0}, PackCase{16383, 3276, 18}));

TEST(RegistersPlus, RaiseKeepsTheLargerRankAndCountsZerosOnce) {
    RegistersPlus registers = RegistersPlus::with_count(sketch::kRegisterCount);
    registers.raise(7, 3);
    registers.raise(7, 2);
    EXPECT_EQ(registers.get(7), 3u);
    registers.raise(7, 3);
    registers.raise(7, 9);
    EXPECT_EQ(registers.get(7), 9u);
    EXPECT_EQ(registers.get(6), 0u);
    EXPECT_EQ(registers.get(8), 0u);
    EXPECT_EQ(registers.zero_count(), 16383u);
}

TEST(RegistersPlus, TopBitsOfEveryWordStayClear) {
    RegistersPlus registers = RegistersPlus::with_count(sketch::kRegisterCount);
    for (std::size_t i = 0; i < sketch::kRegisterCount; ++i) {
        registers.raise(i, 51);
    }
    EXPECT_EQ(registers.zero_count(), 0u);
    const std::uint32_t full = 51u * (1u + (1u << 6) + (1u << 12) + (1u << 18) + (1u << 24));
    const auto words = registers.words();
    for (std::size_t w = 0; w + 1 < words.size(); ++w) {
        ASSERT_EQ(words[w], full);
    }
    EXPECT_EQ(words.back(), full - (51u << 24));  // registers 16380..16383 only
}

// ---- the switch at 13107 bytes ------------------------------------------------------

// The sparse codes' list, modelled as a sorted set and its encoded length.
class ListModel {
  public:
    // The bytes the list would grow by with this code; 0 if the code is in it already.
    std::size_t growth(std::uint32_t code) const {
        auto next = codes_.lower_bound(code);
        if (next != codes_.end() && *next == code) {
            return 0;
        }
        const std::uint32_t prev = next == codes_.begin() ? 0 : *std::prev(next);
        std::size_t bytes = DifIntVec::encoded_length(code - prev);
        if (next != codes_.end()) {
            bytes += DifIntVec::encoded_length(*next - code);
            bytes -= DifIntVec::encoded_length(*next - prev);
        }
        return bytes;
    }
    void add(std::uint32_t code) {
        bytes_ += growth(code);
        codes_.insert(code);
    }
    std::size_t bytes() const { return bytes_; }

  private:
    std::set<std::uint32_t> codes_;
    std::size_t bytes_ = 0;
};

// Keys whose codes make a list of exactly 13107 bytes, and one more key whose code adds
// exactly one byte. Found greedily: a key is taken when its code keeps the list within
// the limit. Adding a code never shortens the list, so no merge on the way passes it.
struct LimitKeys {
    std::vector<std::uint64_t> keys;
    std::uint64_t one_more = 0;
};

const LimitKeys& limit_keys() {
    static const LimitKeys found = [] {
        LimitKeys result;
        ListModel model;
        std::uint64_t key = 0;
        for (; model.bytes() < sketch::kDenseSizeLimit; ++key) {
            const std::size_t growth = model.growth(code_of(key));
            if (growth > 0 && model.bytes() + growth <= sketch::kDenseSizeLimit) {
                model.add(code_of(key));
                result.keys.push_back(key);
            }
        }
        while (model.growth(code_of(key)) != 1) {
            ++key;
        }
        result.one_more = key;
        return result;
    }();
    return found;
}

sketch::RegistersPlus reference_with_one_more() {
    std::vector<std::uint64_t> all = limit_keys().keys;
    all.push_back(limit_keys().one_more);
    return sketch_test::dense_reference(all);
}

TEST(DenseSwitch, ListOfExactlyTheLimitStaysSparse) {
    CardinalitySketch sketch = fixed_sketch();
    for (std::uint64_t key : limit_keys().keys) {
        sketch.insert(key);
    }
    sketch.count();
    EXPECT_FALSE(sketch.is_dense());
    EXPECT_EQ(sketch.sparse().bytes().size(), 13107u);
    EXPECT_LE(sketch.sparse().bytes().capacity(), 13107u);
    EXPECT_EQ(sketch.sparse().entry_count(), limit_keys().keys.size());
}

// The 132nd code of temp_set (131 codes already in the list, then one new) merges into a
// 13108-byte list: the sketch turns dense at that merge.
TEST(DenseSwitch, OneByteMoreTurnsDenseAtThatMerge) {
    const auto& keys = limit_keys().keys;
    CardinalitySketch sketch = fixed_sketch();
    for (std::uint64_t key : keys) {
        sketch.insert(key);
    }
    sketch.count();
    for (std::size_t i = 0; i < 131; ++i) {
        sketch.insert(keys[i]);
    }
    ASSERT_FALSE(sketch.is_dense());
    ASSERT_EQ(sketch.temp_set_size(), 131u);

    sketch.insert(limit_keys().one_more);
    ASSERT_TRUE(sketch.is_dense());
    EXPECT_EQ(sketch.temp_set_size(), 0u);
    EXPECT_EQ(sketch.sparse().entry_count(), 0u);
    EXPECT_EQ(sketch.sparse().last_value(), 0u);
    EXPECT_EQ(sketch.sparse().bytes().capacity(), 0u);
    sketch_test::expect_registers_equal(*sketch.registers(), reference_with_one_more());
}

// A count whose merge turns the sketch dense; a second count gives the same value.
TEST(DenseSwitch, CountThatTurnsDenseIsRepeatable) {
    CardinalitySketch sketch = fixed_sketch();
    for (std::uint64_t key : limit_keys().keys) {
        sketch.insert(key);
    }
    sketch.count();
    sketch.insert(limit_keys().one_more);
    ASSERT_FALSE(sketch.is_dense());
    const double first = sketch.count();
    ASSERT_TRUE(sketch.is_dense());
    EXPECT_EQ(sketch.count(), first);
    sketch_test::expect_registers_equal(*sketch.registers(), reference_with_one_more());
}

std::vector<std::uint64_t> random_keys(std::size_t n, std::uint64_t seed) {
    std::mt19937_64 random(seed);
    std::vector<std::uint64_t> keys(n);
    for (std::size_t i = 0; i < n; ++i) {
        keys[i] = (i % 5 == 2) ? keys[random() % i] : random();
    }
    return keys;
}

// Keys before, at and after the switch: the registers are those of dense insertion, and
// inserting every key again changes nothing.
TEST(DenseSketch, RegistersEqualDenseInsertionAndIgnoreRepeats) {
    const auto keys = random_keys(60000, 3);
    CardinalitySketch sketch = fixed_sketch();
    for (std::uint64_t key : keys) {
        sketch.insert(key);
    }
    ASSERT_TRUE(sketch.is_dense());
    const RegistersPlus reference = sketch_test::dense_reference(keys);
    sketch_test::expect_registers_equal(*sketch.registers(), reference);

    sketch.insert_many(keys);
    for (std::uint64_t key : keys) {
        sketch.insert(key);
    }
    sketch_test::expect_registers_equal(*sketch.registers(), reference);
    EXPECT_EQ(sketch.temp_set_size(), 0u);
    EXPECT_TRUE(sketch.sparse().bytes().empty());
}

// Dense insertion and count allocate nothing; insert_many of a long run may set up its
// table of recent hashes, once per call whatever the call's length.
TEST(DenseSketch, InsertionAllocatesNothingPerKey) {
    const auto keys = random_keys(100000, 4);
    CardinalitySketch sketch = fixed_sketch();
    sketch.insert_many(std::span(keys).first(20000));
    ASSERT_TRUE(sketch.is_dense());

    const std::size_t before = g_allocations.load();
    for (std::uint64_t key : keys) {
        sketch.insert(key);
    }
    sketch.insert_many(std::span(keys).first(1000));
    sketch.count();
    EXPECT_EQ(g_allocations.load(), before);

    sketch.insert_many(std::span(keys).first(5000));
    const std::size_t per_call = g_allocations.load() - before;
    sketch.insert_many(keys);
    EXPECT_EQ(g_allocations.load() - before, 2 * per_call);
    EXPECT_LE(per_call, 2u);
}

// temp_set lives inside the sketch: sparse inserts allocate only when a merge builds a
// new list.
TEST(SparseSketch, InsertsBetweenMergesAllocateNothing) {
    CardinalitySketch sketch = fixed_sketch();
    const std::size_t before = g_allocations.load();
    for (std::uint64_t key = 0; sketch.temp_set_size() < 131; ++key) {
        sketch.insert(key);
    }
    EXPECT_EQ(g_allocations.load(), before);
}

}  // namespace
