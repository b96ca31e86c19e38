// The quantile sketch's stored form. Layout, little-endian, varints as in common/byte_io.h:
//
//   k (varint), n (varint);
//   when n > 0:
//     the bit patterns of min and max (u64 each), the level count H (varint);
//     when H > 1: the coin counter (u64), the pending coins and their offsets (varints,
//       bit h for level h);
//     when H > kCompactorLevels (the sampler is on): the weight of its unfinished block
//       and the weight at which its pick is next replaced (varints), and when that block
//       is not empty its pick (u64 bit pattern);
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
    if (sampled_ > 0) {
        out.varint(block_weight_);
        out.varint(next_pick_);
        if (block_weight_ > 0) {
            out.u64(std::bit_cast<std::uint64_t>(pick_));
        }
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
                                      std::size_t sampled, std::uint64_t n,
                                      std::uint64_t block_weight) {
    const std::uint32_t limit = total_capacity(k, std::min(levels, kCompactorLevels));
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
        if (h < sampled && size != 0) {
            in.fail("items below the lowest compacting level");
        }
    }
    weight += block_weight;  // below 2^sampled, so this cannot overflow
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

// The sampler's block: a weight below the block size, the next pick beyond it (1 when the
// block is empty, at most one past the block's end), and a pick that is a value.
void QuantileSketch::read_sampler(ByteReader& in, QuantileSketch& sketch, double min,
                                  double max) {
    const std::uint64_t block = sketch.block_size();
    const std::uint64_t weight = in.varint("block weight");
    const std::uint64_t next = in.varint("next pick");
    if (weight >= block) {
        in.fail("sampler block weight not below its size");
    }
    if (next <= weight || next > block + 1 || (weight == 0 && next != 1)) {
        in.fail("sampler's next pick out of range");
    }
    sketch.block_weight_ = weight;
    sketch.set_next_pick(next);
    if (weight > 0) {
        const std::uint64_t bits = in.u64("block pick");
        const double v = std::bit_cast<double>(bits);
        if (!storable(bits) || v < min || v > max) {
            in.fail("block pick not finite or outside [minimum, maximum]");
        }
        sketch.pick_ = v;
    }
}

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
        const std::size_t sampled = levels > kCompactorLevels ? levels - kCompactorLevels : 0;
        const std::uint64_t below_top = ((std::uint64_t{1} << (levels - 1)) - 1) &
                                        ~((std::uint64_t{1} << sampled) - 1);
        if ((sketch.pending_ & ~below_top) != 0 || (sketch.offsets_ & ~sketch.pending_) != 0) {
            in.fail("coin state for levels that cannot have one");
        }
        sketch.sampled_ = static_cast<std::uint32_t>(sampled);
    }
    if (sketch.sampled_ > 0) {
        read_sampler(in, sketch, min, max);
    }
    std::vector<std::uint32_t> sizes =
        read_sizes(in, sketch.k_, levels, sketch.sampled_, n, sketch.block_weight_);
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
    for (std::size_t h = sketch.sampled_ + 1; h < levels; ++h) {
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
