// Every write is all or nothing under allocation failure: a batch or a merge that throws
// bad_alloc leaves the engine exactly as it was, and one that returns has applied in full.
//
// This binary replaces the global allocation functions. Armed, the Nth allocation from
// then on throws bad_alloc; the tests arm N = 0, 1, 2, ... in turn, so that each write is
// failed at every allocation it makes, until one runs through without reaching N.
// Afterwards a second batch, naming every column in reverse order, shows whether the
// failed write left a record behind: such a record would keep its earlier place in the
// creation order.

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdint>
#include <cstdlib>
#include <functional>
#include <memory>
#include <mutex>
#include <new>
#include <span>
#include <string>
#include <thread>
#include <vector>

#include "../profiler/typed_rows.h"
#include "profiler/column_batch.h"
#include "profiler/engine.h"
#include "profiler/profile_codec.h"
#include "ingest/raw_cell.h"
#include "profiler/seed_keys.h"
#include "profiler/typed_value.h"

namespace {

// Allocations still to succeed on this thread before one fails; negative while disarmed.
// Per thread, so that a failing writer can run beside writers that do not fail.
thread_local long allocations_before_failure = -1;
// Whether the armed failure lasts: every allocation after it fails too, as when memory
// stays short. A step that catches one failure and carries on then meets the next one.
thread_local bool failure_lasts = false;
thread_local bool failing = false;

bool allocation_fails() {
    if (failing) {
        return true;
    }
    if (allocations_before_failure < 0) {
        return false;
    }
    if (allocations_before_failure-- == 0) {
        failing = failure_lasts;
        return true;
    }
    return false;
}

void* allocate(std::size_t size) {
    if (allocation_fails()) {
        throw std::bad_alloc();
    }
    void* block = std::malloc(size == 0 ? 1 : size);
    if (block == nullptr) {
        throw std::bad_alloc();
    }
    return block;
}

}  // namespace

void* operator new(std::size_t size) { return allocate(size); }
void* operator new[](std::size_t size) { return allocate(size); }
void operator delete(void* block) noexcept { std::free(block); }
void operator delete[](void* block) noexcept { std::free(block); }
void operator delete(void* block, std::size_t) noexcept { std::free(block); }
void operator delete[](void* block, std::size_t) noexcept { std::free(block); }

namespace profiler {
namespace {

// Arms the failure of the allocation `n` allocations from now; disarms when it goes.
class FailingAllocation {
  public:
    explicit FailingAllocation(long n, bool lasting = false) {
        allocations_before_failure = n;
        failure_lasts = lasting;
    }
    ~FailingAllocation() {
        allocations_before_failure = -1;
        failure_lasts = false;
        failing = false;
    }
    FailingAllocation(const FailingAllocation&) = delete;
    FailingAllocation& operator=(const FailingAllocation&) = delete;
    // Whether the armed allocation was reached.
    static bool reached() { return allocations_before_failure < 0; }
};

// Ends the process if the test has not finished within its limit, so that a thread that
// never ends cannot hang the run.
class Watchdog {
  public:
    explicit Watchdog(std::chrono::seconds limit)
        : thread_([this, limit] {
              std::unique_lock<std::mutex> lock(mutex_);
              if (!done_cv_.wait_for(lock, limit, [this] { return done_; })) {
                  std::fprintf(stderr, "test still running after its limit\n");
                  std::abort();
              }
          }) {}
    ~Watchdog() {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            done_ = true;
        }
        done_cv_.notify_one();
        thread_.join();
    }
    Watchdog(const Watchdog&) = delete;
    Watchdog& operator=(const Watchdog&) = delete;

  private:
    std::mutex mutex_;
    std::condition_variable done_cv_;
    bool done_ = false;
    std::thread thread_;
};

const SeedKeys kKeys = keys_from_seed(7);

std::unique_ptr<KarvoEngine> make_engine() {
    return std::make_unique<KarvoEngine>(kKeys.values, kKeys.sketch);
}

// An engine that keeps column summaries.
std::unique_ptr<KarvoEngine> make_summary_engine() {
    return std::make_unique<KarvoEngine>(kKeys.values, kKeys.sketch, kKeys.summary);
}

std::vector<std::uint8_t> state_bytes(const KarvoEngine& engine) {
    return encode_profile(engine.export_state(), 0);
}

// A batch with its own copies of the names, built value by value as a reader builds it.
class Batch {
  public:
    // Parts made as `keys` ask: with summary parts for an engine that keeps summaries.
    explicit Batch(const ValueKeys& keys = kKeys.values) : keys_(keys) {}

    Batch& add(const std::string& name, const TypedValue& value) {
        std::size_t i = 0;
        while (i < names_.size() && *names_[i] != name) {
            ++i;
        }
        if (i == names_.size()) {
            names_.push_back(std::make_unique<std::string>(name));
            batch_.names.push_back(*names_.back());
            resize_parts(batch_.parts, batch_.parts.size() + 1, keys_);
        }
        profiler::add_value(batch_.parts[i], value, keys_);
        return *this;
    }
    Batch& ints(const std::string& name, std::int64_t from, std::int64_t count) {
        for (std::int64_t i = from; i < from + count; ++i) {
            add(name, TypedValue::from_int(i));
        }
        return *this;
    }
    const ColumnBatch& batch() const { return batch_; }
    // One null cell per column, columns in reverse order.
    Batch reversed_nulls() const {
        Batch other(keys_);
        for (auto it = names_.rbegin(); it != names_.rend(); ++it) {
            other.add(**it, TypedValue::null());
        }
        return other;
    }

  private:
    ValueKeys keys_;
    std::vector<std::unique_ptr<std::string>> names_;
    ColumnBatch batch_;
};

// A profile whose sketches stand at every point where insertion allocates: a temp_set one
// code short of its merge, a list near the byte limit, a dense sketch, and columns of
// text, floats and nulls.
void set_up(const KarvoEngine& engine) {
    Batch first(engine.value_keys());
    first.ints("full_temp_set", 0, 131);
    first.ints("near_dense", 0, 5000);
    first.ints("dense", 0, 20000);
    first.add("text", TypedValue::from_str("a")).add("text", TypedValue::from_str("b"));
    first.add("floats", TypedValue::from_float(1.5)).add("nulls", TypedValue::null());
    engine.process_columns(first.batch());
}

struct WriteCase {
    const char* name;
    std::function<Batch(const ValueKeys&)> batch;
};

void PrintTo(const WriteCase& c, std::ostream* os) { *os << c.name; }

class BatchUnderFailure : public ::testing::TestWithParam<WriteCase> {};

// Fails the write at every allocation in turn; checks each outcome, then what the next
// batch finds. A failure the sketch absorbs (a table that only saves work) gives the
// whole write.
TEST_P(BatchUnderFailure, AppliesAllOrNothing) {
    const Batch batch = GetParam().batch(kKeys.values);
    const Batch after = batch.reversed_nulls();

    const auto before = make_engine();
    set_up(*before);
    const std::vector<std::uint8_t> unchanged = state_bytes(*before);
    before->process_columns(after.batch());
    const std::vector<std::uint8_t> unchanged_then_after = state_bytes(*before);

    const auto applied = make_engine();
    set_up(*applied);
    applied->process_columns(batch.batch());
    const std::vector<std::uint8_t> whole = state_bytes(*applied);
    applied->process_columns(after.batch());
    const std::vector<std::uint8_t> whole_then_after = state_bytes(*applied);

    long failed = 0;
    for (long n = 0;; ++n) {
        const auto engine = make_engine();
        set_up(*engine);
        bool threw = false;
        bool reached = false;
        {
            FailingAllocation failing(n);
            try {
                engine->process_columns(batch.batch());
            } catch (const std::bad_alloc&) {
                threw = true;
            }
            reached = FailingAllocation::reached();
        }
        ASSERT_TRUE(reached || !threw) << "allocation " << n;
        ASSERT_EQ(state_bytes(*engine), threw ? unchanged : whole) << "allocation " << n;
        engine->process_columns(after.batch());
        ASSERT_EQ(state_bytes(*engine), threw ? unchanged_then_after : whole_then_after)
            << "allocation " << n;
        if (!reached) {
            break;
        }
        failed += threw ? 1 : 0;
    }
    EXPECT_GT(failed, 0) << "the write allocated nothing: the test tests nothing";
}

// Writes that reach every point where a batch allocates.
const std::vector<WriteCase> kWriteCases = {
        WriteCase{"NewColumns",
                  [](const ValueKeys& k) {
                      Batch b(k);
                      for (int c = 0; c < 40; ++c) {
                          b.ints("new" + std::to_string(c), c, 3);
                      }
                      return b;
                  }},
        WriteCase{"TempSetMerges",
                  [](const ValueKeys& k) { return std::move(Batch(k).ints("full_temp_set", 500, 1)); }},
        WriteCase{"ListTurnsDense",
                  [](const ValueKeys& k) { return std::move(Batch(k).ints("near_dense", 10000, 1500)); }},
        WriteCase{"LongRunOfANewColumn",
                  [](const ValueKeys& k) { return std::move(Batch(k).ints("fresh_run", 0, 9000)); }},
        WriteCase{"LongRunOfRepeats",
                  [](const ValueKeys& k) {
                      Batch b(k);
                      for (int i = 0; i < 6000; ++i) {
                          b.add("repeats", TypedValue::from_int(i % 300));
                      }
                      return b;
                  }},
        WriteCase{"Everything",
                  [](const ValueKeys& k) {
                      Batch b(k);
                      b.add("nulls", TypedValue::null()).add("text", TypedValue::from_str("c"));
                      b.ints("new_a", 0, 2).ints("full_temp_set", 700, 3);
                      b.ints("dense", 50000, 5000).ints("near_dense", 20000, 800);
                      b.add("floats", TypedValue::from_float(-2.0)).ints("new_b", 5, 200);
                      return b;
                  }}};

std::string case_name(const ::testing::TestParamInfo<WriteCase>& info) {
    return info.param.name;
}

INSTANTIATE_TEST_SUITE_P(Writes, BatchUnderFailure, ::testing::ValuesIn(kWriteCases), case_name);

// A merge under failure: every form of the other side's sketches meets every form here.
TEST(MergeUnderFailure, MergesAllOrNothing) {
    const auto source = make_engine();
    Batch other;
    other.ints("full_temp_set", 1000, 40).ints("near_dense", 30000, 900);
    other.ints("dense", 0, 100).ints("text", 0, 20000).ints("merged_new", 0, 5);
    other.ints("merged_new_dense", 0, 8000).add("nulls", TypedValue::from_float(3.0));
    source->process_columns(other.batch());
    const ProfileState state = source->export_state();
    Batch after;
    for (const ColumnState& column : state) {
        after.add(column.name, TypedValue::null());
    }
    const Batch reversed = after.reversed_nulls();

    const auto before = make_engine();
    set_up(*before);
    const std::vector<std::uint8_t> unchanged = state_bytes(*before);
    before->process_columns(reversed.batch());
    const std::vector<std::uint8_t> unchanged_then_after = state_bytes(*before);

    const auto merged = make_engine();
    set_up(*merged);
    merged->merge_state(state);
    const std::vector<std::uint8_t> whole = state_bytes(*merged);
    merged->process_columns(reversed.batch());
    const std::vector<std::uint8_t> whole_then_after = state_bytes(*merged);

    long failed = 0;
    for (long n = 0;; ++n) {
        const auto engine = make_engine();
        set_up(*engine);
        bool threw = false;
        bool reached = false;
        {
            FailingAllocation failing(n);
            try {
                engine->merge_state(state);
            } catch (const std::bad_alloc&) {
                threw = true;
            }
            reached = FailingAllocation::reached();
        }
        ASSERT_TRUE(reached || !threw) << "allocation " << n;
        ASSERT_EQ(state_bytes(*engine), threw ? unchanged : whole) << "allocation " << n;
        engine->process_columns(reversed.batch());
        ASSERT_EQ(state_bytes(*engine), threw ? unchanged_then_after : whole_then_after)
            << "allocation " << n;
        if (!reached) {
            break;
        }
        failed += threw ? 1 : 0;
    }
    EXPECT_GT(failed, 0);
}

// A failed write between two others leaves both counted: a retry after the failure
// equals the writes made once each.
TEST(WriteUnderFailure, EarlierAndLaterWritesStayCounted) {
    Batch earlier;
    earlier.ints("x", 0, 300).ints("y", 0, 10);
    Batch failing;
    failing.ints("x", 300, 3000).ints("z", 0, 50);

    const auto reference = make_engine();
    reference->process_columns(earlier.batch());
    reference->process_columns(failing.batch());

    for (long n = 0; n < 64; ++n) {
        const auto engine = make_engine();
        engine->process_columns(earlier.batch());
        bool threw = false;
        {
            FailingAllocation fail(n);
            try {
                engine->process_columns(failing.batch());
            } catch (const std::bad_alloc&) {
                threw = true;
            }
        }
        if (threw) {
            engine->process_columns(failing.batch());  // the retry
        }
        ASSERT_EQ(state_bytes(*engine), state_bytes(*reference)) << "allocation " << n;
        if (!threw) {
            break;
        }
    }
}

// A writer failing at every allocation in turn, beside writers that never fail and a
// reader, on the same columns and on columns of its own: every write that returned is
// counted exactly, none that threw is, and no reader ever sees a column without rows.
TEST(WriteUnderFailure, FailingWritesBesideOthersLoseAndLeaveNothing) {
    const Watchdog watchdog(std::chrono::seconds(120));
    constexpr int kRounds = 400;
    constexpr int kSteady = 2;
    const auto engine = make_engine();
    auto shared_batch = [](int round) {
        Batch b;
        for (int c = 0; c < 8; ++c) {
            b.ints("shared" + std::to_string((round + c) % 12), round * 10, 3);
        }
        return b;
    };
    std::atomic<bool> writing{true};
    std::atomic<int> zero_row_columns{0};
    std::atomic<std::uint64_t> failing_rounds_applied{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < kSteady; ++t) {
        threads.emplace_back([&engine, &shared_batch] {
            for (int round = 0; round < kRounds; ++round) {
                engine->process_columns(shared_batch(round).batch());
            }
        });
    }
    threads.emplace_back([&engine, &shared_batch, &failing_rounds_applied] {
        for (int round = 0; round < kRounds; ++round) {
            Batch b = shared_batch(round);
            b.ints("own" + std::to_string(round % 7), round, 2).ints("big", round * 1000, 300);
            FailingAllocation failing(round % 60);
            try {
                engine->process_columns(b.batch());
                failing_rounds_applied.fetch_add(1);
            } catch (const std::bad_alloc&) {
            }
        }
    });
    threads.emplace_back([&engine, &writing, &zero_row_columns] {
        while (writing.load()) {
            for (const ColumnState& column : engine->export_state()) {
                zero_row_columns.fetch_add(column.total_count == 0 ? 1 : 0);
            }
        }
    });
    for (std::size_t t = 0; t + 1 < threads.size(); ++t) {
        threads[t].join();
    }
    writing.store(false);
    threads.back().join();

    // Each steady round gives 8 shared columns 3 cells; a failing round that returned
    // gives them as much, and its own columns 2 and 300.
    const std::uint64_t expected_shared = std::uint64_t{kRounds} * kSteady * 8 * 3;
    const std::uint64_t applied = failing_rounds_applied.load();
    EXPECT_GT(applied, 0u);
    EXPECT_LT(applied, static_cast<std::uint64_t>(kRounds));
    std::uint64_t shared_total = 0;
    std::uint64_t own_total = 0;
    std::uint64_t big_total = 0;
    for (const ColumnState& column : engine->export_state()) {
        EXPECT_GT(column.total_count, 0u) << column.name;
        if (column.name.rfind("shared", 0) == 0) {
            shared_total += column.total_count;
        } else if (column.name.rfind("own", 0) == 0) {
            own_total += column.total_count;
        } else if (column.name == "big") {
            big_total = column.total_count;
        }
    }
    EXPECT_EQ(shared_total, expected_shared + applied * 8 * 3);
    EXPECT_EQ(own_total, applied * 2);
    EXPECT_EQ(big_total, applied * 300);
    EXPECT_EQ(zero_row_columns.load(), 0);
}


// Rows folded by a RowFolder in groups of `group` rows (one call's rows), the Nth
// allocation of the whole run and every one after it failed (a failure that lasts, so that
// a room the folder failed to make for a later row of the group is met by that row): a
// group that throws leaves the parts as the groups before it made them, and every group
// that returned stands. Rows: a column of repeats,
// one of distinct ints (its key list grows and its table of recent keys starts), and a
// column first named every 60 rows.
class RowFolderUnderFailure : public ::testing::TestWithParam<std::size_t> {};

TEST_P(RowFolderUnderFailure, EachGroupFoldsWholeOrNotAtAll) {
    using ingest::fold_cells;
    using ingest::raw_int;
    using ingest::RawCell;
    using ingest::RowFolder;
    const std::size_t group = GetParam();
    std::vector<std::vector<RawCell>> rows;  // each a group of rows
    for (std::int64_t r = 0; r < 400; ++r) {
        if (r % static_cast<std::int64_t>(group) == 0) {
            rows.emplace_back();
        }
        rows.back().insert(rows.back().end(),
                           {raw_int(0, r % 7), raw_int(1, r),
                            raw_int(static_cast<std::uint32_t>(2 + r / 60), 3 * r)});
    }
    long failed_rows = 0;
    for (long n = 0;; ++n) {
        std::vector<ColumnPart> parts;
        std::vector<bool> folded(rows.size(), false);
        bool reached = false;
        {
            RowFolder folder;
            FailingAllocation failing(n, /*lasting=*/true);
            for (std::size_t r = 0; r < rows.size(); ++r) {
                try {
                    folder.fold(rows[r], {}, kKeys.values, parts, group);
                    folded[r] = true;
                } catch (const std::bad_alloc&) {
                    ++failed_rows;
                }
            }
            reached = FailingAllocation::reached();
        }
        // The rows that returned, folded again without failure.
        std::vector<ColumnPart> expected;
        for (std::size_t r = 0; r < rows.size(); ++r) {
            if (folded[r]) {
                fold_cells(rows[r], {}, kKeys.values, expected);
            }
        }
        parts.resize(std::max(parts.size(), expected.size()));
        expected.resize(parts.size());
        for (std::size_t c = 0; c < parts.size(); ++c) {
            const std::span<const std::uint64_t> keys = parts[c].keys;
            const std::span<const std::uint64_t> expected_keys = expected[c].keys;
            ASSERT_EQ(parts[c].cells, expected[c].cells) << "allocation " << n << ", column " << c;
            ASSERT_EQ(parts[c].nulls, expected[c].nulls) << "allocation " << n;
            ASSERT_EQ(parts[c].min, expected[c].min) << "allocation " << n;
            ASSERT_EQ(parts[c].max, expected[c].max) << "allocation " << n;
            ASSERT_TRUE(std::equal(keys.begin(), keys.end(), expected_keys.begin(),
                                   expected_keys.end()))
                << "allocation " << n << ", column " << c;
        }
        if (!reached) {
            break;
        }
    }
    EXPECT_GT(failed_rows, 0);
}

INSTANTIATE_TEST_SUITE_P(Groups, RowFolderUnderFailure, ::testing::Values(1, 3, 64));

// ---- with column summaries ----------------------------------------------------------
//
// A write whose summary work runs out of memory after its room was claimed does not fail:
// counts, bounds and sketches are applied whole, and the column's summary turns unknown
// (column_summary.h). So under failure a write either throws having changed nothing, the
// summaries included, or returns with everything but the summaries whole, each summary
// either whole or unknown.

// The stored form without the summaries.
std::vector<std::uint8_t> core_bytes(const KarvoEngine& engine) {
    ProfileState state = engine.export_state();
    for (ColumnState& column : state) {
        column.summary.reset();
    }
    return encode_profile(state, 0);
}

std::vector<std::uint8_t> summary_bytes(const ColumnSummary& summary) {
    common::ByteWriter out(64);
    summary.write(out);
    return out.take();
}

// Each column's summary is `whole`'s or unknown; returns the number unknown.
int summaries_whole_or_unknown(const KarvoEngine& engine, const ProfileState& whole) {
    const ProfileState state = engine.export_state();
    EXPECT_EQ(state.size(), whole.size());
    int unknown = 0;
    for (std::size_t i = 0; i < state.size() && i < whole.size(); ++i) {
        const ColumnSummary& got = *state[i].summary;
        if (!got.known) {
            ++unknown;
            continue;
        }
        EXPECT_EQ(summary_bytes(got), summary_bytes(*whole[i].summary)) << state[i].name;
    }
    return unknown;
}

class SummaryBatchUnderFailure : public ::testing::TestWithParam<WriteCase> {};

TEST_P(SummaryBatchUnderFailure, AppliesAllOrNothingAndSummariesWholeOrUnknown) {
    ValueKeys keys = kKeys.values;
    keys.summaries = true;
    const Batch batch = GetParam().batch(keys);

    const auto before = make_summary_engine();
    set_up(*before);
    const std::vector<std::uint8_t> unchanged = state_bytes(*before);

    const auto applied = make_summary_engine();
    set_up(*applied);
    applied->process_columns(batch.batch());
    const std::vector<std::uint8_t> whole = core_bytes(*applied);
    const ProfileState whole_state = applied->export_state();
    for (const ColumnState& column : whole_state) {
        ASSERT_TRUE(column.summary && column.summary->known) << column.name;
    }

    long failed = 0;
    for (long n = 0;; ++n) {
        const auto engine = make_summary_engine();
        set_up(*engine);
        bool threw = false;
        bool reached = false;
        {
            FailingAllocation failing(n);
            try {
                engine->process_columns(batch.batch());
            } catch (const std::bad_alloc&) {
                threw = true;
            }
            reached = FailingAllocation::reached();
        }
        ASSERT_TRUE(reached || !threw) << "allocation " << n;
        if (threw) {
            ASSERT_EQ(state_bytes(*engine), unchanged) << "allocation " << n;
        } else {
            ASSERT_EQ(core_bytes(*engine), whole) << "allocation " << n;
            summaries_whole_or_unknown(*engine, whole_state);
        }
        if (!reached) {
            break;
        }
        failed += threw ? 1 : 0;
    }
    EXPECT_GT(failed, 0) << "the write allocated nothing: the test tests nothing";
}

INSTANTIATE_TEST_SUITE_P(Writes, SummaryBatchUnderFailure, ::testing::ValuesIn(kWriteCases),
                         case_name);

TEST(SummaryMergeUnderFailure, MergesAllOrNothingAndSummariesWholeOrUnknown) {
    ValueKeys keys = kKeys.values;
    keys.summaries = true;
    const auto source = make_summary_engine();
    Batch other(keys);
    other.ints("full_temp_set", 1000, 40).ints("near_dense", 30000, 900);
    other.ints("dense", 0, 100).ints("text", 0, 2000).ints("merged_new", 0, 5);
    other.add("text", TypedValue::from_str("word")).add("nulls", TypedValue::from_float(3.0));
    source->process_columns(other.batch());
    const ProfileState state = source->export_state();

    const auto before = make_summary_engine();
    set_up(*before);
    const std::vector<std::uint8_t> unchanged = state_bytes(*before);
    const auto merged = make_summary_engine();
    set_up(*merged);
    merged->merge_state(state);
    const std::vector<std::uint8_t> whole = core_bytes(*merged);
    const ProfileState whole_state = merged->export_state();

    long failed = 0;
    for (long n = 0;; ++n) {
        const auto engine = make_summary_engine();
        set_up(*engine);
        bool threw = false;
        bool reached = false;
        {
            FailingAllocation failing(n);
            try {
                engine->merge_state(state);
            } catch (const std::bad_alloc&) {
                threw = true;
            }
            reached = FailingAllocation::reached();
        }
        ASSERT_TRUE(reached || !threw) << "allocation " << n;
        if (threw) {
            ASSERT_EQ(state_bytes(*engine), unchanged) << "allocation " << n;
        } else {
            ASSERT_EQ(core_bytes(*engine), whole) << "allocation " << n;
            summaries_whole_or_unknown(*engine, whole_state);
        }
        if (!reached) {
            break;
        }
        failed += threw ? 1 : 0;
    }
    EXPECT_GT(failed, 0);
}

}  // namespace
}  // namespace profiler
