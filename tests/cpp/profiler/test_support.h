// Helpers for the profiler tests: building batches and reading reports back.
//
// Tests feed the engine as production does, through column batches (ColumnBatchBuilder),
// or through typed rows (process_batch of typed_rows.h, which gathers them into the same
// form).
#pragma once

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

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
#include "typed_rows.h"

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
        add_value(part(name), value, keys_);
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
    add_value(part, value, keys);
    stats.apply(part);
}

struct ReportedColumn {
    std::uint64_t total_count = 0;
    std::uint64_t null_count = 0;
    std::optional<double> min_val;
    std::optional<double> max_val;
    std::uint64_t estimated_cardinality = 0;
};

namespace detail {
// The engine takes names as bytes (the bindings are what guarantee UTF-8), and tests give
// it crafted names of any bytes, which a JSON library refuses. So the report is read as if
// each byte were a Latin-1 character, and each name turned back into its bytes: exact for
// any bytes, since everything JSON itself is made of is ASCII.
inline std::string bytes_as_utf8(std::string_view bytes) {
    std::string out;
    out.reserve(bytes.size() * 2);
    for (const char c : bytes) {
        const auto b = static_cast<unsigned char>(c);
        if (b < 0x80) {
            out.push_back(c);
        } else {
            out.push_back(static_cast<char>(0xC0 | (b >> 6)));
            out.push_back(static_cast<char>(0x80 | (b & 0x3F)));
        }
    }
    return out;
}
inline std::string utf8_as_bytes(std::string_view text) {
    std::string out;
    for (std::size_t i = 0; i < text.size(); ++i) {
        const auto b = static_cast<unsigned char>(text[i]);
        if (b < 0x80 || i + 1 == text.size()) {
            out.push_back(text[i]);
        } else {
            out.push_back(static_cast<char>(((b & 0x03) << 6) |
                                            (static_cast<unsigned char>(text[++i]) & 0x3F)));
        }
    }
    return out;
}
}  // namespace detail

// The members' names of a JSON text in text order, duplicates included: the top level's
// (`names`) and each column's keys (`field_order`, by column name). A parse callback could
// give them too, but the library's callback parser searches the whole enclosing object at
// the end of each member object, quadratic on wide reports; these events cost nothing.
class MemberOrder : public nlohmann::json::json_sax_t {
  public:
    std::vector<std::string> names;
    std::map<std::string, std::vector<std::string>> field_order;

    bool null() override { return true; }
    bool boolean(bool) override { return true; }
    bool number_integer(number_integer_t) override { return true; }
    bool number_unsigned(number_unsigned_t) override { return true; }
    bool number_float(number_float_t, const string_t&) override { return true; }
    bool string(string_t&) override { return true; }
    bool binary(binary_t&) override { return true; }
    bool start_object(std::size_t) override {
        ++depth_;
        return true;
    }
    bool key(string_t& key) override {
        if (depth_ == 1) {
            names.push_back(key);
            field_order[key].clear();
        } else if (depth_ == 2) {
            field_order[names.back()].push_back(key);
        }
        return true;
    }
    bool end_object() override {
        --depth_;
        return true;
    }
    bool start_array(std::size_t) override {
        ++depth_;
        return true;
    }
    bool end_array() override {
        --depth_;
        return true;
    }
    bool parse_error(std::size_t, const std::string&, const nlohmann::detail::exception&) override {
        return false;
    }

  private:
    int depth_ = 0;
};

// Reads a report of the engine's exact shape with a JSON library: members in text order,
// duplicates kept (a report must never list a column twice, and tests check that).
// Fails the calling test (and returns what it has) on anything else.
inline std::vector<std::pair<std::string, ReportedColumn>> read_report(std::string_view text) {
    // The members' order comes from the parse events (MemberOrder); the object itself is a
    // sorted map (an insertion-ordered one finds members by a linear search, quadratic on
    // wide reports).
    using Json = nlohmann::json;
    MemberOrder order;
    Json document;
    try {
        const std::string json = detail::bytes_as_utf8(text);
        document = Json::parse(json);
        Json::sax_parse(json, &order);
    } catch (const Json::exception& error) {
        ADD_FAILURE() << "report is not JSON: " << error.what() << "\n" << text;
        return {};
    }
    const std::vector<std::string>& names = order.names;
    const std::map<std::string, std::vector<std::string>>& field_order = order.field_order;
    std::vector<std::pair<std::string, ReportedColumn>> columns;
    if (!document.is_object()) {
        ADD_FAILURE() << "report is not an object: " << text;
        return columns;
    }
    auto count = [](const Json& field) -> std::uint64_t {
        EXPECT_TRUE(field.is_number_unsigned()) << field.dump();
        return field.is_number_unsigned() ? field.get<std::uint64_t>() : 0;
    };
    auto bound = [](const Json& field) -> std::optional<double> {
        EXPECT_TRUE(field.is_null() || field.is_number()) << field.dump();
        if (field.is_number()) {
            return field.get<double>();
        }
        return std::nullopt;
    };
    const std::vector<std::string> kKeys = {"total_count", "null_count", "min_val", "max_val",
                                            "estimated_cardinality"};
    for (const std::string& name : names) {
        const Json& fields = document.at(name);
        std::vector<std::string> keys = field_order.at(name);
        EXPECT_EQ(keys, kKeys) << "column " << name;
        if (keys != kKeys) {
            continue;
        }
        ReportedColumn column;
        column.total_count = count(fields["total_count"]);
        column.null_count = count(fields["null_count"]);
        column.min_val = bound(fields["min_val"]);
        column.max_val = bound(fields["max_val"]);
        column.estimated_cardinality = count(fields["estimated_cardinality"]);
        columns.emplace_back(detail::utf8_as_bytes(name), column);
    }
    return columns;
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
