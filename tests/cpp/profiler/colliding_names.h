// Column names crafted against unseeded hashes, built from each hash's own structure:
// names that share one FxHash, names whose FxHash values share a shard and a bucket of a
// table keyed by that value, and names that share one std::hash (libstdc++, 64-bit).
#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "hash/fxhash.h"

namespace profiler::testing {

// Each name is two 8-byte groups (w1, w2). After them the hash state is
// (rotl(w1 * K, 5) ^ w2) * K, so choosing w2 = rotl(w1 * K, 5) ^ C gives every name the
// state C * K whatever w1 is; the final 0xFF step is then the same too.
inline std::vector<std::string> colliding_names(std::size_t count) {
    constexpr std::uint64_t kC = 0x6b61727661636f6cULL;
    std::vector<std::string> names;
    names.reserve(count);
    for (std::uint64_t i = 0; i < count; ++i) {
        const std::uint64_t w1 = 0x2d656d616e000000ULL + i;
        const std::uint64_t w2 = std::rotl(w1 * hash::kFxMultiplier, 5) ^ kC;
        std::string name(16, '\0');
        for (int b = 0; b < 8; ++b) {
            name[b] = static_cast<char>(w1 >> (8 * b));
            name[8 + b] = static_cast<char>(w2 >> (8 * b));
        }
        names.push_back(std::move(name));
    }
    return names;
}

namespace detail {
inline std::string two_words(std::uint64_t w1, std::uint64_t w2) {
    std::string name(16, '\0');
    for (int b = 0; b < 8; ++b) {
        name[b] = static_cast<char>(w1 >> (8 * b));
        name[8 + b] = static_cast<char>(w2 >> (8 * b));
    }
    return name;
}
// The inverse of an odd multiplier modulo 2^64 (Newton's iteration).
constexpr std::uint64_t inverse(std::uint64_t odd) {
    std::uint64_t x = odd;
    for (int i = 0; i < 6; ++i) {
        x *= 2 - odd * x;
    }
    return x;
}
constexpr std::uint64_t shift_mix(std::uint64_t v) {
    return v ^ (v >> 47);
}
inline constexpr std::uint64_t kStdMul = 0xc6a4a7935bd1e995ULL;
inline constexpr std::uint64_t kStdSeed = 0xc70f6907ULL;
}  // namespace detail

// `count` names with distinct FxHash values, all congruent to `residue` modulo `modulus`
// and all below 2^50, so that they share shard 0 of any map of up to 128 shards and one
// bucket of a table of `modulus` buckets keyed by the hash value. Each is two words: the
// second is solved from the first so that the hash comes out as wanted.
inline std::vector<std::string> bucket_sharing_names(std::size_t count, std::uint64_t modulus,
                                                     std::uint64_t residue = 7) {
    constexpr std::uint64_t kInv = detail::inverse(hash::kFxMultiplier);
    std::vector<std::string> names;
    names.reserve(count);
    for (std::uint64_t i = 0; i < count; ++i) {
        const std::uint64_t fx = residue + (i + 1) * modulus;
        const std::uint64_t h2 = std::rotr((fx * kInv) ^ 0xFF, 5);
        const std::uint64_t w1 = 0x2d74656b63756200ULL + i;
        const std::uint64_t w2 = std::rotl(w1 * hash::kFxMultiplier, 5) ^ (h2 * kInv);
        names.push_back(detail::two_words(w1, w2));
    }
    return names;
}

// `count` 16-byte names that share one libstdc++ std::hash value: a block k enters that
// hash as h = (h ^ f(k)) * M with f invertible, so the second block is solved from the
// first to bring every name to one state.
inline std::vector<std::string> std_hash_colliding_names(std::size_t count) {
    using detail::kStdMul;
    using detail::shift_mix;
    constexpr std::uint64_t kInv = detail::inverse(kStdMul);
    constexpr std::uint64_t kTarget = 0x6b61727661313233ULL;
    const auto f = [](std::uint64_t k) { return shift_mix(k * kStdMul) * kStdMul; };
    const auto f_inverse = [](std::uint64_t y) { return shift_mix(y * kInv) * kInv; };
    const std::uint64_t start = detail::kStdSeed ^ (16 * kStdMul);
    std::vector<std::string> names;
    names.reserve(count);
    for (std::uint64_t i = 0; i < count; ++i) {
        const std::uint64_t w1 = 0x2d6873616800ULL + i;
        const std::uint64_t w2 = f_inverse((kTarget * kInv) ^ ((start ^ f(w1)) * kStdMul));
        names.push_back(detail::two_words(w1, w2));
    }
    return names;
}

// `count` 32-byte ASCII names (so valid UTF-8, as names arriving from Python are) that
// share one libstdc++ std::hash value. Two halves meet in the middle: each first half
// takes the start state to one middle state, each second half takes that to one end
// state, and every first half goes with every second half. A half is a random printable
// block and the block solved from it, kept when the solved block is ASCII too.
inline std::vector<std::string> std_hash_colliding_ascii_names(std::size_t count) {
    using detail::kStdMul;
    using detail::shift_mix;
    constexpr std::uint64_t kInv = detail::inverse(kStdMul);
    const auto f = [](std::uint64_t k) { return shift_mix(k * kStdMul) * kStdMul; };
    const auto f_inverse = [](std::uint64_t y) { return shift_mix(y * kInv) * kInv; };
    std::uint64_t random = 0x6b6172766f;  // splitmix64: fixed names from run to run
    const auto next = [&random] {
        std::uint64_t z = (random += 0x9e3779b97f4a7c15ULL);
        z = (z ^ (z >> 30)) * 0xbf58476d1ce4e5b9ULL;
        z = (z ^ (z >> 27)) * 0x94d049bb133111ebULL;
        return z ^ (z >> 31);
    };
    const auto halves = [&](std::uint64_t state, std::uint64_t target, std::size_t wanted) {
        std::vector<std::string> found;
        while (found.size() < wanted) {
            std::uint64_t a = 0;
            for (int b = 0; b < 8; ++b) {
                a |= (0x20 + next() % 0x5F) << (8 * b);
            }
            const std::uint64_t b = f_inverse((target * kInv) ^ ((state ^ f(a)) * kStdMul));
            if ((b & 0x8080808080808080ULL) == 0) {
                found.push_back(detail::two_words(a, b));
            }
        }
        return found;
    };
    std::size_t side = 1;
    while (side * side < count) {
        ++side;
    }
    const std::uint64_t middle = next();
    const std::vector<std::string> first = halves(detail::kStdSeed ^ (32 * kStdMul), middle, side);
    const std::vector<std::string> second = halves(middle, next(), side);
    std::vector<std::string> names;
    names.reserve(count);
    for (std::size_t i = 0; i < count; ++i) {
        names.push_back(first[i / side] + second[i % side]);
    }
    return names;
}

// The reproductions of the hostile-name reports, `count` names each.
struct HostileFamily {
    const char* what;
    std::vector<std::string> names;
};
inline std::vector<HostileFamily> hostile_families(std::size_t count) {
    // 5087 is a bucket count libstdc++'s tables pass through on their way to ~5000 names.
    return {{"one FxHash", colliding_names(count)},
            {"one shard and one FxHash bucket", bucket_sharing_names(count, 5087)},
            {"one std::hash", std_hash_colliding_names(count)}};
}

}  // namespace profiler::testing
