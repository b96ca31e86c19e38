// Fuzzes the decoder of the binary profile form.
//
// An input whose first byte is even is decoded as it is: mostly it tests the envelope
// (magic, version, length, checksum). With the first byte odd, the rest is taken as a
// profile whose envelope the harness makes right (magic, version, length, fingerprint and
// checksum written over it), so that the fuzzer explores the columns behind the checksum.
//
// Whatever the input, decoding must either throw FormatError or give a profile that
// encodes back to exactly the bytes read (the form has one encoding per profile; a
// version-1 input comes back as version 2), that a seeded engine keeping summaries takes
// in, and whose report and export agree with the decoded profile: byte for byte where
// every column stored its summary, less the summaries otherwise (the engine then holds
// them as unknown).
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <vector>

#include "profiler/engine.h"
#include "profiler/profile_codec.h"
#include "profiler/seed_keys.h"

namespace {

[[noreturn]] void fail(const char* what) {
    std::fprintf(stderr, "profile_codec_fuzz: %s\n", what);
    std::abort();
}

void put_le(std::vector<std::uint8_t>& bytes, std::size_t at, std::uint64_t v, unsigned n) {
    for (unsigned i = 0; i < n; ++i) {
        bytes[at + i] = static_cast<std::uint8_t>(v >> (8 * i));
    }
}

// The input with a valid envelope: header fields and checksum overwritten.
std::vector<std::uint8_t> sealed(const std::uint8_t* data, std::size_t size,
                                 std::uint64_t fingerprint) {
    std::vector<std::uint8_t> bytes(data, data + size);
    if (bytes.size() < 22) {
        bytes.resize(22);
    }
    bytes.resize(bytes.size() + 8);
    const std::uint8_t magic[4] = {'K', 'R', 'V', 'P'};
    for (int i = 0; i < 4; ++i) {
        bytes[i] = magic[i];
    }
    put_le(bytes, 4, profiler::kProfileFormatVersion, 2);
    put_le(bytes, 6, bytes.size(), 8);
    put_le(bytes, 14, fingerprint, 8);
    const std::size_t body = bytes.size() - 8;
    put_le(bytes, body, profiler::profile_checksum({bytes.data(), body}), 8);
    return bytes;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static const profiler::SeedKeys keys = profiler::keys_from_seed(0);
    std::vector<std::uint8_t> input;
    if (size > 0 && (data[0] & 1u)) {
        input = sealed(data + 1, size - 1, keys.fingerprint);
    } else {
        input.assign(data, data + size);
    }
    profiler::ProfileState state;
    try {
        state = profiler::decode_profile(input, keys.fingerprint, keys.summary);
    } catch (const profiler::FormatError&) {
        return 0;
    }
    const std::vector<std::uint8_t> encoded = profiler::encode_profile(state, keys.fingerprint);
    if (input[4] == profiler::kProfileFormatVersion && encoded != input) {
        fail("a decoded profile does not encode back to its bytes");
    }
    if (profiler::decode_profile(encoded, keys.fingerprint, keys.summary).size() != state.size()) {
        fail("a profile encoded again does not decode to as many columns");
    }
    profiler::KarvoEngine engine(keys.values, keys.sketch, keys.summary);
    engine.merge_state(state);
    const bool all_summaries = std::all_of(state.begin(), state.end(),
                                           [](const auto& column) { return column.summary; });
    if (all_summaries) {
        if (profiler::encode_profile(engine.export_state(), keys.fingerprint) != encoded) {
            fail("an engine that took in a profile exports other bytes");
        }
    } else {
        const auto bare = [&](profiler::ProfileState columns) {
            for (auto& column : columns) {
                column.summary.reset();
            }
            return profiler::encode_profile(columns, keys.fingerprint);
        };
        if (bare(engine.export_state()) != bare(state)) {
            fail("an engine that took in a profile exports other counts or sketches");
        }
    }
    const std::string summary = profiler::write_summary_report(engine.summaries());
    if (summary.empty() || summary.front() != '{' || summary.back() != '}') {
        fail("the summary is not a JSON object");
    }
    const std::string report = engine.report();
    if (report.empty() || report.front() != '{' || report.back() != '}') {
        fail("the report is not a JSON object");
    }
    return 0;
}
