// Fuzzes the cardinality sketch. The input is a list of 10-byte chunks (the last one
// padded with zeros): an 8-byte key, a run length and a flag byte; a chunk stands for the
// keys key, key+1, ..., so that one input can carry tens of thousands of keys and cross
// the switch to dense registers by itself.
//
// Three sketches with the same explicit hash keys receive the same keys:
//   one_by_one: the fuzz keys by insert(), with count() after every chunk whose flag
//               asks for it (each such count merges temp_set early), then the filler;
//   batched:    the fuzz keys by insert_many() in one call;
//   dense_first: the filler first (which turns it dense), then the fuzz keys, so these
//               take the dense insertion path only.
// After the fuzz keys the merge schedule must not matter: once count() has merged both,
// the first two have byte for byte the same sparse list (or the same registers) and equal
// estimates. In the end one_by_one and dense_first are both dense and hold the same
// register words, whatever order and path the keys took. Every count() on the way is finite and not
// negative, and in the sparse form neither the list's entry_count nor the estimate exceeds the
// number of keys received (the latter beyond linear counting's rounding).
#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <span>
#include <vector>

#include "sketch/cardinality_sketch.h"

namespace {

using sketch::CardinalitySketch;

constexpr hash::SipKey kValueKey{0x0706050403020100u, 0x0f0e0d0c0b0a0908u};
constexpr hash::SipKey kTempSetKey{0x1716151413121110u, 0x1f1e1d1c1b1a1918u};

// Enough distinct keys that a sketch holding them is dense (it turns dense after about
// 6000 of them); the harness fails if it does not.
constexpr std::size_t kFillerCount = 8000;

[[noreturn]] void fail(const char* what) {
    std::fprintf(stderr, "sketch_fuzz: %s\n", what);
    std::abort();
}

const std::vector<std::uint64_t>& filler() {
    static const std::vector<std::uint64_t> keys = [] {
        std::vector<std::uint64_t> k(kFillerCount);
        for (std::size_t i = 0; i < k.size(); ++i) {
            k[i] = (i + 1) * 0x9e3779b97f4a7c15u;  // distinct: odd multiplier
        }
        return k;
    }();
    return keys;
}

struct Chunk {
    std::uint64_t key;
    std::uint32_t run;  // keys key .. key+run-1
    bool count_after;
};

std::vector<Chunk> read_chunks(const std::uint8_t* data, std::size_t size) {
    std::vector<Chunk> chunks;
    for (std::size_t at = 0; at < size; at += 10) {
        std::uint8_t bytes[10] = {};
        std::memcpy(bytes, data + at, std::min<std::size_t>(10, size - at));
        Chunk c{};
        std::memcpy(&c.key, bytes, 8);
        c.run = 1u + bytes[8];
        c.count_after = (bytes[9] & 1) != 0;
        chunks.push_back(c);
    }
    return chunks;
}

std::vector<std::uint64_t> expand(const std::vector<Chunk>& chunks) {
    std::vector<std::uint64_t> keys;
    for (const Chunk& c : chunks) {
        for (std::uint32_t i = 0; i < c.run; ++i) {
            keys.push_back(c.key + i);
        }
    }
    return keys;
}

double checked_count(CardinalitySketch& s, std::size_t keys_received) {
    const double estimate = s.count();
    if (!std::isfinite(estimate) || estimate < 0.0)
        fail("count() not finite or negative");
    if (!s.is_dense()) {
        if (s.sparse().entry_count() > keys_received)
            fail("more codes than keys received");
        if (estimate > 1.01 * static_cast<double>(keys_received) + 1.0) {
            fail("sparse estimate above the number of keys received");
        }
    }
    return estimate;
}

void feed_one_by_one(CardinalitySketch& s, const std::vector<Chunk>& chunks) {
    std::size_t received = 0;
    for (const Chunk& c : chunks) {
        for (std::uint32_t i = 0; i < c.run; ++i) {
            s.insert(c.key + i);
        }
        received += c.run;
        if (c.count_after)
            checked_count(s, received);
    }
}

void expect_consistent_registers(const sketch::RegistersPlus& r) {
    std::uint64_t zeros = 0;
    for (std::size_t i = 0; i < sketch::kRegisterCount; ++i) {
        const std::uint32_t v = r.get(i);
        if (v > 64 - sketch::kPrecision + 1)
            fail("register above the largest rank");
        zeros += v == 0;
    }
    if (zeros != r.zero_count())
        fail("zero_count disagrees with the registers");
}

void expect_same_registers(CardinalitySketch& a, CardinalitySketch& b) {
    if (!a.is_dense() || !b.is_dense())
        fail("filler did not turn the sketch dense");
    const auto wa = a.registers()->words();
    const auto wb = b.registers()->words();
    if (wa.size() != wb.size() || !std::equal(wa.begin(), wa.end(), wb.begin())) {
        fail("dense registers differ between insertion paths");
    }
}

// Merges both sketches (count() does so in the sparse form) and compares them. Both then
// hold every code, so they agree on the form too: a list only grows as codes are added,
// so whichever merge first went past the limit, the full list is past it as well.
void expect_same_sparse(CardinalitySketch& a, CardinalitySketch& b, std::size_t received) {
    const double ca = checked_count(a, received);
    const double cb = checked_count(b, received);
    if (a.is_dense() != b.is_dense())
        fail("merge schedule changed the form");
    if (std::bit_cast<std::uint64_t>(ca) != std::bit_cast<std::uint64_t>(cb)) {
        fail("estimates differ between merge schedules");
    }
    if (a.is_dense()) {
        expect_same_registers(a, b);
        return;
    }
    if (a.temp_set_size() != 0 || b.temp_set_size() != 0)
        fail("temp_set left after count");
    if (a.sparse().bytes() != b.sparse().bytes() ||
        a.sparse().entry_count() != b.sparse().entry_count() ||
        a.sparse().last_value() != b.sparse().last_value()) {
        fail("sparse lists differ between merge schedules");
    }
    if (a.sparse().bytes().size() > sketch::kDenseSizeLimit)
        fail("sparse list over limit");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::vector<Chunk> chunks = read_chunks(data, size);
    const std::vector<std::uint64_t> keys = expand(chunks);
    const auto& fill = filler();

    CardinalitySketch one_by_one(kValueKey, kTempSetKey);
    CardinalitySketch batched(kValueKey, kTempSetKey);
    CardinalitySketch dense_first(kValueKey, kTempSetKey);
    if (checked_count(one_by_one, 0) != 0.0)
        fail("empty sketch does not count 0");

    feed_one_by_one(one_by_one, chunks);
    batched.insert_many(keys);
    expect_same_sparse(one_by_one, batched, keys.size());

    one_by_one.insert_many(fill);
    dense_first.insert_many(fill);
    checked_count(dense_first, fill.size());
    for (const std::uint64_t k : keys) {
        dense_first.insert(k);
    }

    expect_same_registers(one_by_one, dense_first);
    expect_consistent_registers(*dense_first.registers());
    const double c1 = checked_count(one_by_one, keys.size() + fill.size());
    const double c3 = checked_count(dense_first, keys.size() + fill.size());
    if (std::bit_cast<std::uint64_t>(c1) != std::bit_cast<std::uint64_t>(c3)) {
        fail("equal registers, different estimates");
    }
    return 0;
}
