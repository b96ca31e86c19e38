// Fuzzes the decoder of the binary profile form.
//
// An input whose first byte is even is decoded as it is: mostly it tests the envelope
// (magic, version, length, checksum). With the first byte odd, the rest is taken as a
// profile whose envelope the harness makes right (magic, version, length, fingerprint and
// checksum written over it), so that the fuzzer explores the columns behind the checksum.
//
// Whatever the input, decoding must either throw FormatError or give a profile that
// encodes back to exactly the bytes read (the form has one encoding per profile), that a
// seeded engine takes in, and whose report and export agree with the decoded profile.
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
        state = profiler::decode_profile(input, keys.fingerprint);
    } catch (const profiler::FormatError&) {
        return 0;
    }
    if (profiler::encode_profile(state, keys.fingerprint) != input) {
        fail("a decoded profile does not encode back to its bytes");
    }
    profiler::KarvoEngine engine(keys.values, keys.sketch);
    engine.merge_state(state);
    if (profiler::encode_profile(engine.export_state(), keys.fingerprint) != input) {
        fail("an engine that took in a profile exports other bytes");
    }
    const std::string report = engine.report();
    if (report.empty() || report.front() != '{' || report.back() != '}') {
        fail("the report is not a JSON object");
    }
    return 0;
}
