// Arrow columns into a profile: each kind of column, read through BatchConverter, must
// leave the engine as the same values given as typed rows do (the engine's row path,
// which owns the value rules), nulls, offsets and empty batches included.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <functional>
#include <limits>
#include <string>
#include <vector>

#include "arrow/batch_reader.h"
#include "arrow/convert.h"
#include "arrow_builders.h"
#include "../profiler/typed_rows.h"
#include "profiler/engine.h"
#include "profiler/seed_keys.h"

namespace arrow_input {
namespace {

using arrow_test::Node;
using profiler::TypedValue;

const profiler::SeedKeys kKeys = profiler::keys_from_seed(3);

profiler::KarvoEngine fresh_engine() {
    return profiler::KarvoEngine(kKeys.values, kKeys.sketch);
}

std::string read_arrow(Node& batch) {
    const auto engine = fresh_engine();
    const BatchConverter converter(batch.schema);
    EXPECT_EQ(converter.observe(engine, batch.array), static_cast<std::uint64_t>(batch.length));
    return engine.report();
}

// The report of columns holding the given values, in this order, folded value by value
// through the typed values' own path.
std::string read_values(const std::vector<std::pair<std::string, std::vector<TypedValue>>>& columns) {
    const auto engine = fresh_engine();
    profiler::ColumnBatch batch;
    batch.parts.resize(columns.size());
    for (std::size_t c = 0; c < columns.size(); ++c) {
        batch.names.emplace_back(columns[c].first);
        for (const TypedValue& value : columns[c].second) {
            profiler::add_value(batch.parts[c], value, kKeys.values);
        }
    }
    engine.process_columns(batch);
    return engine.report();
}

std::string read_rows(const std::string& name, const std::vector<TypedValue>& values) {
    return read_values({{name, values}});
}

TypedValue I(std::int64_t i) { return TypedValue::from_int(i); }
TypedValue F(double x) { return TypedValue::from_float(x); }
TypedValue S(const char* s) { return TypedValue::from_str(s); }
const TypedValue N = TypedValue::null();

std::uint16_t half(double x) {
    // Enough for the test values: exact halves, built bit by bit.
    if (std::isnan(x)) return 0x7E00;
    if (std::isinf(x)) return x > 0 ? 0x7C00 : 0xFC00;
    if (x == 0) return std::signbit(x) ? 0x8000 : 0;
    const std::uint16_t sign = x < 0 ? 0x8000 : 0;
    int exponent = 0;
    const double m = std::frexp(std::fabs(x), &exponent);  // m in [0.5, 1)
    return static_cast<std::uint16_t>(sign | ((exponent + 14) << 10) |
                                      (static_cast<int>(m * 2048) - 1024));
}

struct KindCase {
    std::string name;
    std::function<std::unique_ptr<Node>()> column;  // named "c"
    std::vector<TypedValue> expected;
};

constexpr auto kMin64 = std::numeric_limits<std::int64_t>::min();
constexpr auto kMax64 = std::numeric_limits<std::int64_t>::max();

double strtod_of(const char* text) { return std::strtod(text, nullptr); }

std::vector<KindCase> kind_cases() {
    using arrow_test::fixed;
    using arrow_test::strings;
    const double inf = std::numeric_limits<double>::infinity();
    return {
        {"int8", [] { return fixed<std::int8_t>("c", "c", {-128, std::nullopt, 127, 0}); },
         {I(-128), N, I(127), I(0)}},
        {"uint8", [] { return fixed<std::uint8_t>("C", "c", {255, std::nullopt, 0}); },
         {I(255), N, I(0)}},
        {"int16", [] { return fixed<std::int16_t>("s", "c", {-32768, 32767, std::nullopt}); },
         {I(-32768), I(32767), N}},
        {"uint16", [] { return fixed<std::uint16_t>("S", "c", {65535, 1}); }, {I(65535), I(1)}},
        {"int32", [] { return fixed<std::int32_t>("i", "c", {std::nullopt, -7, 1 << 30}); },
         {N, I(-7), I(1 << 30)}},
        {"uint32", [] { return fixed<std::uint32_t>("I", "c", {4294967295u, 3}); },
         {I(4294967295LL), I(3)}},
        {"int64", [] { return fixed<std::int64_t>("l", "c", {kMin64, kMax64, std::nullopt, (1LL << 53) + 1}); },
         {I(kMin64), I(kMax64), N, I((1LL << 53) + 1)}},
        {"uint64 below 2^63", [] { return fixed<std::uint64_t>("L", "c", {0, std::uint64_t(kMax64)}); },
         {I(0), I(kMax64)}},
        {"bool", [] { return arrow_test::bools("c", {true, false, std::nullopt, true}); },
         {I(1), I(0), N, I(1)}},
        {"float16", [] {
             return fixed<std::uint16_t>("e", "c", {half(1.5), half(-0.0), half(NAN), half(INFINITY),
                                                   std::uint16_t{1}, half(-65504), std::nullopt});
         },
         {F(1.5), F(-0.0), N, F(inf), F(std::ldexp(1.0, -24)), F(-65504), N}},
        {"float32", [] { return fixed<float>("f", "c", {0.1f, std::nullopt, NAN, -3.0f}); },
         {F(static_cast<double>(0.1f)), N, N, F(-3.0)}},
        {"float64", [] { return fixed<double>("g", "c", {0.1, -0.0, NAN, std::nullopt, -INFINITY}); },
         {F(0.1), F(-0.0), N, N, F(-inf)}},
        {"decimal128", [] {
             return fixed<__int128>("d:10,2", "c", {12345, -1, 0, std::nullopt,
                                                    (__int128{1} << 100), -(__int128{1} << 100)});
         },
         {F(123.45), F(-0.01), F(0.0), N, F(strtod_of("1267650600228229401496703205376e-2")),
          F(-strtod_of("1267650600228229401496703205376e-2"))}},
        {"decimal128 with a negative scale", [] { return fixed<__int128>("d:5,-3", "c", {7, -12}); },
         {F(7000.0), F(-12000.0)}},
        {"decimal32", [] { return fixed<std::int32_t>("d:9,3,32", "c", {1234567, -5}); },
         {F(1234.567), F(-0.005)}},
        {"decimal64", [] { return fixed<std::int64_t>("d:18,4,64", "c", {kMax64, -10000}); },
         {F(strtod_of("9223372036854775807e-4")), F(-1.0)}},
        {"utf8", [] { return strings("c", {"a", std::nullopt, "", "Ωmega", "a"}); },
         {S("a"), N, S(""), S("Ωmega"), S("a")}},
        {"large utf8", [] { return strings<std::int64_t>("c", {"x", std::nullopt, "é"}); },
         {S("x"), N, S("é")}},
        {"utf8 view", [] {
             return arrow_test::views("c", {"short", std::nullopt, "a text longer than twelve", "",
                                            "exactly12by!", "Ωmega, long enough to be out of line"});
         },
         {S("short"), N, S("a text longer than twelve"), S(""), S("exactly12by!"),
          S("Ωmega, long enough to be out of line")}},
        {"dictionary of texts", [] {
             return arrow_test::encoded("c", {1, 0, std::nullopt, 1, 2},
                                        strings("", {"low", "high", std::nullopt}));
         },
         {S("high"), S("low"), N, S("high"), N}},
        {"dictionary of numbers", [] {
             return arrow_test::encoded("c", {0, 0, 1}, fixed<double>("g", "", {2.5, NAN}));
         },
         {F(2.5), F(2.5), N}},
        {"run-end encoded", [] {
             auto node = std::make_unique<Node>();
             node->format = "+r";
             node->name = "c";
             node->length = 6;
             node->children.push_back(fixed<std::int16_t>("s", "run_ends", {2, 3, 6}));
             node->children.push_back(strings("values", {"a", std::nullopt, "b"}));
             return node;
         },
         {S("a"), S("a"), N, S("b"), S("b"), S("b")}},
        {"sparse union", [] {
             auto node = std::make_unique<Node>();
             node->format = "+us:4,9";
             node->name = "c";
             node->length = 4;
             node->buffers.push_back(arrow_test::bytes_of(std::vector<std::int8_t>{4, 9, 9, 4}));
             node->children.push_back(fixed<std::int64_t>("l", "i", {1, 2, 3, std::nullopt}));
             node->children.push_back(strings("t", {"w", "x", std::nullopt, "z"}));
             return node;
         },
         {I(1), S("x"), N, N}},
        {"dense union", [] {
             auto node = std::make_unique<Node>();
             node->format = "+ud:0,1";
             node->name = "c";
             node->length = 4;
             node->buffers.push_back(arrow_test::bytes_of(std::vector<std::int8_t>{1, 0, 1, 0}));
             node->buffers.push_back(arrow_test::bytes_of(std::vector<std::int32_t>{0, 0, 1, 0}));
             node->children.push_back(fixed<double>("g", "f", {2.5}));
             node->children.push_back(strings("t", {"p", "q"}));
             return node;
         },
         {S("p"), F(2.5), S("q"), F(2.5)}},
        {"binary is null", [] { return strings("c", {"a", std::nullopt, "b"}, "z"); }, {N, N, N}},
        {"large binary is null", [] { return strings<std::int64_t>("c", {"a"}, "Z"); }, {N}},
        {"binary view is null", [] { return arrow_test::views("c", {"a", "a long binary value"}, "vz"); },
         {N, N}},
        {"date32 is null", [] { return fixed<std::int32_t>("tdD", "c", {1, std::nullopt}); }, {N, N}},
        {"timestamp is null", [] { return fixed<std::int64_t>("tsu:UTC", "c", {1, 2}); }, {N, N}},
        {"duration is null", [] { return fixed<std::int64_t>("tDn", "c", {5}); }, {N}},
        {"fixed-size binary is null", [] { return fixed<std::int32_t>("w:4", "c", {1, 2}); }, {N, N}},
        {"null type", [] {
             auto node = std::make_unique<Node>();
             node->format = "n";
             node->name = "c";
             node->length = 3;
             node->null_count = 3;
             return node;
         },
         {N, N, N}},
        {"list is null", [] {
             auto node = fixed<std::int32_t>("+l", "c", {});
             node->length = 2;
             node->buffers[1] = arrow_test::bytes_of(std::vector<std::int32_t>{0, 1, 3});
             node->children.push_back(fixed<std::int64_t>("l", "item", {1, 2, 3}));
             return node;
         },
         {N, N}},
        {"struct is null", [] {
             auto node = std::make_unique<Node>();
             node->format = "+s";
             node->name = "c";
             node->length = 2;
             node->buffers.push_back(std::nullopt);
             node->children.push_back(fixed<std::int64_t>("l", "x", {1, 2}));
             return node;
         },
         {N, N}},
    };
}

class EachKind : public testing::TestWithParam<KindCase> {};

TEST_P(EachKind, CountsAsItsValuesDo) {
    const KindCase& c = GetParam();
    auto batch = arrow_test::batch_of(c.column());
    EXPECT_EQ(read_arrow(*batch), read_rows("c", c.expected));
}

// The same column read from an offset: the batch's and the column's offsets add.
TEST_P(EachKind, OffsetsSelectTheItems) {
    const KindCase& c = GetParam();
    if (c.expected.size() < 2) {
        GTEST_SKIP() << "too short to slice";
    }
    auto column = c.column();
    std::vector<std::unique_ptr<Node>> columns;
    columns.push_back(std::move(column));
    auto batch = arrow_test::batch(std::move(columns));
    // Skip the first item through the column's offset, the next through the batch's.
    Node& inner = *batch->children[0];
    inner.offset = 1;
    inner.length -= 1;
    inner.null_count = inner.null_count == 0 ? 0 : -1;  // a slice's nulls are not counted
    batch->offset = 1;
    batch->length = inner.length - 1;
    batch->finish();
    const std::vector<TypedValue> rest(c.expected.begin() + 2, c.expected.end());
    EXPECT_EQ(read_arrow(*batch), read_rows("c", rest));
}

INSTANTIATE_TEST_SUITE_P(Kinds, EachKind, testing::ValuesIn(kind_cases()),
                         [](const testing::TestParamInfo<KindCase>& info) {
                             std::string name;
                             for (const char ch : info.param.name) {
                                 name += std::isalnum(static_cast<unsigned char>(ch)) ? ch : '_';
                             }
                             return name;
                         });

TEST(Conversion, WideUnsignedIntegersKeepTheirExactValue) {
    const std::uint64_t big = (std::uint64_t{1} << 63) + 1;
    auto batch = arrow_test::batch_of(
        arrow_test::fixed<std::uint64_t>("L", "c", {big, std::nullopt, ~std::uint64_t{0}}));
    const auto expected = fresh_engine();
    profiler::ColumnBatch columns;
    columns.names = {"c"};
    columns.parts.resize(1);
    columns.parts[0].add(profiler::wide_unsigned_cell(0, big, kKeys.values));
    columns.parts[0].add(profiler::null_cell(0));
    columns.parts[0].add(profiler::wide_unsigned_cell(0, ~std::uint64_t{0}, kKeys.values));
    expected.process_columns(columns);
    EXPECT_EQ(read_arrow(*batch), expected.report());
}

TEST(Conversion, EmptyBatchCreatesNoColumn) {
    auto batch = arrow_test::batch_of(arrow_test::fixed<std::int64_t>("l", "a", {}),
                                      arrow_test::strings("b", {}));
    EXPECT_EQ(read_arrow(*batch), "{}");
}

TEST(Conversion, EveryRowCarriesEveryColumnInSchemaOrder) {
    auto batch = arrow_test::batch_of(arrow_test::strings("z", {"a", std::nullopt}),
                                      arrow_test::fixed<std::int64_t>("a", "a", {}));
    batch->children[1] = arrow_test::fixed<std::int64_t>("l", "a", {std::nullopt, 4});
    batch->finish();
    EXPECT_EQ(read_arrow(*batch), read_values({{"z", {S("a"), N}}, {"a", {N, I(4)}}}));
}

// A row dictionary keeps one value per name: the later column's, where the name first
// stood.
TEST(Conversion, RepeatedNamesTakeTheLaterColumn) {
    auto batch = arrow_test::batch_of(arrow_test::fixed<std::int64_t>("l", "a", {1, 2}),
                                      arrow_test::strings("b", {"x", "y"}),
                                      arrow_test::fixed<std::int64_t>("l", "a", {7, std::nullopt}));
    EXPECT_EQ(read_arrow(*batch), read_values({{"a", {I(7), N}}, {"b", {S("x"), S("y")}}}));
}

TEST(Conversion, UnusedDictionaryValuesNeedNotBeText) {
    auto dictionary = arrow_test::strings("", {"ok", "bad"});
    (*dictionary->buffers[2])[3] = 0xFF;  // "bad" -> "b\xFFd"
    auto batch = arrow_test::batch_of(arrow_test::encoded("c", {0, 0}, std::move(dictionary)));
    EXPECT_EQ(read_arrow(*batch), read_rows("c", {S("ok"), S("ok")}));
}

TEST(Decimals, RoundCorrectlyAsTheirTextWould) {
    struct Case {
        __int128 value;
        std::int32_t scale;
        const char* text;
    };
    const __int128 big = (__int128{1} << 126) + 12345;
    const Case cases[] = {
        {1, 0, "1"},
        {-1, 0, "-1"},
        {(__int128{1} << 53) + 1, 0, "9007199254740993"},  // a tie: rounds to even
        {(__int128{1} << 53) + 3, 0, "9007199254740995"},
        {1, 400, "1e-400"},   // underflows to zero
        {1, -400, "1e400"},   // overflows to infinity
        {123456789, 330, "123456789e-330"},  // a subnormal result
        {big, 38, "85070591730234615865843651857942064073e-38"},
        {-big, 5, "-85070591730234615865843651857942064073e-5"},
        {7, 23, "7e-23"},  // just past the exact path's powers
    };
    for (const Case& c : cases) {
        const auto bits = static_cast<unsigned __int128>(c.value);
        const std::uint64_t fill = c.value < 0 ? ~0ULL : 0;
        const std::uint64_t words[4] = {static_cast<std::uint64_t>(bits),
                                        static_cast<std::uint64_t>(bits >> 64), fill, fill};
        const double got = decimal_to_double(words, c.scale);
        const double want = std::strtod(c.text, nullptr);
        EXPECT_EQ(std::bit_cast<std::uint64_t>(got), std::bit_cast<std::uint64_t>(want)) << c.text;
    }
}

TEST(Decimals, TheWidest256BitValuesConvert) {
    const std::uint64_t largest[4] = {~0ULL, ~0ULL, ~0ULL, ~0ULL >> 1};  // 2^255 - 1
    const std::uint64_t smallest[4] = {0, 0, 0, 1ULL << 63};             // -2^255
    EXPECT_EQ(decimal_to_double(largest, 0), std::ldexp(1.0, 255));
    EXPECT_EQ(decimal_to_double(smallest, 0), -std::ldexp(1.0, 255));
    EXPECT_EQ(decimal_to_double(largest, 10), std::strtod(
        "57896044618658097711785492504343953926634992332820282019728792003956564819967e-10", nullptr));
}

TEST(Decimals, Decimal256ColumnsReadFourWords) {
    auto node = std::make_unique<Node>();
    node->format = "d:76,2,256";
    node->name = "c";
    node->length = 2;
    node->buffers.push_back(std::nullopt);
    // 250 and -3, each as four little-endian words.
    std::vector<std::uint64_t> words{250, 0, 0, 0, ~0ULL - 2, ~0ULL, ~0ULL, ~0ULL};
    node->buffers.push_back(arrow_test::bytes_of(words));
    auto batch = arrow_test::batch_of(std::move(node));
    EXPECT_EQ(read_arrow(*batch), read_rows("c", {F(2.5), F(-0.03)}));
}

TEST(HalfFloats, EveryBitPatternConvertsExactly) {
    for (std::uint32_t bits = 0; bits < 0x10000; ++bits) {
        const double x = half_to_double(static_cast<std::uint16_t>(bits));
        const int exponent = static_cast<int>((bits >> 10) & 0x1F);
        if (exponent == 31) {
            EXPECT_TRUE((bits & 0x3FF) != 0 ? std::isnan(x) : std::isinf(x));
            continue;
        }
        // Back to the bits: the mantissa and exponent reassemble exactly.
        const double magnitude = std::fabs(x);
        const double unit = exponent == 0 ? std::ldexp(1.0, -24) : std::ldexp(1.0, exponent - 25);
        const double mantissa = magnitude / unit - (exponent == 0 ? 0 : 1024);
        EXPECT_EQ(mantissa, static_cast<double>(bits & 0x3FF)) << bits;
        EXPECT_EQ(std::signbit(x), (bits & 0x8000) != 0) << bits;
    }
}

}  // namespace
}  // namespace arrow_input
