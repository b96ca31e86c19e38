#include "dist_binding/scratch_read.h"

#include "pykit/entry.h"
#include "profiler/seed_keys.h"

namespace dist_binding {

profiler::KarvoEngine scratch_engine(const profiler::KarvoEngine& engine, std::uint64_t seed) {
    const profiler::SeedKeys keys = profiler::keys_from_seed(seed);
    if (!engine.keeps_summaries()) {
        return profiler::KarvoEngine(keys.values, keys.sketch);
    }
    return profiler::KarvoEngine(keys.values, keys.sketch, keys.summary);
}

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
