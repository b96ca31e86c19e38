// Helpers for the JSON Lines reader tests: a sink that records every batch it is handed.
#pragma once

#include <gtest/gtest.h>

#include <bit>
#include <cstdint>
#include <mutex>
#include <ostream>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "../profiler/test_support.h"
#include "jsonl/reader.h"

namespace jsonl::testing {

using profiler::testing::kTestKeys;

// One column part as the sink saw it, owning its name.
struct RecordedPart {
    std::string name;
    std::uint64_t cells = 0;
    std::uint64_t nulls = 0;
    std::uint64_t min_bits = 0;
    std::uint64_t max_bits = 0;
    std::vector<std::uint64_t> keys;

    friend bool operator==(const RecordedPart&, const RecordedPart&) = default;
    friend std::ostream& operator<<(std::ostream& out, const RecordedPart& part) {
        out << part.name << "{cells " << part.cells << ", nulls " << part.nulls << ", min "
            << std::bit_cast<double>(part.min_bits) << ", max "
            << std::bit_cast<double>(part.max_bits) << ", keys";
        for (std::uint64_t key : part.keys) {
            out << ' ' << std::hex << key << std::dec;
        }
        return out << '}';
    }
};

using RecordedBatch = std::vector<RecordedPart>;

inline RecordedPart record_part(std::string_view name, const profiler::ColumnPart& part) {
    const std::span<const std::uint64_t> keys = part.keys;
    return RecordedPart{std::string(name),
                        part.cells,
                        part.nulls,
                        std::bit_cast<std::uint64_t>(part.min),
                        std::bit_cast<std::uint64_t>(part.max),
                        {keys.begin(), keys.end()}};
}

// The part that the given cells of one column make, folded in order.
inline RecordedPart expected_part(std::string_view name,
                                  const std::vector<profiler::TypedValue>& values) {
    profiler::ColumnPart part;
    for (const profiler::TypedValue& value : values) {
        profiler::add_value(part, value, kTestKeys);
    }
    return record_part(name, part);
}

// Records the batches handed to it, in the order they come.
class Recorder {
  public:
    JsonlReader::Sink sink() {
        return [this](const profiler::ColumnBatch& batch) {
            RecordedBatch recorded;
            for (std::size_t i = 0; i < batch.parts.size(); ++i) {
                recorded.push_back(record_part(batch.names[i], batch.parts[i]));
            }
            std::lock_guard lock(mutex_);
            batches_.push_back(std::move(recorded));
        };
    }
    const std::vector<RecordedBatch>& batches() const { return batches_; }

  private:
    std::mutex mutex_;  // the reader promises one call at a time; this checks nothing
    std::vector<RecordedBatch> batches_;
};

inline std::span<const char> bytes_of(std::string_view text) {
    return {text.data(), text.size()};
}

// Reads a whole input into a recorder.
inline ReadResult read_recorded(std::string_view input, Recorder& recorder,
                                ReadOptions options = {}) {
    return read_jsonl(kTestKeys, recorder.sink(), bytes_of(input), options);
}

}  // namespace jsonl::testing
