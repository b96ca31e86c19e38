#include "pykit/key_interner.h"

#include <algorithm>
#include <bit>

#include "pykit/entry.h"
#include "common/mix64.h"
#include "profiler/name_hash.h"

namespace pykit {

namespace {

// A text key object not seen before but whose text is already a column gets an identity
// entry of its own only while the identity table stays within this many entries per
// column; past that (rows that each bring new key objects, as from one json.loads per
// line) such keys are found by their text each time, keeping the table O(columns).
constexpr std::size_t kObjectsPerColumn = 4;
constexpr std::size_t kObjectSlack = 64;

// The hash of the name table: the engine's NameHash under a key drawn once per process,
// unknown outside it. Only names that miss the identity and position guesses are hashed,
// so the hot path never comes here.
std::uint64_t name_table_hash(std::string_view text) {
    static const profiler::NameHash hash = profiler::NameHash::fresh();
    return hash(text);
}

std::uint64_t object_hash(PyObject* key) {
    return reinterpret_cast<std::uintptr_t>(key);
}

// Both tables have a power-of-two slot count, so the home slot is the top bits of mix64.
unsigned table_bits(std::size_t slot_count) {
    return static_cast<unsigned>(std::countr_zero(slot_count));
}
template <class Table>
std::size_t home_slot(const Table& table, std::uint64_t hash) {
    return common::mix_slot(hash, table_bits(table.slot_count()));
}

// Makes room for one more entry: a table more than half full would make probes long, so
// it doubles first, every entry going to its home for the new count.
constexpr std::size_t kFirstSlotCount = 16;
static_assert(std::has_single_bit(kFirstSlotCount),
              "home slots are the top bits of mix64, so slot counts are powers of two");
template <class Table, class HashOf>
void make_room(Table& table, HashOf&& hash_of) {
    if (2 * (table.size() + 1) <= table.slot_count()) {
        return;
    }
    const std::size_t slot_count = std::max(kFirstSlotCount, 2 * table.slot_count());
    const unsigned bits = table_bits(slot_count);
    table.rehash(slot_count,
                 [&](const auto& slot) { return common::mix_slot(hash_of(slot), bits); });
}

}  // namespace

std::int64_t KeyInterner::find_object(PyObject* key) const {
    if (objects_.slot_count() == 0) {
        return -1;
    }
    const ObjectSlot* slot = objects_.find_slot(
        home_slot(objects_, object_hash(key)), [key](const ObjectSlot& s) { return s.key == key; });
    return slot != nullptr ? std::int64_t{slot->column} : -1;
}

void KeyInterner::insert_object(PyObject* key, std::uint32_t column) {
    make_room(objects_, [](const ObjectSlot& slot) { return object_hash(slot.key); });
    objects_.place(home_slot(objects_, object_hash(key)), ObjectSlot{key, column});
}

std::int64_t KeyInterner::find_text(std::uint64_t hash, std::string_view text,
                                    const std::vector<std::string_view>& columns) const {
    if (texts_.slot_count() == 0) {
        return -1;
    }
    const TextSlot* slot = texts_.find_slot(home_slot(texts_, hash), [&](const TextSlot& s) {
        return s.hash == hash && columns[s.column] == text;
    });
    return slot != nullptr ? std::int64_t{slot->column} : -1;
}

void KeyInterner::insert_text(std::uint64_t hash, std::uint32_t column) {
    make_room(texts_, [](const TextSlot& slot) { return slot.hash; });
    texts_.place(home_slot(texts_, hash), TextSlot{hash, column});
}

void KeyInterner::add_column(PyObject* key, std::string_view text, std::uint32_t column) {
    insert_text(name_table_hash(text), column);
    insert_object(key, column);
}

KeyInterner::Found KeyInterner::column_of_text(PyObject* key, std::string_view text,
                                               std::vector<std::string_view>& columns,
                                               std::vector<PyRef>& pool) {
    std::uint64_t hash = name_table_hash(text);
    if (std::int64_t known = find_text(hash, text, columns); known >= 0) {
        auto column = static_cast<std::uint32_t>(known);
        if (objects_.size() >= kObjectsPerColumn * columns.size() + kObjectSlack) {
            return Found{column, false};
        }
        pool.push_back(PyRef::borrow(key));
        insert_object(key, column);
        return Found{column, true};
    }
    if (columns.size() >= kNoColumn) {
        throw Panic("too many distinct column names in one call");
    }
    auto column = static_cast<std::uint32_t>(columns.size());
    pool.push_back(PyRef::borrow(key));
    columns.push_back(text);
    insert_text(hash, column);
    insert_object(key, column);
    return Found{column, true};
}

}  // namespace pykit
