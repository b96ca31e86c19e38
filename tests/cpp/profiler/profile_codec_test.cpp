// The binary profile form: a round trip keeps everything the report and a later merge
// need, and every malformed input is refused with a message that names the fault.

#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <cstdint>
#include <functional>
#include <iterator>
#include <random>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "colliding_names.h"
#include "profiler/engine.h"
#include "profiler/profile_codec.h"
#include "profiler/seed_keys.h"
#include "typed_rows.h"

namespace {

using profiler::decode_profile;
using profiler::encode_profile;
using profiler::FormatError;
using profiler::KarvoEngine;
using profiler::TypedRow;
using profiler::TypedValue;
using Bytes = std::vector<std::uint8_t>;

const profiler::SeedKeys kKeys = profiler::keys_from_seed(0);

// A profile with a sparse text column, a numeric column with -0.0 and nulls, a column of
// only nulls and a dense column.
std::vector<TypedRow> sample_rows() {
    std::vector<TypedRow> rows;
    std::vector<std::string> texts;
    for (int i = 0; i < 9000; ++i) {
        TypedRow row;
        row.insert("dense", TypedValue::from_int(i * 7919));
        if (i < 20) {
            row.insert("number", i % 3 == 0 ? TypedValue::null()
                                            : TypedValue::from_float(i == 1 ? -0.0 : i * 0.5));
            row.insert("nothing", TypedValue::null());
            row.insert("caf\xc3\xa9", TypedValue::from_int(i % 4));
        }
        rows.push_back(std::move(row));
    }
    return rows;
}

Bytes sample_bytes() {
    KarvoEngine engine(kKeys.values, kKeys.sketch);
    process_batch(engine, sample_rows());
    return encode_profile(engine.export_state(), kKeys.fingerprint);
}

TEST(ProfileCodec, RoundTripKeepsTheReportAndTheBytes) {
    KarvoEngine engine(kKeys.values, kKeys.sketch);
    process_batch(engine, sample_rows());
    const Bytes bytes = encode_profile(engine.export_state(), kKeys.fingerprint);

    KarvoEngine restored(kKeys.values, kKeys.sketch);
    restored.merge_state(decode_profile(bytes, kKeys.fingerprint));
    EXPECT_EQ(encode_profile(restored.export_state(), kKeys.fingerprint), bytes);
    EXPECT_EQ(restored.report(), engine.report());
    EXPECT_EQ(restored.column_names(), engine.column_names());
    EXPECT_EQ(restored.column_names().size(), 4u);
}

TEST(ProfileCodec, EmptyProfileRoundTrips) {
    const Bytes bytes = encode_profile({}, kKeys.fingerprint);
    EXPECT_TRUE(decode_profile(bytes, kKeys.fingerprint).empty());
}

// ---- bad input ----------------------------------------------------------------------

void put_u64(Bytes& bytes, std::size_t at, std::uint64_t v) {
    for (int i = 0; i < 8; ++i) {
        bytes[at + i] = static_cast<std::uint8_t>(v >> (8 * i));
    }
}

// Rewrites the length and checksum fields, so that a change reaches the checks behind them.
void reseal(Bytes& bytes) {
    put_u64(bytes, 6, bytes.size());
    put_u64(
        bytes, bytes.size() - 8,
        profiler::profile_checksum(std::span<const std::uint8_t>(bytes).first(bytes.size() - 8)));
}

// A sealed profile of one column, given the column's bytes after its name.
Bytes one_column(const std::string& name, const Bytes& rest, std::uint8_t count = 1) {
    Bytes bytes = {'K', 'R', 'V', 'P', 1, 0};
    bytes.resize(6 + 16);
    put_u64(bytes, 14, kKeys.fingerprint);
    bytes.push_back(count);
    bytes.push_back(static_cast<std::uint8_t>(name.size()));
    bytes.insert(bytes.end(), name.begin(), name.end());
    bytes.insert(bytes.end(), rest.begin(), rest.end());
    bytes.resize(bytes.size() + 8);
    reseal(bytes);
    return bytes;
}

Bytes with_bounds(std::uint64_t min_bits, std::uint64_t max_bits) {
    Bytes rest = {2, 3, 0};  // bounds stored; total 3, nulls 0
    for (std::uint64_t v : {min_bits, max_bits}) {
        for (int i = 0; i < 8; ++i) {
            rest.push_back(static_cast<std::uint8_t>(v >> (8 * i)));
        }
    }
    rest.push_back(0);  // an empty list
    return rest;
}

constexpr std::uint64_t kOneBits = 0x3ff0000000000000ULL;
constexpr std::uint64_t kTwoBits = 0x4000000000000000ULL;
constexpr std::uint64_t kNanBits = 0x7ff8000000000000ULL;

struct BadCase {
    std::string name;
    std::function<Bytes()> make;
    std::string message;  // a part of the expected message
};

class BadProfile : public ::testing::TestWithParam<BadCase> {};

TEST_P(BadProfile, IsRefusedWithItsFaultNamed) {
    const BadCase& c = GetParam();
    const Bytes bytes = c.make();
    try {
        decode_profile(bytes, kKeys.fingerprint);
        ADD_FAILURE() << "accepted";
    } catch (const FormatError& error) {
        EXPECT_NE(std::string(error.what()).find(c.message), std::string::npos) << error.what();
    }
}

Bytes edited(std::function<void(Bytes&)> edit, bool seal = false) {
    Bytes bytes = sample_bytes();
    edit(bytes);
    if (seal) {
        reseal(bytes);
    }
    return bytes;
}

INSTANTIATE_TEST_SUITE_P(
    Table, BadProfile,
    ::testing::Values(
        BadCase{"Empty", [] { return Bytes{}; }, "truncated profile: 0 bytes"},
        BadCase{"Foreign", [] { return Bytes{'{', '"', 'a', '"', '}'}; }, "bad magic"},
        BadCase{"CutInTheMagic", [] { return Bytes{'K', 'R'}; }, "truncated profile"},
        BadCase{"NewerVersion", [] { return edited([](Bytes& b) { b[4] = 7; }); },
                "unsupported profile format version 7 (this karvo_dist reads versions 1 to 2)"},
        BadCase{"CutShort",
                [] { return edited([](Bytes& b) { b.erase(b.end() - 100, b.end()); }); },
                "truncated profile"},
        BadCase{"TrailingData", [] { return edited([](Bytes& b) { b.push_back(0); }); },
                "followed by 1 bytes"},
        BadCase{"DamagedByte", [] { return edited([](Bytes& b) { b[b.size() / 2] ^= 0x10; }); },
                "checksum mismatch"},
        BadCase{"OtherSeed", [] { return edited([](Bytes& b) { b[14] ^= 1; }, true); },
                "different seed"},
        BadCase{"TooManyColumns", [] { return one_column("a", {0, 1, 0, 0}, 100); },
                "column count 100"},
        BadCase{"MissingColumn", [] { return one_column("a", {0, 1, 0, 0}, 2); }, "column count 2"},
        BadCase{"NameNotUtf8", [] { return one_column("\xff", {0, 1, 0, 0}); }, "UTF-8"},
        BadCase{"NameSurrogate", [] { return one_column("\xed\xa0\x80", {0, 1, 0, 0}); }, "UTF-8"},
        BadCase{"DuplicateName",
                [] {
                    Bytes col = {0, 1, 0, 0};
                    Bytes rest = col;
                    rest.push_back(1);
                    rest.push_back('a');
                    rest.insert(rest.end(), col.begin(), col.end());
                    return one_column("a", rest, 2);
                },
                "duplicate column name"},
        BadCase{"UnknownFlags", [] { return one_column("a", {4, 1, 0, 0}); }, "unknown flags"},
        BadCase{"NullsAboveTotal", [] { return one_column("a", {0, 1, 2, 0}); },
                "null_count exceeds"},
        BadCase{"OverlongCount", [] { return one_column("a", {0, 0x81, 0x00, 0, 0}); },
                "shortest form"},
        BadCase{"CountBeyond64Bits",
                [] {
                    return one_column(
                        "a", {0, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0x02, 0, 0});
                },
                "does not fit 64 bits"},
        BadCase{"NanBound", [] { return one_column("a", with_bounds(kNanBits, kTwoBits)); }, "NaN"},
        BadCase{"MinAboveMax", [] { return one_column("a", with_bounds(kTwoBits, kOneBits)); },
                "bounds no profile can hold"},
        BadCase{
            "OnlyOneFiniteBound",
            [] { return one_column("a", with_bounds(profiler::kPositiveInfinityBits, kOneBits)); },
            "bounds no profile can hold"},
        BadCase{"ListTooLong", [] { return one_column("a", {0, 1, 0, 0xb4, 0x66}); },
                "exceeds 13107"},
        BadCase{"ListEndsInsideACode", [] { return one_column("a", {0, 1, 0, 1, 0x82}); },
                "ends inside a code"},
        BadCase{"ListNotAscending", [] { return one_column("a", {0, 1, 0, 2, 0x02, 0x00}); },
                "strictly ascending"},
        BadCase{"InvalidCode", [] { return one_column("a", {0, 1, 0, 1, 0x01}); },
                "invalid sparse code 1"},
        BadCase{"InvalidRankCode",
                // 0x53: flag 1 with rank field 41, beyond the 40 a hash can give.
                [] { return one_column("a", {0, 1, 0, 1, 0x53}); }, "invalid sparse code 83"},
        BadCase{"ListLongerThanItsBytes", [] { return one_column("a", {0, 1, 0, 3, 0x02}); },
                "truncated profile"},
        BadCase{"RegisterAbove51",
                [] {
                    Bytes rest = {1, 1, 0};
                    rest.resize(rest.size() + 12288, 0);
                    rest[3 + 3] = 52;  // register 4
                    return one_column("a", rest);
                },
                "register 4 holds 52"},
        BadCase{"RegistersCut",
                [] {
                    Bytes rest = {1, 1, 0};
                    rest.resize(rest.size() + 100, 0);
                    return one_column("a", rest);
                },
                "truncated profile"}),
    [](const ::testing::TestParamInfo<BadCase>& info) { return info.param.name; });

// Names crafted to share one std::hash value (the decoder's duplicate check once placed
// names by that hash, which made decoding quadratic) decode to exactly the columns they
// were stored from, in order; the names are distinct, so none is taken for a duplicate.
TEST(ProfileCodec, ManyCraftedNamesRoundTripExactly) {
    const std::vector<std::string> names = profiler::testing::std_hash_colliding_ascii_names(5000);
    const std::hash<std::string_view> std_hash;
    profiler::ProfileState state;
    for (std::size_t i = 0; i < names.size(); ++i) {
        ASSERT_EQ(std_hash(names[i]), std_hash(names[0]));
        profiler::ColumnState column;
        column.name = names[i];
        column.total_count = i + 1;
        column.null_count = i % 2;
        state.push_back(std::move(column));
    }
    const Bytes bytes = encode_profile(state, kKeys.fingerprint);
    const profiler::ProfileState back = decode_profile(bytes, kKeys.fingerprint);
    ASSERT_EQ(back.size(), state.size());
    for (std::size_t i = 0; i < state.size(); ++i) {
        ASSERT_EQ(back[i].name, state[i].name);
        ASSERT_EQ(back[i].total_count, state[i].total_count);
        ASSERT_EQ(back[i].null_count, state[i].null_count);
    }
    EXPECT_EQ(encode_profile(back, kKeys.fingerprint), bytes);
}

// States that no sequence of observations and merges can make, though every field is well
// formed and the checksum holds (anyone can seal a blob: the checksum key is public). Each
// is written by the encoder from a forged state.
profiler::ColumnState column_of(std::uint64_t total, std::uint64_t nulls) {
    profiler::ColumnState column;
    column.name = "a";
    column.total_count = total;
    column.null_count = nulls;
    return column;
}

sketch::SketchState sketch_of_distinct(int distinct) {
    KarvoEngine engine(kKeys.values, kKeys.sketch);
    std::vector<TypedRow> rows(static_cast<std::size_t>(distinct));
    for (int i = 0; i < distinct; ++i) {
        rows[static_cast<std::size_t>(i)].insert("a", TypedValue::from_int(i));
    }
    process_batch(engine, rows);
    return engine.export_state().at(0).sketch;
}

struct ForgedCase {
    std::string name;
    std::function<profiler::ColumnState()> make;
    std::string message;
};

class ForgedState : public ::testing::TestWithParam<ForgedCase> {};

TEST_P(ForgedState, IsRefused) {
    const ForgedCase& c = GetParam();
    const Bytes bytes = encode_profile({c.make()}, kKeys.fingerprint);
    try {
        decode_profile(bytes, kKeys.fingerprint);
        ADD_FAILURE() << "accepted";
    } catch (const FormatError& error) {
        EXPECT_NE(std::string(error.what()).find(c.message), std::string::npos) << error.what();
    }
}

INSTANTIATE_TEST_SUITE_P(
    Table, ForgedState,
    ::testing::Values(
        ForgedCase{"EveryRegisterAt51FromOneRow",
                   [] {
                       profiler::ColumnState column = column_of(1, 0);
                       std::vector<std::uint32_t> words(sketch::kRegisterWords, 0);
                       for (std::size_t i = 0; i < sketch::kRegisterCount; ++i) {
                           words[i / 5] |= 51u << (6 * (i % 5));
                       }
                       column.sketch.registers = sketch::RegistersPlus::from_words(words);
                       return column;
                   },
                   "a sketch of 16384 distinct values from 1 non-null values"},
        ForgedCase{"ManySparseCodesFromOneRow",
                   [] {
                       profiler::ColumnState column = column_of(1, 0);
                       column.sketch = sketch_of_distinct(500);
                       return column;
                   },
                   "distinct values from 1 non-null values"},
        ForgedCase{"SketchOfAColumnOfNulls",
                   [] {
                       profiler::ColumnState column = column_of(3, 3);
                       column.sketch = sketch_of_distinct(1);
                       return column;
                   },
                   "from 0 non-null values"},
        ForgedCase{"BoundsWithoutRows",
                   [] {
                       profiler::ColumnState column = column_of(0, 0);
                       column.min_bits = kOneBits;
                       column.max_bits = kTwoBits;
                       return column;
                   },
                   "bounds on a column without a non-null value"},
        ForgedCase{"TwoBoundsFromOneValue",
                   [] {
                       profiler::ColumnState column = column_of(5, 4);
                       column.min_bits = kOneBits;
                       column.max_bits = kTwoBits;
                       return column;
                   },
                   "two different bounds from fewer than two values"}),
    [](const ::testing::TestParamInfo<ForgedCase>& info) { return info.param.name; });

// Every state that observations and merges make decodes: values of every kind, zeros of
// both signs in both orders, infinities, columns of nulls, sparse and dense sketches,
// profiles merged into themselves.
TEST(ProfileCodec, EveryObservableStateDecodes) {
    const TypedValue values[] = {TypedValue::from_float(0.0),
                                 TypedValue::from_float(-0.0),
                                 TypedValue::from_float(HUGE_VAL),
                                 TypedValue::from_float(-HUGE_VAL),
                                 TypedValue::null(),
                                 TypedValue::from_str("t"),
                                 TypedValue::from_int(1),
                                 TypedValue::from_float(2.5),
                                 TypedValue::from_int(-3)};
    std::mt19937_64 random(11);
    for (int trial = 0; trial < 3000; ++trial) {
        KarvoEngine merged(kKeys.values, kKeys.sketch);
        for (int piece = 0; piece < 3; ++piece) {
            KarvoEngine engine(kKeys.values, kKeys.sketch);
            std::vector<TypedRow> rows(random() % 6);
            for (TypedRow& row : rows) {
                for (const char* name : {"a", "b", "c"}) {
                    if (random() % 3 != 0) {
                        row.insert(name, values[random() % std::size(values)]);
                    }
                }
            }
            process_batch(engine, rows);
            const profiler::ProfileState state = engine.export_state();
            ASSERT_NO_THROW(decode_profile(encode_profile(state, kKeys.fingerprint),
                                           kKeys.fingerprint));
            merged.merge_state(state);
        }
        merged.merge_state(merged.export_state());
        ASSERT_NO_THROW(decode_profile(encode_profile(merged.export_state(), kKeys.fingerprint),
                                       kKeys.fingerprint));
    }
    EXPECT_NO_THROW(decode_profile(sample_bytes(), kKeys.fingerprint));
}

// Zeros of two signs as the two bounds, in either order: two writes racing on one column
// make them (each bound keeps the zero that reached it first), so they must load.
TEST(ProfileCodec, ZerosOfTwoSignsAsBoundsDecode) {
    for (const auto& [min, max] : {std::pair{0.0, -0.0}, std::pair{-0.0, 0.0}}) {
        profiler::ColumnState column = column_of(2, 0);
        column.min_bits = std::bit_cast<std::uint64_t>(min);
        column.max_bits = std::bit_cast<std::uint64_t>(max);
        const profiler::ProfileState state =
            decode_profile(encode_profile({column}, kKeys.fingerprint), kKeys.fingerprint);
        ASSERT_EQ(state.size(), 1u);
        EXPECT_EQ(state[0].min_bits, column.min_bits);
        EXPECT_EQ(state[0].max_bits, column.max_bits);
    }
}

// A merge whose counts would wrap is refused before anything is merged.
TEST(ProfileMerge, CountsThatWouldWrapAreRefusedWithNothingMerged) {
    KarvoEngine engine(kKeys.values, kKeys.sketch);
    std::vector<TypedRow> rows(1);
    rows[0].insert("b", TypedValue::from_int(1));
    rows[0].insert("a", TypedValue::from_int(1));
    process_batch(engine, rows);
    const profiler::ProfileState before = engine.export_state();
    profiler::ProfileState other = {column_of(7, 0), column_of(UINT64_MAX, UINT64_MAX)};
    other[0].name = "new";
    EXPECT_THROW(engine.merge_state(other), profiler::CountOverflow);
    const profiler::ProfileState after = engine.export_state();
    ASSERT_EQ(after.size(), before.size());
    for (std::size_t i = 0; i < after.size(); ++i) {
        EXPECT_EQ(after[i].name, before[i].name);
        EXPECT_EQ(after[i].total_count, before[i].total_count);
    }
    other[1].total_count = UINT64_MAX - 1;  // exactly fits
    other[1].null_count = 0;
    EXPECT_NO_THROW(engine.merge_state(other));
}

}  // namespace
