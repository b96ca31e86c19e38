// Reservation: the room a sketch keeps so that what was reserved for inserts and merges
// without allocating (see "Reservation" in cardinality_sketch.h).

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <utility>

#include "sketch/cardinality_sketch.h"

namespace sketch {

namespace {

// a + b, or UINT64_MAX when that does not fit.
std::uint64_t saturating_add(std::uint64_t a, std::uint64_t b) {
    return b > UINT64_MAX - a ? UINT64_MAX : a + b;
}

}  // namespace

void CardinalitySketch::reserve_room(std::uint64_t codes, bool dense_state, bool merges) {
    const std::uint64_t reserved = saturating_add(reserved_codes_, codes);
    if (!registers_) {
        // The most bytes any merge may need while the reservations last: the list as it
        // is, five bytes for each code waiting in temp_set or reserved.
        const std::uint64_t pending = saturating_add(temp_set_.size(), reserved);
        const std::uint64_t bound =
            pending > kDenseSizeLimit / 5 ? UINT64_MAX
                                          : saturating_add(sparse_.bytes().size(), 5 * pending);
        const auto room = static_cast<std::size_t>(std::min<std::uint64_t>(bound, kDenseSizeLimit));
        // Each step only adds capacity, so a failure part way leaves the content as it was.
        if (codes > 0 && (merges || pending >= kTempSetTrigger)) {
            spares_[0].reserve(room);
            spares_[1].reserve(room);
        }
        if (dense_state || (codes > 0 && bound > kDenseSizeLimit)) {
            spare_words_.reserve(kRegisterWords);
        }
    }
    reserved_codes_ = reserved;
    ++holds_;
}

void CardinalitySketch::release(std::uint64_t codes) noexcept {
    reserved_codes_ -= std::min(codes, reserved_codes_);
    holds_ -= holds_ > 0 ? 1 : 0;
    drop_spares();
}

// While no reservation holds, the spare buffers go, and a list that a reserved merge left
// with much room beyond its codes gives it back, as an unreserved merge would have.
void CardinalitySketch::drop_spares() noexcept {
    if (holds_ > 0) {
        return;
    }
    spares_ = {};
    spare_words_ = std::vector<std::uint32_t>();
    if (sparse_.capacity() - sparse_.bytes().size() > 5 * kTempSetTrigger) {
        sparse_.shrink_to_fit();
    }
}

}  // namespace sketch
