// What the native readers of karvo_dist.Profile share: the GIL released around work
// that touches no Python object, and the all-or-nothing rule by which a read fills a
// scratch engine that is merged into the profile only once the whole input was read.
//
// Thread safety: called with the GIL held; GilReleased gives it up for its scope.
#pragma once

#include <cstdint>

#include "pykit/py_ref.h"
#include "profiler/engine.h"

namespace dist_binding {

// Releases the GIL for its lifetime; nothing of the interpreter may be touched meanwhile.
// An exception leaving the scope takes the GIL back first.
class GilReleased {
  public:
    GilReleased() : state_(PyEval_SaveThread()) {}
    ~GilReleased() { PyEval_RestoreThread(state_); }
    GilReleased(const GilReleased&) = delete;
    GilReleased& operator=(const GilReleased&) = delete;

  private:
    PyThreadState* state_;
};

// Merges a scratch engine, which a read has filled, into the profile's engine. The
// export runs without the GIL; the merge holds it, so that another thread that forks
// (holding the GIL) never copies the profile half merged, its locks held by a thread the
// child lacks. Only the scratch engine, which no child can reach, is written without the
// GIL. A merge whose counts would overflow raises ValueError and merges nothing.
void merge_scratch(const profiler::KarvoEngine& engine, const profiler::KarvoEngine& scratch);

// The scratch engine for a read into `engine`, empty: keyed by the profile's seed, and
// keeping column summaries only when `engine` does, so that a profile without them does
// not pay for them in its reads.
profiler::KarvoEngine scratch_engine(const profiler::KarvoEngine& engine, std::uint64_t seed);

}  // namespace dist_binding
