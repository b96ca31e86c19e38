// Byte-exact output of the JSON writer: escaping, integers, the double text form and
// object framing.
#include "report/json_writer.h"

#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <limits>
#include <optional>
#include <ostream>
#include <random>
#include <string>
#include <string_view>

namespace {

using report::Buffer;

std::string string_text(std::string_view text) {
    Buffer out;
    report::write_string(out, text);
    return out;
}

std::string double_text(std::optional<double> value) {
    Buffer out;
    report::write_optional_double(out, value);
    return out;
}

// ---- Doubles -------------------------------------------------------------------------

struct DoubleCase {
    double value;
    const char* text;
};

void PrintTo(const DoubleCase& c, std::ostream* os) {
    *os << c.text;
}

class DoubleTextTest : public testing::TestWithParam<DoubleCase> {};

TEST_P(DoubleTextTest, WritesExactText) {
    EXPECT_EQ(double_text(GetParam().value), GetParam().text);
}

// The report's number table.
INSTANTIATE_TEST_SUITE_P(
    NumberTable, DoubleTextTest,
    testing::Values(DoubleCase{0.0, "0.0"}, DoubleCase{-0.0, "-0.0"}, DoubleCase{1.0, "1.0"},
                    DoubleCase{-2.0, "-2.0"}, DoubleCase{0.5, "0.5"}, DoubleCase{1.5, "1.5"},
                    DoubleCase{0.1, "0.1"}, DoubleCase{100.0, "100.0"},
                    DoubleCase{123456.789, "123456.789"}, DoubleCase{123456789.0, "123456789.0"},
                    DoubleCase{9007199254740992.0, "9007199254740992.0"},
                    DoubleCase{1e15, "1000000000000000.0"}, DoubleCase{1e16, "1e+16"},
                    DoubleCase{1.5e16, "1.5e+16"},
                    DoubleCase{18446744073709551616.0, "1.8446744073709552e+19"},
                    DoubleCase{1.7976931348623157e308, "1.7976931348623157e+308"},
                    DoubleCase{0.00001, "0.00001"}, DoubleCase{0.000015, "0.000015"},
                    DoubleCase{0.000001, "1e-6"}, DoubleCase{1.5e-7, "1.5e-7"},
                    DoubleCase{5e-324, "5e-324"}));

// Where plain notation ends, and the longest texts the scratch buffer must hold.
INSTANTIATE_TEST_SUITE_P(
    Boundaries, DoubleTextTest,
    testing::Values(DoubleCase{9999999999999998.0, "9999999999999998.0"},
                    DoubleCase{1000000000000000.5, "1000000000000000.5"},
                    DoubleCase{1234567890123456.8, "1234567890123456.8"},
                    DoubleCase{0.000009, "9e-6"}, DoubleCase{0.0000099, "9.9e-6"},
                    DoubleCase{-0.00001, "-0.00001"},
                    DoubleCase{1.2345678901234568e-5, "0.000012345678901234568"},
                    DoubleCase{-1.2345678901234568e-5, "-0.000012345678901234568"},
                    DoubleCase{-1.2345678901234567e-100, "-1.2345678901234567e-100"},
                    DoubleCase{-2.2250738585072014e-308, "-2.2250738585072014e-308"},
                    DoubleCase{1e100, "1e+100"}, DoubleCase{1e-10, "1e-10"},
                    DoubleCase{1.0000000000000002, "1.0000000000000002"},
                    DoubleCase{0.30000000000000004, "0.30000000000000004"},
                    DoubleCase{-5e-324, "-5e-324"}, DoubleCase{123.0, "123.0"},
                    DoubleCase{1e21, "1e+21"}, DoubleCase{12e20, "1.2e+21"}));

TEST(DoubleText, NonFiniteAndAbsentAreNull) {
    const double inf = std::numeric_limits<double>::infinity();
    const double nan = std::numeric_limits<double>::quiet_NaN();
    for (std::optional<double> v :
         {std::optional<double>{}, std::optional<double>{nan}, std::optional<double>{-nan},
          std::optional<double>{inf}, std::optional<double>{-inf},
          std::optional<double>{std::numeric_limits<double>::signaling_NaN()}}) {
        EXPECT_EQ(double_text(v), "null");
    }
}

// The digits and decimal exponent found by trial printing, the slow way: the first
// precision whose correctly rounded text reads back as the same double.
struct Reference {
    std::string digits;
    int exponent = 0;
};

Reference trial_digits(double magnitude) {
    char text[64];
    for (int precision = 1; precision <= 17; ++precision) {
        std::snprintf(text, sizeof text, "%.*e", precision - 1, magnitude);
        if (std::strtod(text, nullptr) == magnitude) {
            break;
        }
    }
    Reference r;
    const char* p = text;
    for (; *p != 'e'; ++p) {
        if (*p != '.') {
            r.digits.push_back(*p);
        }
    }
    r.exponent = std::atoi(p + 1);
    while (r.digits.size() > 1 && r.digits.back() == '0') {
        r.digits.pop_back();
    }
    return r;
}

// Takes a text written by the writer apart, checking its shape on the way: returns the
// digits without leading and trailing zeros and the exponent of the first digit.
Reference parse_text(std::string_view text) {
    Reference r;
    if (text.front() == '-') {
        text.remove_prefix(1);
    }
    const auto e = text.find('e');
    if (e != std::string_view::npos) {
        std::string_view mantissa = text.substr(0, e);
        std::string_view exponent = text.substr(e + 1);
        EXPECT_TRUE(exponent[0] == '+' || exponent[0] == '-') << text;
        EXPECT_NE(exponent[1], '0') << "leading zero in exponent: " << text;
        EXPECT_NE(mantissa.substr(mantissa.size() > 1 ? mantissa.size() - 2 : 0), ".0") << text;
        r.digits.push_back(mantissa[0]);
        if (mantissa.size() > 1) {
            EXPECT_EQ(mantissa[1], '.') << text;
            r.digits.append(mantissa.substr(2));
        }
        r.exponent = std::atoi(std::string(exponent).c_str());
        return r;
    }
    const auto dot = text.find('.');
    EXPECT_NE(dot, std::string_view::npos) << "plain text without a point: " << text;
    EXPECT_LT(dot + 1, text.size()) << text;
    std::string all(text.substr(0, dot));
    all.append(text.substr(dot + 1));
    const auto first = all.find_first_not_of('0');
    r.digits = all.substr(first);
    while (r.digits.size() > 1 && r.digits.back() == '0') {
        r.digits.pop_back();
    }
    r.exponent = static_cast<int>(dot) - 1 - static_cast<int>(first);
    return r;
}

// Checks one double's text: it reads back as the same double, uses the notation its
// exponent calls for, and carries the trial-printed digits unless the writer found a
// shorter text that also reads back.
void expect_agrees_with_trial_printing(double v) {
    const std::string text = double_text(v);
    ASSERT_EQ(std::bit_cast<std::uint64_t>(std::strtod(text.c_str(), nullptr)),
              std::bit_cast<std::uint64_t>(v))
        << text;
    ASSERT_EQ(text[0] == '-', std::signbit(v)) << text;
    const Reference want = trial_digits(std::fabs(v));
    const Reference got = parse_text(text);
    ASSERT_LE(got.digits.size(), want.digits.size()) << text;
    if (got.digits.size() == want.digits.size()) {
        ASSERT_EQ(got.digits, want.digits) << text;
        ASSERT_EQ(got.exponent, want.exponent) << text;
    }
    const bool plain = text.find('e') == std::string::npos;
    ASSERT_EQ(plain, got.exponent >= -5 && got.exponent <= 15) << text;
}

// Random bit patterns cover every magnitude; most of them fall outside plain notation.
TEST(DoubleText, RandomBitPatternsAgreeWithTrialPrinting) {
    std::mt19937_64 rng(20261210);
    for (int i = 0; i < 100000; ++i) {
        const double v = std::bit_cast<double>(rng());
        if (std::isfinite(v) && v != 0.0) {
            expect_agrees_with_trial_printing(v);
        }
    }
}

// Values from 1e-8 to 1e17, across both ends of plain notation.
TEST(DoubleText, PlainRangeAgreesWithTrialPrinting) {
    std::mt19937_64 rng(4041);
    std::uniform_real_distribution<double> unit(0.1, 1.0);
    for (int i = 0; i < 100000; ++i) {
        const int scale = static_cast<int>(rng() % 26) - 7;
        const double v = unit(rng) * std::pow(10.0, scale);
        expect_agrees_with_trial_printing(i % 2 ? v : -v);
    }
}

// ---- Unsigned integers ---------------------------------------------------------------

TEST(U64Text, WritesDecimalDigits) {
    const struct {
        std::uint64_t value;
        const char* text;
    } cases[] = {
        {0, "0"},
        {7, "7"},
        {10, "10"},
        {4294967296u, "4294967296"},
        {10000000000000000000u, "10000000000000000000"},
        {std::numeric_limits<std::uint64_t>::max(), "18446744073709551615"},
    };
    for (const auto& c : cases) {
        Buffer out;
        report::write_u64(out, c.value);
        EXPECT_EQ(out, c.text);
    }
}

// ---- Strings -------------------------------------------------------------------------

// Every byte value on its own, against the escaping rules written out independently of
// the writer's table.
TEST(StringText, EscapesEachByteByItsRule) {
    for (int b = 0; b < 256; ++b) {
        std::string body;
        switch (b) {
            case 0x08:
                body = "\\b";
                break;
            case 0x09:
                body = "\\t";
                break;
            case 0x0A:
                body = "\\n";
                break;
            case 0x0C:
                body = "\\f";
                break;
            case 0x0D:
                body = "\\r";
                break;
            case 0x22:
                body = "\\\"";
                break;
            case 0x5C:
                body = "\\\\";
                break;
            default:
                if (b < 0x20) {
                    char hex[8];
                    std::snprintf(hex, sizeof hex, "\\u%04x", b);
                    body = hex;
                } else {
                    body = std::string(1, static_cast<char>(b));
                }
        }
        const std::string input(1, static_cast<char>(b));
        EXPECT_EQ(string_text(input), "\"" + body + "\"") << "byte " << b;
    }
}

TEST(StringText, WritesKeysExactly) {
    const struct {
        std::string_view input;
        const char* text;
    } cases[] = {
        {"", R"("")"},
        {"abc", R"("abc")"},
        {"a\"b", R"("a\"b")"},
        {"a\tb", R"("a\tb")"},
        {"\x1f", R"("\u001f")"},
        {"\x0b", R"("\u000b")"},
        {std::string_view("\0", 1), R"("\u0000")"},
        {"a/b", R"("a/b")"},
        {"\x7f", "\"\x7f\""},
        {"caf\xc3\xa9 \xe6\x97\xa5\xf0\x9f\x98\x80",
         "\"caf\xc3\xa9 \xe6\x97\xa5\xf0\x9f\x98\x80\""},
        {"\xff\xfe", "\"\xff\xfe\""},
        // Runs between escapes, escapes at both ends and side by side.
        {"\nab\"cd\\\\ef\r", R"("\nab\"cd\\\\ef\r")"},
        {"\"\"", R"("\"\"")"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(string_text(c.input), c.text);
    }
}

TEST(StringText, AppendsToWhatIsThere) {
    Buffer out = "x";
    report::write_string(out, "a\nb");
    EXPECT_EQ(out, "x\"a\\nb\"");
}

// ---- Objects -------------------------------------------------------------------------

TEST(ObjectText, EmptyObject) {
    Buffer out;
    report::ObjectWriter(out).finish();
    EXPECT_EQ(out, "{}");
}

TEST(ObjectText, SeparatesMembersWithCommas) {
    Buffer out;
    report::ObjectWriter object(out);
    object.key("");
    report::write_u64(out, 1);
    object.key("a\"b");
    report::write_optional_double(out, std::nullopt);
    object.key("c");
    report::write_string(out, "d");
    object.finish();
    EXPECT_EQ(out, R"({"":1,"a\"b":null,"c":"d"})");
}

// The report's shape: an object of column objects, each with its five members in order.
TEST(ObjectText, NestedColumnObjects) {
    Buffer out;
    report::ObjectWriter columns(out);
    const struct {
        const char* name;
        std::uint64_t total, nulls, estimate;
        std::optional<double> min, max;
    } rows[] = {{"a", 2, 1, 1, 1.0, 1.0}, {"b", 1, 0, 1, std::nullopt, std::nullopt}};
    for (const auto& r : rows) {
        columns.key(r.name);
        report::ObjectWriter column(out);
        column.key("total_count");
        report::write_u64(out, r.total);
        column.key("null_count");
        report::write_u64(out, r.nulls);
        column.key("min_val");
        report::write_optional_double(out, r.min);
        column.key("max_val");
        report::write_optional_double(out, r.max);
        column.key("estimated_cardinality");
        report::write_u64(out, r.estimate);
        column.finish();
    }
    columns.finish();
    EXPECT_EQ(out, R"({"a":{"total_count":2,"null_count":1,"min_val":1.0,"max_val":1.0,)"
                   R"("estimated_cardinality":1},"b":{"total_count":1,"null_count":0,)"
                   R"("min_val":null,"max_val":null,"estimated_cardinality":1}})");
}

}  // namespace
