#include "pykit/row_walk.h"

#include "pykit/entry.h"
#include "pykit/value_rules.h"

namespace pykit {

using ingest::RawCell;
using profiler::ValueKeys;

namespace {

constexpr const char* kSizeChanged = "dictionary changed size during iteration";
constexpr const char* kKeysChanged = "dictionary keys changed during iteration";

// Asks for the cache line of an object about to be read: its type and, for an int or a
// float, its value.
void prefetch_object(PyObject* object) {
    __builtin_prefetch(object);
}

}  // namespace

BatchBuilder::BatchBuilder(const ValueKeys& keys, std::size_t expected_columns,
                           ingest::FoldOptions options)
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

std::uint32_t BatchBuilder::column_of_lookup(PyObject* key, std::size_t position) {
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
    return extract_rows({&dictionary, 1});
}

std::size_t BatchBuilder::extract_rows(std::span<PyObject* const> dictionaries) {
    const std::size_t begin = pipeline_.cells().size();
    std::size_t count = 0;
    try {
        for (PyObject* dictionary : dictionaries) {
            count += read_row(dictionary);
        }
        pipeline_.end_row(dictionaries.size());
    } catch (...) {
        // Rows that fail leave no cell behind, so a builder that outlives the failure
        // (the per-profile row buffer, whose pipeline folds whole rows) still folds only
        // whole calls, even when their own fold failed.
        std::vector<ingest::RawCell>& cells = pipeline_.cells();
        if (cells.size() > begin) {
            cells.resize(begin);
        }
        throw;
    }
    return count;
}

std::size_t BatchBuilder::read_row(PyObject* dictionary) {
    const Py_ssize_t size = PyDict_Size(dictionary);
    if (size < 0) {
        fail_api_call();
    }
    row_begin_ = pipeline_.cells().size();
    RowWalk walk{size};
    extract_exact_entries(dictionary, walk);
    if (walk.resume) {
        extract_entries_checked(dictionary, walk);
    }
    if (!walk.all_keys_exact) {
        keep_last_cell_per_column();
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

}  // namespace pykit
