#include "dist_binding/profile_type.h"

#include <algorithm>
#include <bit>
#include <cstdint>
#include <memory>
#include <new>
#include <span>
#include <string>

#include "pykit/arguments.h"
#include "pykit/entry.h"
#include "pykit/module_state.h"
#include "pykit/native_profile.h"
#include "pykit/observe.h"
#include "pykit/value_rules.h"
#include "dist_binding/arrow_reading.h"
#include "dist_binding/jsonl_reading.h"
#include "profiler/engine.h"
#include "profiler/profile_codec.h"
#include "profiler/seed_keys.h"

namespace dist_binding {

namespace {

using pykit::as_method;
using pykit::BoundArgs;
using pykit::EngineCall;
using pykit::enter;
using pykit::must;
using pykit::ParamSpec;
using pykit::PyRef;
using pykit::throw_pending;
using pykit::throw_type_error;
using pykit::throw_value_error;

using Engine = pykit::NativeProfile::Engine;

// An instance: the kit's profile, then the seed its engine's keys come from.
struct ProfileObject {
    pykit::ProfileObject base;
    std::uint64_t seed;
};

std::uint64_t& seed_of_profile(PyObject* self) {
    return reinterpret_cast<ProfileObject*>(self)->seed;
}

// The instance's engine, shared for the length of a call, with every buffered row applied.
EngineCall engine_of(PyObject* self) {
    return pykit::native_of(self).call();
}

constexpr const char* kNewParams[] = {"seed", "summaries"};
constexpr const char* kObserveDictParams[] = {"py_dict"};
constexpr const char* kObserveDictsParams[] = {"py_list"};
constexpr const char* kMergeParams[] = {"other"};
constexpr const char* kFromBytesParams[] = {"data", "seed", "summaries"};
constexpr const char* kToBytesParams[] = {"version"};
const ParamSpec kNewSpec{"Profile.__new__()", kNewParams, 0};
const ParamSpec kObserveDictSpec{"Profile.observe_dict()", kObserveDictParams, 1};
const ParamSpec kObserveDictsSpec{"Profile.observe_dicts()", kObserveDictsParams, 1};
const ParamSpec kMergeSpec{"Profile.merge()", kMergeParams, 1};
const ParamSpec kFromBytesSpec{"Profile.from_bytes()", kFromBytesParams, 1};
const ParamSpec kToBytesSpec{"Profile.to_bytes()", kToBytesParams, 0};

// A seed: an int from 0 to 2**64 - 1; an absent argument is 0.
std::uint64_t seed_of(PyObject* value) {
    if (value == nullptr) {
        return 0;
    }
    if (!pykit::type_has_flag(value, Py_TPFLAGS_LONG_SUBCLASS)) {
        throw_type_error("seed must be an int, not '" + pykit::type_name(value) + "'");
    }
    const unsigned long long seed = PyLong_AsUnsignedLongLong(value);
    if (seed == static_cast<unsigned long long>(-1) && PyErr_Occurred() != nullptr) {
        pykit::discard_error();
        throw_value_error("seed must be an int from 0 to 2**64 - 1");
    }
    return seed;
}

// Whether to keep column summaries: a bool; absent, `absent`.
bool summaries_of(PyObject* value, bool absent) {
    if (value == nullptr) {
        return absent;
    }
    if (!PyBool_Check(value)) {
        throw_type_error("summaries must be a bool, not '" + pykit::type_name(value) + "'");
    }
    return value == Py_True;
}

// `summaries` is keyword-only: in Profile(7, False) a bare bool would not say what it turns off.
void refuse_positional_summaries(const char* full_name, PyObject* args, Py_ssize_t most) {
    if (args != nullptr && PyTuple_Size(args) > most) {
        throw_type_error(std::string(full_name) + " takes at most " + std::to_string(most) +
                         " positional argument" + (most == 1 ? "" : "s"));
    }
}

// A new instance of `type` holding the engine.
PyObject* make_instance(PyTypeObject* type, Engine engine, std::uint64_t seed) {
    PyObject* self = pykit::new_profile(type, std::move(engine));
    seed_of_profile(self) = seed;
    return self;
}

// An engine keyed by the seed; without summaries, the readers skip the summary's work and
// its figures are unknown, as for a profile stored without them.
Engine new_engine(std::uint64_t seed, bool summaries) {
    const profiler::SeedKeys keys = profiler::keys_from_seed(seed);
    if (!summaries) {
        return std::make_shared<const profiler::KarvoEngine>(keys.values, keys.sketch);
    }
    return std::make_shared<const profiler::KarvoEngine>(keys.values, keys.sketch, keys.summary);
}

// ---- __new__ (deallocation is the kit's)

PyObject* profile_new(PyTypeObject* subtype, PyObject* args, PyObject* kwargs) {
    return enter([&]() -> PyObject* {
        refuse_positional_summaries(kNewSpec.full_name, args, 1);
        BoundArgs<2> bound;
        pykit::bind_arguments(kNewSpec, args, kwargs, bound);
        const std::uint64_t seed = seed_of(bound[0].get());
        const bool summaries = summaries_of(bound[1].get(), true);
        return make_instance(subtype, new_engine(seed, summaries), seed);
    });
}

// ---- JSON Lines, read natively (jsonl_reading.h)

template <JsonlSource form>
PyObject* read_jsonl_method(PyObject* self, PyObject* args, PyObject* kwargs) {
    return enter([&]() -> PyObject* {
        return read_jsonl(*engine_of(self), seed_of_profile(self), form, args, kwargs);
    });
}

// ---- columnar input, through the Arrow PyCapsule interface (arrow_reading.h)

template <ArrowSource form>
PyObject* read_arrow_method(PyObject* self, PyObject* args, PyObject* kwargs) {
    return enter([&]() -> PyObject* {
        return read_arrow(*engine_of(self), seed_of_profile(self), form, args, kwargs);
    });
}

// ---- merging and the stored form

bool is_profile(PyObject* object) {
    PyObject* type = profile_type();
    return type != nullptr &&
           PyType_IsSubtype(Py_TYPE(object), reinterpret_cast<PyTypeObject*>(type)) != 0;
}

// What a merge of other into self needs: a profile of the same seed. The package's
// merge(*others) checks every argument through this before it merges any.
void check_mergeable(PyObject* self, PyObject* other) {
    if (!is_profile(other)) {
        throw_type_error("Profile.merge() argument must be a karvo_dist Profile, not '" +
                         pykit::type_name(other) + "'");
    }
    if (seed_of_profile(other) != seed_of_profile(self)) {
        throw_value_error("cannot merge profiles made with different seeds");
    }
}

PyObject* check_merge(PyObject* self, PyObject* other) {
    return enter([&]() -> PyObject* {
        check_mergeable(self, other);
        Py_RETURN_NONE;
    });
}

PyObject* merge(PyObject* self, PyObject* args, PyObject* kwargs) {
    return enter([&]() -> PyObject* {
        BoundArgs<1> bound;
        pykit::bind_arguments(kMergeSpec, args, kwargs, bound);
        PyObject* other = bound[0].get();
        check_mergeable(self, other);
        const EngineCall engine = engine_of(self);
        const EngineCall source = engine_of(other);
        // Copied out first, so that a profile merged into itself doubles its counts.
        try {
            engine->merge_state(source->export_state());
        } catch (const profiler::CountOverflow& error) {
            throw_value_error(error.what());
        }
        Py_RETURN_NONE;
    });
}

// The binary form's version to write: an int, one of those this build writes; absent,
// the current one.
std::uint16_t version_of(PyObject* value) {
    if (value == nullptr) {
        return profiler::kProfileFormatVersion;
    }
    if (!pykit::type_has_flag(value, Py_TPFLAGS_LONG_SUBCLASS)) {
        throw_type_error("version must be an int, not '" + pykit::type_name(value) + "'");
    }
    const long version = PyLong_AsLong(value);
    if (version == -1 && PyErr_Occurred() != nullptr) {
        pykit::discard_error();
    } else if (version >= profiler::kOldestProfileFormatVersion &&
               version <= profiler::kProfileFormatVersion) {
        return static_cast<std::uint16_t>(version);
    }
    throw_value_error("version must be from " +
                      std::to_string(profiler::kOldestProfileFormatVersion) + " to " +
                      std::to_string(profiler::kProfileFormatVersion));
}

// The stored form. An older version is what earlier releases read; version 1 leaves the
// column summaries out, and a profile read back from it has them unknown.
PyObject* to_bytes(PyObject* self, PyObject* args, PyObject* kwargs) {
    return enter([&]() -> PyObject* {
        BoundArgs<1> bound;
        pykit::bind_arguments(kToBytesSpec, args, kwargs, bound);
        const std::uint16_t version = version_of(bound[0].get());
        const EngineCall engine = engine_of(self);
        const profiler::ProfileState state = engine->export_state();
        const std::vector<std::uint8_t> bytes = profiler::encode_profile(
            state, profiler::keys_from_seed(seed_of_profile(self)).fingerprint, version);
        return must(PyBytes_FromStringAndSize(reinterpret_cast<const char*>(bytes.data()),
                                              static_cast<Py_ssize_t>(bytes.size())));
    });
}

// The bytes of a bytes, bytearray or memoryview argument, as a new bytes object.
PyRef bytes_argument(PyObject* data) {
    if (Py_TYPE(data) == &PyBytes_Type || pykit::type_has_flag(data, Py_TPFLAGS_BYTES_SUBCLASS)) {
        return PyRef::borrow(data);
    }
    if (PyType_IsSubtype(Py_TYPE(data), &PyByteArray_Type) != 0 ||
        PyType_IsSubtype(Py_TYPE(data), &PyMemoryView_Type) != 0) {
        PyRef bytes = PyRef::steal(PyBytes_FromObject(data));
        if (!bytes) {
            throw_pending();
        }
        return bytes;
    }
    throw_type_error(
        "Profile.from_bytes() argument 'data' must be bytes, bytearray or "
        "memoryview, not '" +
        pykit::type_name(data) + "'");
}

// Whether a profile read from a stored form keeps summaries when the caller leaves it to
// the form: not when the form could hold them (version 2 on) and has columns, none with
// one, as a profile that keeps none stores itself. Else it keeps them, and a column
// stored without one (version 1) has its figures unknown.
bool stored_with_summaries(const profiler::ProfileState& state, std::uint16_t version) {
    return version < 2 || state.empty() ||
           std::any_of(state.begin(), state.end(),
                       [](const profiler::ColumnState& column) { return column.summary.has_value(); });
}

PyObject* from_bytes(PyObject* cls, PyObject* args, PyObject* kwargs) {
    return enter([&]() -> PyObject* {
        refuse_positional_summaries(kFromBytesSpec.full_name, args, 2);
        BoundArgs<3> bound;
        pykit::bind_arguments(kFromBytesSpec, args, kwargs, bound);
        const PyRef data = bytes_argument(bound[0].get());
        const std::uint64_t seed = seed_of(bound[1].get());
        char* start = nullptr;
        Py_ssize_t size = 0;
        if (PyBytes_AsStringAndSize(data.get(), &start, &size) != 0) {
            pykit::fail_api_call();
        }
        const profiler::SeedKeys keys = profiler::keys_from_seed(seed);
        profiler::ProfileState state;
        std::uint16_t version = 0;
        try {
            state = profiler::decode_profile(
                std::span<const std::uint8_t>(reinterpret_cast<const std::uint8_t*>(start),
                                              static_cast<std::size_t>(size)),
                keys.fingerprint, keys.summary, &version);
        } catch (const profiler::FormatError& error) {
            throw_value_error(error.what());
        }
        const bool summaries = bound[2].get() == nullptr || bound[2].get() == Py_None
                                   ? stored_with_summaries(state, version)
                                   : summaries_of(bound[2].get(), true);
        Engine engine = new_engine(seed, summaries);
        engine->merge_state(state);
        return make_instance(reinterpret_cast<PyTypeObject*>(cls), std::move(engine), seed);
    });
}

// ---- reading the profile

PyObject* report(PyObject* self, PyObject* /*unused*/) {
    return enter([&]() -> PyObject* {
        const std::string text = engine_of(self)->report();
        return must(PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size())));
    });
}

PyObject* summary_json(PyObject* self, PyObject* /*unused*/) {
    return enter([&]() -> PyObject* {
        const std::string text = profiler::write_summary_report(engine_of(self)->summaries());
        return must(PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size())));
    });
}

// The ranks of _quantiles: a sequence of real numbers, each in [0, 1].
std::vector<double> ranks_of(PyObject* sequence) {
    const PyRef items = PyRef::steal(PySequence_List(sequence));  // TypeError for a non-iterable
    if (!items) {
        throw_pending();
    }
    const Py_ssize_t size = PyList_Size(items.get());
    std::vector<double> ranks;
    ranks.reserve(static_cast<std::size_t>(size));
    for (Py_ssize_t i = 0; i < size; ++i) {
        PyObject* item = PyList_GetItem(items.get(), i);  // borrowed; the list holds it
        const double rank = PyFloat_AsDouble(item);
        if (rank == -1.0 && PyErr_Occurred() != nullptr) {
            throw_pending();
        }
        if (!(rank >= 0.0 && rank <= 1.0)) {
            throw_value_error("ranks must lie in [0, 1]");
        }
        ranks.push_back(rank);
    }
    return ranks;
}

// One column's quantiles at the ranks: floats, or None each when nothing is known.
PyObject* quantile_list(const profiler::SummaryEntry& entry, const std::vector<double>& ranks) {
    PyRef list = PyRef::steal(must(PyList_New(static_cast<Py_ssize_t>(ranks.size()))));
    const bool any = entry.summary && entry.summary->known && entry.summary->quantiles.count() > 0;
    std::vector<double> values(ranks.size());
    if (any) {
        entry.summary->quantiles.quantiles(ranks, values);
    }
    for (std::size_t i = 0; i < ranks.size(); ++i) {
        PyObject* value = any ? must(PyFloat_FromDouble(values[i])) : Py_NewRef(Py_None);
        PyList_SetItem(list.get(), static_cast<Py_ssize_t>(i), value);  // steals value
    }
    return list.release();
}

PyObject* quantiles_at(PyObject* self, PyObject* ranks_argument) {
    return enter([&]() -> PyObject* {
        const std::vector<double> ranks = ranks_of(ranks_argument);
        const std::vector<profiler::SummaryEntry> entries = engine_of(self)->summaries();
        PyRef out = PyRef::steal(must(PyDict_New()));
        for (const profiler::SummaryEntry& entry : entries) {
            const PyRef name = PyRef::steal(must(PyUnicode_DecodeUTF8(
                entry.name.data(), static_cast<Py_ssize_t>(entry.name.size()), "strict")));
            const PyRef values = PyRef::steal(quantile_list(entry, ranks));
            if (PyDict_SetItem(out.get(), name.get(), values.get()) != 0) {
                throw_pending();
            }
        }
        return out.release();
    });
}

PyObject* column_names(PyObject* self, PyObject* /*unused*/) {
    return enter([&]() -> PyObject* {
        const std::vector<std::string> names = engine_of(self)->column_names();
        PyRef list = PyRef::steal(must(PyList_New(static_cast<Py_ssize_t>(names.size()))));
        for (std::size_t i = 0; i < names.size(); ++i) {
            PyObject* name = must(PyUnicode_DecodeUTF8(
                names[i].data(), static_cast<Py_ssize_t>(names[i].size()), "strict"));
            PyList_SetItem(list.get(), static_cast<Py_ssize_t>(i), name);  // steals name
        }
        return list.release();
    });
}

// A column's bounds as the table shows them: None for both when no number was seen, else
// floats, infinities included. The report writes an infinite bound as null, so a reader
// of the report alone cannot tell "inf" from "no numbers". A bound still at the infinity
// it starts from, beside a number seen, is that infinity itself: a column whose only
// number is inf has min inf, since no smaller number came.
PyObject* bounds_pair(const profiler::ColumnState& column) {
    if (column.min_bits == profiler::kPositiveInfinityBits &&
        column.max_bits == profiler::kNegativeInfinityBits) {
        return must(PyTuple_Pack(2, Py_None, Py_None));
    }
    const PyRef low = PyRef::steal(must(PyFloat_FromDouble(std::bit_cast<double>(column.min_bits))));
    const PyRef high = PyRef::steal(must(PyFloat_FromDouble(std::bit_cast<double>(column.max_bits))));
    return must(PyTuple_Pack(2, low.get(), high.get()));
}

PyObject* bounds(PyObject* self, PyObject* /*unused*/) {
    return enter([&]() -> PyObject* {
        const profiler::ProfileState state = engine_of(self)->export_state();
        PyRef list = PyRef::steal(must(PyList_New(static_cast<Py_ssize_t>(state.size()))));
        for (std::size_t i = 0; i < state.size(); ++i) {
            PyList_SetItem(list.get(), static_cast<Py_ssize_t>(i),
                           bounds_pair(state[i]));  // steals the pair
        }
        return list.release();
    });
}

Py_ssize_t profile_length(PyObject* self) {
    try {
        return static_cast<Py_ssize_t>(engine_of(self)->column_names().size());
    } catch (...) {
        pykit::set_error_for_current_exception();
        return -1;
    }
}

PyObject* get_seed(PyObject* self, void* /*unused*/) {
    return enter(
        [&]() -> PyObject* { return must(PyLong_FromUnsignedLongLong(seed_of_profile(self))); });
}

// ---- the type

PyMethodDef profile_methods[] = {
    {"observe_dict", as_method(pykit::observe_dict_method<kObserveDictSpec>), METH_FASTCALL | METH_KEYWORDS,
     "observe_dict($self, py_dict)\n--\n\n"
     "Adds one row (a dict of column name to value), by karvo.Profiler's rules."},
    {"observe_dicts", as_method(pykit::observe_dicts_method<kObserveDictsSpec>), METH_FASTCALL | METH_KEYWORDS,
     "observe_dicts($self, py_list)\n--\n\n"
     "Adds every dict of the list as a row, in order; all or nothing."},
    {"_read_jsonl_path", as_method(read_jsonl_method<JsonlSource::kPath>),
     METH_VARARGS | METH_KEYWORDS,
     "_read_jsonl_path($self, path, strict, threads, chunk_bytes, bad_lines_kept, "
     "max_int_digits, max_line_bytes)\n--\n\n"
     "Reads a JSON Lines file; observe_jsonl is the public form."},
    {"_read_jsonl_bytes", as_method(read_jsonl_method<JsonlSource::kBytes>),
     METH_VARARGS | METH_KEYWORDS,
     "_read_jsonl_bytes($self, data, strict, threads, chunk_bytes, bad_lines_kept, "
     "max_int_digits, max_line_bytes)\n--\n\n"
     "Reads JSON Lines held in a bytes object; observe_jsonl is the public form."},
    {"_read_jsonl_chunks", as_method(read_jsonl_method<JsonlSource::kChunks>),
     METH_VARARGS | METH_KEYWORDS,
     "_read_jsonl_chunks($self, chunks, strict, threads, chunk_bytes, bad_lines_kept, "
     "max_int_digits, max_line_bytes)\n--\n\n"
     "Reads JSON Lines from an iterable of byte chunks; observe_jsonl is the public form."},
    {"_read_arrow_stream", as_method(read_arrow_method<ArrowSource::kStream>),
     METH_VARARGS | METH_KEYWORDS,
     "_read_arrow_stream($self, stream)\n--\n\n"
     "Reads an 'arrow_array_stream' capsule; observe_arrow is the public form."},
    {"_read_arrow_array", as_method(read_arrow_method<ArrowSource::kArray>),
     METH_VARARGS | METH_KEYWORDS,
     "_read_arrow_array($self, schema, array)\n--\n\n"
     "Reads one record batch from 'arrow_schema' and 'arrow_array' capsules; observe_arrow "
     "is the public form."},
    {"_check_merge", as_method(check_merge), METH_O,
     "Raises the error merge(other) would raise for other's type or seed; else None."},
    {"merge", as_method(merge), METH_VARARGS | METH_KEYWORDS,
     "merge($self, other)\n--\n\n"
     "Adds another profile of the same seed to this one, in place."},
    {"to_bytes", as_method(to_bytes), METH_VARARGS | METH_KEYWORDS,
     "to_bytes($self, version=FORMAT_VERSION)\n--\n\n"
     "The profile in its versioned binary form; version 1 is what earlier releases read."},
    {"from_bytes", as_method(from_bytes), METH_VARARGS | METH_KEYWORDS | METH_CLASS,
     "from_bytes($cls, data, seed=0, *, summaries=None)\n--\n\n"
     "The profile stored by to_bytes; ValueError for anything else. summaries=None keeps "
     "column summaries unless the stored profile kept none."},
    {"report", as_method(report), METH_NOARGS,
     "report($self)\n--\n\nThe JSON report of the profile so far."},
    {"flush", as_method(pykit::flush_method), METH_NOARGS,
     "flush($self)\n--\n\nThe JSON report of the profile so far; then starts afresh."},
    {"summary_json", as_method(summary_json), METH_NOARGS,
     "summary_json($self)\n--\n\n"
     "The column summary of the profile so far, as compact JSON."},
    {"_quantiles", as_method(quantiles_at), METH_O,
     "_quantiles($self, ranks)\n--\n\n"
     "Each column's quantiles at the given ranks in [0, 1], in report order."},
    {"column_names", as_method(column_names), METH_NOARGS,
     "column_names($self)\n--\n\nThe column names, in report order."},
    {"_bounds", as_method(bounds), METH_NOARGS,
     "_bounds($self)\n--\n\n"
     "Each column's (min, max) in report order: floats with infinities kept, None for a "
     "column without numbers."},
    {nullptr, nullptr, 0, nullptr},
};

PyObject* get_keeps_summaries(PyObject* self, void* /*unused*/) {
    return enter([&]() -> PyObject* {
        return Py_NewRef(engine_of(self)->keeps_summaries() ? Py_True : Py_False);
    });
}

PyGetSetDef profile_getset[] = {
    {"seed", get_seed, nullptr, "The seed the profile's hashing keys come from.", nullptr},
    {"keeps_summaries", get_keeps_summaries, nullptr,
     "Whether the profile keeps column summaries (Profile(summaries=False) keeps none).",
     nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

char profile_doc[] =
    "Profile(seed=0, *, summaries=True)\n--\n\n"
    "A column profile that can be stored, sent and merged with others of the same seed. "
    "summaries=False skips the column summary, which the report does not need.";

PyType_Slot profile_slots[] = {
    {Py_tp_doc, profile_doc},
    {Py_tp_base, &PyBaseObject_Type},
    {Py_tp_new, reinterpret_cast<void*>(profile_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(pykit::dealloc_profile)},
    {Py_tp_methods, profile_methods},
    {Py_tp_getset, profile_getset},
    {Py_mp_length, reinterpret_cast<void*>(profile_length)},
    {0, nullptr},
};

PyType_Spec profile_spec = {
    "karvo_dist._native.Profile",
    static_cast<int>(sizeof(ProfileObject)),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE,
    profile_slots,
};

}  // namespace

PyObject* profile_type() {
    return pykit::module_class(profile_spec);
}

}  // namespace dist_binding
