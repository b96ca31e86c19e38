// encode_utf8: the UTF-8 of code points, byte for byte as Python's strict encoder writes
// it, and no UTF-8 at all for a text holding a surrogate or a code point beyond U+10FFFF.

#include "common/utf8_encode.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <iterator>
#include <random>
#include <string>
#include <string_view>
#include <vector>

namespace {

using namespace std::string_view_literals;

std::string encoded(std::u32string_view text) {
    std::string out(common::kMaxUtf8Bytes * text.size() + 1, '\xAA');
    const std::size_t size = common::encode_utf8(text, out.data());
    if (size == common::kNoUtf8) {
        return "<none>";
    }
    EXPECT_LE(size, common::kMaxUtf8Bytes * text.size());
    out.resize(size);
    return out;
}

// Each side of every boundary where the form changes, as Python's 'utf-8' codec writes it.
TEST(EncodeUtf8, WritesEachClassBoundaryAsPythonDoes) {
    struct Case {
        char32_t code_point;
        const char* utf8;
    };
    const Case cases[] = {
        {0x0, ""},
        {0x7F, "\x7F"},
        {0x80, "\xC2\x80"},
        {0xE9, "\xC3\xA9"},
        {0x7FF, "\xDF\xBF"},
        {0x800, "\xE0\xA0\x80"},
        {0xD7FF, "\xED\x9F\xBF"},
        {0xE000, "\xEE\x80\x80"},
        {0xFFFD, "\xEF\xBF\xBD"},
        {0xFFFF, "\xEF\xBF\xBF"},
        {0x10000, "\xF0\x90\x80\x80"},
        {0x1F600, "\xF0\x9F\x98\x80"},
        {0x10FFFF, "\xF4\x8F\xBF\xBF"},
    };
    for (const Case& c : cases) {
        const std::u32string text(1, c.code_point);
        const std::string expected = c.code_point == 0 ? std::string(1, '\0') : c.utf8;
        EXPECT_EQ(encoded(text), expected) << std::hex << static_cast<std::uint32_t>(c.code_point);
    }
    // A whole text, NUL included.
    EXPECT_EQ(encoded(U"a\u00e9\u4e2d\U0001F600\0z"sv),
              "a\xC3\xA9\xE4\xB8\xAD\xF0\x9F\x98\x80\0z"sv);
    EXPECT_EQ(encoded(U""), "");
}

// A surrogate anywhere, or a code point past the last, leaves the whole text without UTF-8.
TEST(EncodeUtf8, RefusesSurrogatesAndCodePointsBeyondTheLast) {
    for (const char32_t bad : {char32_t{0xD800}, char32_t{0xDBFF}, char32_t{0xDC00},
                               char32_t{0xDFFF}, char32_t{0x110000}, char32_t{0xFFFFFFFF}}) {
        for (const std::u32string& text :
             {std::u32string(1, bad), U"abc" + std::u32string(1, bad),
              std::u32string(1, bad) + U"\u00e9", U"\U0001F600" + std::u32string(1, bad) + U"x"}) {
            EXPECT_EQ(encoded(text), "<none>") << std::hex << static_cast<std::uint32_t>(bad);
        }
    }
    // A high and a low surrogate next to each other are two code points, not one pair.
    EXPECT_EQ(encoded(U"\xD83D\xDE00"), "<none>");
}

// A decoder written apart from the encoder: the code point of one well-formed sequence.
char32_t decode_one(const std::string& bytes) {
    const auto lead = static_cast<unsigned char>(bytes[0]);
    const std::size_t length = bytes.size();
    char32_t value = length == 1 ? lead : lead & (0x7F >> length);
    for (std::size_t i = 1; i < length; ++i) {
        const auto next = static_cast<unsigned char>(bytes[i]);
        EXPECT_EQ(next & 0xC0, 0x80);
        value = (value << 6) | (next & 0x3F);
    }
    return value;
}

// Every scalar value: one sequence of the shortest length for its class, decoding back to
// it, and sequences in strictly increasing byte order, as the code points are (so no two
// share a form, and none has an overlong one).
TEST(EncodeUtf8, EveryScalarValueRoundTripsInTheShortestForm) {
    std::string previous;
    for (char32_t c = 0; c < 0x110000; ++c) {
        if (c == 0xD800) {
            c = 0xE000;
        }
        const std::string bytes = encoded(std::u32string(1, c));
        const std::size_t length = c < 0x80 ? 1 : c < 0x800 ? 2 : c < 0x10000 ? 3 : 4;
        ASSERT_EQ(bytes.size(), length) << std::hex << static_cast<std::uint32_t>(c);
        ASSERT_EQ(decode_one(bytes), c);
        if (c > 0) {
            ASSERT_LT(previous, bytes) << std::hex << static_cast<std::uint32_t>(c);
        }
        previous = bytes;
    }
}

// A text is the concatenation of its code points' forms, wherever ASCII runs start and end
// (the encoder takes ASCII four at a time) and whatever the mix of lengths.
TEST(EncodeUtf8, TextsAreTheirCodePointsInTurn) {
    std::mt19937 random(7);
    const char32_t pool[] = {0x00,  0x41,   0x7F,   0x80,    0xE9,    0x301,   0x7FF,
                             0x800, 0x4E2D, 0xFFFF, 0x10000, 0x1F600, 0x10FFFF};
    for (int round = 0; round < 2000; ++round) {
        std::u32string text;
        const std::size_t length = random() % 40;
        for (std::size_t i = 0; i < length; ++i) {
            // Mostly ASCII, so runs of every length and alignment come up.
            text.push_back(random() % 3 != 0 ? char32_t(0x20 + random() % 0x5F)
                                             : pool[random() % std::size(pool)]);
        }
        std::string expected;
        for (const char32_t c : text) {
            expected += encoded(std::u32string(1, c));
        }
        ASSERT_EQ(encoded(text), expected) << round;
        // And one surrogate anywhere in it refuses the whole.
        if (!text.empty()) {
            text[random() % text.size()] = 0xD800 + random() % 0x800;
            ASSERT_EQ(encoded(text), "<none>") << round;
        }
    }
}

}  // namespace
