// The quantile sketch's stored form. Layout, little-endian, varints as in byte_io.h:
//
//   k (varint), n (varint);
//   when n > 0:
//     the bit patterns of min and max (u64 each), the level count H (varint);
//     when H > 1: the coin counter (u64), the pending coins and their offsets (varints,
//       bit h for level h);
//     the size of each level, level 0 first (varints);
//     the items in the sketch's own order, top level first, level 0 last (u64 bit
//     patterns).
//
// An exact sketch (H == 1) stores no coin state: it has drawn no coin, so its counter is
// still the seed. So an empty column takes 2-3 bytes, an exact one about 20 + 8n, and a
// compacted one 8 bytes per item plus about 45 + H bytes.
#include <algorithm>
#include <bit>
#include <cmath>
#include <string>

#include "quantiles/quantile_sketch.h"

namespace quantiles {

namespace {

constexpr std::uint64_t kNegativeZeroBits = std::uint64_t{1} << 63;

// A value a sketch can hold: finite and not -0.0.
bool storable(std::uint64_t bits) {
    const double v = std::bit_cast<double>(bits);
    return std::isfinite(v) && bits != kNegativeZeroBits;
}

}  // namespace

void QuantileSketch::write(ByteWriter& out) const {
    out.varint(k_);
    out.varint(n_);
    if (n_ == 0) {
        return;
    }
    out.reserve(8 * items_.size() + 40 + 2 * sizes_.size());
    out.u64(std::bit_cast<std::uint64_t>(min_));
    out.u64(std::bit_cast<std::uint64_t>(max_));
    out.varint(sizes_.size());
    if (!is_exact()) {
        out.u64(coin_counter_);
        out.varint(pending_);
        out.varint(offsets_);
    }
    for (const std::uint32_t size : sizes_) {
        out.varint(size);
    }
    for (const double v : items_) {
        out.u64(std::bit_cast<std::uint64_t>(v));
    }
}

namespace {

// Reads the level sizes and checks them against T(H), the count and the top level.
std::vector<std::uint32_t> read_sizes(ByteReader& in, std::uint32_t k, std::size_t levels,
                                      std::uint64_t n) {
    const std::uint32_t limit = total_capacity(k, levels);
    std::vector<std::uint32_t> sizes(levels, 0);
    std::uint64_t total = 0;
    std::uint64_t weight = 0;
    for (std::size_t h = 0; h < levels; ++h) {
        const std::uint64_t size = in.varint("level size");
        if (size > limit - total) {
            in.fail("levels hold more than the " + std::to_string(limit) +
                    " items their capacities allow");
        }
        total += size;
        if (size > (kMaxCount >> h) || (size << h) > kMaxCount - weight) {
            in.fail("level weights exceed the count");
        }
        weight += size << h;
        sizes[h] = static_cast<std::uint32_t>(size);
    }
    if (weight != n) {
        in.fail("level weights add up to " + std::to_string(weight) + ", not the count " +
                std::to_string(n));
    }
    if (levels > 1 && sizes[levels - 1] == 0) {
        in.fail("top level empty");
    }
    return sizes;
}

}  // namespace

QuantileSketch QuantileSketch::read(ByteReader& in, std::uint64_t seed) {
    const std::uint64_t k = in.varint("k");
    if (k < kMinLevelCapacity || k > kMaxK) {
        in.fail("k " + std::to_string(k) + " outside 8..32768");
    }
    QuantileSketch sketch(seed, static_cast<std::uint32_t>(k));
    const std::uint64_t n = in.varint("count");
    if (n > kMaxCount) {
        in.fail("count above 2^60");
    }
    if (n == 0) {
        return sketch;
    }
    const std::uint64_t min_bits = in.u64("minimum");
    const std::uint64_t max_bits = in.u64("maximum");
    const double min = std::bit_cast<double>(min_bits);
    const double max = std::bit_cast<double>(max_bits);
    if (!storable(min_bits) || !storable(max_bits) || !(min <= max)) {
        in.fail("minimum and maximum not finite and ordered");
    }
    const std::uint64_t levels = in.varint("level count");
    if (levels < 1 || levels > kMaxLevels) {
        in.fail("level count " + std::to_string(levels) + " outside 1.." +
                std::to_string(kMaxLevels));
    }
    if (levels > 1) {
        sketch.coin_counter_ = in.u64("coin counter");
        sketch.pending_ = in.varint("pending coins");
        sketch.offsets_ = in.varint("coin offsets");
        const std::uint64_t below_top = (std::uint64_t{1} << (levels - 1)) - 1;
        if ((sketch.pending_ & ~below_top) != 0 || (sketch.offsets_ & ~sketch.pending_) != 0) {
            in.fail("coin state for levels that cannot have one");
        }
    }
    std::vector<std::uint32_t> sizes = read_sizes(in, sketch.k_, levels, n);
    std::uint64_t total = 0;
    for (const std::uint32_t size : sizes) {
        total += size;
    }
    in.need(8 * total, "items");
    sketch.sizes_ = std::move(sizes);
    sketch.set_levels(levels);
    sketch.items_.reserve(total);
    for (std::uint64_t i = 0; i < total; ++i) {
        const std::uint64_t bits = in.u64("item");
        const double v = std::bit_cast<double>(bits);
        if (!storable(bits) || v < min || v > max) {
            in.fail("item not finite or outside [minimum, maximum]");
        }
        sketch.items_.push_back(v);
    }
    for (std::size_t h = 1; h < levels; ++h) {
        const std::span<const double> items = sketch.level(h);
        if (!std::is_sorted(items.begin(), items.end())) {
            in.fail("level " + std::to_string(h) + " not sorted");
        }
    }
    if (levels == 1) {
        const auto [lo, hi] = std::minmax_element(sketch.items_.begin(), sketch.items_.end());
        if (*lo != min || *hi != max) {
            in.fail("exact sketch whose minimum or maximum is not among its items");
        }
    }
    sketch.n_ = n;
    sketch.min_ = min;
    sketch.max_ = max;
    return sketch;
}

}  // namespace quantiles
