// How an input is cut into lines, and which lines are bad: each case is a whole input
// with the rows, blank lines and bad lines it must give.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "jsonl/exact_line.h"
#include "jsonl_test_support.h"

namespace jsonl {
namespace {

using testing::Recorder;

struct InputCase {
    std::string name;
    std::string input;
    std::uint64_t rows;
    std::uint64_t lines;
    std::uint64_t blank_lines;
    std::vector<std::pair<std::uint64_t, std::string>> bad;  // line, start of the reason
    std::size_t max_line_bytes = kDefaultMaxLineBytes;
};

std::string nested(int depth) {
    return R"({"a":)" + std::string(depth - 1, '[') + std::string(depth - 1, ']') + "}";
}

std::vector<InputCase> input_cases() {
    const std::string ok = R"({"a":1})";
    return {
        {"empty input", "", 0, 0, 0, {}},
        {"one line without a line feed", ok, 1, 1, 0, {}},
        {"line feeds end lines", ok + "\n" + ok + "\n", 2, 2, 0, {}},
        {"CRLF line ends", ok + "\r\n" + ok + "\r\n", 2, 2, 0, {}},
        {"blank lines are skipped, not bad", "\n  \n\t\r\n" + ok + "\n\r\n\n", 1, 6, 5, {}},
        {"a byte order mark opens the input", "\xEF\xBB\xBF" + ok + "\n" + ok, 2, 2, 0, {}},
        {"a byte order mark before a blank line", "\xEF\xBB\xBF\n" + ok, 1, 2, 1, {}},
        {"a byte order mark elsewhere is not JSON",
         ok + "\n\xEF\xBB\xBF" + ok,
         1,
         2,
         0,
         {{2, "not JSON"}}},
        {"a truncated last line", ok + "\n" + R"({"a":2,"b)", 1, 2, 0, {{2, "not JSON"}}},
        {"lines that are not objects",
         "[1]\n1\n\"x\"\nnull\nNaN\n-Infinity\n" + ok,
         1,
         7,
         0,
         {{1, "not an object"},
          {2, "not an object"},
          {3, "not an object"},
          {4, "not an object"},
          {5, "not an object"},
          {6, "not an object"}}},
        {"bad UTF-8 anywhere in the line",
         "{\"a\":\"\xFF\"}\n{\"a\":\"\xC0\xAF\"}\n{\"a\":\"\xED\xA0\x80\"}\n{\"a\":NaN,\"\xF5\":1}"
         "\n[\xE2\x82",
         0,
         5,
         0,
         {{1, "not valid UTF-8"},
          {2, "not valid UTF-8"},
          {3, "not valid UTF-8"},
          {4, "not valid UTF-8"},
          {5, "not valid UTF-8"}}},
        {"a key with a lone surrogate",
         R"({"\ud800":1})"
         "\n"
         R"({"a":NaN,"b\udfff":1})"
         "\n"
         R"({"\ud800":1,"a":})",
         0,
         3,
         0,
         {{1, "a key holds a lone surrogate"},
          {2, "a key holds a lone surrogate"},
          {3, "not JSON"}}},
        {"what json.loads refuses",
         "{\"a\":01}\n{\"a\":1.}\n{\"a\":.5}\n{\"a\":+1}\n{\"a\":-}\n{\"a\":nan}\n"
         "{\"a\":-NaN}\n{'a':1}\n{\"a\":1,}\n{\"a\" 1}\n{\"a\":\"\\x\"}\n"
         "{\"a\":\"\\u12G4\"}\n{\"a\":[1,2 3]}\n{\"a\":[1,]}\n{\"a\":\"x\ty\"}\n"
         "{\"a\":1}x\n{\"a\":1}{\"b\":2}\n\x0c\n{\"a\":1}\x0c\n{\"a\":tru}\n{\"a\":"
         "\"\\ud800\\u12G4\"}",
         0,
         21,
         0,
         {{1, "not JSON"},  {2, "not JSON"},  {3, "not JSON"},  {4, "not JSON"},  {5, "not JSON"},
          {6, "not JSON"},  {7, "not JSON"},  {8, "not JSON"},  {9, "not JSON"},  {10, "not JSON"},
          {11, "not JSON"}, {12, "not JSON"}, {13, "not JSON"}, {14, "not JSON"}, {15, "not JSON"},
          {16, "not JSON"}, {17, "not JSON"}, {18, "not JSON"}, {19, "not JSON"}, {20, "not JSON"},
          {21, "not JSON"}}},
        // Lines past a cap of 10 bytes (CRs count, the line feed and an opening byte
        // order mark do not): bad by their length, whatever they hold, even when they end
        // the input without a line feed or span many feeds and chunks.
        {"a line at the cap", R"({"a":1234})" "\n" + ok, 2, 2, 0, {}, 10},
        {"a line one byte past the cap",
         R"({"a":12345})" "\n" + ok + "\r\n" + R"({"a":1234})" "\r\n",
         1,
         3,
         0,
         {{1, "line longer than 10 bytes"}, {3, "line longer than 10 bytes"}},
         10},
        {"a byte order mark is not part of the first line",
         "\xEF\xBB\xBF" R"({"a":1234})",
         1,
         1,
         0,
         {},
         10},
        {"a long line between good ones",
         ok + "\n{\"a\":\"" + std::string(500, 'x') + "\"}\n" + ok,
         2,
         3,
         0,
         {{2, "line longer than 10 bytes"}},
         10},
        {"a long last line without a line feed",
         ok + "\n" + std::string(700, 'x'),
         1,
         2,
         0,
         {{2, "line longer than 10 bytes"}},
         10},
        {"long lines back to back, blank ones too",
         std::string(40, 'y') + "\n" + std::string(30, ' ') + "\n\n" + std::string(11, 'z') +
             "\n" + ok,
         1,
         5,
         1,
         {{1, "line longer than 10 bytes"},
          {2, "line longer than 10 bytes"},
          {4, "line longer than 10 bytes"}},
         10},
        {"a cap of one byte", "{}\n\n1\n" + ok, 0, 4, 1,
         {{1, "line longer than 1 bytes"}, {3, "not an object"}, {4, "line longer than 1 bytes"}},
         1},
        {"nesting up to the limit",
         nested(kMaxNesting) + "\n" + nested(kMaxNesting + 1),
         1,
         2,
         0,
         {{2, "not JSON: Nesting too deep"}}},
    };
}

// Reads the input whole (pieces of 0 bytes) or fed in pieces of the given size.
ReadResult read_in_pieces(const std::string& input, std::size_t piece, Recorder& recorder,
                          const ReadOptions& options) {
    if (piece == 0) {
        return testing::read_recorded(input, recorder, options);
    }
    JsonlReader reader(testing::kTestKeys, recorder.sink(), options);
    for (std::size_t at = 0; at < input.size(); at += piece) {
        reader.feed(testing::bytes_of(std::string_view(input).substr(at, piece)));
    }
    return reader.finish();
}

void check_input(const InputCase& c, ReadOptions options, std::size_t piece) {
    SCOPED_TRACE(c.name + ", chunks of " + std::to_string(options.chunk_bytes) + " bytes, " +
                 std::to_string(options.threads) + " threads, pieces of " +
                 std::to_string(piece) + " bytes");
    options.max_line_bytes = c.max_line_bytes;
    Recorder recorder;
    const ReadResult result = read_in_pieces(c.input, piece, recorder, options);
    EXPECT_EQ(result.rows, c.rows);
    EXPECT_EQ(result.lines, c.lines);
    EXPECT_EQ(result.blank_lines, c.blank_lines);
    EXPECT_EQ(result.bad_lines, c.bad.size());
    EXPECT_EQ(result.bytes, c.input.size());
    EXPECT_FALSE(result.refused);
    ASSERT_EQ(result.first_bad.size(), std::min(c.bad.size(), options.bad_lines_kept));
    for (std::size_t k = 0; k < result.first_bad.size(); ++k) {
        EXPECT_EQ(result.first_bad[k].line, c.bad[k].first);
        EXPECT_TRUE(result.first_bad[k].reason.starts_with(c.bad[k].second))
            << "line " << c.bad[k].first << ": " << result.first_bad[k].reason;
    }
    std::uint64_t cells = 0;
    for (const auto& batch : recorder.batches()) {
        for (const auto& part : batch) {
            cells += part.cells;
        }
    }
    EXPECT_EQ(cells, c.rows) << "each good row here has one member";
}

TEST(InputLines, CasesInOneChunkAndInManyOnManyThreads) {
    for (const InputCase& c : input_cases()) {
        for (std::size_t piece : {0, 1, 7, 64}) {
            ReadOptions options;
            options.bad_lines_kept = 100;
            check_input(c, options, piece);
            options.chunk_bytes = 5;
            options.threads = 3;
            check_input(c, options, piece);
        }
    }
}

TEST(InputLines, KeepsTheFirstBadLinesAndCountsAll) {
    std::string input;
    for (int line = 1; line <= 50; ++line) {
        input += line % 5 == 0 ? "oops\n" : "{\"a\":1}\n";
    }
    for (std::size_t threads : {1, 3}) {
        Recorder recorder;
        ReadOptions options;
        options.bad_lines_kept = 3;
        options.chunk_bytes = 20;
        options.threads = threads;
        const ReadResult result = testing::read_recorded(input, recorder, options);
        EXPECT_EQ(result.bad_lines, 10u);
        EXPECT_EQ(result.rows, 40u);
        ASSERT_EQ(result.first_bad.size(), 3u);
        EXPECT_EQ(result.first_bad[0], (BadLine{5, "not JSON: Expecting value at column 1"}));
        EXPECT_EQ(result.first_bad[1].line, 10u);
        EXPECT_EQ(result.first_bad[2].line, 15u);
    }
}

TEST(InputLines, ReasonsSayWhere) {
    Recorder recorder;
    ReadOptions options;
    options.bad_lines_kept = 10;
    const ReadResult result =
        testing::read_recorded("{\"\xC3\xA9\":1,}\n{\"a\":\"x\x01\"}\n{\"a\":1", recorder, options);
    ASSERT_EQ(result.first_bad.size(), 3u);
    EXPECT_EQ(result.first_bad[0].reason,
              "not JSON: Expecting property name enclosed in double quotes at column 8");
    EXPECT_EQ(result.first_bad[1].reason, "not JSON: Invalid control character at column 8");
    EXPECT_EQ(result.first_bad[2].reason, "not JSON: Expecting ',' delimiter at column 7");
}

// A bad line adds nothing, not even a column: the columns that a later good line brings
// are created in that line's order.
TEST(InputLines, BadLinesCreateNoColumns) {
    Recorder recorder;
    testing::read_recorded(R"({"x":1,"y":[}
{"\udc00":1,"x":1}
{"y":1,"x":2})",
                           recorder);
    ASSERT_EQ(recorder.batches().size(), 1u);
    ASSERT_EQ(recorder.batches()[0].size(), 2u);
    EXPECT_EQ(recorder.batches()[0][0].name, "y");
    EXPECT_EQ(recorder.batches()[0][1].name, "x");
}

// The first bad line refuses a strict reading: what came before the bad line's chunk is
// handed on, in order, and nothing from it on, whatever the thread count (a caller that
// must keep nothing reads into a scratch target and drops it).
TEST(StrictReading, FirstBadLineRefuses) {
    // Eight lines a chunk (64 bytes): the bad line 150's chunk starts at line 145.
    constexpr std::uint64_t kRowsHandedOn = 144;
    std::string input;
    for (int line = 1; line <= 200; ++line) {
        input += line == 150 || line == 170 ? "[]\n" : "{\"a\":1}\n";
    }
    for (std::size_t threads : {1, 2, 4}) {
        SCOPED_TRACE(::testing::Message() << "threads " << threads);
        Recorder recorder;
        ReadOptions options;
        options.strict = true;
        options.chunk_bytes = 64;
        options.threads = threads;
        const ReadResult result = testing::read_recorded(input, recorder, options);
        ASSERT_TRUE(result.refused);
        EXPECT_EQ(*result.refused, (BadLine{150, "not an object"}));
        EXPECT_EQ(result.rows, kRowsHandedOn);
        std::uint64_t cells = 0;
        for (const testing::RecordedBatch& batch : recorder.batches()) {
            for (const testing::RecordedPart& part : batch) {
                cells += part.cells;
            }
        }
        EXPECT_EQ(cells, kRowsHandedOn);
    }
}

TEST(StrictReading, GoodInputIsReadAsWithoutStrictness) {
    std::string input;
    for (int line = 1; line <= 200; ++line) {
        input +=
            "{\"a\":" + std::to_string(line) + ",\"b\":\"t" + std::to_string(line % 7) + "\"}\n\n";
    }
    Recorder lenient;
    Recorder strict;
    ReadOptions options;
    options.chunk_bytes = 100;
    options.threads = 3;
    const ReadResult lenient_result = testing::read_recorded(input, lenient, options);
    options.strict = true;
    const ReadResult strict_result = testing::read_recorded(input, strict, options);
    EXPECT_FALSE(strict_result.refused);
    EXPECT_EQ(strict_result.rows, 200u);
    EXPECT_EQ(strict_result.lines, lenient_result.lines);
    EXPECT_EQ(strict_result.blank_lines, 200u);
    EXPECT_EQ(strict.batches(), lenient.batches());
}

// A line past the cap refuses a strict reading like any bad line, fed or whole.
TEST(StrictReading, LineLongerThanTheCapRefuses) {
    const std::string input = "{\"a\":1}\n{\"a\":\"" + std::string(300, 'x') + "\"}\n{\"a\":2}\n";
    for (std::size_t piece : {0, 1, 50}) {
        for (std::size_t threads : {1, 3}) {
            Recorder recorder;
            ReadOptions options;
            options.strict = true;
            options.max_line_bytes = 100;
            options.chunk_bytes = 16;
            options.threads = threads;
            const ReadResult result = read_in_pieces(input, piece, recorder, options);
            ASSERT_TRUE(result.refused);
            EXPECT_EQ(*result.refused, (BadLine{2, "line longer than 100 bytes"}));
            EXPECT_TRUE(recorder.batches().empty());
        }
    }
}

// Strict streaming says when the rest need not come.
TEST(StrictReading, FeedReportsTheRefusal) {
    Recorder recorder;
    ReadOptions options;
    options.strict = true;
    options.chunk_bytes = 8;
    JsonlReader reader(testing::kTestKeys, recorder.sink(), options);
    EXPECT_TRUE(reader.feed(testing::bytes_of("{\"a\":1}\n")));
    EXPECT_FALSE(reader.feed(testing::bytes_of("{\"a\"\n{\"a\":2}\n")));
    const ReadResult result = reader.finish();
    ASSERT_TRUE(result.refused);
    EXPECT_EQ(result.refused->line, 2u);
    EXPECT_EQ(result.rows, 1u) << "the line before the bad one's chunk was handed on";
    EXPECT_EQ(recorder.batches().size(), 1u);
}

}  // namespace
}  // namespace jsonl
