// Times the JSON Lines reader against simdjson's own parse-and-touch loops over the same
// generated file (1M rows x 12 columns: 64-bit ids, texts, floats, small ints, bools,
// nulls, nested arrays and objects), on 1 and 2 threads. Best of several runs.
//
//   cmake -S . -B build/bench -G Ninja -DCMAKE_BUILD_TYPE=Release -DKARVO_BUILD_BENCH=ON
//         -DKARVO_BUILD_TESTS=OFF && cmake --build build/bench --target jsonl_bench
//   build/bench/jsonl_bench [ROWS|FILE] [RUNS] [reader|reader-summary [THREADS]|parsers]
// With "reader" only the reader into an engine runs, on one thread (or THREADS; 0: every
// processor): a clean run to profile; "reader-summary" the same into an engine that keeps
// column summaries (as karvo_dist's Profile does); "parsers" times simdjson's parsers only.
#include <simdjson.h>

#include <algorithm>
#include <cctype>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <functional>
#include <random>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "jsonl/reader.h"
#include "profiler/engine.h"

namespace {

// CPU time of the whole process, in seconds: less swayed than wall time by other load.
double cpu_seconds() {
    timespec now{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &now);
    return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) * 1e-9;
}

struct Timing {
    double wall = 1e9;
    double cpu = 1e9;
};

std::string generated_file(std::size_t rows) {
    std::mt19937_64 random(42);
    const char* categories[] = {"alpha", "beta", "gamma", "delta", "epsilon", "zeta"};
    const char* words[] = {"lorem", "ipsum", "dolor", "sit", "amet", "consectetur", "adipiscing"};
    std::string out;
    out.reserve(rows * 240);
    char buffer[512];
    for (std::size_t row = 0; row < rows; ++row) {
        const std::uint64_t id = random() >> 1;
        const double score = static_cast<double>(random() % 1000000) / 1000.0;
        std::string note = "null";
        if (random() % 3 != 0) {
            note = "\"";
            for (int w = 0; w < 4; ++w) {
                if (w > 0) {
                    note.push_back(' ');
                }
                note.append(words[random() % 7]);
            }
            note += "\"";
        }
        std::string amount = random() % 5 == 0 ? "null" : std::to_string(random() % 100000);
        std::string ratio =
            random() % 4 == 0 ? "null" : std::to_string(static_cast<double>(random() % 997) / 991);
        std::snprintf(
            buffer, sizeof buffer,
            "{\"id\":%llu,\"user\":\"user_%llu\",\"score\":%.3f,\"count\":%llu,"
            "\"active\":%s,\"tags\":[\"t%llu\",\"t%llu\"],\"meta\":{\"src\":\"web\",\"v\":%llu},"
            "\"note\":%s,\"ts\":\"2024-05-%02llu T%02llu:%02llu:%02llu\",\"ratio\":%s,"
            "\"category\":\"%s\",\"amount\":%s}\n",
            static_cast<unsigned long long>(id), static_cast<unsigned long long>(random() % 50000),
            score, static_cast<unsigned long long>(random() % 100), random() % 2 ? "true" : "false",
            static_cast<unsigned long long>(random() % 20),
            static_cast<unsigned long long>(random() % 20),
            static_cast<unsigned long long>(random() % 4), note.c_str(),
            static_cast<unsigned long long>(1 + random() % 28),
            static_cast<unsigned long long>(random() % 24),
            static_cast<unsigned long long>(random() % 60),
            static_cast<unsigned long long>(random() % 60), ratio.c_str(), categories[random() % 6],
            amount.c_str());
        out += buffer;
    }
    return out;
}

// Input split at line feeds into `parts` pieces of about equal size.
std::vector<std::string_view> split_lines(std::string_view input, std::size_t parts) {
    std::vector<std::string_view> pieces;
    std::size_t start = 0;
    for (std::size_t p = 1; p <= parts; ++p) {
        std::size_t end = p == parts ? input.size() : input.find('\n', input.size() * p / parts);
        end = end == std::string_view::npos ? input.size() : end + 1;
        pieces.push_back(input.substr(start, end - start));
        start = end;
    }
    return pieces;
}

std::uint64_t touch(simdjson::dom::element value) {
    switch (value.type()) {
        case simdjson::dom::element_type::INT64:
            return static_cast<std::uint64_t>(value.get_int64().value_unsafe());
        case simdjson::dom::element_type::UINT64:
            return value.get_uint64().value_unsafe();
        case simdjson::dom::element_type::DOUBLE:
            return static_cast<std::uint64_t>(value.get_double().value_unsafe());
        case simdjson::dom::element_type::STRING:
            return value.get_string().value_unsafe().size();
        case simdjson::dom::element_type::BOOL:
            return value.get_bool().value_unsafe();
        default:
            return 1;
    }
}

// simdjson's DOM, one parse per line, every top-level field touched.
// Calls `line(start, end)` for each line of `input`, [start, end) without its line feed.
template <class Line>
void for_each_line(std::string_view input, Line&& line) {
    std::size_t start = 0;
    while (start < input.size()) {
        std::size_t end = input.find('\n', start);
        end = end == std::string_view::npos ? input.size() : end;
        line(start, end);
        start = end + 1;
    }
}

std::uint64_t dom_per_line(std::string_view input) {
    simdjson::dom::parser parser;
    std::uint64_t sum = 0;
    for_each_line(input, [&](std::size_t start, std::size_t end) {
        simdjson::dom::element doc;
        if (parser.parse(input.data() + start, end - start, false).get(doc) == simdjson::SUCCESS) {
            const simdjson::dom::object object = doc.get_object().value_unsafe();
            for (const simdjson::dom::key_value_pair field : object) {
                sum += field.key.size() + touch(field.value);
            }
        }
    });
    return sum;
}

// simdjson's DOM over the whole piece as a stream of documents.
std::uint64_t dom_parse_many(std::string_view input) {
    simdjson::dom::parser parser;
    std::uint64_t sum = 0;
    simdjson::dom::document_stream stream;
    if (parser.parse_many(input.data(), input.size(), 1 << 20).get(stream)) {
        return 0;
    }
    for (auto doc : stream) {
        simdjson::dom::object object;
        if (doc.get_object().get(object) == simdjson::SUCCESS) {
            for (const simdjson::dom::key_value_pair field : object) {
                sum += field.key.size() + touch(field.value);
            }
        }
    }
    return sum;
}

// simdjson's On-Demand, one document per line, every top-level field read.
std::uint64_t on_demand_per_line(std::string_view input) {
    simdjson::ondemand::parser parser;
    std::uint64_t sum = 0;
    for_each_line(input, [&](std::size_t start, std::size_t end) {
        simdjson::padded_string_view line(input.data() + start, end - start, input.size() - start);
        simdjson::ondemand::document doc;
        if (parser.iterate(line).get(doc) == simdjson::SUCCESS) {
            simdjson::ondemand::object object;
            if (doc.get_object().get(object) == simdjson::SUCCESS) {
                for (auto field : object) {
                    std::string_view key;
                    simdjson::ondemand::value value;
                    if (field.unescaped_key().get(key) || field.value().get(value)) {
                        break;
                    }
                    sum += key.size();
                    simdjson::ondemand::json_type type;
                    if (value.type().get(type)) {
                        break;
                    }
                    switch (type) {
                        case simdjson::ondemand::json_type::number: {
                            double x = 0;
                            sum += value.get_double().get(x) == simdjson::SUCCESS;
                            break;
                        }
                        case simdjson::ondemand::json_type::string: {
                            std::string_view s;
                            if (value.get_string().get(s) == simdjson::SUCCESS) {
                                sum += s.size();
                            }
                            break;
                        }
                        case simdjson::ondemand::json_type::boolean: {
                            bool b = false;
                            sum += value.get_bool().get(b) == simdjson::SUCCESS && b;
                            break;
                        }
                        default:
                            sum += 1;  // null, arrays and objects are skipped
                            break;
                    }
                }
            }
        }
    });
    return sum;
}

// Every value under `value`, read as the DOM reads it (numbers parsed, strings unescaped,
// literals checked, arrays and objects walked), so the line is validated as a DOM parse
// validates it: what a reader built on On-Demand would have to do to refuse the same lines.
bool walk_all(simdjson::ondemand::value value, std::uint64_t& sum, std::size_t depth) {
    simdjson::ondemand::json_type type;
    if (depth > 128 || value.type().get(type)) {
        return false;
    }
    switch (type) {
        case simdjson::ondemand::json_type::number: {
            simdjson::ondemand::number number;
            if (value.get_number().get(number)) {
                return false;
            }
            sum += number.is_double() ? 1 : 2;
            return true;
        }
        case simdjson::ondemand::json_type::string: {
            std::string_view s;
            if (value.get_string().get(s)) {
                return false;
            }
            sum += s.size();
            return true;
        }
        case simdjson::ondemand::json_type::boolean: {
            bool b = false;
            if (value.get_bool().get(b)) {
                return false;
            }
            sum += b;
            return true;
        }
        case simdjson::ondemand::json_type::null: {
            bool null = false;
            return value.is_null().get(null) == simdjson::SUCCESS && null;
        }
        case simdjson::ondemand::json_type::array: {
            simdjson::ondemand::array array;
            if (value.get_array().get(array)) {
                return false;
            }
            for (auto element : array) {
                simdjson::ondemand::value inner;
                if (element.get(inner) || !walk_all(inner, sum, depth + 1)) {
                    return false;
                }
            }
            return true;
        }
        case simdjson::ondemand::json_type::object: {
            simdjson::ondemand::object object;
            if (value.get_object().get(object)) {
                return false;
            }
            for (auto field : object) {
                std::string_view key;
                simdjson::ondemand::value inner;
                if (field.unescaped_key().get(key) || field.value().get(inner) ||
                    !walk_all(inner, sum, depth + 1)) {
                    return false;
                }
                sum += key.size();
            }
            return true;
        }
    }
    return false;
}

// simdjson's On-Demand, one document per line, every value read and the line checked to
// its end: the like-for-like figure to set beside the DOM's (which validates everything).
std::uint64_t on_demand_validating(std::string_view input) {
    simdjson::ondemand::parser parser;
    std::uint64_t sum = 0;
    std::uint64_t refused = 0;
    for_each_line(input, [&](std::size_t start, std::size_t end) {
        simdjson::padded_string_view line(input.data() + start, end - start, input.size() - start);
        simdjson::ondemand::document doc;
        simdjson::ondemand::object object;
        bool good = parser.iterate(line).get(doc) == simdjson::SUCCESS &&
                    doc.get_object().get(object) == simdjson::SUCCESS;
        if (good) {
            for (auto field : object) {
                std::string_view key;
                simdjson::ondemand::value value;
                if (field.unescaped_key().get(key) || field.value().get(value) ||
                    !walk_all(value, sum, 1)) {
                    good = false;
                    break;
                }
                sum += key.size();
            }
        }
        refused += !(good && doc.current_location().error() == simdjson::OUT_OF_BOUNDS);
    });
    return sum + (refused << 40);
}

// Runs `work` on each piece on its own thread; the best wall time of `runs`, in seconds.
Timing best_time(const std::vector<std::string_view>& pieces, int runs,
                 const std::function<std::uint64_t(std::string_view)>& work) {
    Timing best;
    for (int run = 0; run < runs; ++run) {
        const double cpu_start = cpu_seconds();
        const auto start = std::chrono::steady_clock::now();
        std::vector<std::thread> threads;
        std::vector<std::uint64_t> sums(pieces.size());
        for (std::size_t i = 0; i < pieces.size(); ++i) {
            threads.emplace_back([&, i] { sums[i] = work(pieces[i]); });
        }
        for (auto& thread : threads) {
            thread.join();
        }
        const double seconds =
            std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        best.wall = std::min(best.wall, seconds);
        best.cpu = std::min(best.cpu, cpu_seconds() - cpu_start);
        if (sums[0] == 0) {
            std::printf("  (no work done?)\n");
        }
    }
    return best;
}

// An engine with value and sketch keys from fixed words, keeping column summaries or not.
profiler::KarvoEngine engine_for(bool summaries) {
    const auto keys = profiler::ValueKeys::from_secret({0x6b6172766f, 0x62656e6368});
    const sketch::SketchKeys sketch_keys{{1, 2}, {3, 4}};
    if (summaries) {
        return profiler::KarvoEngine(keys, sketch_keys, 5);
    }
    return profiler::KarvoEngine(keys, sketch_keys);
}

Timing best_reader_time(std::string_view input, std::size_t threads, int runs, bool engine,
                        bool summaries = false) {
    Timing best;
    for (int run = 0; run < runs; ++run) {
        profiler::KarvoEngine target = engine_for(summaries);
        jsonl::ReadOptions options;
        options.threads = threads;
        const double cpu_start = cpu_seconds();
        const auto start = std::chrono::steady_clock::now();
        jsonl::ReadResult result;
        if (engine) {
            result = jsonl::read_jsonl(target, {input.data(), input.size()}, options);
        } else {
            result = jsonl::read_jsonl(
                target.value_keys(), [](const profiler::ColumnBatch&) {},
                {input.data(), input.size()}, options);
        }
        const double seconds =
            std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        const double cpu = cpu_seconds() - cpu_start;
        if (engine && run == 0) {
            const std::string report = target.flush_and_reset();
            std::printf("  (rows %llu, bad %llu, report %zu bytes)\n",
                        static_cast<unsigned long long>(result.rows),
                        static_cast<unsigned long long>(result.bad_lines), report.size());
        }
        best.wall = std::min(best.wall, seconds);
        best.cpu = std::min(best.cpu, cpu);
    }
    return best;
}

// The bytes of a file, or an empty string when it cannot be read.
std::string file_bytes(const char* path) {
    std::string out;
    if (std::FILE* file = std::fopen(path, "rb")) {
        char buffer[1 << 16];
        std::size_t got = 0;
        while ((got = std::fread(buffer, 1, sizeof buffer, file)) > 0) {
            out.append(buffer, got);
        }
        std::fclose(file);
    }
    return out;
}

}  // namespace

int main(int argc, char** argv) {
    // ROWS, or the path of a JSON Lines file to read instead of a generated one.
    const bool from_file = argc > 1 && !std::isdigit(static_cast<unsigned char>(argv[1][0]));
    const std::string input =
        from_file ? file_bytes(argv[1])
                  : generated_file(argc > 1 ? std::strtoull(argv[1], nullptr, 10) : 1000000);
    const auto rows = static_cast<std::size_t>(std::count(input.begin(), input.end(), '\n'));
    const int runs = argc > 2 ? std::atoi(argv[2]) : 3;
    if (rows == 0) {
        std::fprintf(stderr, "no lines to read\n");
        return 1;
    }
    std::printf("%zu rows, 12 columns, %.1f MB; simdjson implementation %s\n", rows,
                static_cast<double>(input.size()) / 1e6,
                simdjson::get_active_implementation()->name().c_str());
    std::printf("%-44s %9s %11s %11s\n", "", "wall s", "wall ns/row", "cpu ns/row");
    const std::string_view mode = argc > 3 ? argv[3] : "";
    auto report = [&](const char* what, Timing timing) {
        std::printf("%-44s %9.3f %11.1f %11.1f\n", what, timing.wall,
                    timing.wall * 1e9 / static_cast<double>(rows),
                    timing.cpu * 1e9 / static_cast<double>(rows));
    };
    if (mode == "reader" || mode == "reader-summary") {
        const bool summaries = mode == "reader-summary";
        const std::size_t threads = argc > 4 ? std::strtoull(argv[4], nullptr, 10) : 1;
        const std::string what = std::string(summaries ? "reader into a summary engine, "
                                                       : "reader into an engine, ") +
                                 (threads == 0 ? std::string("every processor")
                                               : std::to_string(threads) + " thread(s)");
        report(what.c_str(), best_reader_time(input, threads, runs, true, summaries));
        return 0;
    }
    for (std::size_t threads : {1, 2}) {
        const auto pieces = split_lines(input, threads);
        std::printf("-- %zu thread%s\n", threads, threads > 1 ? "s" : "");
        report("simdjson DOM, a parse per line, touch all", best_time(pieces, runs, dom_per_line));
        report("simdjson DOM parse_many, touch all", best_time(pieces, runs, dom_parse_many));
        report("simdjson On-Demand per line, read all",
               best_time(pieces, runs, on_demand_per_line));
        report("simdjson On-Demand per line, validate all",
               best_time(pieces, runs, on_demand_validating));
        if (mode == "parsers") {
            continue;
        }
        report("reader, batches dropped", best_reader_time(input, threads, runs, false));
        report("reader into an engine", best_reader_time(input, threads, runs, true));
        report("reader into an engine keeping summaries",
               best_reader_time(input, threads, runs, true, true));
    }
    return 0;
}
