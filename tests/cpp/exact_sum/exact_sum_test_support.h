// Helpers for the exact sum tests: the oracle table's reader, bit comparisons of optional
// doubles, workloads, and the stored form of a state.
#pragma once

#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <fstream>
#include <optional>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "exact_sum/exact_moments.h"
#include "exact_sum/magnitude.h"

namespace exact_sum_test {

using exact_sum::ExactMoments;
using exact_sum::Limbs;

// One case of tests/data/exact_sum_cases.txt (its producer is bench/exact_sum_cases.py).
struct OracleCase {
    std::string name;
    std::vector<double> values;
    std::uint64_t count = 0;
    std::optional<double> mean;
    std::optional<double> std;
};

inline std::optional<double> parse_result(const std::string& text) {
    if (text == "none") {
        return std::nullopt;
    }
    if (text == "inf") {
        return HUGE_VAL;
    }
    return std::strtod(text.c_str(), nullptr);
}

inline std::vector<OracleCase> oracle_cases() {
    std::ifstream in(KARVO_TEST_DATA_DIR "/exact_sum_cases.txt");
    std::vector<OracleCase> cases;
    std::string line;
    while (std::getline(in, line)) {
        std::istringstream words(line);
        std::string kind;
        words >> kind;
        if (kind == "case") {
            cases.emplace_back();
            words >> cases.back().name;
        } else if (kind == "values") {
            std::string word;
            while (words >> word) {
                const std::size_t star = word.find('*');
                const std::size_t copies = star == std::string::npos ? 1 : std::stoul(word.substr(star + 1));
                const std::string text = word.substr(0, star);
                const double v = text == "inf"    ? HUGE_VAL
                                 : text == "-inf" ? -HUGE_VAL
                                 : text == "nan"  ? std::nan("")
                                                  : std::strtod(text.c_str(), nullptr);
                cases.back().values.insert(cases.back().values.end(), copies, v);
            }
        } else if (kind == "expect") {
            std::string n, mean, std;
            words >> n >> mean >> std;
            cases.back().count = std::stoull(n);
            cases.back().mean = parse_result(mean);
            cases.back().std = parse_result(std);
        }
    }
    return cases;
}

// Equal when both are absent or both hold the same bits.
inline bool same_bits(std::optional<double> a, std::optional<double> b) {
    if (a.has_value() != b.has_value()) {
        return false;
    }
    return !a || std::bit_cast<std::uint64_t>(*a) == std::bit_cast<std::uint64_t>(*b);
}

inline std::string show(std::optional<double> v) {
    if (!v) {
        return "none";
    }
    char buffer[64];
    std::snprintf(buffer, sizeof buffer, "%a", *v);
    return buffer;
}

inline std::vector<std::uint8_t> stored(const ExactMoments& m) {
    common::ByteWriter out(64);
    m.write(out);
    return out.out();
}

// Reads a state from the front of input and, when it succeeds, advances input past it.
inline ExactMoments read_from(std::span<const std::uint8_t>& input) {
    common::ByteReader in(input, 0, input.size());
    ExactMoments m = ExactMoments::read(in);
    input = input.subspan(in.at());
    return m;
}

// Everything observable is equal: count, mean, std and the stored form.
inline void expect_same(const ExactMoments& a, const ExactMoments& b, const std::string& label) {
    EXPECT_EQ(a.count(), b.count()) << label;
    EXPECT_TRUE(same_bits(a.mean(), b.mean())) << label << ": " << show(a.mean()) << " vs " << show(b.mean());
    EXPECT_TRUE(same_bits(a.std(), b.std())) << label << ": " << show(a.std()) << " vs " << show(b.std());
    EXPECT_EQ(stored(a), stored(b)) << label;
}

inline ExactMoments of(const std::vector<double>& values) {
    ExactMoments m;
    m.add_many(values);
    return m;
}

// Doubles of every sign and exponent, subnormals, zeros and some non-finite ones.
inline std::vector<double> wild_values(std::size_t n, std::uint64_t seed) {
    std::mt19937_64 random(seed);
    std::vector<double> out(n);
    for (double& v : out) {
        const std::uint64_t bits = random();
        switch (random() % 8) {
            case 0:  // any bit pattern, non-finite ones included
                v = std::bit_cast<double>(bits);
                break;
            case 1:  // subnormal
                v = std::bit_cast<double>(bits & 0x800fffffffffffffULL);
                break;
            case 2:  // near the largest
                v = std::bit_cast<double>((bits & 0x800fffffffffffffULL) | 0x7fe0000000000000ULL);
                break;
            default:  // a cluster around one, where cancellation bites
                v = 1.0 + static_cast<double>(static_cast<std::int64_t>(bits) >> 20) * 0x1p-40;
        }
    }
    return out;
}

// A stored form with the given count and sums (magnitudes in units of 2^-1074, 2^-2148).
inline std::vector<std::uint8_t> forged(std::uint64_t n, const Limbs& s1, bool s1_negative, const Limbs& s2) {
    std::vector<std::uint8_t> out;
    auto varint = [&](std::uint64_t v) {
        while (v >= 0x80) {
            out.push_back(static_cast<std::uint8_t>(v | 0x80));
            v >>= 7;
        }
        out.push_back(static_cast<std::uint8_t>(v));
    };
    auto magnitude = [&](const Limbs& a, bool negative) {
        if (a.empty()) {
            out.push_back(0);
            return;
        }
        out.push_back(negative ? 2 : 1);
        std::size_t lowest = 0;
        while (a[lowest] == 0) {
            ++lowest;
        }
        varint(lowest);
        varint(a.size() - lowest);
        for (std::size_t i = lowest; i < a.size(); ++i) {
            for (unsigned b = 0; b < 4; ++b) {
                out.push_back(static_cast<std::uint8_t>(a[i] >> (8 * b)));
            }
        }
    };
    varint(n);
    magnitude(s1, s1_negative);
    magnitude(s2, false);
    return out;
}

inline ExactMoments read_all(const std::vector<std::uint8_t>& bytes) {
    std::span<const std::uint8_t> input(bytes);
    ExactMoments m = read_from(input);
    EXPECT_TRUE(input.empty());
    return m;
}

inline const Limbs& largest_units() {  // DBL_MAX in units of 2^-1074
    static const Limbs v = exact_sum::shifted_left(exact_sum::from_u64((1ULL << 53) - 1), 2045);
    return v;
}

inline const Limbs& largest_square_units() {  // DBL_MAX^2 in units of 2^-2148
    static const Limbs v = exact_sum::times(exact_sum::shifted_left(exact_sum::from_u64((1ULL << 53) - 1), 2045),
                                            exact_sum::shifted_left(exact_sum::from_u64((1ULL << 53) - 1), 2045));
    return v;
}

}  // namespace exact_sum_test
