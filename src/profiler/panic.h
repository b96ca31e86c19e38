// Panic: the one exception type for internal faults of the profiling engine.
//
// The engine has no error results; every input has a defined effect. A Panic means a
// broken invariant (for example a column map built with an invalid shard count). It
// carries the fault's message, and the binding layer turns it into the module's own
// exception at the call boundary, so it never unwinds into the interpreter.
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
