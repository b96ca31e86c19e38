// The fold pipeline: the parts it folds do not depend on who folds them (the calling
// thread alone, or a worker with chunks of any size); it joins its worker on every path;
// the worker it lends runs or withdraws a task; and an engine that applies a batch on two
// threads stores what one thread stores.
#include "ingest/fold_pipeline.h"

#include <gtest/gtest.h>

#include <atomic>
#include <bit>
#include <cmath>
#include <random>
#include <span>
#include <string>
#include <vector>

#include "../profiler/test_support.h"
#include "profiler/engine.h"
#include "profiler/profile_codec.h"
#include "profiler/seed_keys.h"
#include "refused_threads.h"

namespace ingest {
namespace {

using profiler::ColumnBatch;
using profiler::encode_profile;
using profiler::float_cell;
using profiler::KarvoEngine;
using profiler::keys_from_seed;
using profiler::null_cell;
using profiler::SeedKeys;
using profiler::str_cell;
using profiler::wide_unsigned_cell;
using profiler::testing::kTestKeys;

// One row of raw cells, as the reader writes it: numbers in the forms it uses, texts
// through text_cell (short, long, of any bytes, with NUL bytes; repeated), columns in any order and
// some absent.
void write_row(FoldPipeline& pipeline, std::mt19937_64& rng, int row) {
    auto& cells = pipeline.cells();
    const auto column = [&](std::uint32_t bound) {
        return static_cast<std::uint32_t>(rng() % bound);
    };
    cells.push_back(raw_int(column(3), static_cast<std::int64_t>(rng() % 100) - 50));
    cells.push_back(raw_int(3, static_cast<std::int64_t>(rng())));  // mostly beyond 2^53
    const double reals[] = {0.0, -0.0, 1.5, NAN, INFINITY, -2.25};
    const double real = reals[rng() % 6];
    cells.push_back(std::isnan(real) ? keyed(null_cell(4)) : keyed(float_cell(4, real)));
    cells.push_back(pipeline.text_cell(5, "t" + std::to_string(rng() % 30)));
    cells.push_back(pipeline.text_cell(6, std::string(200 + rng() % 200, 'x')));
    cells.push_back(pipeline.text_cell(7, std::string_view("a\0b", 3)));
    std::string bytes(rng() % 300, '\0');  // copied for the worker or keyed by the reader
    for (char& c : bytes) {
        c = static_cast<char>(rng());
    }
    cells.push_back(pipeline.text_cell(2, bytes));
    if (row % 7 == 0) {
        cells.push_back(keyed(wide_unsigned_cell(8 + column(40), rng() | (1ULL << 63), kTestKeys)));
    }
    if (row % 3 == 0) {
        cells.push_back(keyed(null_cell(9)));
    }
    pipeline.end_row();
}

std::vector<ColumnPart> fold_rows(FoldOptions options, int rows) {
    std::mt19937_64 rng(7);
    FoldPipeline pipeline(kTestKeys, options);
    for (int row = 0; row < rows; ++row) {
        write_row(pipeline, rng, row);
    }
    return pipeline.finish(60);
}

void expect_equal_parts(const std::vector<ColumnPart>& a, const std::vector<ColumnPart>& b) {
    ASSERT_EQ(a.size(), b.size());
    for (std::size_t i = 0; i < a.size(); ++i) {
        EXPECT_EQ(a[i].cells, b[i].cells) << i;
        EXPECT_EQ(a[i].nulls, b[i].nulls) << i;
        EXPECT_EQ(std::bit_cast<std::uint64_t>(a[i].min), std::bit_cast<std::uint64_t>(b[i].min))
            << i;
        EXPECT_EQ(std::bit_cast<std::uint64_t>(a[i].max), std::bit_cast<std::uint64_t>(b[i].max))
            << i;
        const std::span<const std::uint64_t> ka = a[i].keys;
        const std::span<const std::uint64_t> kb = b[i].keys;
        EXPECT_TRUE(std::equal(ka.begin(), ka.end(), kb.begin(), kb.end())) << i;
    }
}

TEST(FoldPipeline, PartsDoNotDependOnWhoFolds) {
    for (int rows : {0, 1, 5, 3000}) {
        const std::vector<ColumnPart> alone = fold_rows({.threads = 1}, rows);
        ASSERT_EQ(alone.size(), 60u);
        for (const FoldOptions options :
             {FoldOptions{2, 1}, FoldOptions{2, 13}, FoldOptions{2, 16384}, FoldOptions{0, 64}}) {
            SCOPED_TRACE(::testing::Message() << "rows " << rows << " threads " << options.threads
                                              << " chunk " << options.chunk_cells);
            expect_equal_parts(fold_rows(options, rows), alone);
        }
    }
}

// A machine out of threads: the pipeline folds on the calling thread, to the same parts.
TEST(FoldPipeline, FoldsAloneWhenTheSystemRefusesItsWorker) {
    const std::vector<ColumnPart> alone = fold_rows({.threads = 1}, 3000);
    for (const FoldOptions options : {FoldOptions{2, 13}, FoldOptions{2, 16384}}) {
        testing::RefusedThreads refused(0);
        expect_equal_parts(fold_rows(options, 3000), alone);
        EXPECT_EQ(refused.refused(), 1) << "the worker was asked for once";
    }
}

// A chunk keeps each copied text byte for byte (the arena copies short texts by
// overlapping moves, so every length up to 300 is tried, across the arena's growth and
// after a clear), and its Text cells fold into the parts that the same texts keyed at
// once give.
TEST(CellChunk, TextCellsFoldAsTextsKeyedAtOnce) {
    std::mt19937_64 rng(11);
    CellChunk chunk;
    for (const int round : {0, 1}) {
        SCOPED_TRACE(round);
        chunk.clear();
        std::vector<std::string> texts;
        std::vector<RawCell> keyed_at_once;
        for (std::size_t size = 0; size <= 300; ++size) {
            for (int copy = 0; copy < 3; ++copy) {  // some sizes repeat a text
                std::string text(size, '\0');
                for (char& c : text) {
                    c = static_cast<char>(rng() % 4 == 0 ? 0 : rng());  // NULs, non-ASCII bytes
                }
                if (copy == 2 && size % 5 == 0) {
                    text = texts.back();
                }
                const auto column = static_cast<std::uint32_t>(rng() % 9);
                chunk.cells.push_back(chunk.text_cell(column, text));
                keyed_at_once.push_back(keyed(str_cell(column, text, kTestKeys)));
                texts.push_back(std::move(text));
            }
        }
        const std::string_view arena = chunk.text;
        for (std::size_t i = 0; i < texts.size(); ++i) {
            ASSERT_EQ(arena.substr(chunk.cells[i].key, chunk.cells[i].payload), texts[i]) << i;
        }
        std::vector<ColumnPart> folded;
        fold_cells(chunk.cells, chunk.text, kTestKeys, folded);
        std::vector<ColumnPart> expected;
        fold_cells(keyed_at_once, {}, kTestKeys, expected);
        expect_equal_parts(folded, expected);
    }
}

TEST(FoldPipeline, UnfinishedPipelineJoinsItsWorker) {
    // Destroyed with chunks handed over and unfolded, as when the reader fails.
    for (std::size_t chunk : {1u, 8u, 1000u}) {
        std::mt19937_64 rng(1);
        FoldPipeline pipeline(kTestKeys, {.threads = 2, .chunk_cells = chunk});
        for (int row = 0; row < 500; ++row) {
            write_row(pipeline, rng, row);
        }
    }
}

TEST(FoldPipeline, LendsItsWorkerOnlyAfterStartingOne) {
    FoldPipeline alone(kTestKeys, {.threads = 1});
    alone.finish(0);
    EXPECT_EQ(alone.second_thread(), nullptr);

    FoldPipeline shared(kTestKeys, {.threads = 2});
    shared.cells().push_back(raw_int(0, 1));
    shared.end_row();
    shared.finish(1);
    SecondThread* helper = shared.second_thread();
    ASSERT_NE(helper, nullptr);
    // A task that shares a counter loses nothing, whether it ran or was withdrawn.
    for (int round = 0; round < 200; ++round) {
        std::atomic<int> next{0};
        std::atomic<int> done{0};
        auto share = [&] {
            while (next.fetch_add(1) < 1000) {
                done.fetch_add(1);
            }
        };
        helper->start(share);
        share();
        helper->wait();
        EXPECT_EQ(done.load(), 1000);
    }
    helper->start([] { throw std::bad_alloc(); });
    // Either it was withdrawn before it began, or its failure comes back here.
    try {
        helper->wait();
    } catch (const std::bad_alloc&) {
    }
}

// ---- the engine's split apply

std::vector<std::uint8_t> stored(const KarvoEngine& engine) {
    return encode_profile(engine.export_state(), 1);
}

TEST(FoldPipeline, EngineAppliesOnTwoThreadsAsOnOne) {
    const SeedKeys keys = keys_from_seed(5);
    const KarvoEngine one(keys.values, keys.sketch);
    const KarvoEngine two(keys.values, keys.sketch);
    std::vector<std::string> names;
    for (int i = 0; i < 50; ++i) {
        names.push_back("c" + std::to_string(i));
    }
    for (int call = 0; call < 2; ++call) {  // the second call meets existing records
        std::mt19937_64 rng(call);
        FoldPipeline alone(keys.values, {.threads = 1});
        FoldPipeline shared(keys.values, {.threads = 2, .chunk_cells = 4096});
        for (int row = 0; row < 4000; ++row) {
            for (FoldPipeline* pipeline : {&alone, &shared}) {
                std::mt19937_64 same = rng;
                for (std::uint32_t c = 0; c < 45; ++c) {  // the last columns stay empty
                    pipeline->cells().push_back(raw_int(c, static_cast<std::int64_t>(same())));
                }
                pipeline->end_row();
            }
            rng.discard(45);
        }
        ColumnBatch batch_one{{names.begin(), names.end()}, alone.finish(names.size())};
        ColumnBatch batch_two{{names.begin(), names.end()}, shared.finish(names.size())};
        ASSERT_NE(shared.second_thread(), nullptr);
        one.process_columns(batch_one);
        two.process_columns(batch_two, shared.second_thread());
        EXPECT_EQ(stored(one), stored(two));
        EXPECT_EQ(one.column_names(), two.column_names());
    }
}

}  // namespace
}  // namespace ingest
