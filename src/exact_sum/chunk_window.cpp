#include "exact_sum/chunk_window.h"

#include <algorithm>
#include <stdexcept>

namespace exact_sum {

namespace {

constexpr std::int64_t kLimbMask = 0xffffffff;
constexpr std::int64_t kTopLimit = std::int64_t{1} << 31;

}  // namespace

void ChunkWindow::cover(int lowest, int highest) {
    lowest = std::max(lowest, 0);
    highest = std::min(highest, capacity_ - 1);
    if (chunks_.empty()) {
        base_ = lowest;
        chunks_.assign(static_cast<std::size_t>(highest - lowest + 1), 0);
        return;
    }
    const int top = base_ + static_cast<int>(chunks_.size()) - 1;
    if (lowest >= base_ && highest <= top) {
        return;
    }
    // Exactly the chunks needed: a window widens at most capacity_ times in its life, and
    // a column of clustered values keeps a few chunks.
    const int new_base = std::min(lowest, base_);
    std::vector<std::int64_t> wider(static_cast<std::size_t>(std::max(highest, top) - new_base + 1), 0);
    std::copy(chunks_.begin(), chunks_.end(), wider.begin() + (base_ - new_base));
    chunks_ = std::move(wider);
    base_ = new_base;
}

void ChunkWindow::add_shifted(unsigned position, bool negative, std::span<const std::uint64_t> words) {
    constexpr std::size_t kMaxWords = 4;
    if (words.size() > kMaxWords) {
        throw std::logic_error("exact_sum: too wide an add");
    }
    // pieces[j]: bits 32j..32j+31 of words << (position mod 32); the words' shifted bits
    // do not overlap, so or-ing them together is exact.
    std::uint32_t pieces[2 * kMaxWords + 1] = {};
    const unsigned shift = position & 31;
    for (std::size_t i = 0; i < words.size(); ++i) {
        const std::uint64_t low = words[i] << shift;
        const std::uint64_t high = shift == 0 ? 0 : words[i] >> (64 - shift);
        pieces[2 * i] |= static_cast<std::uint32_t>(low);
        pieces[2 * i + 1] |= static_cast<std::uint32_t>(low >> 32);
        pieces[2 * i + 2] |= static_cast<std::uint32_t>(high);
    }
    int used = 2 * static_cast<int>(words.size()) + 1;
    while (used > 0 && pieces[used - 1] == 0) {
        --used;
    }
    if (used == 0) {
        return;
    }
    const int first = static_cast<int>(position >> 5);
    cover(first, first + used - 1);
    for (int j = 0; j < used; ++j) {
        const std::int64_t piece = pieces[j];
        chunks_[static_cast<std::size_t>(first + j - base_)] += negative ? -piece : piece;
    }
}

void ChunkWindow::normalise() {
    if (chunks_.empty()) {
        return;
    }
    for (std::size_t i = 0; i + 1 < chunks_.size(); ++i) {
        const std::int64_t carry = chunks_[i] >> 32;  // floor division by 2^32
        chunks_[i] &= kLimbMask;
        chunks_[i + 1] += carry;
    }
    // A top chunk that could not take another 2^10 adds carries into a new one. The
    // capacity holds every value reachable within the count's range, so it never runs out.
    while (chunks_.back() < -kTopLimit || chunks_.back() >= kTopLimit) {
        if (base_ + static_cast<int>(chunks_.size()) >= capacity_) {
            throw std::logic_error("exact_sum: sum beyond its capacity");
        }
        const std::int64_t carry = chunks_.back() >> 32;
        chunks_.back() &= kLimbMask;
        chunks_.reserve(chunks_.size() + 1);  // one more, not twice as many
        chunks_.push_back(carry);
    }
}

void ChunkWindow::add(const ChunkWindow& other) {
    if (other.chunks_.empty()) {
        return;
    }
    normalise();
    cover(other.base_, other.base_ + static_cast<int>(other.chunks_.size()) - 1);
    for (std::size_t i = 0; i < other.chunks_.size(); ++i) {
        chunks_[static_cast<std::size_t>(other.base_ - base_) + i] += other.chunks_[i];
    }
    normalise();
}

ChunkWindow::Parts ChunkWindow::parts() const {
    Parts out;
    std::vector<std::int64_t> chunks(chunks_);
    if (chunks.empty()) {
        return out;
    }
    // Normalise a copy, and negate it first when negative, so that the limbs are the
    // magnitude's.
    auto carry_through = [](std::vector<std::int64_t>& c) {
        for (std::size_t i = 0; i + 1 < c.size(); ++i) {
            const std::int64_t carry = c[i] >> 32;
            c[i] &= kLimbMask;
            c[i + 1] += carry;
        }
    };
    carry_through(chunks);
    if (chunks.back() < 0) {
        out.negative = true;
        for (std::int64_t& c : chunks) {
            c = -c;
        }
        carry_through(chunks);
    }
    // The top chunk is now at most 2^63 / 2^32 (one unnormalised batch above 2^32 chunks)
    // and not negative: split it into limbs.
    Limbs limbs;
    for (std::size_t i = 0; i + 1 < chunks.size(); ++i) {
        limbs.push_back(static_cast<std::uint32_t>(chunks[i]));
    }
    const auto top = static_cast<std::uint64_t>(chunks.back());
    limbs.push_back(static_cast<std::uint32_t>(top));
    limbs.push_back(static_cast<std::uint32_t>(top >> 32));
    trim(limbs);
    std::size_t lowest = 0;
    while (lowest < limbs.size() && limbs[lowest] == 0) {
        ++lowest;
    }
    out.limbs.assign(limbs.begin() + static_cast<std::ptrdiff_t>(lowest), limbs.end());
    out.lowest_limb = out.limbs.empty() ? 0 : static_cast<std::size_t>(base_) + lowest;
    if (out.limbs.empty()) {
        out.negative = false;
    }
    return out;
}

Limbs ChunkWindow::magnitude(bool& negative) const {
    Parts p = parts();
    negative = p.negative;
    Limbs out(p.lowest_limb, 0);
    out.insert(out.end(), p.limbs.begin(), p.limbs.end());
    trim(out);
    return out;
}

void ChunkWindow::assign(const Parts& parts) {
    chunks_.clear();
    base_ = 0;
    if (parts.limbs.empty()) {
        return;
    }
    if (parts.lowest_limb + parts.limbs.size() > static_cast<std::size_t>(capacity_)) {
        throw std::length_error("exact_sum: sum beyond its capacity");
    }
    base_ = static_cast<int>(parts.lowest_limb);
    chunks_.reserve(parts.limbs.size() + 1);
    for (std::uint32_t limb : parts.limbs) {
        chunks_.push_back(parts.negative ? -static_cast<std::int64_t>(limb) : limb);
    }
    normalise();
}

}  // namespace exact_sum
