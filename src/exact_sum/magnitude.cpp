#include "exact_sum/magnitude.h"

#include <algorithm>
#include <bit>
#include <cmath>
#include <stdexcept>

namespace exact_sum {

void trim(Limbs& a) {
    while (!a.empty() && a.back() == 0) {
        a.pop_back();
    }
}

std::size_t bit_length(const Limbs& a) {
    if (a.empty()) {
        return 0;
    }
    return 32 * (a.size() - 1) + static_cast<std::size_t>(std::bit_width(a.back()));
}

bool bit_at(const Limbs& a, std::size_t position) {
    const std::size_t limb = position / 32;
    return limb < a.size() && ((a[limb] >> (position % 32)) & 1u) != 0;
}

bool any_bit_below(const Limbs& a, std::size_t position) {
    const std::size_t whole = std::min(position / 32, a.size());
    for (std::size_t i = 0; i < whole; ++i) {
        if (a[i] != 0) {
            return true;
        }
    }
    const unsigned part = position % 32;
    return part != 0 && whole < a.size() && (a[whole] & ((1u << part) - 1)) != 0;
}

Limbs from_u64(std::uint64_t v) {
    Limbs a{static_cast<std::uint32_t>(v), static_cast<std::uint32_t>(v >> 32)};
    trim(a);
    return a;
}

int compare(const Limbs& a, const Limbs& b) {
    if (a.size() != b.size()) {
        return a.size() < b.size() ? -1 : 1;
    }
    for (std::size_t i = a.size(); i-- > 0;) {
        if (a[i] != b[i]) {
            return a[i] < b[i] ? -1 : 1;
        }
    }
    return 0;
}

Limbs shifted_left(const Limbs& a, std::size_t bits) {
    if (a.empty()) {
        return {};
    }
    const std::size_t whole = bits / 32;
    const unsigned part = bits % 32;
    Limbs out(whole + a.size() + 1, 0);
    for (std::size_t i = 0; i < a.size(); ++i) {
        const std::uint64_t v = static_cast<std::uint64_t>(a[i]) << part;
        out[whole + i] |= static_cast<std::uint32_t>(v);
        out[whole + i + 1] |= static_cast<std::uint32_t>(v >> 32);
    }
    trim(out);
    return out;
}

Limbs shifted_right(const Limbs& a, std::size_t bits, bool& lost) {
    if (any_bit_below(a, bits)) {
        lost = true;
    }
    const std::size_t whole = bits / 32;
    if (whole >= a.size()) {
        return {};
    }
    const unsigned part = bits % 32;
    Limbs out(a.size() - whole, 0);
    for (std::size_t i = 0; i < out.size(); ++i) {
        std::uint64_t v = a[whole + i];
        if (whole + i + 1 < a.size()) {
            v |= static_cast<std::uint64_t>(a[whole + i + 1]) << 32;
        }
        out[i] = static_cast<std::uint32_t>(v >> part);
    }
    trim(out);
    return out;
}

Limbs times_u64(const Limbs& a, std::uint64_t m) {
    return times(a, from_u64(m));
}

Limbs times(const Limbs& a, const Limbs& b) {
    if (a.empty() || b.empty()) {
        return {};
    }
    Limbs out(a.size() + b.size(), 0);
    for (std::size_t i = 0; i < a.size(); ++i) {
        std::uint64_t carry = 0;
        for (std::size_t j = 0; j < b.size(); ++j) {
            // At most (2^32-1)^2 + 2 (2^32-1) < 2^64.
            const std::uint64_t t = static_cast<std::uint64_t>(a[i]) * b[j] + out[i + j] + carry;
            out[i + j] = static_cast<std::uint32_t>(t);
            carry = t >> 32;
        }
        out[i + b.size()] = static_cast<std::uint32_t>(carry);
    }
    trim(out);
    return out;
}

Limbs minus(const Limbs& a, const Limbs& b) {
    if (compare(a, b) < 0) {
        throw std::logic_error("exact_sum: subtraction below zero");
    }
    Limbs out(a);
    std::int64_t borrow = 0;
    for (std::size_t i = 0; i < out.size(); ++i) {
        std::int64_t t = static_cast<std::int64_t>(out[i]) - borrow - (i < b.size() ? b[i] : 0);
        borrow = t < 0 ? 1 : 0;
        out[i] = static_cast<std::uint32_t>(t + (borrow << 32));
    }
    trim(out);
    return out;
}

std::uint64_t divide_u64(Limbs& a, std::uint64_t d) {
    if (d == 0) {
        throw std::logic_error("exact_sum: division by zero");
    }
    unsigned __int128 remainder = 0;
    for (std::size_t i = a.size(); i-- > 0;) {
        // remainder < d <= 2^64, so the dividend stays below 2^96.
        const unsigned __int128 dividend = (remainder << 32) | a[i];
        a[i] = static_cast<std::uint32_t>(dividend / d);
        remainder = dividend % d;
    }
    trim(a);
    return static_cast<std::uint64_t>(remainder);
}

double round_to_double(const Limbs& a, bool inexact, long exponent, bool negative) {
    const double sign = negative ? -1.0 : 1.0;
    if (a.empty()) {
        if (inexact) {
            throw std::logic_error("exact_sum: rounding bit missing");
        }
        return sign * 0.0;
    }
    const long top = static_cast<long>(bit_length(a)) - 1;
    // The lowest kept bit: 53 bits below the top, but never below 2^-1074.
    const long lowest = std::max(top - 52, -1074 - exponent);
    if (lowest <= 0) {
        if (inexact) {
            throw std::logic_error("exact_sum: rounding bit missing");
        }
        // Fits 53 bits and lies on the grid of doubles: exact.
        const std::uint64_t v = (a.size() > 1 ? static_cast<std::uint64_t>(a[1]) << 32 : 0) | a[0];
        return sign * std::ldexp(static_cast<double>(v), static_cast<int>(exponent));
    }
    bool dropped = false;  // what it says is read below, with the rounding bit apart
    const Limbs kept_limbs = shifted_right(a, static_cast<std::size_t>(lowest), dropped);
    std::uint64_t kept = 0;
    for (std::size_t i = kept_limbs.size(); i-- > 0;) {
        kept = (kept << 32) | kept_limbs[i];
    }
    const bool half = bit_at(a, static_cast<std::size_t>(lowest - 1));
    const bool beyond_half = inexact || any_bit_below(a, static_cast<std::size_t>(lowest - 1));
    if (half && (beyond_half || (kept & 1u) != 0)) {
        ++kept;  // may reach 2^53, still exact as a double
    }
    const long scale = lowest + exponent;
    if (scale > 1024) {
        return sign * HUGE_VAL;
    }
    // kept <= 2^53 on the grid of 2^scale, scale >= -1074: ldexp is exact or overflows.
    return sign * std::ldexp(static_cast<double>(kept), static_cast<int>(scale));
}

}  // namespace exact_sum
