// The binary form of a profile: what to_bytes writes and from_bytes reads.
//
// Layout, little-endian throughout; "varint" is an unsigned number in 7-bit groups, least
// significant group first, bit 7 set on every byte but the last, in its shortest form:
//
//   magic "KRVP" (4 bytes), format version (u16, now 2; 1 is read too), total length of the profile in
//   bytes (u64, checksum included), seed fingerprint (u64), column count (varint);
//   per column, in report order:
//     name length (varint) and the name's UTF-8 bytes;
//     flags (u8): bit 0 dense sketch, bit 1 bounds stored, bit 2 (version 2) summary
//       stored; no other bit set;
//     total_count, null_count (varints);
//     with bit 1: the bit patterns of the minimum and the maximum (u64 each); without it
//       both are at their initial values (+inf and -inf), that is, no numeric value;
//     the sketch in the layout sketch/sketch_codec.h gives (sparse: the list's length in
//       bytes and the list; dense: 16384 six-bit registers in 12288 bytes);
//     with bit 2: the column summary in the layout column_summary.h gives (its rooms' own
//       stored forms inside); without it the column has no summary, which a profile that
//       keeps summaries reads as one whose figures are unknown;
//   checksum (u64): SipHash-1-3 under a fixed public key of every byte before it.
//
// So a dense column takes its name and at most 12,330 bytes (12,288 of them registers),
// and a sparse column its name and list plus 5 to 44 bytes, at most 30 while its counts
// stay below 2^35 and its name below 128 bytes.
//
// decode_profile checks everything it reads before it relies on it or allocates for it:
// magic, version (a newer one is refused by number), length, checksum, fingerprint, then
// every field: shortest-form varints that fit 64 bits, names valid UTF-8 and distinct,
// counts and bounds that a profile can hold, and sketches as sketch_codec.h checks them.
// Any failure throws FormatError saying what is wrong and where. Nothing is allocated
// beyond a small multiple of the input's size.
//
// Thread safety: pure functions.
#pragma once

#include <cstdint>
#include <span>
#include <stdexcept>
#include <vector>

#include "common/byte_io.h"
#include "profiler/profile_state.h"

namespace profiler {

inline constexpr std::uint16_t kProfileFormatVersion = 2;
inline constexpr std::uint16_t kOldestProfileFormatVersion = 1;

// A malformed, damaged or foreign profile; the message says what is wrong.
using FormatError = common::FormatError;

// Writes the current version unless asked for an older one (kOldestProfileFormatVersion
// at least), which earlier releases read: version 1 has no summaries, so they are left
// out, and every other field is as version 2 writes it.
std::vector<std::uint8_t> encode_profile(const ProfileState& state, std::uint64_t fingerprint,
                                         std::uint16_t version = kProfileFormatVersion);

// The profile stored in data, which must carry this fingerprint; throws FormatError.
// Stored summaries' quantile sketches take summary_seed (the seed is not stored). When
// version_out is given, it receives the form's version.
ProfileState decode_profile(std::span<const std::uint8_t> data, std::uint64_t fingerprint,
                            std::uint64_t summary_seed = 0, std::uint16_t* version_out = nullptr);

// The checksum of a profile's bytes before the checksum field.
std::uint64_t profile_checksum(std::span<const std::uint8_t> bytes);

}  // namespace profiler
