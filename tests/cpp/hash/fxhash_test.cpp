#include "hash/fxhash.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <string_view>

#include "hash_test_support.h"

namespace {

using hash::fx_hash;
using hash::fx_step;

std::string bytes_from_hex(const std::string& hex) {
    std::string bytes;
    for (std::size_t i = 0; i + 1 < hex.size(); i += 2) {
        bytes.push_back(static_cast<char>(std::stoi(hex.substr(i, 2), nullptr, 16)));
    }
    return bytes;
}

TEST(FxHash, WorkedValues) {
    EXPECT_EQ(fx_hash(""), 0x2b44f56ffae88a6bULL);
    EXPECT_EQ(fx_hash("a"), 0xaa44c3c5b8e22affULL);
    EXPECT_EQ(fx_hash("abc"), 0x32061e1b06958893ULL);
    EXPECT_EQ(fx_hash("abcdefghijk"), 0x150f87a4d9fd6ae0ULL);
}

// Every tail length 0..7 after the 8-byte groups, bytes above 0x7f, an inner NUL.
TEST(FxHash, ReferenceTexts) {
    const auto rows = hash_test::read_tsv("fxhash_text.tsv");
    ASSERT_EQ(rows.size(), 21u);
    for (const auto& row : rows) {
        ASSERT_EQ(row.size(), 2u);
        const std::string text = bytes_from_hex(row[0]);
        EXPECT_EQ(fx_hash(text), hash_test::parse_hex64(row[1])) << "text hex " << row[0];
    }
}

// The text hash is word steps over little-endian groups; one step on a 64-bit word is the
// same step a full group takes.
TEST(FxHash, TextIsStepsOverLittleEndianWords) {
    const std::uint64_t group = 0x6867666564636261ULL;  // "abcdefgh"
    EXPECT_EQ(fx_hash("abcdefgh"), fx_step(fx_step(0, group), 0xFF));
    EXPECT_EQ(fx_hash("abcdefghijklm"),
              fx_step(fx_step(fx_step(fx_step(0, group), 0x6c6b6a69), 0x6d), 0xFF));
    EXPECT_EQ(fx_step(0, 1), hash::kFxMultiplier);
}

TEST(FxHash, StringHasherFindsByView) {
    hash::FxStringHash hasher;
    const std::string owned = "column";
    EXPECT_EQ(hasher(owned), hasher(std::string_view("column")));
    EXPECT_EQ(hasher(owned), static_cast<std::size_t>(fx_hash("column")));
}

}  // namespace
