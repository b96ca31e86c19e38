#include "exact_sum/chunk_window.h"

#include <algorithm>
#include <stdexcept>

namespace exact_sum {

namespace {

constexpr std::int64_t kLimbMask = 0xffffffff;
constexpr std::int64_t kTopLimit = std::int64_t{1} << 31;

}  // namespace

void ChunkWindow::widen(int new_base, int new_top) {
    if (new_base < 0 || new_top >= capacity_) {
        throw std::logic_error("exact_sum: sum beyond its capacity");
    }
    // Exactly the chunks needed: a window widens at most capacity_ times in its life, and
    // a column of clustered values keeps a few chunks.
    std::vector<std::int64_t> wider(static_cast<std::size_t>(new_top - new_base + 1), 0);
    std::copy(chunks_.begin(), chunks_.end(), wider.begin() + (base_ - new_base));
    chunks_ = std::move(wider);
    base_ = new_base;
}

void ChunkWindow::cover(int lowest, int highest) {
    const int spare = highest + 1;  // the top chunk takes carries only
    if (chunks_.empty()) {
        base_ = lowest;
        widen(lowest, spare);
        return;
    }
    const int top = base_ + static_cast<int>(chunks_.size()) - 1;
    if (lowest < base_ || spare > top) {
        widen(std::min(lowest, base_), std::max(spare, top));
    }
}

bool ChunkWindow::needs_room() const {
    return !chunks_.empty() && (chunks_.back() < -kTopLimit || chunks_.back() >= kTopLimit);
}

void ChunkWindow::make_room() {
    normalise();
    while (needs_room()) {
        const int top = base_ + static_cast<int>(chunks_.size()) - 1;
        widen(base_, top + 1);
        normalise();
    }
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
    const int first = first_chunk(position);
    for (int j = 0; j < used; ++j) {
        const std::int64_t piece = pieces[j];
        chunks_[static_cast<std::size_t>(first + j - base_)] += negative ? -piece : piece;
    }
}

void ChunkWindow::normalise() {
    for (std::size_t i = 0; i + 1 < chunks_.size(); ++i) {
        const std::int64_t carry = chunks_[i] >> 32;  // floor division by 2^32
        chunks_[i] &= kLimbMask;
        chunks_[i + 1] += carry;
    }
}

void ChunkWindow::add(const ChunkWindow& other) {
    if (other.chunks_.empty()) {
        return;
    }
    // Room first: this top chunk lies in [-2^31, 2^31), so adding any chunk of other's
    // (below 2^62) to it, or to any other, stays within int64. Covering other's chunks but
    // its top one keeps this window's top at or above other's, not beyond.
    make_room();
    const int other_top = other.base_ + static_cast<int>(other.chunks_.size()) - 1;
    cover(other.base_, other_top - 1);
    for (std::size_t i = 0; i < other.chunks_.size(); ++i) {
        chunks_[static_cast<std::size_t>(other.base_ - base_) + i] += other.chunks_[i];
    }
    make_room();
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
    // The top chunk is now not negative and below 2^63: two limbs.
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
    if (parts.lowest_limb + parts.limbs.size() >= static_cast<std::size_t>(capacity_)) {
        throw std::length_error("exact_sum: sum beyond its capacity");
    }
    const int lowest = static_cast<int>(parts.lowest_limb);
    cover(lowest, lowest + static_cast<int>(parts.limbs.size()) - 1);
    for (std::size_t i = 0; i < parts.limbs.size(); ++i) {
        const std::int64_t limb = parts.limbs[i];
        chunks_[i] = parts.negative ? -limb : limb;
    }
    make_room();
}

}  // namespace exact_sum
