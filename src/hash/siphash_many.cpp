#include "hash/siphash_many.h"

#include <cstddef>

#if defined(__x86_64__) && defined(__GNUC__)
#define KARVO_SIPHASH_LANES 1
#include <immintrin.h>
#else
#define KARVO_SIPHASH_LANES 0
#endif

namespace hash {

namespace {

#if KARVO_SIPHASH_LANES

// Rotations of every lane left by R bits. By 16 and 32 bits they move whole bytes, one
// shuffle each; the others take two shifts and an or.
template <int R>
[[gnu::target("avx2"), gnu::always_inline]] inline __m256i rotl(__m256i x) {
    if constexpr (R == 32) {
        return _mm256_shuffle_epi32(x, 0xB1);  // swap the 32-bit halves of each lane
    } else if constexpr (R == 16) {
        // byte i of the result is byte (i - 2) mod 8 of the same lane
        const __m256i order =
            _mm256_setr_epi8(6, 7, 0, 1, 2, 3, 4, 5, 14, 15, 8, 9, 10, 11, 12, 13, 6, 7, 0, 1, 2, 3,
                             4, 5, 14, 15, 8, 9, 10, 11, 12, 13);
        return _mm256_shuffle_epi8(x, order);
    } else {
        return _mm256_or_si256(_mm256_slli_epi64(x, R), _mm256_srli_epi64(x, 64 - R));
    }
}

struct LaneState {
    __m256i v0, v1, v2, v3;
};

// The round of detail::SipState, in the same order of operations.
[[gnu::target("avx2"), gnu::always_inline]] inline void round(LaneState& s) {
    s.v0 = _mm256_add_epi64(s.v0, s.v1);
    s.v1 = rotl<13>(s.v1);
    s.v1 = _mm256_xor_si256(s.v1, s.v0);
    s.v0 = rotl<32>(s.v0);
    s.v2 = _mm256_add_epi64(s.v2, s.v3);
    s.v3 = rotl<16>(s.v3);
    s.v3 = _mm256_xor_si256(s.v3, s.v2);
    s.v0 = _mm256_add_epi64(s.v0, s.v3);
    s.v3 = rotl<21>(s.v3);
    s.v3 = _mm256_xor_si256(s.v3, s.v0);
    s.v2 = _mm256_add_epi64(s.v2, s.v1);
    s.v1 = rotl<17>(s.v1);
    s.v1 = _mm256_xor_si256(s.v1, s.v2);
    s.v2 = rotl<32>(s.v2);
}

[[gnu::target("avx2"), gnu::always_inline]] inline void absorb(LaneState& s, __m256i block) {
    s.v3 = _mm256_xor_si256(s.v3, block);
    round(s);
    s.v0 = _mm256_xor_si256(s.v0, block);
}

__m256i broadcast(std::uint64_t x) __attribute__((target("avx2")));
__m256i broadcast(std::uint64_t x) {
    return _mm256_set1_epi64x(static_cast<long long>(x));
}

// Hashes the words of `messages` four at a time; returns how many it hashed (a multiple
// of four).
[[gnu::target("avx2")]] std::size_t hash_lanes(SipKey key, const std::uint64_t* messages,
                                               std::uint64_t* hashes, std::size_t n) {
    const detail::SipState keyed = detail::SipState::keyed(key);
    const __m256i init0 = broadcast(keyed.v0);
    const __m256i init1 = broadcast(keyed.v1);
    const __m256i init2 = broadcast(keyed.v2);
    const __m256i init3 = broadcast(keyed.v3);
    const __m256i length_block = broadcast(detail::kSipLengthBlock);
    const __m256i finish = broadcast(0xff);
    std::size_t i = 0;
    for (; i + 4 <= n; i += 4) {
        const __m256i block = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(messages + i));
        LaneState s{init0, init1, init2, init3};
        absorb(s, block);
        absorb(s, length_block);
        s.v2 = _mm256_xor_si256(s.v2, finish);
        round(s);
        round(s);
        round(s);
        const __m256i h =
            _mm256_xor_si256(_mm256_xor_si256(s.v0, s.v1), _mm256_xor_si256(s.v2, s.v3));
        _mm256_storeu_si256(reinterpret_cast<__m256i*>(hashes + i), h);
    }
    return i;
}

bool has_avx2() {
    static const bool present = __builtin_cpu_supports("avx2");
    return present;
}

#endif

// The hashes of two texts, the rounds of one beside those of the other.
void hash_two_texts(SipKey key, std::string_view a, std::string_view b, std::uint64_t& hash_a,
                    std::uint64_t& hash_b) {
    detail::SipState sa = detail::SipState::keyed(key);
    detail::SipState sb = sa;
    const auto* pa = reinterpret_cast<const unsigned char*>(a.data());
    const auto* pb = reinterpret_cast<const unsigned char*>(b.data());
    const std::size_t blocks_a = a.size() / 8;
    const std::size_t blocks_b = b.size() / 8;
    const std::size_t both = blocks_a < blocks_b ? blocks_a : blocks_b;
    for (std::size_t i = 0; i < both; ++i) {
        sa.absorb(load_le64(pa + 8 * i));
        sb.absorb(load_le64(pb + 8 * i));
    }
    for (std::size_t i = both; i < blocks_a; ++i) {
        sa.absorb(load_le64(pa + 8 * i));
    }
    for (std::size_t i = both; i < blocks_b; ++i) {
        sb.absorb(load_le64(pb + 8 * i));
    }
    sa.absorb(detail::last_text_block(pa, a.size()));
    sb.absorb(detail::last_text_block(pb, b.size()));
    hash_a = sa.finish();
    hash_b = sb.finish();
}

}  // namespace

void siphash13_texts(SipKey key, std::span<const std::string_view> texts,
                     std::span<std::uint64_t> hashes) {
    std::size_t i = 0;
    for (; i + 2 <= texts.size(); i += 2) {
        hash_two_texts(key, texts[i], texts[i + 1], hashes[i], hashes[i + 1]);
    }
    if (i < texts.size()) {
        hashes[i] = siphash13_text(key, texts[i]);
    }
}

bool siphash13_many_uses_lanes() {
#if KARVO_SIPHASH_LANES
    return has_avx2();
#else
    return false;
#endif
}

void siphash13_many(SipKey key, std::span<const std::uint64_t> messages,
                    std::span<std::uint64_t> hashes) {
    std::size_t i = 0;
#if KARVO_SIPHASH_LANES
    if (has_avx2()) {
        i = hash_lanes(key, messages.data(), hashes.data(), messages.size());
    }
#endif
    for (; i < messages.size(); ++i) {
        hashes[i] = siphash13(key, messages[i]);
    }
}

}  // namespace hash
