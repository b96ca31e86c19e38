// Native JSON Lines reading for karvo_dist.Profile: the three private methods behind
// karvo_dist.Profile.observe_jsonl, which picks one by the form of its source:
//
//     _read_jsonl_path(path, strict, threads, chunk_bytes, bad_lines_kept, max_int_digits,
//                      max_line_bytes)
//         path: str or bytes, as os.fspath gives it; the file is opened and read here
//     _read_jsonl_bytes(data, ...)      data: bytes, read in place
//     _read_jsonl_chunks(chunks, ...)   chunks: an iterator of bytes, bytearray or memoryview
//     -> (rows, lines, blank_lines, bad_lines, bytes, [(line, reason), ...], refused)
//
// `refused` is None, or in strict mode the (line, reason) of the first bad line; the
// package raises ValueError for it. Every read goes into a scratch engine with the
// profile's keys, merged into the profile, with the GIL held, only when the whole input
// was read and not refused: a call that raises or refuses adds nothing, and a fork by
// another thread at any moment copies the profile whole (with no lock held).
//
// The GIL is released while the reader parses and ingests, and taken back between
// chunks of a stream (to fetch the next one) and every 16 MB of a file or of bytes in
// memory (so that Ctrl-C is seen). A path that cannot be read raises
// OSError with its errno and the file name, a directory IsADirectoryError.
//
// Thread safety: called with the GIL held, like every method; the scratch engine takes
// rows from the reader's workers while other threads use the profile.
#pragma once

#include <cstdint>

#include "pykit/py_ref.h"
#include "profiler/engine.h"

namespace dist_binding {

enum class JsonlSource { kPath, kBytes, kChunks };

// Reads one input of the given form into `engine`, whose keys come from `seed`; returns
// the result tuple described above (a new reference). Throws as the entry protocol
// expects.
PyObject* read_jsonl(const profiler::KarvoEngine& engine, std::uint64_t seed, JsonlSource form,
                     PyObject* args, PyObject* kwargs);

}  // namespace dist_binding
