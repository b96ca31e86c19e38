// One input, many ways of reading it: whole or fed in pieces of any size, on one thread
// or several. Every way must hand on the same batches in the same order, and so leave the
// profile in the same state.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <random>
#include <string>
#include <vector>

#include "../ingest/refused_threads.h"
#include "jsonl_test_support.h"
#include "profiler/engine.h"

namespace jsonl {
namespace {

using testing::Recorder;

// Generated JSON Lines: varying keys in varying order, every kind of value, repeated
// keys, lines only json.loads accepts, bad lines, blank lines and CRLF ends.
std::string generated_input(unsigned seed, int lines) {
    std::mt19937_64 random(seed);
    const std::vector<std::string> values = {"0",
                                             "-0",
                                             "0.0",
                                             "-0.0",
                                             "1",
                                             "1.0",
                                             "-7",
                                             "2.5",
                                             "1e3",
                                             "9007199254740993",
                                             "18446744073709551616",
                                             "-9223372036854775808",
                                             "1e400",
                                             "NaN",
                                             "-Infinity",
                                             "true",
                                             "false",
                                             "null",
                                             "[1,[2]]",
                                             "{\"k\":[]}",
                                             "\"\"",
                                             "\"text\"",
                                             "\"t\\u00e9\"",
                                             "\"\\ud83d\\ude00\"",
                                             "\"\\ud800\"",
                                             "\"long text that is here to fill a line\"",
                                             "123456789012",
                                             "-3.25e-7"};
    const std::vector<std::string> bad = {"[1,2]", "{\"a\":", "nope", "{\"\\udc00\":1}",
                                          "{\"a\":\"\xFF\"}"};
    std::string input = "\xEF\xBB\xBF";
    for (int line = 0; line < lines; ++line) {
        const auto roll = random() % 100;
        if (roll < 3) {
            input += bad[random() % bad.size()];
        } else if (roll < 5) {
            input += " \t";
        } else {
            input += '{';
            const auto members = random() % 7;
            for (std::uint64_t m = 0; m < members; ++m) {
                if (m > 0) {
                    input += ',';
                }
                // Mostly the same few names, now and then a new one.
                const auto name = random() % 50 == 0 ? random() % 1000 : random() % 8;
                input += "\"c" + std::to_string(name) + "\":" + values[random() % values.size()];
            }
            input += '}';
        }
        input += random() % 4 == 0 ? "\r\n" : "\n";
    }
    input += R"({"c1":1,"tail":"no line feed"})";
    return input;
}

struct Reading {
    std::vector<testing::RecordedBatch> batches;
    ReadResult result;
};

Reading read_whole(const std::string& input, ReadOptions options) {
    Recorder recorder;
    Reading reading;
    reading.result = testing::read_recorded(input, recorder, options);
    reading.batches = recorder.batches();
    return reading;
}

Reading read_fed(const std::string& input, ReadOptions options, unsigned seed) {
    std::mt19937_64 random(seed);
    Recorder recorder;
    Reading reading;
    {
        JsonlReader reader(testing::kTestKeys, recorder.sink(), options);
        for (std::size_t at = 0; at < input.size();) {
            // Pieces of 0 to 300 bytes, so lines and the byte order mark are split.
            const std::size_t piece = std::min<std::size_t>(random() % 301, input.size() - at);
            reader.feed(testing::bytes_of(std::string_view(input).substr(at, piece)));
            at += piece;
        }
        reading.result = reader.finish();
    }
    reading.batches = recorder.batches();
    return reading;
}

void expect_same(const Reading& a, const Reading& b) {
    EXPECT_EQ(a.result.rows, b.result.rows);
    EXPECT_EQ(a.result.lines, b.result.lines);
    EXPECT_EQ(a.result.blank_lines, b.result.blank_lines);
    EXPECT_EQ(a.result.bad_lines, b.result.bad_lines);
    EXPECT_EQ(a.result.first_bad, b.result.first_bad);
    EXPECT_EQ(a.result.bytes, b.result.bytes);
    ASSERT_EQ(a.batches.size(), b.batches.size());
    for (std::size_t i = 0; i < a.batches.size(); ++i) {
        ASSERT_EQ(a.batches[i], b.batches[i]) << "batch " << i;
    }
}

TEST(ReadingPaths, EveryWayHandsOnTheSameBatches) {
    const std::string input = generated_input(7, 3000);
    for (std::size_t chunk_bytes : {1, 200, 4096, 1 << 20}) {
        SCOPED_TRACE("chunks of " + std::to_string(chunk_bytes) + " bytes");
        ReadOptions options;
        options.chunk_bytes = chunk_bytes;
        options.bad_lines_kept = 20;
        const Reading reference = read_whole(input, options);
        EXPECT_EQ(reference.result.lines, 3001u);
        EXPECT_GT(reference.result.bad_lines, 50u);
        for (std::size_t threads : {1, 2, 5}) {
            SCOPED_TRACE(std::to_string(threads) + " threads");
            options.threads = threads;
            expect_same(reference, read_whole(input, options));
            expect_same(reference, read_fed(input, options, static_cast<unsigned>(threads)));
        }
    }
}

// A machine out of threads: the reader goes on with the threads it could start, down to
// the calling thread alone, and hands on the very batches that one thread does.
TEST(ReadingPaths, ThreadsTheSystemRefusesAreDoneWithout) {
    const std::string input = generated_input(9, 1500);
    ReadOptions options;
    options.chunk_bytes = 300;
    options.bad_lines_kept = 20;
    const Reading reference = read_whole(input, options);
    options.threads = 4;
    for (int allowed : {0, 1, 3}) {
        SCOPED_TRACE(::testing::Message() << allowed << " of 4 threads started");
        ingest::testing::RefusedThreads refused(allowed);
        expect_same(read_whole(input, options), reference);
        EXPECT_EQ(refused.refused(), 1);
        expect_same(read_fed(input, options, 5), reference);
        EXPECT_EQ(refused.refused(), 2);
    }
}

// A chunk size past the bound reads as the bound itself, and sizes near the top of the
// range (where a size plus the padding would wrap) neither corrupt memory nor change what
// is read, whole or fed in pieces, on one thread or two.
TEST(ReadingPaths, ChunkSizesOutOfRangeAreClamped) {
    const std::string input = generated_input(5, 500);
    ReadOptions bound;
    bound.chunk_bytes = kMaxChunkBytes;
    const Reading expected = read_whole(input, bound);
    constexpr std::size_t kTop = std::numeric_limits<std::size_t>::max();
    for (std::size_t chunk_bytes : {kMaxChunkBytes + 1, kTop, kTop - 63, kTop - 64, kTop - 100}) {
        for (std::size_t threads : {1, 2}) {
            SCOPED_TRACE(::testing::Message() << chunk_bytes << " bytes, " << threads << " threads");
            ReadOptions options;
            options.chunk_bytes = chunk_bytes;
            options.threads = threads;
            expect_same(read_whole(input, options), expected);
            expect_same(read_fed(input, options, 3), expected);
        }
    }
    ReadOptions zero;
    zero.chunk_bytes = 0;
    ReadOptions one;
    one.chunk_bytes = 1;
    expect_same(read_whole(input, zero), read_whole(input, one));
}

// What the profile takes in from a reading: per column, the counts, bounds and set of
// sketch keys, and the columns in order of creation. The set, not the sequence: a part
// leaves out keys it listed lately, so how often a key is listed depends on where the
// chunks end, while a sketch keeps only which keys it got.
std::vector<testing::RecordedPart> folded_columns(const Reading& reading) {
    std::vector<testing::RecordedPart> columns;
    for (const auto& batch : reading.batches) {
        for (const auto& part : batch) {
            auto known = std::find_if(columns.begin(), columns.end(),
                                      [&](const auto& c) { return c.name == part.name; });
            if (known == columns.end()) {
                columns.push_back(part);
                continue;
            }
            known->cells += part.cells;
            known->nulls += part.nulls;
            // Strict comparisons, as the records make them: the first of equals stays.
            if (std::bit_cast<double>(part.min_bits) < std::bit_cast<double>(known->min_bits)) {
                known->min_bits = part.min_bits;
            }
            if (std::bit_cast<double>(part.max_bits) > std::bit_cast<double>(known->max_bits)) {
                known->max_bits = part.max_bits;
            }
            known->keys.insert(known->keys.end(), part.keys.begin(), part.keys.end());
        }
    }
    for (auto& column : columns) {
        std::sort(column.keys.begin(), column.keys.end());
        column.keys.erase(std::unique(column.keys.begin(), column.keys.end()), column.keys.end());
    }
    return columns;
}

// Chunks differ with the chunk size, but what the profile takes in does not.
TEST(ReadingPaths, ChunkSizeChangesOnlyTheBatching) {
    const std::string input = generated_input(11, 2000);
    auto folded = [&](std::size_t chunk_bytes) {
        ReadOptions options;
        options.chunk_bytes = chunk_bytes;
        return folded_columns(read_whole(input, options));
    };
    const auto whole = folded(1 << 20);
    EXPECT_EQ(folded(1), whole);
    EXPECT_EQ(folded(333), whole);
}

// Lines past the cap, in the middle and at the unended end: fed input drops what lies past
// the cap, so its chunks may end elsewhere, yet every way of reading takes in the same
// rows and reports the same bad lines as the whole input read at once.
TEST(ReadingPaths, LongLinesReadAlikeEveryWay) {
    std::string input = generated_input(13, 1500);
    for (std::size_t at = input.find('\n', 1000); at != std::string::npos && at < input.size();
         at = input.find('\n', at + 5000)) {
        input.insert(at + 1, "{\"c1\":\"" + std::string(150 + at % 700, 'w') + "\"}\n");
    }
    input += std::string(900, 'x');  // after the generated unended line: one line, far too long
    ReadOptions options;
    options.max_line_bytes = 120;
    options.bad_lines_kept = 1000;
    const Reading reference = read_whole(input, options);
    const auto columns = folded_columns(reference);
    std::uint64_t long_lines = 0;
    for (const BadLine& bad : reference.result.first_bad) {
        long_lines += bad.reason == "line longer than 120 bytes" ? 1 : 0;
    }
    EXPECT_GT(long_lines, 10u);
    EXPECT_EQ(reference.result.first_bad.back().reason, "line longer than 120 bytes");
    for (std::size_t chunk_bytes : {1, 100, 4096}) {
        for (std::size_t threads : {1, 3}) {
            SCOPED_TRACE(::testing::Message() << chunk_bytes << " bytes, " << threads << " threads");
            options.chunk_bytes = chunk_bytes;
            options.threads = threads;
            for (const Reading& reading :
                 {read_whole(input, options), read_fed(input, options, 17)}) {
                EXPECT_EQ(reading.result.rows, reference.result.rows);
                EXPECT_EQ(reading.result.lines, reference.result.lines);
                EXPECT_EQ(reading.result.first_bad, reference.result.first_bad);
                EXPECT_EQ(reading.result.bytes, input.size());
                EXPECT_EQ(folded_columns(reading), columns);
            }
        }
    }
}

// Into engines: the report names the same columns in the same order with the same
// figures, however many threads read. Two engines draw different sketch keys, so the
// estimates are compared only for being close; the batches above are the exact check.
TEST(ReadingPaths, EnginesEndAlike) {
    std::string input = generated_input(3, 4000);
    // Equal extremes in different chunks: the first in input order stays.
    input = "{\"z\":0.0}\n" + input + "\n{\"z\":-0.0}\n";
    auto report = [&](std::size_t threads) {
        profiler::KarvoEngine engine(testing::kTestKeys);
        ReadOptions options;
        options.threads = threads;
        options.chunk_bytes = 512;
        read_jsonl(engine, testing::bytes_of(input), options);
        return profiler::testing::read_report(engine.flush_and_reset());
    };
    const auto one = report(1);
    ASSERT_GT(one.size(), 8u);
    EXPECT_EQ(one[0].first, "z");
    EXPECT_FALSE(std::signbit(*one[0].second.min_val));
    for (std::size_t threads : {2, 4}) {
        const auto many = report(threads);
        ASSERT_EQ(many.size(), one.size());
        for (std::size_t c = 0; c < one.size(); ++c) {
            SCOPED_TRACE(one[c].first);
            EXPECT_EQ(many[c].first, one[c].first);
            EXPECT_EQ(many[c].second.total_count, one[c].second.total_count);
            EXPECT_EQ(many[c].second.null_count, one[c].second.null_count);
            auto bits = [](std::optional<double> x) {
                return x ? std::bit_cast<std::uint64_t>(*x) : 1;
            };
            EXPECT_EQ(bits(many[c].second.min_val), bits(one[c].second.min_val));
            EXPECT_EQ(bits(many[c].second.max_val), bits(one[c].second.max_val));
            EXPECT_NEAR(static_cast<double>(many[c].second.estimated_cardinality),
                        static_cast<double>(one[c].second.estimated_cardinality),
                        2 + 0.02 * static_cast<double>(one[c].second.estimated_cardinality));
        }
    }
}

// A failing sink stops the reading, and its failure reaches the caller.
TEST(ReadingPaths, SinkFailureReachesTheCaller) {
    const std::string input = generated_input(5, 500);
    for (std::size_t threads : {1, 3}) {
        int calls = 0;
        ReadOptions options;
        options.threads = threads;
        options.chunk_bytes = 100;
        auto sink = [&calls](const profiler::ColumnBatch&) {
            if (++calls == 3) {
                throw std::runtime_error("full");
            }
        };
        EXPECT_THROW(read_jsonl(testing::kTestKeys, sink, testing::bytes_of(input), options),
                     std::runtime_error);
        EXPECT_EQ(calls, 3) << "nothing is handed on after a failure";
    }
}

}  // namespace
}  // namespace jsonl
