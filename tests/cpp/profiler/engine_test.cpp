#include "profiler/engine.h"

#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <limits>
#include <map>
#include <random>
#include <set>
#include <string>
#include <vector>

#include "colliding_names.h"
#include "profiler/snapshot.h"
#include "test_scale.h"
#include "test_support.h"

namespace profiler {
namespace {

using testing::ColumnBatchBuilder;
using testing::read_report;
using testing::single_cell_rows;

constexpr double kInf = std::numeric_limits<double>::infinity();
constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

TEST(EngineReport, WholeTexts) {
    struct Case {
        const char* label;
        std::vector<std::pair<std::string, TypedValue>> cells;
        const char* report;
    };
    const std::vector<Case> cases = {
        {"empty", {}, "{}"},
        {"int_null_text",
         {{"a", TypedValue::from_int(1)},
          {"a", TypedValue::null()},
          {"a", TypedValue::from_str("x")}},
         R"({"a":{"total_count":3,"null_count":1,"min_val":1.0,"max_val":1.0,"estimated_cardinality":2}})"},
        {"negative_zero_then_zero",
         {{"z", TypedValue::from_float(-0.0)}, {"z", TypedValue::from_float(0.0)}},
         R"({"z":{"total_count":2,"null_count":0,"min_val":-0.0,"max_val":-0.0,"estimated_cardinality":2}})"},
        {"positive_infinity_only",
         {{"i", TypedValue::from_float(kInf)}},
         R"({"i":{"total_count":1,"null_count":0,"min_val":null,"max_val":null,"estimated_cardinality":1}})"},
        {"beyond_2_pow_53",
         {{"n", TypedValue::from_int(9007199254740993)}},
         R"({"n":{"total_count":1,"null_count":0,"min_val":9007199254740992.0,"max_val":9007199254740992.0,"estimated_cardinality":1}})"},
        {"nan_null_and_text_in_first_seen_order",
         {{"price", TypedValue::from_float(2.5)},
          {"city", TypedValue::from_str("Oslo")},
          {"price", TypedValue::null()},
          {"city", TypedValue::from_str("Rome")},
          {"price", TypedValue::from_int(1)},
          {"nan", TypedValue::from_float(kNaN)}},
         R"({"price":{"total_count":3,"null_count":1,"min_val":1.0,"max_val":2.5,"estimated_cardinality":2},)"
         R"("city":{"total_count":2,"null_count":0,"min_val":null,"max_val":null,"estimated_cardinality":2},)"
         R"("nan":{"total_count":1,"null_count":0,"min_val":null,"max_val":null,"estimated_cardinality":0}})"},
        {"names_by_bytes",
         {{"a", TypedValue::null()},
          {"A", TypedValue::null()},
          {"a ", TypedValue::null()},
          {"", TypedValue::null()},
          {"q\"\\\n", TypedValue::null()}},
         R"({"a":{"total_count":1,"null_count":1,"min_val":null,"max_val":null,"estimated_cardinality":0},)"
         R"("A":{"total_count":1,"null_count":1,"min_val":null,"max_val":null,"estimated_cardinality":0},)"
         R"("a ":{"total_count":1,"null_count":1,"min_val":null,"max_val":null,"estimated_cardinality":0},)"
         R"("":{"total_count":1,"null_count":1,"min_val":null,"max_val":null,"estimated_cardinality":0},)"
         R"("q\"\\\n":{"total_count":1,"null_count":1,"min_val":null,"max_val":null,"estimated_cardinality":0}})"},
    };
    for (const Case& c : cases) {
        KarvoEngine engine;
        const auto rows = single_cell_rows(c.cells);
        process_batch(engine, rows);
        EXPECT_EQ(engine.flush_and_reset(), c.report) << c.label;
        EXPECT_EQ(engine.flush_and_reset(), "{}") << c.label;
    }
}

TEST(EngineReport, ColumnStartsAgainAfterAFlush) {
    KarvoEngine engine;
    process_batch(engine,
        single_cell_rows({{"a", TypedValue::from_int(5)}, {"a", TypedValue::null()}}));
    process_batch(engine, single_cell_rows({{"b", TypedValue::from_int(1)}}));
    EXPECT_EQ(read_report(engine.flush_and_reset()).size(), 2u);

    process_batch(engine, single_cell_rows({{"a", TypedValue::from_int(7)}}));
    EXPECT_EQ(
        engine.flush_and_reset(),
        R"({"a":{"total_count":1,"null_count":0,"min_val":7.0,"max_val":7.0,"estimated_cardinality":1}})");
}

TEST(EngineReport, OrderIsFirstSeenAcrossBatches) {
    KarvoEngine engine;
    process_batch(engine, single_cell_rows({{"m", TypedValue::null()}, {"c", TypedValue::null()}}));
    process_batch(engine, single_cell_rows({{"c", TypedValue::null()},
                                           {"a", TypedValue::null()},
                                           {"z", TypedValue::null()},
                                           {"m", TypedValue::null()}}));
    std::vector<std::string> order;
    for (const auto& [name, column] : read_report(engine.flush_and_reset())) {
        order.push_back(name);
    }
    EXPECT_EQ(order, (std::vector<std::string>{"m", "c", "a", "z"}));
}

TEST(EngineBatch, EmptyBatchesCreateNothing) {
    KarvoEngine engine;
    process_batch(engine, {});
    const std::vector<TypedRow> empty_rows(3);
    process_batch(engine, empty_rows);
    ColumnBatchBuilder unused_columns;
    unused_columns.name_only("never").name_only("used");
    engine.process_columns(unused_columns.batch());
    EXPECT_EQ(engine.flush_and_reset(), "{}");
}

TEST(EngineBatch, RowsWithManyCells) {
    KarvoEngine engine;
    std::vector<TypedRow> rows(100);
    for (int i = 0; i < 100; ++i) {
        rows[i].insert("id", TypedValue::from_int(i));
        rows[i].insert("even", i % 2 == 0 ? TypedValue::from_str("yes") : TypedValue::null());
        rows[i].insert("id", TypedValue::from_int(i * 2));  // a later value replaces
    }
    process_batch(engine, rows);
    const auto report = read_report(engine.flush_and_reset());
    ASSERT_EQ(report.size(), 2u);
    std::map<std::string, testing::ReportedColumn> by_name(report.begin(), report.end());
    EXPECT_EQ(by_name["id"].total_count, 100u);
    EXPECT_EQ(by_name["id"].min_val, 0.0);
    EXPECT_EQ(by_name["id"].max_val, 198.0);
    EXPECT_EQ(by_name["id"].estimated_cardinality, 100u);
    EXPECT_EQ(by_name["even"].total_count, 100u);
    EXPECT_EQ(by_name["even"].null_count, 50u);
    EXPECT_EQ(by_name["even"].estimated_cardinality, 1u);
}

TEST(EngineBatch, EqualColumnTextsInOneBatchAreOneColumn) {
    KarvoEngine engine;
    ColumnBatchBuilder batch(engine.value_keys());
    batch.add("k", TypedValue::from_float(0.0))
        .add("k", TypedValue::from_float(-0.0))
        .add("other", TypedValue::null())
        .add("k", TypedValue::from_int(-4))
        .add("k", TypedValue::from_int(9));
    engine.process_columns(batch.batch());
    EXPECT_EQ(
        engine.flush_and_reset(),
        R"({"k":{"total_count":4,"null_count":0,"min_val":-4.0,"max_val":9.0,"estimated_cardinality":4},)"
        R"("other":{"total_count":1,"null_count":1,"min_val":null,"max_val":null,"estimated_cardinality":0}})");
}

TEST(EngineBatch, CellOutsideItsBatchIsAFaultAndIngestsNothing) {
    KarvoEngine engine;
    ColumnBatchBuilder batch(engine.value_keys());
    batch.add("a", TypedValue::from_int(1));
    add_value(batch.batch().parts.emplace_back(), TypedValue::from_int(2), engine.value_keys());
    EXPECT_THROW(engine.process_columns(batch.batch()), Panic);
    EXPECT_EQ(engine.flush_and_reset(), "{}");
}

// A column batch that is not well formed is an internal fault, found before any record is
// created.
TEST(EngineBatch, MalformedColumnBatchIsAFaultAndIngestsNothing) {
    KarvoEngine engine;
    ColumnBatch twice;
    twice.names = {"a", "b", "a"};
    twice.parts.resize(3);
    for (ColumnPart& part : twice.parts) {
        part.add(int_cell(0, 1, ValueKeys{}));
    }
    EXPECT_THROW(engine.process_columns(twice), Panic);
    ColumnBatch uneven;
    uneven.names = {"a", "b"};
    uneven.parts.resize(1);
    uneven.parts[0].add(int_cell(0, 1, ValueKeys{}));
    EXPECT_THROW(engine.process_columns(uneven), Panic);
    EXPECT_EQ(engine.flush_and_reset(), "{}");
}

// Aggregating a batch per column must give exactly what applying its cells one by one
// gives: counts, and bounds to the bit (of equal values the first stays).
TEST(EngineBatch, AggregationEqualsCellByCellRecording) {
    const std::vector<std::string> names = {"a", "b", "c", "", "B"};
    const std::vector<double> floats = {0.0, -0.0, 1.5, -1.5, kInf, -kInf, kNaN, 3.0, 1e300};
    const std::vector<std::string> texts = {"x", "y", "zz", ""};
    std::mt19937_64 random(20261210);
    for (int trial = 0; trial < 200; ++trial) {
        ColumnBatchBuilder batch;
        // Entries of equal text stand for distinct key objects of one column.
        const std::size_t column_entries = 1 + random() % 8;
        std::vector<std::string> columns;
        for (std::size_t i = 0; i < column_entries; ++i) {
            columns.push_back(names[random() % names.size()]);
        }
        std::map<std::string, ColumnStats> reference;
        const std::size_t cells = random() % 60;
        for (std::size_t i = 0; i < cells; ++i) {
            const std::string& column = columns[random() % column_entries];
            TypedValue value = TypedValue::null();
            switch (random() % 5) {
                case 0:
                    break;
                case 1:
                    value = TypedValue::from_float(floats[random() % floats.size()]);
                    break;
                case 2:
                    value = TypedValue::from_int(static_cast<std::int64_t>(random() % 7) - 3);
                    break;
                case 3:
                    value = TypedValue::from_str(texts[random() % texts.size()]);
                    break;
                case 4:  // ints that no double holds, keyed by their hash
                    value = TypedValue::from_int((std::int64_t{1} << 60) + random() % 3);
                    break;
            }
            batch.add(column, value);
            testing::apply_value(reference.try_emplace(column).first->second, value);
        }
        KarvoEngine engine(testing::kTestKeys);
        engine.process_columns(batch.batch());
        const auto report = read_report(engine.flush_and_reset());
        ASSERT_EQ(report.size(), reference.size()) << trial;
        for (const auto& [name, column] : report) {
            ColumnStats& expected = reference.at(name);
            ColumnStatsSnapshot want = snapshot_of(expected);
            // The report writes infinite bounds as null.
            for (auto* bound : {&want.min_val, &want.max_val}) {
                if (*bound && !std::isfinite(**bound)) {
                    bound->reset();
                }
            }
            EXPECT_EQ(column.total_count, want.total_count) << trial << " " << name;
            EXPECT_EQ(column.null_count, want.null_count) << trial << " " << name;
            ASSERT_EQ(column.min_val.has_value(), want.min_val.has_value()) << trial << " " << name;
            ASSERT_EQ(column.max_val.has_value(), want.max_val.has_value()) << trial << " " << name;
            if (want.min_val) {
                EXPECT_EQ(std::bit_cast<std::uint64_t>(*column.min_val),
                          std::bit_cast<std::uint64_t>(*want.min_val))
                    << trial << " " << name;
            }
            if (want.max_val) {
                EXPECT_EQ(std::bit_cast<std::uint64_t>(*column.max_val),
                          std::bit_cast<std::uint64_t>(*want.max_val))
                    << trial << " " << name;
            }
            // Few distinct keys: both sketches count them exactly, whatever their keys.
            EXPECT_EQ(column.estimated_cardinality, want.estimated_cardinality)
                << trial << " " << name;
        }
    }
}

// 5000 names under a sanitizer still outgrow the batch's name cache and every table's
// first sizes; the full 20,000 there would take minutes for no other path.
TEST(EngineBatch, NamesSharingOneHashAreSeparateColumns) {
    const auto names = testing::colliding_names(karvo_test::scaled(20000, 5000));
    KarvoEngine engine;
    ColumnBatchBuilder batch(engine.value_keys());
    std::vector<std::pair<std::size_t, std::int64_t>> cells;  // (name, value) in batch order
    for (int pass = 0; pass < 2; ++pass) {
        for (std::size_t i = 0; i < names.size(); ++i) {
            cells.emplace_back(i, static_cast<std::int64_t>(i) * (pass + 1));
        }
    }
    for (const auto& [name, value] : cells) {
        batch.add(names[name], TypedValue::from_int(value));
    }
    engine.process_columns(batch.batch());
    // The same cells once more as rows: the second batch finds every column.
    std::vector<TypedRow> rows(cells.size());
    for (std::size_t i = 0; i < rows.size(); ++i) {
        rows[i].insert(names[cells[i].first], TypedValue::from_int(cells[i].second));
    }
    process_batch(engine, rows);
    const auto report = read_report(engine.flush_and_reset());
    ASSERT_EQ(report.size(), names.size());
    for (std::size_t i = 0; i < names.size(); ++i) {
        const auto& [name, column] = report[i];  // first-seen order is the names' order
        ASSERT_EQ(name, names[i]);
        EXPECT_EQ(column.total_count, 4u);
        EXPECT_EQ(column.min_val, static_cast<double>(i));
        EXPECT_EQ(column.max_val, static_cast<double>(2 * i));
        EXPECT_EQ(column.estimated_cardinality, i == 0 ? 1u : 2u);
    }
}

// Every entry point with every family of crafted names: each name is its own column, and
// a second batch finds the columns the first made.
TEST(EngineBatch, CraftedNamesAreSeparateColumnsOnEveryPath) {
    enum class Path { Builder, Columns, Rows };
    for (const auto& [what, names] : testing::hostile_families(3000)) {
        for (Path path : {Path::Builder, Path::Columns, Path::Rows}) {
            KarvoEngine engine;
            for (int pass = 0; pass < 2; ++pass) {
                const auto value = [&](std::size_t i) {
                    return TypedValue::from_int(static_cast<std::int64_t>(i) * (pass + 1));
                };
                if (path == Path::Builder) {
                    ColumnBatchBuilder batch(engine.value_keys());
                    for (std::size_t i = 0; i < names.size(); ++i) {
                        batch.add(names[i], value(i));
                    }
                    engine.process_columns(batch.batch());
                } else if (path == Path::Columns) {
                    ColumnBatch batch;
                    for (std::size_t i = 0; i < names.size(); ++i) {
                        batch.names.push_back(names[i]);
                        add_value(batch.parts.emplace_back(), value(i), engine.value_keys());
                    }
                    engine.process_columns(batch);
                } else {
                    std::vector<TypedRow> rows(1);
                    for (std::size_t i = 0; i < names.size(); ++i) {
                        rows[0].insert(names[i], value(i));
                    }
                    process_batch(engine, rows);
                }
            }
            const auto report = read_report(engine.flush_and_reset());
            ASSERT_EQ(report.size(), names.size()) << what;
            std::map<std::string, testing::ReportedColumn> by_name(report.begin(), report.end());
            ASSERT_EQ(by_name.size(), names.size()) << what;
            for (std::size_t i = 0; i < names.size(); ++i) {
                const auto& column = by_name.at(names[i]);
                EXPECT_EQ(column.total_count, 2u) << what << " " << i;
                EXPECT_EQ(column.min_val, static_cast<double>(i)) << what;
                EXPECT_EQ(column.max_val, static_cast<double>(2 * i)) << what;
            }
        }
    }
}

// The distinctness check of a column batch still tells equal names from colliding ones.
TEST(EngineBatch, CraftedNamesRepeatedInAColumnBatchAreAFault) {
    for (const auto& [what, names] : testing::hostile_families(3000)) {
        ColumnBatch batch;
        for (const auto& name : names) {
            batch.names.push_back(name);
            batch.parts.emplace_back().add(int_cell(0, 1, ValueKeys{}));
        }
        KarvoEngine engine;
        engine.process_columns(batch);  // all distinct: accepted
        batch.names.push_back(names[names.size() / 2]);
        batch.parts.emplace_back().add(int_cell(0, 1, ValueKeys{}));
        EXPECT_THROW(engine.process_columns(batch), Panic) << what;
        const auto report = read_report(engine.flush_and_reset());
        ASSERT_EQ(report.size(), names.size()) << what;
        for (const auto& [name, column] : report) {
            EXPECT_EQ(column.total_count, 1u) << what;  // the faulty batch added nothing
        }
    }
}

}  // namespace
}  // namespace profiler
