// Helpers for the profiler tests: building batches and reading reports back.
//
// Tests feed the engine as production does, through column batches (ColumnBatchBuilder),
// or through typed rows (process_batch, which gathers them into the same form).
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <cstdlib>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "profiler/column_batch.h"
#include "profiler/column_stats.h"
#include "profiler/typed_value.h"
#include "profiler/value_key.h"

namespace profiler::testing {

// Fixed value keys, for cells and records made outside an engine.
inline constexpr ValueKeys kTestKeys = ValueKeys::from_secret({0x0123456789abcdefULL, 42});

// Builds a ColumnBatch as a reader does: values in batch order, each added to the part of
// its column, parts in the order their columns first appear. The batch's names view the
// builder's own copies, so it is valid while the builder lives.
class ColumnBatchBuilder {
  public:
    explicit ColumnBatchBuilder(const ValueKeys& keys = kTestKeys) : keys_(keys) {}

    ColumnBatchBuilder& add(std::string_view name, const TypedValue& value) {
        part(name).add(value, keys_);
        return *this;
    }
    // A column the batch names without giving it a cell.
    ColumnBatchBuilder& name_only(std::string_view name) {
        part(name);
        return *this;
    }

    ColumnBatch& batch() { return batch_; }

  private:
    ColumnPart& part(std::string_view name) {
        auto found = index_.find(name);
        if (found == index_.end()) {
            found = index_.emplace(std::string(name), batch_.parts.size()).first;
            batch_.names.push_back(found->first);  // map nodes stay put: the view stays valid
            batch_.parts.emplace_back();
        }
        return batch_.parts[found->second];
    }

    ValueKeys keys_;
    std::map<std::string, std::size_t, std::less<>> index_;
    ColumnBatch batch_;
};

// Applies one value to a record on its own, as a batch holding just that value would.
inline void apply_value(ColumnStats& stats, const TypedValue& value,
                        const ValueKeys& keys = kTestKeys) {
    ColumnPart part;
    part.add(value, keys);
    stats.apply(part);
}

struct ReportedColumn {
    std::uint64_t total_count = 0;
    std::uint64_t null_count = 0;
    std::optional<double> min_val;
    std::optional<double> max_val;
    std::uint64_t estimated_cardinality = 0;
};

// Reads a report of the engine's exact shape; members in text order, duplicates kept.
// Fails the calling test (and returns what it has) on anything else.
class ReportReader {
  public:
    explicit ReportReader(std::string_view text) : text_(text) {}

    std::vector<std::pair<std::string, ReportedColumn>> read() {
        std::vector<std::pair<std::string, ReportedColumn>> columns;
        expect('{');
        if (peek() == '}') {
            ++at_;
            return columns;
        }
        do {
            std::string name = read_string();
            expect(':');
            columns.emplace_back(std::move(name), read_column());
        } while (accept(','));
        expect('}');
        EXPECT_EQ(at_, text_.size()) << "trailing text in report";
        return columns;
    }

  private:
    ReportedColumn read_column() {
        ReportedColumn column;
        expect('{');
        read_key("total_count");
        column.total_count = read_u64();
        expect(',');
        read_key("null_count");
        column.null_count = read_u64();
        expect(',');
        read_key("min_val");
        column.min_val = read_optional_double();
        expect(',');
        read_key("max_val");
        column.max_val = read_optional_double();
        expect(',');
        read_key("estimated_cardinality");
        column.estimated_cardinality = read_u64();
        expect('}');
        return column;
    }

    void read_key(std::string_view key) {
        EXPECT_EQ(read_string(), key);
        expect(':');
    }

    std::string read_string() {
        std::string out;
        expect('"');
        while (at_ < text_.size() && text_[at_] != '"') {
            char c = text_[at_++];
            if (c != '\\') {
                out.push_back(c);
                continue;
            }
            c = text_[at_++];
            switch (c) {
                case 'n':
                    out.push_back('\n');
                    break;
                case 't':
                    out.push_back('\t');
                    break;
                case 'r':
                    out.push_back('\r');
                    break;
                case 'b':
                    out.push_back('\b');
                    break;
                case 'f':
                    out.push_back('\f');
                    break;
                case 'u': {
                    const auto code =
                        std::strtoul(std::string(text_.substr(at_, 4)).c_str(), nullptr, 16);
                    EXPECT_LT(code, 0x20u) << "only control bytes are escaped";
                    out.push_back(static_cast<char>(code));
                    at_ += 4;
                    break;
                }
                default:
                    out.push_back(c);
            }
        }
        expect('"');
        return out;
    }

    std::uint64_t read_u64() {
        const std::size_t start = at_;
        while (at_ < text_.size() && text_[at_] >= '0' && text_[at_] <= '9') {
            ++at_;
        }
        EXPECT_GT(at_, start) << "number expected at " << start;
        return std::strtoull(std::string(text_.substr(start, at_ - start)).c_str(), nullptr, 10);
    }

    std::optional<double> read_optional_double() {
        if (text_.substr(at_, 4) == "null") {
            at_ += 4;
            return std::nullopt;
        }
        const std::size_t start = at_;
        while (at_ < text_.size() &&
               std::string_view("+-.0123456789eE").find(text_[at_]) != std::string_view::npos) {
            ++at_;
        }
        return std::strtod(std::string(text_.substr(start, at_ - start)).c_str(), nullptr);
    }

    char peek() const { return at_ < text_.size() ? text_[at_] : '\0'; }
    bool accept(char c) {
        if (peek() == c) {
            ++at_;
            return true;
        }
        return false;
    }
    void expect(char c) {
        EXPECT_EQ(peek(), c) << "at offset " << at_ << " of " << text_;
        ++at_;
    }

    std::string_view text_;
    std::size_t at_ = 0;
};

inline std::vector<std::pair<std::string, ReportedColumn>> read_report(std::string_view text) {
    return ReportReader(text).read();
}

// One row per cell: rows[i] holds the single cell (name, value).
inline std::vector<TypedRow> single_cell_rows(
    const std::vector<std::pair<std::string, TypedValue>>& cells) {
    std::vector<TypedRow> rows(cells.size());
    for (std::size_t i = 0; i < cells.size(); ++i) {
        rows[i].insert(cells[i].first, cells[i].second);
    }
    return rows;
}

}  // namespace profiler::testing
