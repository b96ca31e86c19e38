// ExactMoments' stored form: write and read (layout and checks in exact_moments.h).
#include <string>

#include "exact_sum/exact_moments.h"
#include "hash/load_le.h"

namespace exact_sum {

namespace {

// Limbs a stored magnitude may reach: |S1| < 2^2162, S2 < 2^4260 (exact_moments.h).
constexpr std::size_t kSumLimbs = 68;
constexpr std::size_t kSquareLimbs = 134;
constexpr std::uint8_t kZero = 0;
constexpr std::uint8_t kPositive = 1;
constexpr std::uint8_t kNegative = 2;

void put_parts(common::ByteWriter& out, const ChunkWindow::Parts& parts) {
    if (parts.limbs.empty()) {
        out.u8(kZero);
        return;
    }
    out.u8(parts.negative ? kNegative : kPositive);
    out.varint(parts.lowest_limb);
    out.varint(parts.limbs.size());
    for (std::uint32_t limb : parts.limbs) {
        out.fixed(limb, 4);
    }
}

[[noreturn]] void fail(const std::string& message) {
    common::format_error("exact sums: " + message);
}

ChunkWindow::Parts read_parts(common::ByteReader& in, const char* what, std::size_t max_limbs, bool signed_value) {
    ChunkWindow::Parts parts;
    const std::uint8_t sign = in.take(1, what)[0];
    if (sign == kZero) {
        return parts;
    }
    if (sign != kPositive && !(signed_value && sign == kNegative)) {
        fail(std::string(what) + ": sign byte " + std::to_string(sign) + " is not valid");
    }
    parts.negative = sign == kNegative;
    const std::uint64_t lowest = in.varint(what);
    const std::uint64_t count = in.varint(what);
    if (lowest >= max_limbs || count == 0 || count > max_limbs - lowest) {
        fail(std::string(what) + ": limbs " + std::to_string(lowest) + " + " + std::to_string(count) +
             " do not lie within the " + std::to_string(max_limbs) + " a sum can reach");
    }
    const std::span<const std::uint8_t> bytes = in.take(4 * count, what);
    parts.lowest_limb = lowest;
    parts.limbs.resize(count);
    for (std::size_t i = 0; i < count; ++i) {
        parts.limbs[i] = static_cast<std::uint32_t>(hash::load_le(bytes.data() + 4 * i, 4));
    }
    if (parts.limbs.front() == 0 || parts.limbs.back() == 0) {
        fail(std::string(what) + ": a zero limb at either end is not the canonical form");
    }
    return parts;
}

Limbs whole(const ChunkWindow::Parts& parts) {
    Limbs out(parts.lowest_limb, 0);
    out.insert(out.end(), parts.limbs.begin(), parts.limbs.end());
    trim(out);
    return out;
}

// Whether a (an integer in units of 2^-1074, at most DBL_MAX) is a double: its set bits
// span at most 53.
bool is_double(const Limbs& a) {
    if (a.empty()) {
        return true;
    }
    std::size_t lowest = 0;
    while (!bit_at(a, lowest)) {
        ++lowest;
    }
    return bit_length(a) - lowest <= 53;
}

// Refuses counts and sums that no sequence of finite doubles makes.
void check_reachable(std::uint64_t n, const Limbs& s1, const Limbs& s2) {
    if (n == 0) {
        if (!s1.empty() || !s2.empty()) {
            fail("no values, but a sum that is not zero");
        }
        return;
    }
    const Limbs largest = from_u64((std::uint64_t{1} << 53) - 1);  // DBL_MAX = this * 2^971
    if (compare(s1, times_u64(shifted_left(largest, 2045), n)) > 0) {
        fail("the sum exceeds the count times the largest double");
    }
    if (compare(s2, times_u64(shifted_left(times(largest, largest), 4090), n)) > 0) {
        fail("the sum of squares exceeds the count times the largest square");
    }
    const Limbs s1_squared = times(s1, s1);
    if (compare(s1_squared, times_u64(s2, n)) > 0) {
        fail("the sum's square exceeds the count times the sum of squares (Cauchy-Schwarz)");
    }
    if (n == 1 && (!is_double(s1) || compare(s1_squared, s2) != 0)) {
        fail("one value, but its sum is not a double or the sum of squares not its square");
    }
}

}  // namespace

void ExactMoments::write(common::ByteWriter& out) const {
    out.varint(count_);
    put_parts(out, sum_.parts());
    put_parts(out, squares_.parts());
}

ExactMoments ExactMoments::read(common::ByteReader& in) {
    const std::uint64_t n = in.varint("count");
    const ChunkWindow::Parts sum = read_parts(in, "sum", kSumLimbs, true);
    const ChunkWindow::Parts squares = read_parts(in, "sum of squares", kSquareLimbs, false);
    check_reachable(n, whole(sum), whole(squares));
    ExactMoments out;
    out.count_ = n;
    out.sum_.assign(sum);
    out.squares_.assign(squares);
    return out;
}

}  // namespace exact_sum
