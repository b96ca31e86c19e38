#include "dist_binding/arrow_reading.h"

#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "arrow/batch_reader.h"
#include "arrow/owned.h"
#include "arrow/validate.h"
#include "pykit/arguments.h"
#include "pykit/entry.h"
#include "pykit/value_rules.h"
#include "dist_binding/scratch_read.h"

namespace dist_binding {

namespace {

using arrow_input::Owned;
using pykit::BoundArgs;
using pykit::ParamSpec;
using pykit::throw_pending;

constexpr const char* kStreamParams[] = {"stream"};
constexpr const char* kArrayParams[] = {"schema", "array"};
const ParamSpec kStreamSpec{"Profile._read_arrow_stream()", kStreamParams, 1};
const ParamSpec kArraySpec{"Profile._read_arrow_array()", kArrayParams, 2};

// The struct a capsule of the given name holds; TypeError for any other object.
template <class T>
T& capsule_struct(PyObject* capsule, const char* name) {
    if (PyCapsule_IsValid(capsule, name) == 0) {
        PyErr_Format(PyExc_TypeError, "observe_arrow() needs a PyCapsule named '%s', not '%s'",
                     name, pykit::type_name(capsule).c_str());
        throw_pending();
    }
    auto* value = static_cast<T*>(PyCapsule_GetPointer(capsule, name));
    if (value == nullptr) {
        throw_pending();
    }
    return *value;
}

// Moves the struct out of its capsule; an already released one is a ValueError.
template <class T>
void take_from(Owned<T>& into, PyObject* capsule, const char* name) {
    T& held = capsule_struct<T>(capsule, name);
    if (held.release == nullptr) {
        pykit::throw_value_error(std::string("observe_arrow(): the '") + name +
                                   "' capsule was released already");
    }
    Owned<T>::take(into, held);
}

// Whether a producer's failure was a KeyboardInterrupt raised in Python code it ran (a
// RecordBatchReader over a generator runs the generator inside get_next, on this thread,
// where Ctrl-C's handler raises): the producer keeps only the traceback's text, whose
// last line names the exception.
bool interrupted(const std::string& message) {
    std::string_view text(message);
    while (!text.empty() && (text.back() == '\n' || text.back() == ' ')) {
        text.remove_suffix(1);
    }
    const auto last = text.rfind('\n');
    return text.substr(last == std::string_view::npos ? 0 : last + 1) == "KeyboardInterrupt";
}

// Runs one step of the reading without the GIL; its refusals become ValueError, and a
// producer's failure that was Ctrl-C stays KeyboardInterrupt.
template <class Step>
auto without_gil(Step&& step) {
    std::optional<std::string> refusal;
    bool from_producer = false;
    {
        GilReleased released;
        try {
            return step();
        } catch (const arrow_input::InvalidArray& error) {
            refusal = error.what();
        } catch (const arrow_input::StreamError& error) {
            refusal = error.what();
            from_producer = true;
        }
    }
    if (from_producer && interrupted(*refusal)) {
        PyErr_SetNone(PyExc_KeyboardInterrupt);
        throw_pending();
    }
    pykit::throw_value_error(*refusal);
}

std::uint64_t read_stream(const profiler::KarvoEngine& into, PyObject* capsule) {
    Owned<ArrowArrayStream> stream;
    take_from(stream, capsule, "arrow_array_stream");
    ArrowArrayStream* raw = stream.get();
    // On the heap: an optional here makes GCC 12 warn, wrongly, that its members may be read
    // uninitialised once this is inlined at -O3.
    std::unique_ptr<arrow_input::StreamReader> reader;
    without_gil([&] {
        reader = std::make_unique<arrow_input::StreamReader>(*raw);
        return 0;
    });
    std::uint64_t rows = 0;
    for (;;) {
        const std::optional<std::uint64_t> got = without_gil([&] { return reader->next(into); });
        if (!got) {
            break;
        }
        rows += *got;
        if (PyErr_CheckSignals() != 0) {
            throw_pending();
        }
    }
    reader.reset();  // its schema goes before the stream that gave it
    return rows;
}

std::uint64_t read_array(const profiler::KarvoEngine& into, PyObject* schema_capsule,
                         PyObject* array_capsule) {
    Owned<ArrowSchema> schema;
    Owned<ArrowArray> array;
    take_from(schema, schema_capsule, "arrow_schema");
    take_from(array, array_capsule, "arrow_array");
    return without_gil([&] {
        const arrow_input::BatchConverter converter(*schema);
        return converter.observe(into, *array);
    });
}

}  // namespace

PyObject* read_arrow(const profiler::KarvoEngine& engine, std::uint64_t seed, ArrowSource form,
                     PyObject* args, PyObject* kwargs) {
    // As for JSON Lines: a scratch engine of the profile's keys, merged on success only.
    const profiler::KarvoEngine scratch = scratch_engine(engine, seed);
    std::uint64_t rows = 0;
    if (form == ArrowSource::kStream) {
        BoundArgs<1> bound;
        pykit::bind_arguments(kStreamSpec, args, kwargs, bound);
        rows = read_stream(scratch, bound[0].get());
    } else {
        BoundArgs<2> bound;
        pykit::bind_arguments(kArraySpec, args, kwargs, bound);
        rows = read_array(scratch, bound[0].get(), bound[1].get());
    }
    merge_scratch(engine, scratch);
    return pykit::must(PyLong_FromUnsignedLongLong(rows));
}

}  // namespace dist_binding
