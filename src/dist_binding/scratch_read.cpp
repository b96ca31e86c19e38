#include "dist_binding/scratch_read.h"

#include "pykit/entry.h"

namespace dist_binding {

void merge_scratch(const profiler::KarvoEngine& engine, const profiler::KarvoEngine& scratch) {
    profiler::ProfileState state;
    {
        GilReleased released;
        state = scratch.export_state();
    }
    try {
        engine.merge_state(state);
    } catch (const profiler::CountOverflow& error) {
        pykit::throw_value_error(error.what());
    }
}

}  // namespace dist_binding
