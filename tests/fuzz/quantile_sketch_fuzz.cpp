// Fuzzes the quantile sketch: its stored form and its update and merge paths.
//
// The first byte picks the mode:
//   even: the rest is a stored sketch. Whatever it is, reading it either throws
//         FormatError or yields a sketch that keeps every invariant, writes back exactly
//         the bytes it read (the form is canonical), answers finite quantiles within
//         [min, max], and behaves like a copy of itself under updates and merges.
//   odd:  the rest is a stream of 9-byte records (a double's bits and a split byte). The
//         values go, with a small k so that a short input reaches many levels, into one
//         sketch by update(), one by update_many() in the record's splits, and a third as
//         shard sketches merged together. The first two must be equal; all three keep
//         their invariants, count the finite values, and round-trip through the stored
//         form; when every shard stayed exact, the merged sketch equals the first. The
//         first sketch's stored form, with one byte changed, then goes through the even
//         mode's checks, so that damaged forms of compacted sketches are tried too.
#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <span>
#include <vector>

#include "quantiles/quantile_sketch.h"

namespace {

using quantiles::QuantileSketch;

constexpr std::uint64_t kSeed = 0x5eed;
constexpr std::uint32_t kSmallK = 8;

[[noreturn]] void fail(const char* what) {
    std::fprintf(stderr, "quantile_sketch_fuzz: %s\n", what);
    std::abort();
}

std::vector<std::uint8_t> bytes_of(const QuantileSketch& s) {
    quantiles::ByteWriter w;
    s.write(w);
    return w.take();
}

void check_invariants(const QuantileSketch& s) {
    unsigned __int128 weight = 0;
    for (std::size_t h = 0; h < s.level_count(); ++h) {
        const auto level = s.level(h);
        weight += static_cast<unsigned __int128>(level.size()) << h;
        if (h > s.sampled_levels() && !std::is_sorted(level.begin(), level.end()))
            fail("unsorted level");
        for (const double v : level) {
            if (!std::isfinite(v) || v < s.min() || v > s.max() ||
                std::bit_cast<std::uint64_t>(v) == std::uint64_t{1} << 63)
                fail("item not finite, -0.0 or outside the bounds");
        }
    }
    weight += s.block_weight();
    if (weight != s.count())
        fail("weights do not add up to the count");
    for (std::size_t h = 0; h < s.sampled_levels(); ++h) {
        if (!s.level(h).empty())
            fail("items below the sampler");
    }
    if (s.retained() >
        quantiles::total_capacity(s.k(), std::min(s.level_count(), quantiles::kCompactorLevels)))
        fail("over capacity");
    if (s.count() == 0)
        return;
    for (const double q : s.reported_quantiles()) {
        if (!std::isfinite(q) || q < s.min() || q > s.max())
            fail("quantile outside the bounds");
    }
    if (s.quantile(0.0) != s.min() || s.quantile(1.0) != s.max())
        fail("q=0 or q=1 is not the exact extreme");
}

QuantileSketch round_trip(const QuantileSketch& s) {
    const auto bytes = bytes_of(s);
    quantiles::ByteReader r(bytes);
    QuantileSketch back = QuantileSketch::read(r, kSeed);
    if (!(back == s) || r.left() != 0)
        fail("round trip changed the state");
    return back;
}

void stored_mode(std::span<const std::uint8_t> data) {
    quantiles::ByteReader r(data);
    std::optional<QuantileSketch> read;
    try {
        read.emplace(QuantileSketch::read(r, kSeed));
    } catch (const quantiles::FormatError&) {
        return;
    }
    QuantileSketch& s = *read;
    check_invariants(s);
    const auto written = bytes_of(s);
    if (written.size() != r.at() || !std::equal(written.begin(), written.end(), data.begin()))
        fail("written form differs from the bytes read");
    // A read state behaves like the original ever after: compare against a copy made by
    // a second read, through updates and a self-merge.
    QuantileSketch copy = round_trip(s);
    for (int i = 0; i < 300; ++i) {
        s.update(i * 0.5);
        copy.update(i * 0.5);
    }
    if (!(s == copy))
        fail("copies diverged");
    try {
        s.merge(copy);
    } catch (const std::length_error&) {
        return;
    }
    check_invariants(s);
    round_trip(s);
}

struct Record {
    double value;
    std::uint8_t split;
};

void stream_mode(std::span<const std::uint8_t> data) {
    std::vector<Record> records;
    for (std::size_t at = 0; at + 9 <= data.size(); at += 9) {
        std::uint64_t bits;
        std::memcpy(&bits, data.data() + at, 8);
        records.push_back({std::bit_cast<double>(bits), data[at + 8]});
    }
    // Repeat the records so that short inputs still compact through several levels.
    std::vector<double> values;
    for (int round = 0; round < 8 && !records.empty(); ++round) {
        for (const Record& r : records) {
            values.push_back(r.value + round);
        }
    }
    QuantileSketch one(kSeed, kSmallK), batched(kSeed, kSmallK), merged(kSeed, kSmallK);
    std::size_t finite = 0;
    for (const double v : values) {
        one.update(v);
        finite += std::isfinite(v) ? 1 : 0;
    }
    bool all_exact = true;
    std::size_t start = 0;
    for (std::size_t i = 0; i <= values.size(); ++i) {
        const bool cut = i == values.size() || (records[i % records.size()].split & 7) == 0;
        if (!cut)
            continue;
        const std::span<const double> piece = std::span(values).subspan(start, i - start);
        batched.update_many(piece);
        QuantileSketch shard(kSeed + i, kSmallK);
        shard.update_many(piece);
        all_exact = all_exact && shard.is_exact();
        merged.merge(shard);
        start = i;
    }
    if (!(one == batched))
        fail("update and update_many disagree");
    if (all_exact && !(one == merged))
        fail("merging exact shards is not the one stream");
    for (const QuantileSketch* s : {&one, &merged}) {
        if (s->count() != finite)
            fail("count is not the number of finite values");
        check_invariants(*s);
        round_trip(*s);
    }
    // A reachable stored form with one byte damaged: refused, or read as a sound sketch.
    auto damaged = bytes_of(one);
    if (!damaged.empty() && data.size() >= 2) {
        damaged[data[0] % damaged.size()] ^= data[1] | 1;
        stored_mode(damaged);
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size == 0)
        return 0;
    const std::span<const std::uint8_t> rest(data + 1, size - 1);
    if ((data[0] & 1) == 0) {
        stored_mode(rest);
    } else {
        stream_mode(rest);
    }
    return 0;
}
