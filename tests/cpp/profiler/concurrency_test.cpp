// Real threads on one engine. Run under -DKARVO_SANITIZE=thread as well.
#include <gtest/gtest.h>

#include <atomic>
#include <map>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "profiler/column_map.h"
#include "profiler/engine.h"
#include "profiler/profile_codec.h"
#include "profiler/seed_keys.h"
#include "test_support.h"

namespace profiler {
namespace {

using testing::read_report;

// prefix followed by n. Built by appending: g++ 12 at -O3 warns falsely (-Wrestrict) about
// a literal + std::to_string(...) inlined into these thread bodies.
std::string numbered(const char* prefix, int n) {
    std::string name(prefix);
    name += std::to_string(n);
    return name;
}

constexpr int kThreads = 4;
constexpr int kBatches = 150;

// Thread t's batch b: shared names every thread uses, plus names new to this thread.
// Each row holds one cell per name; every cell is Int 1, so a column's totals are the
// number of cells given.
testing::ColumnBatchBuilder make_batch(int thread, int batch) {
    std::vector<std::string> names;
    for (int i = 0; i < 6; ++i) {
        names.push_back("shared" + std::to_string((batch + i) % 10));
    }
    names.push_back("own" + std::to_string(thread) + "_" + std::to_string(batch % 25));
    names.push_back("fresh" + std::to_string(batch));  // new to the map for whoever is first
    testing::ColumnBatchBuilder cells;
    for (int row = 0; row < 5; ++row) {
        for (const auto& name : names) {
            cells.add(name, TypedValue::from_int(row));
        }
    }
    return cells;
}

std::map<std::string, std::uint64_t> cells_given() {
    std::map<std::string, std::uint64_t> given;
    for (int t = 0; t < kThreads; ++t) {
        for (int b = 0; b < kBatches; ++b) {
            testing::ColumnBatchBuilder cells = make_batch(t, b);
            const ColumnBatch& batch = cells.batch();
            for (std::size_t i = 0; i < batch.names.size(); ++i) {
                given[std::string(batch.names[i])] += batch.parts[i].cells;
            }
        }
    }
    return given;
}

void ingest(const KarvoEngine& engine, int thread) {
    for (int b = 0; b < kBatches; ++b) {
        engine.process_columns(make_batch(thread, b).batch());
    }
}

// Adds a report to the running sums; no column may appear twice in one report.
void add_report(const std::string& text, std::map<std::string, std::uint64_t>& sums) {
    std::set<std::string> names;
    for (const auto& [name, column] : read_report(text)) {
        EXPECT_TRUE(names.insert(name).second) << "column reported twice: " << name;
        EXPECT_LE(column.null_count, column.total_count);
        sums[name] += column.total_count;
    }
}

TEST(EngineConcurrency, OverlappingBatchesLoseNothing) {
    KarvoEngine engine(testing::kTestKeys);
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back(ingest, std::cref(engine), t);
    }
    for (auto& thread : threads) {
        thread.join();
    }
    std::map<std::string, std::uint64_t> sums;
    add_report(engine.flush_and_reset(), sums);
    EXPECT_EQ(sums, cells_given());
}

TEST(EngineConcurrency, RowBatchesFromManyThreadsShareRecords) {
    KarvoEngine engine(testing::kTestKeys);
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&engine, t] {
            for (int b = 0; b < 200; ++b) {
                std::vector<TypedRow> rows(3);
                for (auto& row : rows) {
                    row.insert(numbered("n", b % 40), TypedValue::from_int(t));
                    row.insert("all", TypedValue::from_str("v"));
                }
                process_batch(engine, rows);
            }
        });
    }
    for (auto& thread : threads) {
        thread.join();
    }
    std::map<std::string, std::uint64_t> sums;
    const auto report = read_report(engine.flush_and_reset());
    ASSERT_EQ(report.size(), 41u);
    for (const auto& [name, column] : report) {
        if (name == "all") {
            EXPECT_EQ(column.total_count, kThreads * 200u * 3u);
            EXPECT_EQ(column.estimated_cardinality, 1u);
        } else {
            EXPECT_EQ(column.total_count, kThreads * 5u * 3u) << name;
            EXPECT_EQ(column.min_val, 0.0);
            EXPECT_EQ(column.max_val, kThreads - 1.0);
            EXPECT_EQ(column.estimated_cardinality, static_cast<std::uint64_t>(kThreads));
        }
    }
}

// Flushes swap the map while batches write into it: every cell given must be in exactly
// one report, none counted twice and none lost in a map that a flush swapped out while a
// batch still wrote into it.
TEST(EngineConcurrency, FlushesRacingBatchesCountEveryCellOnce) {
    KarvoEngine engine(testing::kTestKeys);
    std::atomic<int> ingesting{kThreads};
    std::mutex sums_mutex;
    std::map<std::string, std::uint64_t> sums;
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&, t] {
            ingest(engine, t);
            ingesting.fetch_sub(1);
        });
    }
    int flushes = 0;
    for (int f = 0; f < 2; ++f) {
        threads.emplace_back([&] {
            std::map<std::string, std::uint64_t> mine;
            int count = 0;
            while (ingesting.load() > 0 || count < 3) {
                add_report(engine.flush_and_reset(), mine);
                ++count;
                std::this_thread::yield();
            }
            std::lock_guard<std::mutex> hold(sums_mutex);
            for (const auto& [name, total] : mine) {
                sums[name] += total;
            }
            flushes += count;
        });
    }
    for (auto& thread : threads) {
        thread.join();
    }
    add_report(engine.flush_and_reset(), sums);
    EXPECT_GE(flushes, 6);
    EXPECT_EQ(sums, cells_given());
    EXPECT_EQ(engine.flush_and_reset(), "{}");
}

// The same with merges as the writers: a merge, too, ends before a flush reads its map.
TEST(EngineConcurrency, FlushesRacingMergesCountEveryCellOnce) {
    const SeedKeys keys = keys_from_seed(7);  // merging needs shared sketch keys
    KarvoEngine engine(keys.values, keys.sketch);
    std::vector<ProfileState> pieces;
    for (int t = 0; t < kThreads; ++t) {
        KarvoEngine piece(keys.values, keys.sketch);
        ingest(piece, t);
        pieces.push_back(piece.export_state());
    }
    constexpr int kRounds = 40;
    std::atomic<int> merging{kThreads};
    std::map<std::string, std::uint64_t> sums;
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&, t] {
            for (int round = 0; round < kRounds; ++round) {
                engine.merge_state(pieces[t]);
            }
            merging.fetch_sub(1);
        });
    }
    threads.emplace_back([&] {
        while (merging.load() > 0) {
            add_report(engine.flush_and_reset(), sums);
            std::this_thread::yield();
        }
    });
    for (auto& thread : threads) {
        thread.join();
    }
    add_report(engine.flush_and_reset(), sums);
    std::map<std::string, std::uint64_t> expected = cells_given();
    for (auto& [name, total] : expected) {
        total *= kRounds;
    }
    EXPECT_EQ(sums, expected);
}

TEST(EngineConcurrency, FlushesBetweenBatchesOfOneThreadLoseNothing) {
    KarvoEngine engine(testing::kTestKeys);
    std::map<std::string, std::uint64_t> sums;
    for (int t = 0; t < kThreads; ++t) {
        for (int b = 0; b < kBatches; ++b) {
            engine.process_columns(make_batch(t, b).batch());
            if ((t * kBatches + b) % 7 == 3) {
                add_report(engine.flush_and_reset(), sums);
            }
        }
    }
    add_report(engine.flush_and_reset(), sums);
    EXPECT_EQ(sums, cells_given());
}

// A copy of the profile taken while writes run is a state observations could make, so
// that to_bytes (and pickle) beside writes always gives a blob that loads. The writers
// use fresh columns all the time, with zeros of both signs, values, texts and nulls, which
// is where a copy could catch a bound without the other or a sketch ahead of its counts.
TEST(EngineConcurrency, CopiesTakenBesideWritesAlwaysDecode) {
    const SeedKeys keys = keys_from_seed(7);
    KarvoEngine engine(keys.values, keys.sketch);
    constexpr int kRounds = 10000;
    auto batch_of = [](int thread, int round) {
        testing::ColumnBatchBuilder cells;
        const std::string fresh = numbered("fresh", round);
        const std::string text = numbered("t", thread * kRounds + round);
        for (int row = 0; row < 3; ++row) {
            const double x = row == 0 ? (thread % 2 == 0 ? 0.0 : -0.0) : thread * 10.0 + row;
            cells.add(fresh, TypedValue::from_float(thread % 2 == 0 ? x : -x));
            cells.add("shared", TypedValue::from_str(text));
            cells.add("nulls", row == 1 ? TypedValue::from_int(row) : TypedValue::null());
        }
        return cells;
    };
    KarvoEngine other(keys.values, keys.sketch);
    other.process_columns(batch_of(5, 0).batch());
    const ProfileState to_merge = other.export_state();
    std::atomic<int> writing{kThreads};
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&, t] {
            for (int round = 0; round < kRounds; ++round) {
                if (t == 0 && round % 3 == 0) {
                    engine.merge_state(to_merge);
                }
                engine.process_columns(batch_of(t, round).batch());
            }
            writing.fetch_sub(1);
        });
    }
    int copies = 0;
    while (writing.load() > 0 || copies == 0) {
        const auto bytes = encode_profile(engine.export_state(), keys.fingerprint);
        ASSERT_NO_THROW(decode_profile(bytes, keys.fingerprint));
        ++copies;
    }
    for (auto& thread : threads) {
        thread.join();
    }
}

TEST(EngineConcurrency, SlotLoadsRacingSwaps) {
    ColumnMapSlot slot(ColumnMap::make(0, 4));
    std::atomic<bool> done{false};
    std::atomic<std::uint64_t> loads{0};
    std::vector<std::thread> loaders;
    for (int t = 0; t < kThreads; ++t) {
        loaders.emplace_back([&, t] {
            std::vector<ColumnMapRef> pins;
            while (!done.load()) {
                pins.push_back(slot.load());
                loads.fetch_add(1);
                // A pinned map stays usable whatever the swapper does meanwhile.
                pins.back()->entry(numbered("t", t)).or_insert_with([] {
                    return ColumnStats::create(0);
                });
                if (pins.size() > 1500) {
                    pins.erase(pins.begin(), pins.begin() + 1000);
                }
            }
        });
    }
    for (int i = 0; i < 1000; ++i) {
        if (i % 100 == 0) {
            // Let one map take thousands of concurrent loads before it is swapped out,
            // so that many pins of it are still held when it leaves the slot.
            const std::uint64_t target = loads.load() + 5000;
            while (loads.load() < target) {
                std::this_thread::yield();
            }
        }
        ColumnMapRef previous = slot.swap(ColumnMap::make(0, 4));
        EXPECT_TRUE(previous);
    }
    done.store(true);
    for (auto& thread : loaders) {
        thread.join();
    }
    EXPECT_FALSE(slot.load()->get("never").has_value());
}

}  // namespace
}  // namespace profiler
