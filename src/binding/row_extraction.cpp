#include "binding/row_extraction.h"

#include <algorithm>
#include <bit>
#include <cmath>

#include "binding/entry.h"
#include "common/mix64.h"
#include "common/utf8.h"
#include "profiler/name_hash.h"

namespace binding {

using profiler::Cell;
using profiler::FoldPipeline;
using profiler::keyed;
using profiler::null_cell;
using profiler::raw_int;  // integers are read as long long, 64 bits on every platform
using profiler::RawCell;
using profiler::ValueKeys;

namespace {

constexpr const char* kSizeChanged = "dictionary changed size during iteration";
constexpr const char* kKeysChanged = "dictionary keys changed during iteration";

// A text key object not seen before but whose text is already a column gets an identity
// entry of its own only while the identity table stays within this many entries per
// column; past that (rows that each bring new key objects, as from one json.loads per
// line) such keys are found by their text each time, keeping the table O(columns).
constexpr std::size_t kObjectsPerColumn = 4;
constexpr std::size_t kObjectSlack = 64;

RawCell null_raw(std::uint32_t column) {
    return keyed(null_cell(column));
}
// A real value; NaN is null.
RawCell float_raw(std::uint32_t column, double value) {
    if (std::isnan(value)) {
        return null_raw(column);
    }
    return keyed(profiler::float_cell(column, value));
}
// A text, which `sink` copies for its worker or keys at once; the bytes need not outlive
// the call.
RawCell text_raw(std::uint32_t column, const char* data, Py_ssize_t size, FoldPipeline& sink) {
    return sink.text_cell(column, std::string_view(data, static_cast<std::size_t>(size)));
}

// str.isascii as the C function behind it: CPython implements it as a METH_NOARGS
// function, which is called with the string and no argument, and it answers from the
// string's header without reading its text. Null when the running interpreter does not
// implement it so; every text then takes the encoding path, which is slower but as right.
using NoArgsFunction = PyObject* (*)(PyObject*, PyObject*);

NoArgsFunction find_isascii() {
    PyRef empty = PyRef::steal(PyUnicode_FromStringAndSize("", 0));
    PyRef method = PyRef::steal(empty ? PyObject_GetAttrString(empty.get(), "isascii") : nullptr);
    if (!method || !PyCFunction_Check(method.get()) ||
        PyCFunction_GetFlags(method.get()) != METH_NOARGS) {
        PyErr_Clear();
        return nullptr;
    }
    return reinterpret_cast<NoArgsFunction>(PyCFunction_GetFunction(method.get()));
}

// Whether an exact str holds only ASCII characters.
bool is_ascii(PyObject* text) {
    static const NoArgsFunction isascii = find_isascii();
    if (isascii == nullptr) {
        return false;
    }
    PyObject* answer = isascii(text, nullptr);
    if (answer == nullptr) {
        PyErr_Clear();
        return false;
    }
    const bool ascii = answer == Py_True;
    Py_DECREF(answer);
    return ascii;
}

// The UTF-8 of an exact non-ASCII str through the encoder's own bytes object, taken
// (hashed or copied) and released at once: for texts too long for the scratch buffers.
RawCell encoded_str_raw(std::uint32_t column, PyObject* value, FoldPipeline& sink) {
    if (PyRef utf8 = PyRef::steal(PyUnicode_AsUTF8String(value))) {
        char* data = nullptr;
        Py_ssize_t size = 0;
        if (PyBytes_AsStringAndSize(utf8.get(), &data, &size) == 0) {
            return text_raw(column, data, size, sink);
        }
    }
    PyErr_Clear();
    return null_raw(column);
}

// An exact str value, read without changing the caller's object. ASCII text is its own
// UTF-8, which PyUnicode_AsUTF8AndSize hands out in place. For other text that call would
// cache a UTF-8 copy inside the object for the object's whole life (a profiled list of
// non-ASCII rows would keep about twice its text), so it is encoded apart, in the
// builder's scratch buffers or, when long, by the interpreter's encoder. A lone surrogate
// has no UTF-8: null.
RawCell exact_str_raw(std::uint32_t column, PyObject* value, FoldPipeline& sink,
                      Utf8Scratch& scratch) {
    if (is_ascii(value)) {
        Py_ssize_t size = 0;
        if (const char* data = PyUnicode_AsUTF8AndSize(value, &size)) {
            return text_raw(column, data, size, sink);
        }
        PyErr_Clear();
        return null_raw(column);
    }
    const Py_ssize_t length = PyUnicode_GetLength(value);
    if (length < 0) {
        PyErr_Clear();
        return null_raw(column);
    }
    if (!Utf8Scratch::fits(length)) {
        return encoded_str_raw(column, value, sink);
    }
    std::string_view utf8;
    if (!scratch.encode(value, length, utf8)) {
        return null_raw(column);
    }
    return sink.text_cell(column, utf8);
}

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

// Asks for the cache line of an object about to be read: its type and, for an int or a
// float, its value.
void prefetch_object(PyObject* object) {
    __builtin_prefetch(object);
}

// The exact built-in types, whose results under the value rules are known without
// raising anything or running Python code. Returns false for every other type.
// The cell of an int in [2^63, 2^64), read from an exact int or an __index__ result;
// false (no exception left pending) for any other int.
bool wide_unsigned(PyObject* integer, const ValueKeys& keys, std::uint32_t column, Cell& cell) {
    const unsigned long long u = PyLong_AsUnsignedLongLong(integer);
    if (u == static_cast<unsigned long long>(-1) && PyErr_Occurred() != nullptr) {
        PyErr_Clear();  // an OverflowError of an int beyond 64 bits, nothing else
        return false;
    }
    cell = wide_unsigned_cell(column, u, keys);
    return true;
}

// The exact built-in containers of JSON-like rows (nested objects, lists) and their kin:
// none has a number hook or is text, so the value rules make each null without running
// any Python code.
bool is_plain_container(PyTypeObject* type) {
    return type == &PyDict_Type || type == &PyList_Type || type == &PyTuple_Type ||
           type == &PyBytes_Type || type == &PyByteArray_Type || type == &PySet_Type ||
           type == &PyFrozenSet_Type;
}

}  // namespace

bool reads_without_python(PyObject* value) {
    PyTypeObject* type = Py_TYPE(value);
    return value == Py_None || type == &PyLong_Type || type == &PyFloat_Type ||
           type == &PyUnicode_Type || type == &PyBool_Type || is_plain_container(type);
}

namespace {

bool convert_exact(std::uint32_t column, PyObject* value, FoldPipeline& sink, Utf8Scratch& scratch,
                   RawCell& cell) {
    PyTypeObject* type = Py_TYPE(value);
    Cell wide;
    if (value == Py_None) {
        cell = null_raw(column);
    } else if (type == &PyLong_Type) {
        int overflow = 0;
        long long integer = PyLong_AsLongLongAndOverflow(value, &overflow);
        if (overflow == 0) {
            cell = raw_int(column, integer);
        } else if (overflow > 0 && wide_unsigned(value, sink.keys(), column, wide)) {
            cell = keyed(wide);  // its nearest double, keyed by its exact value
        } else {  // beyond 64 bits: the nearest double, or null beyond a double's range
            double real = PyLong_AsDouble(value);
            if (real == -1.0 && PyErr_Occurred() != nullptr) {
                PyErr_Clear();
                cell = null_raw(column);
            } else {
                cell = float_raw(column, real);
            }
        }
    } else if (type == &PyFloat_Type) {
        cell = float_raw(column, PyFloat_AsDouble(value));
    } else if (type == &PyUnicode_Type) {
        cell = exact_str_raw(column, value, sink, scratch);
    } else if (type == &PyBool_Type) {
        cell = raw_int(column, value == Py_True ? 1 : 0);
    } else if (is_plain_container(type)) {
        // No __index__, no __float__, not text: the rules end in null. Trying them would
        // raise and format two TypeErrors per cell, and send the row to the checked walk.
        cell = null_raw(column);
    } else {
        return false;
    }
    return true;
}

// The value rules as written, for every other type; hooks may run here.
RawCell convert_general(std::uint32_t column, PyObject* value, FoldPipeline& sink) {
    PyRef index = PyRef::steal(PyNumber_Index(value));
    if (index) {
        long long integer = PyLong_AsLongLong(index.get());
        if (!(integer == -1 && PyErr_Occurred() != nullptr)) {
            return raw_int(column, integer);
        }
    }
    discard_error();
    // An __index__ in [2^63, 2^64) keys the cell by its exact value, as for an exact int,
    // when the real reading (which may come from another hook) is its nearest double.
    Cell wide;
    const bool is_wide = index && wide_unsigned(index.get(), sink.keys(), column, wide);
    double real = PyFloat_AsDouble(value);
    if (!(real == -1.0 && PyErr_Occurred() != nullptr)) {
        if (is_wide && std::bit_cast<std::uint64_t>(real) == wide.payload) {
            return keyed(wide);
        }
        return float_raw(column, real);
    }
    discard_error();
    if (type_has_flag(value, Py_TPFLAGS_UNICODE_SUBCLASS)) {
        Py_ssize_t size = 0;
        if (const char* data = PyUnicode_AsUTF8AndSize(value, &size)) {
            return text_raw(column, data, size, sink);
        }
        discard_error();
    }
    return null_raw(column);
}

}  // namespace

std::string type_name(PyObject* object) {
    PyRef name = PyRef::steal(
        PyObject_GetAttrString(reinterpret_cast<PyObject*>(Py_TYPE(object)), "__qualname__"));
    if (name && type_has_flag(name.get(), Py_TPFLAGS_UNICODE_SUBCLASS)) {
        Py_ssize_t size = 0;
        if (const char* data = PyUnicode_AsUTF8AndSize(name.get(), &size)) {
            return std::string(data, static_cast<std::size_t>(size));
        }
    }
    discard_error();
    return "<failed to extract type name>";
}

void throw_cannot_convert(PyObject* object, const char* target) {
    PyRef hold = PyRef::borrow(object);  // reading __qualname__ may run Python code
    std::string message(1, '\'');
    message.append(type_name(object)).append("' object cannot be converted to '");
    message.append(target).append("'");
    throw_type_error(message.c_str());
}

RawCell convert_value(std::uint32_t column, PyObject* value, FoldPipeline& sink,
                      Utf8Scratch& scratch) {
    RawCell cell;
    if (convert_exact(column, value, sink, scratch, cell)) {
        return cell;
    }
    // Hooks may drop the container's reference to the value while they run.
    PyRef hold = PyRef::borrow(value);
    return convert_general(column, value, sink);
}

// ---- KeyInterner

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

// ---- Utf8Scratch

bool Utf8Scratch::encode(PyObject* text, Py_ssize_t length, std::string_view& utf8) {
    const auto count = static_cast<std::size_t>(length);
    if (code_points_.size() < count) {
        code_points_.resize(count);
        bytes_.resize(common::kMaxUtf8Bytes * count);
    }
    // The buffer is sized in Py_UCS4 units, which char32_t matches on every platform.
    static_assert(sizeof(char32_t) == sizeof(Py_UCS4));
    if (count > 0 && PyUnicode_AsUCS4(text, reinterpret_cast<Py_UCS4*>(code_points_.data()), length,
                                      0) == nullptr) {
        PyErr_Clear();
        return false;
    }
    const std::size_t size =
        common::encode_utf8(std::span<const char32_t>(code_points_.data(), count), bytes_.data());
    if (size == common::kNoUtf8) {
        return false;
    }
    utf8 = std::string_view(bytes_.data(), size);
    return true;
}

// ---- BatchBuilder

BatchBuilder::BatchBuilder(const ValueKeys& keys, std::size_t expected_columns,
                           profiler::FoldOptions options)
    : pipeline_(keys, options) {
    batch_.names.reserve(expected_columns);
    pool_.reserve(expected_columns);
}

const profiler::ColumnBatch& BatchBuilder::finish() {
    if (!finished_) {
        batch_.parts = pipeline_.finish(batch_.names.size());
        finished_ = true;
    }
    return batch_;
}

std::uint32_t BatchBuilder::new_column(PyObject* key) {
    Py_ssize_t size = 0;
    const char* data = PyUnicode_AsUTF8AndSize(key, &size);
    if (data == nullptr) {
        throw_pending();
    }
    const auto column = static_cast<std::uint32_t>(batch_.names.size());
    pool_.push_back(PyRef::borrow(key));
    batch_.names.emplace_back(data, static_cast<std::size_t>(size));
    unindexed_ = true;
    return column;
}

void BatchBuilder::index_first_row() {
    for (std::uint32_t column = 0; column < batch_.names.size(); ++column) {
        PyObject* key = pool_[column].get();
        interner_.add_column(key, batch_.names[column], column);
        remember(column, key, column);
    }
    unindexed_ = false;
}

std::uint32_t BatchBuilder::column_of(PyObject* key, std::size_t position) {
    if (unindexed_) {
        index_first_row();
    }
    const Guess* guess = position < by_position_.size() ? &by_position_[position] : nullptr;
    if (guess != nullptr && guess->key == key) {
        return guess->column;
    }
    // When the key at this position was last an object the pool does not hold, rows bring
    // key objects of their own (as when each row was parsed on its own): looking the
    // object up would miss, so its text is compared with the guess first.
    const bool fresh_objects = guess != nullptr && guess->key == nullptr;
    if (!fresh_objects) {
        if (std::int64_t known = interner_.find_object(key); known >= 0) {
            remember(position, key, static_cast<std::uint32_t>(known));
            return static_cast<std::uint32_t>(known);
        }
    }
    if (!type_has_flag(key, Py_TPFLAGS_UNICODE_SUBCLASS)) {
        throw_cannot_convert(key, "PyString");
    }
    Py_ssize_t size = 0;
    const char* data = PyUnicode_AsUTF8AndSize(key, &size);
    if (data == nullptr) {
        throw_pending();
    }
    std::string_view text(data, static_cast<std::size_t>(size));
    if (guess != nullptr && guess->column != kNoGuess && batch_.names[guess->column] == text) {
        return guess->column;
    }
    if (fresh_objects) {
        if (std::int64_t known = interner_.find_object(key); known >= 0) {
            remember(position, key, static_cast<std::uint32_t>(known));
            return static_cast<std::uint32_t>(known);
        }
    }
    KeyInterner::Found found = interner_.column_of_text(key, text, batch_.names, pool_);
    remember(position, found.pooled ? key : nullptr, found.column);
    return found.column;
}

void BatchBuilder::remember(std::size_t position, PyObject* key, std::uint32_t column) {
    if (position >= by_position_.size()) {
        by_position_.resize(position + 1);
    }
    by_position_[position] = Guess{key, column};
}

void BatchBuilder::keep_last_cell_per_column() {
    // Batch columns are small dense numbers, so the last position of each column in the row
    // is a plain array lookup. Only the row's own columns are written before they are read,
    // so entries left from earlier rows never matter. A dropped text cell leaves its copy
    // in the chunk's text, unused.
    if (last_in_row_.size() < batch_.names.size()) {
        last_in_row_.resize(batch_.names.size());
    }
    std::vector<RawCell>& cells = pipeline_.cells();
    for (std::size_t i = row_begin_; i < cells.size(); ++i) {
        last_in_row_[cells[i].column] = i;
    }
    std::size_t out = row_begin_;
    for (std::size_t i = row_begin_; i < cells.size(); ++i) {
        if (last_in_row_[cells[i].column] == i) {
            cells[out++] = cells[i];
        }
    }
    cells.resize(out);
}

std::size_t BatchBuilder::extract_row(PyObject* dictionary) {
    const Py_ssize_t size = PyDict_Size(dictionary);
    if (size < 0) {
        fail_api_call();
    }
    row_begin_ = pipeline_.cells().size();
    RowWalk walk{size};
    try {
        extract_exact_entries(dictionary, walk);
        if (walk.resume) {
            extract_entries_checked(dictionary, walk);
        }
        if (!walk.all_keys_exact) {
            keep_last_cell_per_column();
        }
        pipeline_.end_row();
    } catch (...) {
        // A row that fails leaves no cell behind, so a builder that outlives the failure
        // (the per-profile row buffer, whose pipeline folds whole rows) still folds only
        // whole rows, even when the row's own fold failed.
        std::vector<profiler::RawCell>& cells = pipeline_.cells();
        if (cells.size() > row_begin_) {
            cells.resize(row_begin_);
        }
        throw;
    }
    return walk.count;
}

// Lists the row's entries first, then converts them while every value is of an exact
// built-in type. Until a hook runs no Python code runs at all, so the dictionary cannot
// change and its entries' borrowed references stay valid; listing them first lets the
// loop fetch values some entries ahead, since reading each value object is mostly a cache
// miss. At the first value that needs the general rules, the walk is handed to
// extract_entries_checked at that entry's place, with the list as its snapshot.
void BatchBuilder::extract_exact_entries(PyObject* dictionary, RowWalk& walk) {
    const auto size = static_cast<std::size_t>(walk.size);
    if (entries_.size() < size) {
        entries_.resize(size);
    }
    std::size_t count = 0;
    Py_ssize_t position = 0;
    PyObject* key = nullptr;
    PyObject* value = nullptr;
    while (PyDict_Next(dictionary, &position, &key, &value)) {
        if (count == size) {  // cannot happen while no code runs; checked all the same
            throw Panic(kKeysChanged);
        }
        entries_[count++] = Entry{key, value, position};
    }
    walk.count = count;
    for (std::size_t i = 0; i < std::min(count, kPrefetchAhead); ++i) {
        prefetch_object(entries_[i].value);
    }
    // Whether a str-subclass key may share its text with another key of the row. Taken
    // from the listed keys: if a hook later replaces some, an unneeded pass over the row's
    // cells is all that can follow. The first row of a batch whose keys are all exact str
    // names distinct texts (as a dictionary's keys are), so its keys become columns without
    // any lookup.
    for (std::size_t i = 0; walk.all_keys_exact && i < count; ++i) {
        walk.all_keys_exact = Py_TYPE(entries_[i].key) == &PyUnicode_Type;
    }
    const bool first_row = batch_.names.empty() && walk.all_keys_exact;
    std::vector<RawCell>& cells = pipeline_.cells();
    for (std::size_t i = 0; i < count; ++i) {
        if (i + kPrefetchAhead < count) {
            prefetch_object(entries_[i + kPrefetchAhead].value);
        }
        const Entry& entry = entries_[i];
        const std::uint32_t column = first_row ? new_column(entry.key) : column_of(entry.key, i);
        // Converted in place: a cell built apart and copied in is read back before its
        // parts have been stored, which stalls on every cell.
        if (!convert_exact(column, entry.value, pipeline_, utf8_, cells.emplace_back())) {
            cells.pop_back();
            walk.resume_at = i;
            walk.resume = true;
            return;
        }
    }
}

// The rest of the row, from the first value that may run a hook. Hooks are Python code
// and may change the dictionary in any way; the limited API offers no version tag to tell
// whether they did, only the size and the entries that PyDict_Next yields. So the listed
// entries are the snapshot the dictionary must keep matching:
//   - before each entry is read, the size must be unchanged ("changed size" otherwise, as
//     a grown or shrunk dictionary always was), and the entry is fetched again at its
//     recorded position: the key there must be the same object (O(1) a step). The value
//     read is the one there now, so a hook that replaces values at unchanged keys is
//     honoured, entry by entry.
//   - once the row is read (its last hook has returned), the dictionary must yield exactly
//     the listed (position, key) sequence, and no more.
// Every listed key is held by a strong reference while hooks may run, so a key that a
// hook deletes cannot be freed and its address taken by a new key: the same address at
// the same position means the same key.
//
// Why the whole sequence is compared once per row and not after every hook: each cell of
// the row was read at a moment when its entry held its listed key (the step check), so the
// row has exactly one cell per listed entry, of that entry's key. The final check shows
// that the dictionary's keys, when the row ends, are exactly the listed ones at their
// listed places. The row therefore counts each key of the dictionary as it was when the
// row began, and is again when it ends, exactly once: nothing is lost and nothing is
// counted twice, whatever happened in between. What a per-hook check could add is to
// see a change that a later hook undid; but a single hook can make and undo a change
// within itself, which no check from here can see. Such a change leaves no trace (the
// same keys, at the same positions, of the same objects) and costs the row nothing: the
// keys it added and removed again were never the dictionary's at a moment the row is
// counted for. Checking once keeps a row full of hook-bearing values (numpy scalars,
// Decimals) linear in its width.
void BatchBuilder::extract_entries_checked(PyObject* dictionary, const RowWalk& walk) {
    held_keys_.clear();
    for (std::size_t i = 0; i < walk.count; ++i) {
        held_keys_.push_back(PyRef::borrow(entries_[i].key));
    }
    for (std::size_t i = walk.resume_at; i < walk.count; ++i) {
        PyObject* value = fetch_again(dictionary, walk, i);
        const std::uint32_t column = column_of(entries_[i].key, i);
        const RawCell cell = convert_value(column, value, pipeline_, utf8_);
        pipeline_.cells().push_back(cell);
    }
    check_unchanged(dictionary, walk);
    // Every held key is still in the dictionary (just checked), so no release frees one.
    held_keys_.clear();
}

PyObject* BatchBuilder::fetch_again(PyObject* dictionary, const RowWalk& walk,
                                    std::size_t i) const {
    if (PyDict_Size(dictionary) != walk.size) {
        throw Panic(kSizeChanged);
    }
    Py_ssize_t position = i == 0 ? 0 : entries_[i - 1].next_position;
    PyObject* key = nullptr;
    PyObject* value = nullptr;
    if (!PyDict_Next(dictionary, &position, &key, &value) || key != entries_[i].key ||
        position != entries_[i].next_position) {
        throw Panic(kKeysChanged);
    }
    return value;
}

void BatchBuilder::check_unchanged(PyObject* dictionary, const RowWalk& walk) const {
    if (PyDict_Size(dictionary) != walk.size) {
        throw Panic(kSizeChanged);
    }
    Py_ssize_t position = 0;
    PyObject* key = nullptr;
    PyObject* value = nullptr;
    std::size_t i = 0;
    while (PyDict_Next(dictionary, &position, &key, &value)) {
        if (i == walk.count || key != entries_[i].key || position != entries_[i].next_position) {
            throw Panic(kKeysChanged);
        }
        ++i;
    }
    if (i != walk.count) {
        throw Panic(kKeysChanged);
    }
}

}  // namespace binding
