// Large batches fold and apply their columns on two threads: the profile, and which refusal a
// batch with several faults gets, must be those of one thread, with the second thread
// started or refused by the system.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "../ingest/refused_threads.h"
#include "arrow/batch_reader.h"
#include "arrow/validate.h"
#include "arrow_builders.h"
#include "profiler/cpu_budget.h"
#include "profiler/engine.h"
#include "profiler/seed_keys.h"

namespace arrow_input {
namespace {

using arrow_test::Node;

const profiler::SeedKeys kKeys = profiler::keys_from_seed(13);
constexpr std::int64_t kRows = 60000;  // x 4 columns: past kParallelCells

std::unique_ptr<Node> large_batch() {
    std::vector<std::optional<std::int64_t>> ints;
    std::vector<std::optional<std::string>> texts;
    std::vector<std::optional<double>> reals;
    std::vector<std::optional<std::int32_t>> codes;
    for (std::int64_t i = 0; i < kRows; ++i) {
        ints.push_back(i % 17 == 0 ? std::nullopt : std::optional<std::int64_t>(i * 7919));
        texts.push_back(i % 13 == 0 ? std::nullopt : std::optional<std::string>("t" + std::to_string(i % 5003)));
        reals.push_back(i % 11 == 0 ? std::nullopt : std::optional<double>(i / 8.0));
        codes.push_back(static_cast<std::int32_t>(i % 3));
    }
    return arrow_test::batch_of(arrow_test::fixed<std::int64_t>("l", "i", ints),
                                arrow_test::strings("t", texts),
                                arrow_test::fixed<double>("g", "r", reals),
                                arrow_test::encoded("d", codes, arrow_test::strings("", {"a", "b", "c"})));
}

// The report of the batch read as many small batches, each folded on one thread.
std::string read_in_small_slices(Node& batch) {
    const profiler::KarvoEngine engine(kKeys.values, kKeys.sketch);
    const BatchConverter converter(batch.schema);
    for (std::int64_t start = 0; start < kRows; start += 1000) {
        batch.array.offset = start;
        batch.array.length = std::min<std::int64_t>(1000, kRows - start);
        converter.observe(engine, batch.array);
    }
    batch.array.offset = 0;
    batch.array.length = kRows;
    return engine.report();
}

TEST(ParallelFold, GivesTheProfileOfOneThread) {
    ASSERT_GE(static_cast<std::uint64_t>(kRows) * 4, BatchConverter::kParallelCells);
    auto batch = large_batch();
    const std::string want = read_in_small_slices(*batch);
    // Both threads started (folding, applying), the first only, neither.
    for (const int allowed : {2, 1, 0}) {
        const ingest::testing::RefusedThreads threads(allowed);
        const profiler::KarvoEngine engine(kKeys.values, kKeys.sketch);
        EXPECT_EQ(BatchConverter(batch->schema).observe(engine, batch->array),
                  static_cast<std::uint64_t>(kRows));
        EXPECT_EQ(engine.report(), want) << "threads allowed: " << allowed;
    }
}

TEST(ParallelFold, RefusesWithTheFirstFaultyColumn) {
    if (profiler::usable_processors() < 2) {
        GTEST_SKIP() << "one processor: the batch folds on one thread";
    }
    auto batch = large_batch();
    // Text that is not UTF-8 in "t" (column 1) and in the dictionary's used value "b".
    (*batch->children[1]->buffers[2])[5] = 0xFF;
    (*batch->children[3]->dictionary->buffers[2])[1] = 0xFF;
    for (int round = 0; round < 20; ++round) {
        const profiler::KarvoEngine engine(kKeys.values, kKeys.sketch);
        try {
            BatchConverter(batch->schema).observe(engine, batch->array);
            FAIL() << "accepted";
        } catch (const InvalidArray& error) {
            EXPECT_EQ(std::string(error.what()).rfind("column 't':", 0), 0u) << error.what();
        }
        EXPECT_EQ(engine.report(), "{}");
    }
}

}  // namespace
}  // namespace arrow_input
