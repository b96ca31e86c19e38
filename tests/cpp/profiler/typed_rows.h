// Typed rows and values fed to the engine the way a reader would, for tests only.
//
// Production readers make cells through the makers of typed_value.h and fold them into
// column parts as they go. Tests find it clearer to write values and rows, so these helpers
// turn them into the same cells and the same column batches, and nothing else: a test that
// goes through them checks the very path a reader takes.
//
// Thread safety: plain values and free functions; no shared state.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <unordered_map>
#include <utility>

#include "hash/fxhash.h"
#include "profiler/column_batch.h"
#include "profiler/engine.h"
#include "profiler/typed_value.h"
#include "profiler/value_key.h"

namespace profiler {

// Column names to values, names unique within a row.
class TypedRow {
  public:
    using Map = std::unordered_map<std::string, TypedValue, hash::FxStringHash, std::equal_to<>>;

    // A later value for the same name replaces the earlier one.
    void insert(std::string name, TypedValue value) {
        map_.insert_or_assign(std::move(name), value);
    }
    std::size_t size() const { return map_.size(); }
    Map::const_iterator begin() const { return map_.begin(); }
    Map::const_iterator end() const { return map_.end(); }

  private:
    Map map_;
};

// The cell a reader makes of a typed value, keyed under `keys` (those of the engine that
// will take it).
inline Cell cell_of(const TypedValue& value, const ValueKeys& keys) {
    switch (value.tag()) {
        case Tag::Float:
            return float_cell(0, value.as_float());
        case Tag::Int:
            return int_cell(0, value.as_int(), keys);
        case Tag::Str:
            return str_cell(0, value.as_str(), keys);
        case Tag::Null:
            break;
    }
    return null_cell(0);
}

// Adds a typed value to a part, as a reader adds the cell it makes of it.
inline void add_value(ColumnPart& part, const TypedValue& value, const ValueKeys& keys) {
    part.add(cell_of(value, keys), value.tag() == Tag::Str ? value.as_str() : std::string_view());
}

// The sketch key of a value under the given keys, as a batch would insert it (the value
// rules are ColumnPart::add's); Null and NaN have none.
inline std::optional<std::uint64_t> sketch_key(const TypedValue& value, const ValueKeys& keys) {
    ColumnPart part;
    add_value(part, value, keys);
    const std::span<const std::uint64_t> inserted = part.keys;
    if (inserted.empty()) {
        return std::nullopt;
    }
    return inserted.front();
}

// Gathers typed rows, in order, into one column batch, as a reader gathers its input (each
// distinct name one part, parts in the order names first appear), and has the engine apply
// it. The batch's names view the rows' own, so it is applied before they go.
inline void process_batch(const KarvoEngine& engine, std::span<const TypedRow> rows) {
    ColumnBatch batch;
    std::unordered_map<std::string_view, std::uint32_t, hash::FxStringHash, std::equal_to<>> index;
    for (const TypedRow& row : rows) {
        for (const auto& [name, value] : row) {
            const auto [it, fresh] =
                index.try_emplace(name, static_cast<std::uint32_t>(batch.parts.size()));
            if (fresh) {
                batch.names.push_back(name);
                resize_parts(batch.parts, batch.parts.size() + 1, engine.value_keys());
            }
            add_value(batch.parts[it->second], value, engine.value_keys());
        }
    }
    engine.process_columns(batch);
}

}  // namespace profiler
