#include "quantiles/quantile_sketch.h"

#include <algorithm>
#include <bit>
#include <cmath>
#include <limits>
#include <stdexcept>

#include "common/mix64.h"
#include "quantiles/sort_values.h"

namespace quantiles {

namespace {

constexpr double kInf = std::numeric_limits<double>::infinity();

// Beyond this depth ceil(k (2/3)^d) is below 8 for every k <= kMaxK, and the exact
// integer form below still fits 64 bits up to it.
constexpr std::size_t kExactDepths = 30;
static_assert(std::uint64_t{kMaxK} << kExactDepths < (std::uint64_t{1} << 63));

constexpr std::uint64_t pow3(std::size_t d) {
    std::uint64_t p = 1;
    for (std::size_t i = 0; i < d; ++i) {
        p *= 3;
    }
    return p;
}

// splitmix64's output function.
std::uint64_t finalize(std::uint64_t z) {
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ULL;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBULL;
    return z ^ (z >> 31);
}

}  // namespace

std::uint32_t level_capacity(std::uint32_t k, std::size_t depth) {
    if (depth > kExactDepths) {
        return kMinLevelCapacity;
    }
    const std::uint64_t p3 = pow3(depth);
    const std::uint64_t cap = ((std::uint64_t{k} << depth) + p3 - 1) / p3;
    return static_cast<std::uint32_t>(std::max<std::uint64_t>(cap, kMinLevelCapacity));
}

std::uint32_t total_capacity(std::uint32_t k, std::size_t levels) {
    std::uint32_t total = 0;
    for (std::size_t d = 0; d < levels; ++d) {
        total += level_capacity(k, d);
    }
    return total;
}

QuantileSketch::QuantileSketch(std::uint64_t seed, std::uint32_t k)
    : k_(k), capacity_(0), min_(kInf), max_(-kInf), coin_counter_(seed) {
    if (k < kMinLevelCapacity || k > kMaxK) {
        throw std::invalid_argument("quantile sketch: k must be in 8..32768");
    }
    set_levels(1);
}

// Levels below the sampler hold nothing, so only the compacting levels count towards T.
void QuantileSketch::set_levels(std::size_t levels) {
    sizes_.resize(levels, 0);
    capacity_ = total_capacity(k_, std::min(levels, kCompactorLevels));
}

std::size_t QuantileSketch::level_begin(std::size_t h) const {
    std::size_t begin = 0;
    for (std::size_t j = h + 1; j < sizes_.size(); ++j) {
        begin += sizes_[j];
    }
    return begin;
}

std::uint32_t QuantileSketch::capacity_of(std::size_t h) const {
    return level_capacity(k_, sizes_.size() - 1 - h);
}

std::span<const double> QuantileSketch::level(std::size_t h) const {
    return std::span<const double>(items_).subspan(level_begin(h), sizes_.at(h));
}

std::size_t QuantileSketch::memory_bytes() const {
    return sizeof(*this) + items_.capacity() * sizeof(double) +
           sizes_.capacity() * sizeof(std::uint32_t);
}

// ---- updating -----------------------------------------------------------------------

// Called when the buffer is full: compacts when the sketch holds T(H) items, then grows
// the buffer (doubling, never beyond T(H)) if it is still full.
void QuantileSketch::make_room() {
    if (items_.size() >= capacity_) {
        compact_once();
    }
    if (items_.size() == items_.capacity()) {
        const std::size_t grown = std::max<std::size_t>(4, 2 * items_.capacity());
        items_.reserve(std::min<std::size_t>(grown, capacity_));
    }
}

void QuantileSketch::append_after_room(double value) {
    make_room();
    items_.push_back(value);
    ++sizes_[sampled_];
    settle();
}

void QuantileSketch::update_many(std::span<const double> values) {
    std::size_t i = 0;
    while (i < values.size()) {
        if (sampled_ != 0) {
            for (; i < values.size(); ++i) {
                update(values[i]);  // the sampler's step is a counter: no batching to gain
            }
            return;
        }
        if (items_.size() == items_.capacity()) {
            update(values[i]);  // the one path that may compact and raise the sampler
            ++i;
            continue;
        }
        const std::size_t take = std::min(values.size() - i, items_.capacity() - items_.size());
        const std::span<const double> chunk = values.subspan(i, take);
        // The common case, a chunk of finite values, in passes the compiler vectorises.
        double lo = min_;
        double hi = max_;
        bool finite = true;
        for (const double v : chunk) {
            finite &= is_finite(v);
            lo = v < lo ? v : lo;
            hi = v > hi ? v : hi;
        }
        if (!finite) {
            for (const double v : chunk) {
                update(v);  // room is there: none of these compacts
            }
            i += take;
            continue;
        }
        const std::size_t old = items_.size();
        items_.insert(items_.end(), chunk.begin(), chunk.end());
        for (std::size_t j = old; j < items_.size(); ++j) {
            items_[j] += 0.0;
        }
        sizes_[0] += static_cast<std::uint32_t>(take);
        n_ += take;
        min_ = lo + 0.0;
        max_ = hi + 0.0;
        i += take;
    }
}

// ---- the sampler --------------------------------------------------------------------
//
// Once the sketch has more than kCompactorLevels levels, the lowest compactors are
// replaced by a sampler (the bottom of the paper's construction): of each block of
// 2^sampled_ consecutive weight it keeps one item, each unit of weight equally likely,
// and appends it to level sampled_. A reservoir of one: after w units the pick is
// uniform over them, and the next unit to replace it is J = floor(w / u) + 1 for u
// uniform in (0, 1], since P(J > m) = w / m. So a value costs a counter step and a
// compare; a draw happens about log(block) times per block.

std::uint64_t QuantileSketch::next_random() {
    coin_counter_ += common::kGoldenGamma;
    return finalize(coin_counter_);
}

std::uint64_t QuantileSketch::draw_next_pick() {
    if (block_weight_ == 0) {
        return 1;
    }
    const double u = static_cast<double>((next_random() >> 11) + 1) * 0x1.0p-53;
    const double limit = static_cast<double>(block_weight_) / u;
    if (limit >= static_cast<double>(block_size())) {
        return block_size() + 1;  // no replacement in this block
    }
    return static_cast<std::uint64_t>(limit) + 1;
}

void QuantileSketch::set_next_pick(std::uint64_t next) {
    next_pick_ = next;
    next_stop_ = std::min(next, block_size());
}

// update reached next_stop_: a new pick, the end of the block, or both.
void QuantileSketch::sampler_stop(double value) {
    if (block_weight_ == next_pick_) {
        pick_ = value;
        set_next_pick(draw_next_pick());
    }
    if (block_weight_ == block_size()) {
        end_block();
    }
}

// The block is complete: its pick goes on to the lowest compactor.
void QuantileSketch::end_block() {
    const double chosen = pick_;
    block_weight_ = 0;
    pick_ = 0.0;
    set_next_pick(1);
    append(chosen);
}

// Adds an item of the given weight to the sampler (merges and raises): it becomes the
// pick with probability weight / (block weight after it); weight that overflows the block
// starts the next one.
void QuantileSketch::add_weighted(double value, std::uint64_t weight) {
    while (weight > 0) {
        const std::uint64_t take = std::min(weight, block_size() - block_weight_);
        const std::uint64_t total = block_weight_ + take;
        const auto draw = static_cast<std::uint64_t>(
            (static_cast<unsigned __int128>(next_random()) * total) >> 64);
        if (block_weight_ == 0 || draw < take) {
            pick_ = value;
        }
        block_weight_ = total;
        weight -= take;
        if (block_weight_ == block_size()) {
            end_block();
        }
    }
    set_next_pick(draw_next_pick());
}

// Restores sampled_ == max(0, H - kCompactorLevels) after the top grew.
void QuantileSketch::settle() {
    while (sizes_.size() - sampled_ > kCompactorLevels) {
        raise_sampling();
    }
}

// The lowest compactor becomes part of the sampler: its items are compacted into the
// level above, and an odd one left over joins the sampler's block with its weight (the
// block doubles, so it fits without ending it).
void QuantileSketch::raise_sampling() {
    const std::size_t s = sampled_;
    if (sizes_[s] >= 2) {
        compact_level(s);
    }
    const std::uint64_t bit = std::uint64_t{1} << s;
    pending_ &= ~bit;
    offsets_ &= ~bit;
    ++sampled_;
    set_levels(sizes_.size());
    if (sizes_[s] == 1) {
        const double left = items_.back();  // the levels below s are empty: it is last
        items_.pop_back();
        sizes_[s] = 0;
        add_weighted(left, bit);
    } else {
        set_next_pick(draw_next_pick());
    }
}

// The level's offset for this compaction: the opposite of its last fresh coin when one is
// pending, else a fresh coin from the counter mixed with the level's first item.
unsigned QuantileSketch::next_offset(std::size_t h, double probe) {
    const std::uint64_t bit = std::uint64_t{1} << h;
    if ((pending_ & bit) != 0) {
        const unsigned last = (offsets_ & bit) != 0 ? 1u : 0u;
        pending_ &= ~bit;
        offsets_ &= ~bit;
        return last ^ 1u;
    }
    coin_counter_ += common::kGoldenGamma;
    const unsigned coin = static_cast<unsigned>(
        finalize(coin_counter_ ^ std::rotl(std::bit_cast<std::uint64_t>(probe), 17)) >> 63);
    pending_ |= bit;
    offsets_ |= static_cast<std::uint64_t>(coin) << h;
    return coin;
}

// Compacts the lowest level holding at least its capacity. Layout: levels top first, so
// level h+1 lies just before level h. Every other item of level h (after one item kept
// back when its size is odd) is gathered at the end of level h's range, then merged
// backwards with level h+1 into the front of the two ranges; the lower levels then move
// down over the freed half. No allocation.
void QuantileSketch::compact_once() {
    std::size_t h = sampled_;
    while (sizes_[h] < capacity_of(h)) {
        ++h;  // some level reaches its capacity: the sizes add up to at least T(H)
    }
    if (h + 1 == sizes_.size()) {
        set_levels(sizes_.size() + 1);  // the new top level starts empty at the front
    }
    compact_level(h);
}

// Compacts level h (at least two items) into level h+1, which exists.
void QuantileSketch::compact_level(std::size_t h) {
    double* base = items_.data();
    const std::size_t b = level_begin(h);
    const std::size_t s = sizes_[h];
    const std::size_t a = sizes_[h + 1];
    if (h == sampled_) {
        // The lowest compactor is in arrival order. Any sort gives the same items here
        // (sort_values.h), so this one is chosen for speed alone.
        sort_values(std::span<double>(base + b, s));
    }
    const std::size_t odd = s & 1;
    const std::size_t half = s / 2;
    const std::size_t offset = next_offset(h, base[b]);
    // An odd level keeps its first or its last item, by a coin of its own: always the same
    // end would pair merged runs of sorted input alike at every compaction, and errors at
    // that end would add up instead of cancelling.
    const bool keep_last = odd != 0 && (next_random() >> 63) != 0;
    const std::size_t first = b + (odd != 0 && !keep_last ? 1 : 0);  // the first pair
    const double kept = keep_last ? base[b + s - 1] : base[b];
    // Gather the chosen half at [b + odd + half, b + s), last first: each write lands at or
    // after the position it reads, and after every position still to be read.
    for (std::size_t j = half; j-- > 0;) {
        base[b + odd + half + j] = base[first + offset + 2 * j];
    }
    // Merge level h+1, [b - a, b), with the chosen half into [b - a, b + half), from the
    // back; once the half is used up, what is left of level h+1 is already in place.
    std::size_t upper = b;
    std::size_t chosen = b + s;
    std::size_t out = b + half;
    const std::size_t chosen_begin = b + odd + half;
    // Without branches in the loop: which side gives the next item is unpredictable.
    const std::size_t upper_begin = b - a;
    while (chosen > chosen_begin && upper > upper_begin) {
        const double x = base[upper - 1];
        const double y = base[chosen - 1];
        const bool take_upper = x > y;
        base[--out] = take_upper ? x : y;
        upper -= take_upper ? 1 : 0;
        chosen -= take_upper ? 0 : 1;
    }
    while (chosen > chosen_begin) {
        base[--out] = base[--chosen];
    }
    if (odd != 0) {
        base[b + half] = kept;
    }
    std::copy(base + b + s, base + items_.size(), base + b + half + odd);
    items_.resize(items_.size() - half);
    sizes_[h + 1] += static_cast<std::uint32_t>(half);
    sizes_[h] = static_cast<std::uint32_t>(odd);
}

// ---- merging ------------------------------------------------------------------------

void QuantileSketch::merge(const QuantileSketch& other) {
    if (&other == this) {
        const QuantileSketch copy = other;
        merge(copy);
        return;
    }
    if (other.n_ == 0) {
        return;
    }
    if (other.n_ > kMaxCount - std::min(n_, kMaxCount)) {
        throw std::length_error("quantile sketch: merged count exceeds 2^60");
    }
    if (other.is_exact()) {
        update_many(other.items_);  // a replay: same state as receiving its values here
        return;
    }
    merge_levels(other);
}

// Joins the two level lists: at and below this sketch's lowest compactor its own items
// come first and the other's follow (that level is in arrival order); above it sorted
// levels merge. The other's items below this sketch's sampler, and its unfinished block,
// go into the sampler with their weights once the levels fit T(H) again.
void QuantileSketch::merge_levels(const QuantileSketch& other) {
    const std::size_t levels = std::max(sizes_.size(), other.sizes_.size());
    const std::size_t lowest = sampled_;
    std::vector<double> joined;
    joined.reserve(items_.size() + other.items_.size());
    std::vector<std::uint32_t> sizes(levels, 0);
    struct Low {
        double value;
        std::size_t level;
    };
    std::vector<Low> low;
    for (std::size_t h = levels; h-- > 0;) {
        const std::span<const double> mine =
            h < sizes_.size() ? level(h) : std::span<const double>();
        const std::span<const double> theirs =
            h < other.sizes_.size() ? other.level(h) : std::span<const double>();
        if (h < lowest) {
            for (const double v : theirs) {
                low.push_back({v, h});
            }
            continue;
        }
        const auto start = static_cast<std::ptrdiff_t>(joined.size());
        if (h == lowest || h == other.sampled_) {
            joined.insert(joined.end(), mine.begin(), mine.end());
            joined.insert(joined.end(), theirs.begin(), theirs.end());
            if (h != lowest) {
                std::sort(joined.begin() + start, joined.end());
            }
        } else {
            std::merge(mine.begin(), mine.end(), theirs.begin(), theirs.end(),
                       std::back_inserter(joined));
        }
        sizes[h] = static_cast<std::uint32_t>(mine.size() + theirs.size());
    }
    items_ = std::move(joined);
    sizes_ = std::move(sizes);
    set_levels(levels);
    n_ += other.n_;
    min_ = std::min(min_, other.min_);
    max_ = std::max(max_, other.max_);
    settle();
    while (items_.size() > capacity_) {
        compact_once();
        settle();
    }
    // Appends check only the buffer's capacity, so it must not exceed T(H) from here on.
    items_.shrink_to_fit();
    for (const Low& item : low) {
        add_weighted(item.value, std::uint64_t{1} << item.level);
    }
    if (other.block_weight_ > 0) {
        add_weighted(other.pick_, other.block_weight_);
    }
}

// ---- queries ------------------------------------------------------------------------

std::vector<QuantileSketch::Weighted> QuantileSketch::sorted_view() const {
    std::vector<Weighted> view;
    view.reserve(items_.size() + 1);
    for (std::size_t h = 0; h < sizes_.size(); ++h) {
        const std::uint64_t weight = std::uint64_t{1} << h;
        for (const double v : level(h)) {
            view.push_back({v, weight});
        }
    }
    if (block_weight_ > 0) {
        view.push_back({pick_, block_weight_});
    }
    std::sort(view.begin(), view.end(),
              [](const Weighted& x, const Weighted& y) { return x.value < y.value; });
    std::uint64_t cumulative = 0;
    for (Weighted& w : view) {
        cumulative += w.weight;
        w.weight = cumulative;
    }
    return view;
}

namespace {

void check_rank(double q) {
    if (!(q >= 0.0 && q <= 1.0)) {
        throw std::invalid_argument("quantile rank must be in [0, 1]");
    }
}

}  // namespace

void QuantileSketch::quantiles(std::span<const double> ranks, std::span<double> out) const {
    if (out.size() != ranks.size()) {
        throw std::invalid_argument("quantile sketch: one output per rank");
    }
    for (const double q : ranks) {
        check_rank(q);
    }
    if (n_ == 0) {
        std::fill(out.begin(), out.end(), std::numeric_limits<double>::quiet_NaN());
        return;
    }
    const std::vector<Weighted> view = sorted_view();
    for (std::size_t i = 0; i < ranks.size(); ++i) {
        const double q = ranks[i];
        if (q == 0.0) {
            out[i] = min_;
            continue;
        }
        if (q == 1.0) {
            out[i] = max_;
            continue;
        }
        const double target_real = std::ceil(q * static_cast<double>(n_));
        const std::uint64_t target =
            std::max<std::uint64_t>(1, static_cast<std::uint64_t>(target_real));
        const auto at = std::lower_bound(
            view.begin(), view.end(), target,
            [](const Weighted& w, std::uint64_t t) { return w.weight < t; });
        out[i] = at == view.end() ? view.back().value : at->value;
    }
}

double QuantileSketch::quantile(double q) const {
    double out = 0.0;
    quantiles(std::span<const double>(&q, 1), std::span<double>(&out, 1));
    return out;
}

std::array<double, kReportedRanks.size()> QuantileSketch::reported_quantiles() const {
    std::array<double, kReportedRanks.size()> out{};
    quantiles(kReportedRanks, out);
    return out;
}

}  // namespace quantiles
