#include "hash/siphash.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <random>
#include <string_view>
#include <vector>

#include "hash/siphash_many.h"

#include "hash_test_support.h"

namespace {

// Usable at compile time, which also shows the result is free of the machine's state.
static_assert(hash::siphash13({0, 0}, 0) == 0xbd60acb658c79e45ULL);

TEST(SipHash13, ReferenceVectors) {
    const auto rows = hash_test::read_tsv("siphash13_u64.tsv");
    ASSERT_EQ(rows.size(), 24u);
    for (const auto& row : rows) {
        ASSERT_EQ(row.size(), 4u);
        const hash::SipKey key{hash_test::parse_hex64(row[0]), hash_test::parse_hex64(row[1])};
        EXPECT_EQ(hash::siphash13(key, hash_test::parse_hex64(row[2])),
                  hash_test::parse_hex64(row[3]))
            << "k0 " << row[0] << " k1 " << row[1] << " key " << row[2];
    }
}

// A text of 8 bytes hashes as the word they make, least significant byte first: the
// reference rows pin the text form's blocks, length byte and rounds.
TEST(SipHash13Text, EightByteTextEqualsItsWord) {
    for (const auto& row : hash_test::read_tsv("siphash13_u64.tsv")) {
        const hash::SipKey key{hash_test::parse_hex64(row[0]), hash_test::parse_hex64(row[1])};
        const std::uint64_t word = hash_test::parse_hex64(row[2]);
        char text[8];
        for (int i = 0; i < 8; ++i) {
            text[i] = static_cast<char>(word >> (8 * i));
        }
        EXPECT_EQ(hash::siphash13_text(key, std::string_view(text, 8)),
                  hash_test::parse_hex64(row[3]))
            << "key " << row[2];
    }
}

// Many words at once give each word's own hash: the reference rows, whose keys differ,
// one row at a time; and runs of every length up to a few lane groups (so that each
// remainder after the groups of four occurs) under one key.
TEST(SipHash13Many, EqualsOneWordAtATime) {
    for (const auto& row : hash_test::read_tsv("siphash13_u64.tsv")) {
        const hash::SipKey key{hash_test::parse_hex64(row[0]), hash_test::parse_hex64(row[1])};
        const std::vector<std::uint64_t> words(5, hash_test::parse_hex64(row[2]));
        std::vector<std::uint64_t> hashes(words.size());
        hash::siphash13_many(key, words, hashes);
        for (std::uint64_t h : hashes) {
            EXPECT_EQ(h, hash_test::parse_hex64(row[3])) << "key " << row[2];
        }
    }
    std::mt19937_64 random(61);
    const hash::SipKey key{random(), random()};
    for (std::size_t n = 0; n <= 13; ++n) {
        std::vector<std::uint64_t> words(n);
        for (std::uint64_t& word : words) {
            word = random();
        }
        std::vector<std::uint64_t> hashes(n, 0);
        hash::siphash13_many(key, words, hashes);
        for (std::size_t i = 0; i < n; ++i) {
            EXPECT_EQ(hashes[i], hash::siphash13(key, words[i])) << "n " << n << " i " << i;
        }
    }
    RecordProperty("lanes", hash::siphash13_many_uses_lanes() ? "avx2" : "none");
}

}  // namespace
