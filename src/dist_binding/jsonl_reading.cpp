#include "dist_binding/jsonl_reading.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <memory>
#include <span>
#include <string>
#include <vector>

#include "pykit/arguments.h"
#include "pykit/entry.h"
#include "pykit/value_rules.h"
#include "dist_binding/scratch_read.h"
#include "jsonl/reader.h"

namespace dist_binding {

namespace {

using pykit::BoundArgs;
using pykit::must;
using pykit::ParamSpec;
using pykit::PyRef;
using pykit::throw_pending;
using pykit::throw_value_error;

// A file is read in blocks of this size; the GIL is taken back, to look for signals,
// after this many bytes or at a read that a signal interrupted.
constexpr std::size_t kReadBlock = std::size_t{1} << 20;
constexpr std::uint64_t kSignalCheckBytes = std::uint64_t{16} << 20;

// The most bad lines a result describes: each is kept as text, so their number is bounded.
constexpr long long kMaxBadLinesKept = 1000000;

constexpr const char* kPathParams[] = {"path",           "strict",         "threads",
                                       "chunk_bytes",    "bad_lines_kept", "max_int_digits",
                                       "max_line_bytes"};
constexpr const char* kBytesParams[] = {"data",           "strict",         "threads",
                                        "chunk_bytes",    "bad_lines_kept", "max_int_digits",
                                        "max_line_bytes"};
constexpr const char* kChunksParams[] = {"chunks",         "strict",         "threads",
                                         "chunk_bytes",    "bad_lines_kept", "max_int_digits",
                                         "max_line_bytes"};
const ParamSpec kPathSpec{"Profile._read_jsonl_path()", kPathParams, 7};
const ParamSpec kBytesSpec{"Profile._read_jsonl_bytes()", kBytesParams, 7};
const ParamSpec kChunksSpec{"Profile._read_jsonl_chunks()", kChunksParams, 7};
using ReadArgs = BoundArgs<7>;

// Owns an open file descriptor.
class FileHandle {
  public:
    explicit FileHandle(int fd) : fd_(fd) {}
    ~FileHandle() {
        if (fd_ >= 0) {
            ::close(fd_);
        }
    }
    FileHandle(const FileHandle&) = delete;
    FileHandle& operator=(const FileHandle&) = delete;
    int get() const { return fd_; }

  private:
    int fd_;
};

// The largest max_int_digits: the interpreter keeps its own digit limit in a C int.
constexpr long long kMaxIntDigits = 2147483647;

// A size argument of observe_jsonl, range-checked before anything uses it: a value out
// of [least, most] (a negative or huge one included) is a ValueError naming it.
std::size_t bounded_size(PyObject* value, const char* name, long long least, long long most) {
    int overflow = 0;
    const long long size = PyLong_AsLongLongAndOverflow(value, &overflow);
    if (size == -1 && overflow == 0 && PyErr_Occurred() != nullptr) {
        throw_pending();
    }
    if (overflow != 0 || size < least || size > most) {
        PyErr_Format(PyExc_ValueError, "observe_jsonl() argument '%s' must be between %lld and %lld",
                     name, least, most);
        throw_pending();
    }
    return static_cast<std::size_t>(size);
}

jsonl::ReadOptions options_of(const ReadArgs& bound) {
    jsonl::ReadOptions options;
    const int strict = PyObject_IsTrue(bound[1].get());
    if (strict < 0) {
        throw_pending();
    }
    options.strict = strict != 0;
    options.threads = bounded_size(bound[2].get(), "threads", 0, jsonl::kMaxThreads);
    options.chunk_bytes = bounded_size(bound[3].get(), "chunk_bytes", 1, jsonl::kMaxChunkBytes);
    options.bad_lines_kept = bounded_size(bound[4].get(), "bad_lines_kept", 0, kMaxBadLinesKept);
    options.max_int_digits = bounded_size(bound[5].get(), "max_int_digits", 0, kMaxIntDigits);
    options.max_line_bytes =
        bounded_size(bound[6].get(), "max_line_bytes", 1, jsonl::kMaxLineBytes);
    return options;
}

// The bytes of a str or bytes path, for open(2).
PyRef encoded_path(PyObject* path) {
    PyRef encoded;
    if (pykit::type_has_flag(path, Py_TPFLAGS_UNICODE_SUBCLASS)) {
        encoded = PyRef::steal(PyUnicode_EncodeFSDefault(path));
        if (!encoded) {
            throw_pending();
        }
    } else if (pykit::type_has_flag(path, Py_TPFLAGS_BYTES_SUBCLASS)) {
        encoded = PyRef::borrow(path);
    } else {
        pykit::throw_type_error("path must be str or bytes");
    }
    const auto size = static_cast<std::size_t>(PyBytes_Size(encoded.get()));
    if (std::strlen(PyBytes_AsString(encoded.get())) != size) {
        throw_value_error("embedded null byte");
    }
    return encoded;
}

[[noreturn]] void throw_os_error(int error, PyObject* path) {
    errno = error;
    PyErr_SetFromErrnoWithFilenameObject(PyExc_OSError, path);
    throw_pending();
}

// Opens a file for reading; -1 and errno when it cannot, EISDIR for a directory.
int open_for_reading(const char* path) {
    const int fd = ::open(path, O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        return -1;
    }
    struct stat status{};
    if (::fstat(fd, &status) != 0 || S_ISDIR(status.st_mode)) {
        const int error = S_ISDIR(status.st_mode) ? EISDIR : errno;
        ::close(fd);
        errno = error;
        return -1;
    }
    return fd;
}

struct ReadStep {
    bool ended = false;  // the end of the file, or a strict refusal
    int error = 0;       // errno of a failed read
};

// Reads and feeds up to kSignalCheckBytes; stops early at the end, an error or a read
// that a signal interrupted. Runs without the GIL.
ReadStep read_some(int fd, std::vector<char>& block, jsonl::JsonlReader& reader) {
    std::uint64_t fed = 0;
    while (fed < kSignalCheckBytes) {
        const ssize_t got = ::read(fd, block.data(), block.size());
        if (got < 0) {
            return errno == EINTR ? ReadStep{} : ReadStep{false, errno};
        }
        if (got == 0) {
            return ReadStep{true, 0};
        }
        if (!reader.feed(std::span<const char>(block.data(), static_cast<std::size_t>(got)))) {
            return ReadStep{true, 0};
        }
        fed += static_cast<std::uint64_t>(got);
    }
    return ReadStep{};
}

jsonl::ReadResult read_path(const profiler::KarvoEngine& into, PyObject* path,
                            const jsonl::ReadOptions& options) {
    const PyRef encoded = encoded_path(path);
    const char* name = PyBytes_AsString(encoded.get());
    int fd = -1;
    int error = 0;
    {
        GilReleased released;
        fd = open_for_reading(name);
        error = errno;
    }
    if (fd < 0) {
        throw_os_error(error, path);
    }
    const FileHandle file(fd);
    jsonl::JsonlReader reader(into, options);
    std::vector<char> block(kReadBlock);
    for (;;) {
        ReadStep step;
        {
            GilReleased released;
            step = read_some(file.get(), block, reader);
        }
        if (step.error != 0) {
            throw_os_error(step.error, path);
        }
        if (PyErr_CheckSignals() != 0) {
            throw_pending();
        }
        if (step.ended) {
            break;
        }
    }
    GilReleased released;
    return reader.finish();
}

jsonl::ReadResult read_bytes(const profiler::KarvoEngine& into, PyObject* data,
                             const jsonl::ReadOptions& options) {
    if (!pykit::type_has_flag(data, Py_TPFLAGS_BYTES_SUBCLASS)) {
        pykit::throw_type_error("data must be bytes");
    }
    char* start = nullptr;
    Py_ssize_t size = 0;
    if (PyBytes_AsStringAndSize(data, &start, &size) != 0) {
        throw_pending();
    }
    // A bytes object never changes, and the call's argument keeps it alive. It is fed a
    // slice at a time, taking the GIL back between slices, so that Ctrl-C ends a long
    // read as it does a file's; the reader's chunks do not depend on how it is fed.
    const std::span<const char> whole(start, static_cast<std::size_t>(size));
    if (whole.size() <= kSignalCheckBytes) {
        GilReleased released;
        return jsonl::read_jsonl(into, whole, options);
    }
    jsonl::JsonlReader reader(into, options);
    for (std::size_t offset = 0; offset < whole.size(); offset += kSignalCheckBytes) {
        bool more = true;
        {
            GilReleased released;
            more = reader.feed(whole.subspan(
                offset, std::min<std::size_t>(kSignalCheckBytes, whole.size() - offset)));
        }
        if (PyErr_CheckSignals() != 0) {
            throw_pending();
        }
        if (!more) {
            break;
        }
    }
    GilReleased released;
    return reader.finish();
}

// A chunk of a stream as a bytes object: bytes as they are, bytearray and memoryview
// copied (another thread could resize them while the GIL is released).
PyRef chunk_bytes(PyObject* chunk) {
    if (pykit::type_has_flag(chunk, Py_TPFLAGS_BYTES_SUBCLASS)) {
        return PyRef::borrow(chunk);
    }
    if (PyType_IsSubtype(Py_TYPE(chunk), &PyByteArray_Type) != 0 ||
        PyType_IsSubtype(Py_TYPE(chunk), &PyMemoryView_Type) != 0) {
        PyRef bytes = PyRef::steal(PyBytes_FromObject(chunk));
        if (!bytes) {
            throw_pending();
        }
        return bytes;
    }
    PyErr_Format(PyExc_TypeError,
                 "observe_jsonl() chunks must be bytes, bytearray or memoryview, not '%s'",
                 pykit::type_name(chunk).c_str());
    throw_pending();
}

jsonl::ReadResult read_chunks(const profiler::KarvoEngine& into, PyObject* chunks,
                              const jsonl::ReadOptions& options) {
    const PyRef iterator = PyRef::steal(PyObject_GetIter(chunks));
    if (!iterator) {
        throw_pending();
    }
    jsonl::JsonlReader reader(into, options);
    for (;;) {
        const PyRef item = PyRef::steal(PyIter_Next(iterator.get()));
        if (!item) {
            if (PyErr_Occurred() != nullptr) {
                throw_pending();
            }
            break;
        }
        const PyRef bytes = chunk_bytes(item.get());
        char* start = nullptr;
        Py_ssize_t size = 0;
        if (PyBytes_AsStringAndSize(bytes.get(), &start, &size) != 0) {
            throw_pending();
        }
        bool more = true;
        {
            GilReleased released;
            more = reader.feed(std::span<const char>(start, static_cast<std::size_t>(size)));
        }
        if (PyErr_CheckSignals() != 0) {
            throw_pending();
        }
        if (!more) {
            break;
        }
    }
    GilReleased released;
    return reader.finish();
}

PyObject* line_and_reason(const jsonl::BadLine& bad) {
    PyRef reason = PyRef::steal(must(PyUnicode_DecodeUTF8(
        bad.reason.data(), static_cast<Py_ssize_t>(bad.reason.size()), "backslashreplace")));
    return must(Py_BuildValue("(KO)", static_cast<unsigned long long>(bad.line), reason.get()));
}

PyObject* result_tuple(const jsonl::ReadResult& result) {
    PyRef first_bad =
        PyRef::steal(must(PyList_New(static_cast<Py_ssize_t>(result.first_bad.size()))));
    for (std::size_t i = 0; i < result.first_bad.size(); ++i) {
        PyList_SetItem(first_bad.get(), static_cast<Py_ssize_t>(i),
                       line_and_reason(result.first_bad[i]));  // steals the pair
    }
    PyRef refused =
        result.refused ? PyRef::steal(line_and_reason(*result.refused)) : PyRef::borrow(Py_None);
    return must(Py_BuildValue("(KKKKKOO)", static_cast<unsigned long long>(result.rows),
                              static_cast<unsigned long long>(result.lines),
                              static_cast<unsigned long long>(result.blank_lines),
                              static_cast<unsigned long long>(result.bad_lines),
                              static_cast<unsigned long long>(result.bytes), first_bad.get(),
                              refused.get()));
}

const ParamSpec& spec_of(JsonlSource form) {
    switch (form) {
        case JsonlSource::kPath:
            return kPathSpec;
        case JsonlSource::kBytes:
            return kBytesSpec;
        case JsonlSource::kChunks:
            break;
    }
    return kChunksSpec;
}

}  // namespace

PyObject* read_jsonl(const profiler::KarvoEngine& engine, std::uint64_t seed, JsonlSource form,
                     PyObject* args, PyObject* kwargs) {
    ReadArgs bound;
    pykit::bind_arguments(spec_of(form), args, kwargs, bound);
    const jsonl::ReadOptions options = options_of(bound);
    // Every read fills a scratch engine, merged only when the whole input was read and
    // no strict refusal came: a call that raises, whatever raised (a source's error,
    // Ctrl-C, memory), or that refuses its input, adds nothing. The merge costs what the
    // columns and their sketches hold, not the rows.
    const profiler::KarvoEngine scratch = scratch_engine(engine, seed);
    const profiler::KarvoEngine& into = scratch;
    PyObject* source = bound[0].get();
    jsonl::ReadResult result;
    switch (form) {
        case JsonlSource::kPath:
            result = read_path(into, source, options);
            break;
        case JsonlSource::kBytes:
            result = read_bytes(into, source, options);
            break;
        case JsonlSource::kChunks:
            result = read_chunks(into, source, options);
            break;
    }
    if (!result.refused) {
        merge_scratch(engine, scratch);
    }
    return result_tuple(result);
}

}  // namespace dist_binding
