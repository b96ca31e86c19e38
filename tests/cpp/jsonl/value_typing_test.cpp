// Each line's values typed as json.loads followed by the row reader types them. Every case
// runs twice: as written (the SIMD parser reads most of them), and with a NaN member put
// in front, which the SIMD parser refuses, so the exact parser reads the same values.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <deque>
#include <limits>
#include <string>
#include <utility>
#include <vector>

#include "jsonl_test_support.h"

namespace jsonl {
namespace {

using profiler::TypedValue;
using testing::expected_part;
using testing::RecordedBatch;
using testing::Recorder;

using Row = std::vector<std::pair<std::string, TypedValue>>;

struct TypingCase {
    std::string line;
    Row row;  // the columns in order of first appearance, each with its value
};

constexpr double kInf = std::numeric_limits<double>::infinity();

TypedValue i(std::int64_t v) {
    return TypedValue::from_int(v);
}
TypedValue f(double v) {
    return TypedValue::from_float(v);
}
TypedValue s(std::string_view v) {
    return TypedValue::from_str(v);
}
TypedValue null() {
    return TypedValue::null();
}

const std::string kHugeInt = "1" + std::string(400, '0');  // beyond a double: Null
// 2^1024 - 2^970: halfway between the largest double and 2^1024, which rounds to even,
// that is up, and overflows.
const std::string kHalfwayToOverflow =
    "179769313486231580793728971405303415079934132710037826936173778980444968292764750946649017"
    "977587207096330286416692887910946555547851940402630657488671505820681908902000708383676273"
    "854845817711531764475730270069855571366959622842914819860834936475292719074168444365510704"
    "342711559699508093042880177904174497792";
// One less: rounds down to the largest double.
const std::string kBelowHalfway = kHalfwayToOverflow.substr(0, 308) + "1";

// More members than a row has room for at first, texts among them, one key repeated.
TypingCase wide_row() {
    TypingCase c{"{", {}};
    for (int k = 0; k < 40; ++k) {
        const std::string name = "k" + std::to_string(k);
        c.line +=
            "\"" + name + "\":" + (k % 3 == 0 ? std::to_string(k) : "\"v" + name + "\"") + ",";
    }
    c.line += R"("k1":"last"})";
    for (int k = 0; k < 40; ++k) {
        static std::deque<std::string> texts;  // the values' storage, for the views below
        texts.push_back(k == 1 ? "last" : "vk" + std::to_string(k));
        c.row.emplace_back("k" + std::to_string(k), k % 3 == 0 ? i(k) : s(texts.back()));
    }
    return c;
}

std::vector<TypingCase> typing_cases() {
    return {
        // Integers within 64 bits are ints; an int no double holds keeps its identity.
        {R"({"a":0,"b":-0,"c":9223372036854775807,"d":-9223372036854775808})",
         {{"a", i(0)}, {"b", i(0)}, {"c", i(INT64_MAX)}, {"d", i(INT64_MIN)}}},
        {R"({"a":9007199254740993,"b":-9007199254740993})",
         {{"a", i(9007199254740993)}, {"b", i(-9007199254740993)}}},
        // Beyond 64 bits: the nearest double, or Null beyond a double's range.
        {R"({"a":9223372036854775808,"b":-9223372036854775809})",
         {{"a", f(9223372036854775808.0)}, {"b", f(-9223372036854775808.0)}}},
        {R"({"a":18446744073709551616,"b":123456789012345678901234567890})",
         {{"a", f(18446744073709551616.0)}, {"b", f(1.2345678901234568e29)}}},
        // 2^64 + 2^11 + 1: above the halfway point between two doubles, so it rounds up.
        {R"({"a":18446744073709553665})", {{"a", f(18446744073709555712.0)}}},
        {R"({"a":)" + kHugeInt + R"(,"b":-)" + kHugeInt + "}", {{"a", null()}, {"b", null()}}},
        {R"({"a":)" + kHalfwayToOverflow + R"(,"b":)" + kBelowHalfway + "}",
         {{"a", null()}, {"b", f(std::numeric_limits<double>::max())}}},
        // Fractions and exponents are floats, correctly rounded; 1.0 keys as 1.
        {R"({"a":1.0,"b":-0.0,"c":1E2,"d":2.5e-3,"e":0.1,"f":1e+2})",
         {{"a", f(1.0)},
          {"b", f(-0.0)},
          {"c", f(100.0)},
          {"d", f(2.5e-3)},
          {"e", f(0.1)},
          {"f", f(100.0)}}},
        {R"({"a":1e400,"b":-1e400,"c":1e-400,"d":-1e-400,"e":4.9e-324})",
         {{"a", f(kInf)},
          {"b", f(-kInf)},
          {"c", f(0.0)},
          {"d", f(-0.0)},
          {"e", f(4.9406564584124654e-324)}}},
        // The same number as a float literal rounds to infinity instead.
        {R"({"a":)" + kHalfwayToOverflow + ".0}", {{"a", f(kInf)}}},
        // The bools are ints; null, arrays and objects are Null.
        {R"({"t":true,"f":false,"n":null,"l":[1,"x",{"y":[]}],"o":{"p":1},"e":[]})",
         {{"t", i(1)}, {"f", i(0)}, {"n", null()}, {"l", null()}, {"o", null()}, {"e", null()}}},
        // json.loads's constants: NaN is Null, the infinities are floats; nested, Null.
        {R"({"a":NaN,"b":Infinity,"c":-Infinity,"d":[NaN,-Infinity,1e999]})",
         {{"a", null()}, {"b", f(kInf)}, {"c", f(-kInf)}, {"d", null()}}},
        // Escapes are decoded; texts may hold NUL bytes; keys too.
        {R"({"a":"q\"b\\s\/b\bf\fn\nr\rt\t","b":"\u00e9\u4e2d","c":"\ud83d\ude00","d":"\u0000"})",
         {{"a", s("q\"b\\s/b\bf\fn\nr\rt\t")},
          {"b", s("\xC3\xA9\xE4\xB8\xAD")},
          {"c", s("\xF0\x9F\x98\x80")},
          {"d", s(std::string_view("\0", 1))}}},
        {"{\"\xC3\xA9\":\"\xC3\xBC\",\"k\\u0041\":\"\",\"\":\"x\x7F\"}",
         {{"\xC3\xA9", s("\xC3\xBC")}, {"kA", s("")}, {"", s("x\x7F")}}},
        // An escaped lone surrogate leaves a text with no UTF-8 form: Null.
        {R"({"a":"\ud800","b":"x\udc00","c":"\ud800\u0041","d":"\udc00\ud800","e":"\ud800\ud800\udc00"})",
         {{"a", null()}, {"b", null()}, {"c", null()}, {"d", null()}, {"e", null()}}},
        // Texts are never numbers.
        {R"({"a":"12","b":"NaN","c":"true"})", {{"a", s("12")}, {"b", s("NaN")}, {"c", s("true")}}},
        // A repeated key keeps its last value and its first place.
        {R"({"a":1,"b":2,"a":"x"})", {{"a", s("x")}, {"b", i(2)}}},
        {R"({"a":"x","b":2,"a":"\ud800","a":3.5})", {{"a", f(3.5)}, {"b", i(2)}}},
        {R"({"a":"x","a":"\ud800"})", {{"a", null()}}},
        // A text replaced by a number, and a text by a text: the later value's key.
        {R"({"a":"x","b":"y","a":5,"b":"z","c":"v","c":null})",
         {{"a", i(5)}, {"b", s("z")}, {"c", null()}}},
        wide_row(),
        // Whitespace around and inside the value.
        {" \t{ \"a\" : 1 , \"b\" :\t[ ] }\t \r", {{"a", i(1)}, {"b", null()}}},
        {"{}", {}},
    };
}

// The line with a NaN member first, which sends it to the exact parser.
TypingCase through_exact_parser(const TypingCase& c) {
    TypingCase forced = c;
    const std::size_t brace = c.line.find('{');
    const bool empty = c.line.find_first_not_of(" \t\r", brace + 1) == c.line.find('}');
    forced.line.insert(brace + 1, empty ? R"("~":NaN)" : R"("~":NaN,)");
    forced.row.insert(forced.row.begin(), {"~", null()});
    return forced;
}

void check_typing(const TypingCase& c) {
    SCOPED_TRACE(c.line);
    Recorder recorder;
    const ReadResult result = testing::read_recorded(c.line, recorder);
    EXPECT_EQ(result.rows, 1u);
    EXPECT_EQ(result.bad_lines, 0u);
    for (const BadLine& bad : result.first_bad) {
        ADD_FAILURE() << "bad line: " << bad.reason;
    }
    RecordedBatch expected;
    for (const auto& [name, value] : c.row) {
        expected.push_back(expected_part(name, {value}));
    }
    ASSERT_EQ(recorder.batches().size(), 1u);
    EXPECT_EQ(recorder.batches()[0], expected);
}

TEST(ValueTyping, AsJsonLoadsAndTheRowReader) {
    for (const TypingCase& c : typing_cases()) {
        check_typing(c);
    }
}

TEST(ValueTyping, ExactParserTypesAlike) {
    for (const TypingCase& c : typing_cases()) {
        check_typing(through_exact_parser(c));
    }
}

// A row's cells are written in place over the row before's: each column here changes its
// kind from row to row (a text after a number, a number after a text, a text replaced by a
// number within its row), so any part of a cell left from the row before shows. Read as
// written, and with every line sent to the exact parser.
TEST(ValueTyping, ARowKeepsNothingOfTheRowBefore) {
    const std::vector<std::string> lines = {
        R"({"a":"x","b":1,"c":true})",
        R"({"a":2,"b":"y","c":null})",
        R"({"c":"z","a":null,"b":[1]})",
        R"({"a":"x","b":1.5,"c":2.5})",
        R"({"b":"w","a":"v","a":3,"c":false})",
    };
    const std::vector<std::pair<std::string, std::vector<TypedValue>>> columns = {
        {"a", {s("x"), i(2), null(), s("x"), i(3)}},
        {"b", {i(1), s("y"), null(), f(1.5), s("w")}},
        {"c", {i(1), null(), s("z"), f(2.5), i(0)}},
    };
    for (const bool exact : {false, true}) {
        std::string input;
        for (const std::string& line : lines) {
            input += exact ? R"({"~":NaN,)" + line.substr(1) : line;
            input += "\n";
        }
        SCOPED_TRACE(input);
        Recorder recorder;
        const ReadResult result = testing::read_recorded(input, recorder);
        EXPECT_EQ(result.rows, lines.size());
        RecordedBatch expected;
        if (exact) {
            expected.push_back(expected_part("~", std::vector<TypedValue>(lines.size(), null())));
        }
        for (const auto& [name, values] : columns) {
            expected.push_back(expected_part(name, values));
        }
        ASSERT_EQ(recorder.batches().size(), 1u);
        EXPECT_EQ(recorder.batches()[0], expected);
    }
}

// Keys of one length that differ from a base key in a single byte (the first, the middle
// or the last). Each row swaps the base with another of its variants, so that every
// variant is met where the base was the row before, and the base where a variant was.
// Each key must stay its own column: each key's value is its number.
TEST(ValueTyping, KeysOfOneLengthStayApart) {
    std::vector<std::vector<std::string>> groups;  // a base key, then its variants
    std::vector<std::string> names;
    for (std::size_t size : {1, 2, 3, 4, 5, 7, 8, 9, 12, 16, 17, 24}) {
        std::vector<std::string>& group = groups.emplace_back(1, std::string(size, 'k'));
        for (std::size_t at : {std::size_t{0}, size / 2, size - 1}) {
            std::string variant = group[0];
            variant[at] = static_cast<char>('a' + at % 26);
            if (std::find(group.begin(), group.end(), variant) == group.end()) {
                group.push_back(variant);
            }
        }
        names.insert(names.end(), group.begin(), group.end());
    }
    const std::size_t rows = 12;
    std::string input;
    for (std::size_t r = 0; r < rows; ++r) {
        std::vector<std::string> order;
        for (std::vector<std::string> group : groups) {
            std::swap(group[0], group[1 + r % (group.size() - 1)]);
            order.insert(order.end(), group.begin(), group.end());
        }
        input += "{";
        for (const std::string& name : order) {
            const auto n = std::find(names.begin(), names.end(), name) - names.begin();
            input += (input.back() == '{' ? "\"" : ",\"") + name + "\":" + std::to_string(n);
        }
        input += "}\n";
    }
    Recorder recorder;
    testing::read_recorded(input, recorder);
    ASSERT_EQ(recorder.batches().size(), 1u);
    RecordedBatch batch = recorder.batches()[0];
    ASSERT_EQ(batch.size(), names.size());
    std::sort(batch.begin(), batch.end(),
              [](const auto& a, const auto& b) { return a.min_bits < b.min_bits; });
    for (std::size_t n = 0; n < names.size(); ++n) {
        EXPECT_EQ(batch[n], expected_part(names[n], std::vector<TypedValue>(rows, i(n))));
    }
}

// An integer literal longer than the interpreter's digit limit fails json.loads (even
// nested); without a limit it is just an int beyond a double.
TEST(ValueTyping, IntegerDigitLimit) {
    const std::string at_limit = R"({"a":-)" + std::string(4300, '7') + "}";
    const std::string over_limit = R"({"a":[)" + std::string(4301, '7') + "]}";
    const std::string long_float = R"({"a":)" + std::string(5000, '7') + ".5e-4990}";
    for (const auto& [line, limit, bad] :
         std::vector<std::tuple<std::string, std::size_t, bool>>{{at_limit, 4300, false},
                                                                 {over_limit, 4300, true},
                                                                 {over_limit, 0, false},
                                                                 {long_float, 4300, false}}) {
        Recorder recorder;
        ReadOptions options;
        options.max_int_digits = limit;
        const ReadResult result = testing::read_recorded(line, recorder, options);
        EXPECT_EQ(result.bad_lines, bad ? 1u : 0u) << line.substr(0, 12) << " limit " << limit;
        EXPECT_EQ(result.rows, bad ? 0u : 1u);
    }
    Recorder recorder;
    testing::read_recorded(long_float, recorder);
    ASSERT_EQ(recorder.batches().size(), 1u);
    EXPECT_EQ(recorder.batches()[0][0],
              expected_part(
                  "a", {f(std::strtod((std::string(5000, '7') + ".5e-4990").c_str(), nullptr))}));
}

// An integer in [2^63, 2^64) that no double holds is a Float for the bounds but keeps its
// own key, on both parsers, as an exact int of that value does on the row reader.
TEST(ValueTyping, UnsignedSixtyFourBitIntsKeepTheirValue) {
    for (const char* prefix : {"", R"("~":NaN,)"}) {
        for (const std::uint64_t u : {18446744073709551615ULL, 18446744073709551614ULL,
                                      9223372036854775809ULL, 9223372036854775808ULL}) {
            const std::string line = std::string("{") + prefix + "\"c\":" + std::to_string(u) + "}";
            SCOPED_TRACE(line);
            Recorder recorder;
            testing::read_recorded(line, recorder);
            profiler::ColumnPart part;
            part.add(profiler::wide_unsigned_cell(0, u, testing::kTestKeys));
            ASSERT_EQ(recorder.batches().size(), 1u);
            EXPECT_EQ(recorder.batches()[0].back(), testing::record_part("c", part));
        }
    }
    EXPECT_NE(profiler::wide_unsigned_key(testing::kTestKeys, 18446744073709551615ULL),
              profiler::wide_unsigned_key(testing::kTestKeys, 18446744073709551614ULL));
    // 2^63 is a double's, so it keys as that double, as the signed -2^63 does.
    EXPECT_EQ(profiler::wide_unsigned_key(testing::kTestKeys, 9223372036854775808ULL),
              profiler::float_key(9223372036854775808.0));
}

}  // namespace
}  // namespace jsonl
