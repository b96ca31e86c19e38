#include "hash/siphash.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <random>
#include <span>
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

// SipHash-1-3 of a text read a byte at a time into its blocks: the plainest reading, to
// check the word loads of the text form against.
std::uint64_t siphash13_text_bytewise(hash::SipKey key, std::string_view text) {
    hash::detail::SipState s = hash::detail::SipState::keyed(key);
    std::uint64_t block = 0;
    for (std::size_t i = 0; i < text.size(); ++i) {
        block |= std::uint64_t{static_cast<unsigned char>(text[i])} << (8 * (i % 8));
        if (i % 8 == 7) {
            s.absorb(block);
            block = 0;
        }
    }
    s.absorb(block | (std::uint64_t{text.size() & 0xFF} << 56));
    return s.finish();
}

// Texts of every length through a few blocks, and past 256 (the length byte wraps), cut
// from a buffer of random bytes at every offset mod 8: the last block's overlapping loads
// must read exactly the text's bytes. Many texts at once, two by two, give each text's own
// hash, for every pairing of lengths (either text may have more blocks) and odd counts.
TEST(SipHash13Text, WordLoadsReadAsBytesDo) {
    std::mt19937_64 random(7);
    std::vector<char> buffer(400);
    for (char& c : buffer) {
        c = static_cast<char>(random());
    }
    const hash::SipKey key{random(), random()};
    std::vector<std::string_view> texts;
    for (std::size_t size : {0,  1,  2,  3,  4,  5,  6,  7,  8,   9,   11,  12,
                             15, 16, 17, 23, 24, 25, 31, 33, 255, 256, 263, 300}) {
        for (std::size_t offset = 0; offset < 8; ++offset) {
            const std::string_view text(buffer.data() + offset, size);
            EXPECT_EQ(hash::siphash13_text(key, text), siphash13_text_bytewise(key, text))
                << "size " << size << " offset " << offset;
            texts.push_back(text);
        }
    }
    std::shuffle(texts.begin(), texts.end(), random);
    for (std::size_t n : {texts.size(), texts.size() - 1, std::size_t{1}, std::size_t{0}}) {
        const std::span<const std::string_view> some(texts.data(), n);
        std::vector<std::uint64_t> hashes(n, 0);
        hash::siphash13_texts(key, some, hashes);
        for (std::size_t i = 0; i < n; ++i) {
            EXPECT_EQ(hashes[i], hash::siphash13_text(key, some[i])) << "n " << n << " i " << i;
        }
    }
}

}  // namespace
