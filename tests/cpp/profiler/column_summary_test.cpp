// The column summary: a pure function of the values in order however they are split into
// batches; merges give the exact figures of one profile in any order; the stored form
// (version 2) keeps every byte; version-1 forms load with the summary unknown; parts made
// without a summary part make it unknown.

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <fstream>
#include <iterator>
#include <limits>
#include <random>
#include <string>
#include <vector>

#include "profiler/column_summary.h"
#include "profiler/engine.h"
#include "profiler/profile_codec.h"
#include "profiler/seed_keys.h"

namespace profiler {
namespace {

using Bytes = std::vector<std::uint8_t>;

const SeedKeys kKeys = keys_from_seed(31);

KarvoEngine summary_engine() {
    return KarvoEngine(kKeys.values, kKeys.sketch, kKeys.summary);
}

ValueKeys summary_keys() {
    ValueKeys keys = kKeys.values;
    keys.summaries = true;
    return keys;
}

// One value of a column, as a reader hands it to a part: its cell and, for a text, the text.
struct Value {
    Cell cell;
    std::string text;
};

// Values of every kind: ints, floats (zeros of both signs, infinities, NaN), bools, texts
// (repeated, non-ASCII, longer than 256 code points), nulls and other objects, with a few
// heavy values so that the top values hold counts above one.
std::vector<Value> mixed_values(std::size_t n, std::uint32_t seed) {
    std::mt19937_64 rng(seed);
    const ValueKeys keys = summary_keys();
    std::vector<Value> values;
    for (std::size_t i = 0; i < n; ++i) {
        const auto pick = rng() % 12;
        const auto small = static_cast<std::int64_t>(rng() % 50) - 25;
        std::string text;
        Cell cell{};
        switch (pick) {
            case 0: cell = null_cell(0); break;
            case 1: cell = int_cell(0, small, keys); break;
            case 2: cell = int_cell(0, small % 2 == 0, keys, Origin::Bool); break;
            case 3: cell = float_cell(0, std::ldexp(static_cast<double>(rng() % 1000), -3)); break;
            case 4: cell = float_cell(0, (rng() % 2 == 0 ? 1e300 : -1e-300) * small); break;
            case 5: cell = real_cell(0, std::numeric_limits<double>::quiet_NaN()); break;
            case 6: cell = float_cell(0, small < 0 ? -HUGE_VAL : HUGE_VAL); break;
            case 7: cell = float_cell(0, -0.0); break;
            case 8: text = "t" + std::to_string(rng() % 30); break;
            case 9: text = std::string(3 * (rng() % 200), 'x') + "\xc3\xa9"; break;
            case 10: cell = null_cell(0, Origin::Other); break;
            default: cell = int_cell(0, small, keys, Origin::Other); break;
        }
        if (pick == 8 || pick == 9) {
            cell = str_cell(0, text, keys);
        }
        values.push_back(Value{cell, text});
    }
    return values;
}

// Applies values[from, to) to the engine as one batch of column "v".
void apply(const KarvoEngine& engine, const std::vector<Value>& values, std::size_t from,
           std::size_t to) {
    ColumnBatch batch;
    batch.names.push_back("v");
    resize_parts(batch.parts, 1, engine.value_keys());
    for (std::size_t i = from; i < to; ++i) {
        batch.parts[0].add(values[i].cell, values[i].text);
    }
    engine.process_columns(batch);
}

Bytes summary_bytes(const KarvoEngine& engine) {
    const ProfileState state = engine.export_state();
    common::ByteWriter out(64);
    state.at(0).summary->write(out);
    return out.take();
}

// The figures a merge keeps exactly: all but the quantile sketch and the top values.
Bytes exact_bytes(const ColumnSummary& s) {
    common::ByteWriter out(64);
    out.u8(s.known ? 1 : 0);
    for (const std::uint64_t count : s.types) {
        out.varint(count);
    }
    for (const std::uint64_t v : {s.zeros, s.negatives, s.nan, s.inf, s.text_count, s.min_length,
                                  s.max_length, s.sum_length, s.quantiles.count(), s.top.total()}) {
        out.varint(v);
    }
    s.moments.write(out);
    return out.take();
}

// Batches split n ways, at uneven places.
std::vector<std::size_t> cuts(std::size_t size, std::size_t ways) {
    std::vector<std::size_t> at{0};
    for (std::size_t i = 1; i < ways; ++i) {
        at.push_back(size * i * i / (ways * ways));
    }
    at.push_back(size);
    return at;
}

class SplitBatches : public ::testing::TestWithParam<std::size_t> {};

TEST_P(SplitBatches, GiveTheSummaryOfOneBatch) {
    const std::vector<Value> values = mixed_values(5000, 3);
    const KarvoEngine whole = summary_engine();
    apply(whole, values, 0, values.size());
    const KarvoEngine split = summary_engine();
    const std::vector<std::size_t> at = cuts(values.size(), GetParam());
    for (std::size_t i = 0; i + 1 < at.size(); ++i) {
        apply(split, values, at[i], at[i + 1]);
    }
    EXPECT_EQ(summary_bytes(split), summary_bytes(whole));
    EXPECT_EQ(split.report(), whole.report());
}

INSTANTIATE_TEST_SUITE_P(Ways, SplitBatches, ::testing::Values(1, 3, 7, 5000));

// Merges in different orders and shapes keep the exact figures of one profile.
// A part keeps each value's representative by kind (a number's is found again among the
// numbers, a text's in its texts): the top values and the sketch must be those of taking
// each value in turn, with its own representative, through the rooms' own calls.
TEST(SummaryPartRepresentatives, AreEachValuesOwn) {
    const std::vector<Value> values = mixed_values(20000, 17);
    SummaryPart part;
    for (const Value& v : values) {
        part.add(v.cell, v.text);
    }
    ASSERT_FALSE(part.lost);
    ColumnSummary applied(kKeys.summary);
    applied.apply(&part);

    ColumnSummary direct(kKeys.summary);
    for (const Value& v : values) {
        const Cell& c = v.cell;
        if (c.tag == Tag::Str) {
            direct.top.update(c.key, top_values::Representative::of_text(v.text));
            continue;
        }
        if (c.tag == Tag::Null) {
            continue;
        }
        const double x = c.tag == Tag::Int
                             ? static_cast<double>(static_cast<std::int64_t>(c.payload))
                             : std::bit_cast<double>(c.payload);
        if (x != x) {
            continue;
        }
        direct.top.update(c.key, top_values::Representative::of_number(x));
        direct.quantiles.update(x);
    }
    ASSERT_GT(direct.top.floor(), 0u) << "no takeover: representatives untested";
    common::ByteWriter a(64);
    common::ByteWriter b(64);
    applied.top.write(a);
    applied.quantiles.write(a);
    direct.top.write(b);
    direct.quantiles.write(b);
    EXPECT_EQ(a.take(), b.take());
}

TEST(SummaryMerge, AnyOrderGivesTheExactFiguresOfOneProfile) {
    const std::vector<Value> values = mixed_values(6000, 4);
    const KarvoEngine whole = summary_engine();
    apply(whole, values, 0, values.size());
    const Bytes want = exact_bytes(*whole.export_state().at(0).summary);
    const std::vector<std::size_t> at = cuts(values.size(), 5);
    std::vector<ProfileState> parts;
    for (std::size_t i = 0; i + 1 < at.size(); ++i) {
        const KarvoEngine part = summary_engine();
        apply(part, values, at[i], at[i + 1]);
        parts.push_back(part.export_state());
    }
    for (const std::vector<std::size_t>& order :
         std::vector<std::vector<std::size_t>>{{0, 1, 2, 3, 4}, {4, 3, 2, 1, 0}, {2, 0, 4, 1, 3}}) {
        const KarvoEngine merged = summary_engine();
        for (const std::size_t i : order) {
            merged.merge_state(parts[i]);
        }
        EXPECT_EQ(exact_bytes(*merged.export_state().at(0).summary), want);
        EXPECT_EQ(merged.report(), whole.report());
    }
    // A tree of merges: (0 + 1) + (2 + 3 + 4).
    const KarvoEngine left = summary_engine();
    left.merge_state(parts[0]);
    left.merge_state(parts[1]);
    const KarvoEngine right = summary_engine();
    for (std::size_t i = 2; i < 5; ++i) {
        right.merge_state(parts[i]);
    }
    left.merge_state(right.export_state());
    EXPECT_EQ(exact_bytes(*left.export_state().at(0).summary), want);
}

TEST(SummaryFigures, CountKindsNumbersAndTexts) {
    const ValueKeys keys = summary_keys();
    const KarvoEngine engine = summary_engine();
    ColumnBatch batch;
    batch.names.push_back("v");
    resize_parts(batch.parts, 1, keys);
    ColumnPart& part = batch.parts[0];
    part.add(null_cell(0));
    part.add(int_cell(0, 1, keys, Origin::Bool));
    part.add(int_cell(0, -3, keys));
    part.add(float_cell(0, -0.0));
    part.add(real_cell(0, std::nan("")));
    part.add(float_cell(0, HUGE_VAL));
    part.add(str_cell(0, "\xc3\xa9t\xc3\xa9", keys), "\xc3\xa9t\xc3\xa9");
    part.add(str_cell(0, "", keys), "");
    part.add(null_cell(0, Origin::Other));
    engine.process_columns(batch);
    const ColumnSummary s = *engine.export_state().at(0).summary;
    EXPECT_EQ(s.types, (std::array<std::uint64_t, kOriginCount>{1, 1, 1, 3, 2, 1}));
    EXPECT_EQ(s.moments.count(), 3u);
    EXPECT_EQ(s.moments.mean(), std::optional<double>(-2.0 / 3.0));
    EXPECT_EQ((std::array<std::uint64_t, 4>{s.zeros, s.negatives, s.nan, s.inf}),
              (std::array<std::uint64_t, 4>{1, 1, 1, 1}));
    EXPECT_EQ((std::array<std::uint64_t, 4>{s.text_count, s.min_length, s.max_length, s.sum_length}),
              (std::array<std::uint64_t, 4>{2, 0, 3, 3}));
    EXPECT_EQ(s.top.total(), 6u);  // every value but the null, the NaN and the other null
}

TEST(SummaryKnown, APartWithoutASummaryMakesItUnknown) {
    const KarvoEngine engine = summary_engine();
    apply(engine, mixed_values(10, 1), 0, 10);
    ColumnBatch plain;
    plain.names.push_back("v");
    plain.parts.resize(1);  // no summary part: a reader that kept none
    plain.parts[0].add(int_cell(0, 1, kKeys.values));
    engine.process_columns(plain);
    EXPECT_FALSE(engine.export_state().at(0).summary->known);
    apply(engine, mixed_values(10, 2), 0, 10);
    EXPECT_FALSE(engine.export_state().at(0).summary->known);
    engine.flush_and_reset();
    apply(engine, mixed_values(10, 2), 0, 10);
    EXPECT_TRUE(engine.export_state().at(0).summary->known);
}

// ---- stored form ---------------------------------------------------------------------

TEST(SummaryCodec, Version2RoundTripKeepsEveryByte) {
    const KarvoEngine engine = summary_engine();
    apply(engine, mixed_values(20000, 5), 0, 20000);
    const Bytes bytes = encode_profile(engine.export_state(), kKeys.fingerprint);
    EXPECT_EQ(bytes[4], 2);
    const ProfileState back = decode_profile(bytes, kKeys.fingerprint, kKeys.summary);
    EXPECT_EQ(encode_profile(back, kKeys.fingerprint), bytes);
    const KarvoEngine restored = summary_engine();
    restored.merge_state(back);
    EXPECT_EQ(summary_bytes(restored), summary_bytes(engine));
    EXPECT_EQ(restored.report(), engine.report());
}

Bytes file_bytes(const std::string& name) {
    std::ifstream in(std::string(KARVO_TEST_DATA_DIR) + "/" + name, std::ios::binary);
    return Bytes(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

TEST(SummaryCodec, AVersion1FormLoadsWithItsSummaryUnknown) {
    // Written by the build before summaries (seed 2024), with its report beside it.
    const SeedKeys keys = keys_from_seed(2024);
    const Bytes bytes = file_bytes("profile_v1.bin");
    ASSERT_EQ(bytes.at(4), 1);
    const ProfileState state = decode_profile(bytes, keys.fingerprint, keys.summary);
    ASSERT_FALSE(state.empty());
    for (const ColumnState& column : state) {
        EXPECT_FALSE(column.summary.has_value()) << column.name;
    }
    const KarvoEngine engine(keys.values, keys.sketch, keys.summary);
    engine.merge_state(state);
    std::ifstream report(std::string(KARVO_TEST_DATA_DIR) + "/profile_v1.report.json");
    EXPECT_EQ(engine.report(), std::string(std::istreambuf_iterator<char>(report),
                                           std::istreambuf_iterator<char>()));
    for (const ColumnState& column : engine.export_state()) {
        EXPECT_FALSE(column.summary->known) << column.name;
    }
    // Stored again, it is a version-2 form whose summaries say they are unknown.
    const Bytes again = encode_profile(engine.export_state(), keys.fingerprint);
    for (const ColumnState& column : decode_profile(again, keys.fingerprint, keys.summary)) {
        EXPECT_FALSE(column.summary->known) << column.name;
    }
}

// A stored summary whose fields are each well formed but which no values could make.
struct ForgedSummary {
    std::string name;
    std::function<void(ColumnState&)> forge;
    std::string message;
};

class ForgedSummaryState : public ::testing::TestWithParam<ForgedSummary> {};

TEST_P(ForgedSummaryState, IsRefused) {
    const KarvoEngine engine = summary_engine();
    apply(engine, mixed_values(3000, 6), 0, 3000);
    ProfileState state = engine.export_state();
    GetParam().forge(state.at(0));
    const Bytes bytes = encode_profile(state, kKeys.fingerprint);
    try {
        decode_profile(bytes, kKeys.fingerprint, kKeys.summary);
        ADD_FAILURE() << "accepted";
    } catch (const FormatError& error) {
        EXPECT_NE(std::string(error.what()).find(GetParam().message), std::string::npos)
            << error.what();
        EXPECT_NE(std::string(error.what()).find("column 0: summary"), std::string::npos)
            << error.what();
    }
}

INSTANTIATE_TEST_SUITE_P(
    Table, ForgedSummaryState,
    ::testing::Values(
        ForgedSummary{"KindsAboveTheTotal", [](ColumnState& c) { c.summary->types[2] += c.total_count; },
                      "kind counts above the column's total"},
        ForgedSummary{"KindsThatWrap",
                      [](ColumnState& c) { c.summary->types[0] = c.summary->types[1] = UINT64_MAX; },
                      "kind counts pass 2^64 - 1"},
        ForgedSummary{"SketchAndSumsDisagree",
                      [](ColumnState& c) { c.summary->quantiles.update(1.0); },
                      "count different numbers"},
        ForgedSummary{"MoreZerosThanNumbers",
                      [](ColumnState& c) { c.summary->zeros = c.summary->moments.count() + 1; },
                      "zeros and negatives above the numbers counted"},
        ForgedSummary{"FiguresAboveTheTotal", [](ColumnState& c) { c.summary->inf = c.total_count; },
                      "figures above the column's total"},
        ForgedSummary{"TopValuesAboveTheTotal",
                      [](ColumnState& c) {
                          for (std::uint64_t i = 0; i < c.total_count; ++i) {
                              c.summary->top.update(i, top_values::Representative::of_number(1.0));
                          }
                      },
                      "top values above the column's total"},
        ForgedSummary{"ShortestAboveLongest",
                      [](ColumnState& c) { c.summary->min_length = c.summary->max_length + 1; },
                      "shortest text longer than the longest"},
        ForgedSummary{"LengthsOutOfBounds",
                      [](ColumnState& c) { c.summary->sum_length = c.summary->max_length * c.summary->text_count + 1; },
                      "summed text lengths out of their bounds"}),
    [](const ::testing::TestParamInfo<ForgedSummary>& info) { return info.param.name; });

// Byte-level faults of the summary fields: the known byte, a flag a version-1 form lacks,
// and a summary cut short.
TEST(SummaryCodec, MalformedFieldsAreRefused) {
    const KarvoEngine engine = summary_engine();
    apply(engine, mixed_values(50, 7), 0, 50);
    ProfileState state = engine.export_state();
    const Bytes good = encode_profile(state, kKeys.fingerprint);
    state.at(0).summary.reset();
    const Bytes bare = encode_profile(state, kKeys.fingerprint);
    // The summary is the tail of the only column: its first byte is the known byte.
    const std::size_t known_at = bare.size() - 8;
    ASSERT_EQ(good.at(known_at), 1);
    auto reseal = [](Bytes bytes) {
        for (int i = 0; i < 8; ++i) {
            bytes[6 + i] = static_cast<std::uint8_t>(bytes.size() >> (8 * i));
        }
        const std::uint64_t sum = profile_checksum(std::span<const std::uint8_t>(bytes).first(bytes.size() - 8));
        for (int i = 0; i < 8; ++i) {
            bytes[bytes.size() - 8 + i] = static_cast<std::uint8_t>(sum >> (8 * i));
        }
        return bytes;
    };
    auto refused = [&](const Bytes& bytes, const std::string& message) {
        try {
            decode_profile(bytes, kKeys.fingerprint, kKeys.summary);
            ADD_FAILURE() << "accepted: " << message;
        } catch (const FormatError& error) {
            EXPECT_NE(std::string(error.what()).find(message), std::string::npos) << error.what();
        }
    };
    Bytes two = good;
    two[known_at] = 2;
    refused(reseal(two), "summary known");
    Bytes old = good;
    old[4] = 1;  // a version-1 form knows no summary flag
    refused(reseal(old), "unknown flags");
    for (const std::size_t cut : {std::size_t{1}, std::size_t{9}, good.size() - known_at - 9}) {
        Bytes shorter(good.begin(), good.end() - 8 - static_cast<std::ptrdiff_t>(cut));
        shorter.resize(shorter.size() + 8);
        refused(reseal(shorter), "column 0: summary");
    }
    EXPECT_NO_THROW(decode_profile(bare, kKeys.fingerprint, kKeys.summary));
    // A column stored without a summary (as an engine that keeps none stores it) whose
    // flag is forged to claim one: the bytes after its sketch are not a summary.
    Bytes claims = bare;
    const std::size_t flags_at = 22 + 1 + 1 + state.at(0).name.size();  // header, count, name
    ASSERT_EQ(claims.at(flags_at) & 4, 0);
    claims[flags_at] |= 4;
    refused(reseal(claims), "column 0: summary");
}

// An engine that keeps no summaries stores columns without them, in a version-2 form
// that says so, and its report is the one an engine with summaries gives.
TEST(SummaryCodec, AnEngineWithoutSummariesStoresNone) {
    const KarvoEngine with = summary_engine();
    const KarvoEngine without(kKeys.values, kKeys.sketch);
    apply(with, mixed_values(50, 7), 0, 50);
    apply(without, mixed_values(50, 7), 0, 50);
    EXPECT_EQ(without.report(), with.report());
    std::uint16_t version = 0;
    const ProfileState state = decode_profile(encode_profile(without.export_state(), kKeys.fingerprint),
                                              kKeys.fingerprint, kKeys.summary, &version);
    EXPECT_EQ(version, kProfileFormatVersion);
    ASSERT_FALSE(state.empty());
    for (const ColumnState& column : state) {
        EXPECT_FALSE(column.summary.has_value()) << column.name;
    }
    // Merged into it, a state with summaries adds its counts and leaves no summary.
    without.merge_state(with.export_state());
    EXPECT_FALSE(without.export_state().at(0).summary.has_value());
}

}  // namespace
}  // namespace profiler
