// Columnar input for karvo_dist.Profile: the two private methods behind
// karvo_dist.Profile.observe_arrow, which asks its source for one of the Arrow PyCapsule
// interface's capsules and hands it here:
//
//     _read_arrow_stream(stream)          stream: a capsule "arrow_array_stream"
//     _read_arrow_array(schema, array)    capsules "arrow_schema" and "arrow_array": one
//                                         record batch (a struct array)
//     -> rows read (int)
//
// A capsule of another name is a TypeError. The struct is moved out of its capsule at
// once (its `release` set to null there), so that this side releases it on every path.
// Batches are read one at a time with the GIL released, from the producer's get_next to
// the engine (arrow/batch_reader.h); between batches the GIL is taken back, so Ctrl-C is
// seen. Every batch goes into a scratch engine with the profile's keys, merged only when
// the whole input was read (scratch_read.h): an invalid batch (ValueError naming the
// column and the fault), a producer's failure (ValueError with its message), or an
// interrupt adds nothing.
//
// Thread safety: called with the GIL held, like every method.
#pragma once

#include <cstdint>

#include "pykit/py_ref.h"
#include "profiler/engine.h"

namespace dist_binding {

enum class ArrowSource { kStream, kArray };

// Reads one capsule source into `engine`, whose keys come from `seed`; returns the row
// count (a new reference). Throws as the entry protocol expects.
PyObject* read_arrow(const profiler::KarvoEngine& engine, std::uint64_t seed, ArrowSource form,
                     PyObject* args, PyObject* kwargs);

}  // namespace dist_binding
