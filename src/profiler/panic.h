// Panic: the one exception type for internal faults, in the engine and in the binding.
//
// The engine has no error results; every input has a defined effect. A Panic means a
// broken invariant (for example a column map built with an invalid shard count, or a
// column batch that names one column twice); the binding throws it too, for an
// interpreter call that must not fail and for a dictionary changed while it was read. It
// carries the fault's message, and the binding's call boundary (pykit/entry.h) turns it
// into the module's PanicException, so it never unwinds into the interpreter. It lives
// here, with no Python in sight, so that the engine can throw it.
//
// Thread safety: a plain exception value.
#pragma once

#include <stdexcept>

namespace profiler {

class Panic : public std::runtime_error {
  public:
    using std::runtime_error::runtime_error;
};

}  // namespace profiler
