// encode_utf8: the UTF-8 of code points, byte for byte as Python's strict encoder writes
// it, and no UTF-8 at all for a text holding a surrogate or a code point beyond U+10FFFF.
// valid_utf8 accepts exactly what the encoders write; code_point_count and
// code_point_prefix count and cut as Python's len() and slicing do.

#include "common/utf8.h"

#include <gtest/gtest.h>

#include <algorithm>
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

// Every scalar value's form, and only those: the validator agrees with the encoder over
// the whole code space, and with Python's strict decoder on the classic malformations.
TEST(ValidUtf8, AcceptsExactlyTheEncodersForms) {
    for (char32_t c = 0; c < 0x110000; c += (c < 0x20000 ? 1 : 97)) {
        const std::string bytes = encoded(std::u32string(1, c));
        const bool scalar = c < 0xD800 || c > 0xDFFF;
        ASSERT_EQ(bytes != "<none>", scalar);
        if (scalar) {
            ASSERT_TRUE(common::valid_utf8(bytes)) << std::hex << static_cast<std::uint32_t>(c);
            std::string appended;
            common::append_utf8(appended, c);
            ASSERT_EQ(appended, bytes);
        }
    }
    const std::string_view refused[] = {
        "\x80"sv,                  // a continuation byte alone
        "\xC0\x80"sv,              // an overlong NUL
        "\xC1\xBF"sv,              // an overlong ASCII
        "\xE0\x9F\xBF"sv,          // an overlong three-byte form
        "\xF0\x8F\xBF\xBF"sv,      // an overlong four-byte form
        "\xED\xA0\x80"sv,          // a surrogate, U+D800
        "\xED\xBF\xBF"sv,          // a surrogate, U+DFFF
        "\xF4\x90\x80\x80"sv,      // beyond U+10FFFF
        "\xF8\x88\x80\x80\x80"sv,  // a five-byte form
        "\xE4\xB8"sv,              // cut inside a character
        "a\xC3"sv,                 // cut at the end
        "\xC3\x28"sv,              // a non-continuation where one must be
        "\xFF"sv,
    };
    for (const std::string_view text : refused) {
        EXPECT_FALSE(common::valid_utf8(text)) << ::testing::PrintToString(std::string(text));
    }
    EXPECT_TRUE(common::valid_utf8(""sv));
    EXPECT_TRUE(common::valid_utf8("a\0b"sv));
}

// Counting and cutting on random mixed texts: the count is the number of code points
// encoded, and a prefix of k code points is the encoding of the first k.
TEST(CodePoints, CountAndPrefixFollowTheCodePoints) {
    std::mt19937 random(13);
    const char32_t pool[] = {0x41, 0xE9, 0x7FF, 0x800, 0x4E2D, 0xFFFF, 0x10000, 0x1F600, 0x10FFFF};
    for (int round = 0; round < 2000; ++round) {
        std::u32string text;
        const std::size_t length = random() % 30;
        for (std::size_t i = 0; i < length; ++i) {
            text.push_back(random() % 2 ? char32_t(0x20 + random() % 0x5F)
                                        : pool[random() % std::size(pool)]);
        }
        const std::string bytes = encoded(text);
        ASSERT_EQ(common::code_point_count(bytes), text.size());
        const std::size_t k = random() % (text.size() + 3);
        const std::string expected = encoded(text.substr(0, std::min(k, text.size())));
        ASSERT_EQ(common::code_point_prefix(bytes, k), expected) << round << " " << k;
    }
}

}  // namespace
