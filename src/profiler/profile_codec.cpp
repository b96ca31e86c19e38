#include "profiler/profile_codec.h"

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <string>
#include <stdexcept>
#include <string_view>

#include "common/utf8.h"
#include "hash/siphash.h"
#include "profiler/name_hash.h"
#include "sketch/sketch_codec.h"

namespace profiler {

namespace {

using common::ByteReader;
using common::ByteWriter;

constexpr std::uint8_t kMagic[4] = {'K', 'R', 'V', 'P'};
// The checksum guards against damage, not forgery, so its key is public.
constexpr hash::SipKey kChecksumKey{0x6b72767063686b30ULL, 0x70726f66696c6531ULL};
constexpr std::size_t kHeaderSize = 4 + 2 + 8 + 8;  // magic, version, length, fingerprint
constexpr std::size_t kChecksumSize = 8;
constexpr std::uint8_t kFlagDense = 1;
constexpr std::uint8_t kFlagBounds = 2;
constexpr std::uint8_t kFlagSummary = 4;  // version 2 on
// The fewest bytes a column takes: name length, flags, two counts, a list length.
constexpr std::size_t kMinColumnSize = 5;

// ---- writing ------------------------------------------------------------------------

void write_column(ByteWriter& w, const ColumnState& column, bool with_summary) {
    w.varint(column.name.size());
    w.bytes(column.name.data(), column.name.size());
    const bool bounds =
        column.min_bits != kPositiveInfinityBits || column.max_bits != kNegativeInfinityBits;
    const bool dense = sketch::is_dense(column.sketch);
    const bool summary = with_summary && column.summary.has_value();
    w.u8(static_cast<std::uint8_t>((dense ? kFlagDense : 0) | (bounds ? kFlagBounds : 0) |
                                   (summary ? kFlagSummary : 0)));
    w.varint(column.total_count);
    w.varint(column.null_count);
    if (bounds) {
        w.fixed(column.min_bits, 8);
        w.fixed(column.max_bits, 8);
    }
    sketch::write_sketch(w, column.sketch);
    if (summary) {
        column.summary->write(w);
    }
}

// ---- reading ------------------------------------------------------------------------

[[noreturn]] void fail(const std::string& message) {
    common::format_error(message);
}

std::string column_label(std::size_t index) {
    return "column " + std::to_string(index);
}

// Bounds a record can hold: no NaN; a minimum left at +inf only beside a maximum that is
// -inf (none) or +inf (only +inf seen), and the other way round; else min <= max.
void check_bounds(const ColumnState& column, const std::string& label) {
    const double min = std::bit_cast<double>(column.min_bits);
    const double max = std::bit_cast<double>(column.max_bits);
    if (std::isnan(min) || std::isnan(max)) {
        fail(label + ": a bound is NaN");
    }
    const bool no_min = column.min_bits == kPositiveInfinityBits;
    const bool no_max = column.max_bits == kNegativeInfinityBits;
    const bool consistent = no_min   ? (no_max || max == HUGE_VAL)
                            : no_max ? min == -HUGE_VAL
                                     : min <= max;
    // Zeros of two signs pass: min <= max holds for them, and two writes racing on one
    // column leave them (each bound keeps the zero that reached it first).
    if (!consistent) {
        fail(label + ": bounds no profile can hold");
    }
}

// What the counts allow of the rest: every bound and every sketch entry comes from a
// non-null value, and one value gives equal bounds. So a column with no non-null value
// has no bounds and an empty sketch, and no sketch holds more distinct values than the
// column had non-null values.
void check_counts_allow(const ColumnState& column, const std::string& label) {
    const std::uint64_t non_null = column.total_count - column.null_count;
    const bool bounded = column.min_bits != kPositiveInfinityBits ||
                         column.max_bits != kNegativeInfinityBits;
    if (bounded && non_null == 0) {
        fail(label + ": bounds on a column without a non-null value");
    }
    if (bounded && column.min_bits != column.max_bits && non_null < 2) {
        fail(label + ": two different bounds from fewer than two values");
    }
    const std::uint64_t entries = sketch::entry_count(column.sketch);
    if (entries > non_null) {
        fail(label + ": a sketch of " + std::to_string(entries) +
             " distinct values from " + std::to_string(non_null) + " non-null values");
    }
}

// A column's summary, read by its own rooms' readers; their errors name the column too.
ColumnSummary read_summary(ByteReader& r, const ColumnState& column, std::uint64_t seed,
                           const std::string& label) {
    try {
        return ColumnSummary::read(r, seed, column.total_count);
    } catch (const FormatError& error) {
        fail(label + ": summary: " + error.what());
    } catch (const std::exception& error) {  // a room's own refusal (argument, length)
        fail(label + ": summary: " + error.what());
    }
}

ColumnState read_column(ByteReader& r, std::size_t index, std::uint16_t version,
                        std::uint64_t summary_seed) {
    const std::string label = column_label(index);
    ColumnState column;
    const std::uint64_t name_length = r.varint("column name length");
    const std::span<const std::uint8_t> name = r.take(
        static_cast<std::size_t>(std::min<std::uint64_t>(name_length, SIZE_MAX)), "column name");
    if (!common::valid_utf8(name)) {
        fail(label + ": name is not valid UTF-8");
    }
    column.name.assign(reinterpret_cast<const char*>(name.data()), name.size());
    const std::uint8_t flags = static_cast<std::uint8_t>(r.fixed(1, "column flags"));
    const std::uint8_t known_flags =
        kFlagDense | kFlagBounds | (version >= 2 ? kFlagSummary : 0);
    if ((flags & ~known_flags) != 0) {
        fail(label + ": unknown flags " + std::to_string(flags));
    }
    column.total_count = r.varint("total_count");
    column.null_count = r.varint("null_count");
    if (column.null_count > column.total_count) {
        fail(label + ": null_count exceeds total_count");
    }
    if (flags & kFlagBounds) {
        column.min_bits = r.fixed(8, "minimum");
        column.max_bits = r.fixed(8, "maximum");
        if (column.min_bits == kPositiveInfinityBits && column.max_bits == kNegativeInfinityBits) {
            fail(label + ": stored bounds that are none");
        }
        check_bounds(column, label);
    }
    column.sketch = sketch::read_sketch(r, (flags & kFlagDense) != 0, label);
    check_counts_allow(column, label);
    if (flags & kFlagSummary) {
        column.summary = read_summary(r, column, summary_seed, label);
    }
    return column;
}

// Magic, version, length and checksum, in that order, so that a foreign, newer, cut off
// or damaged input is named as such; returns the fingerprint field.
std::uint64_t check_envelope(std::span<const std::uint8_t> data, std::uint16_t& version_out) {
    const std::size_t magic_seen = std::min(data.size(), sizeof kMagic);
    if (magic_seen > 0 && std::memcmp(data.data(), kMagic, magic_seen) != 0) {
        fail("not a karvo_dist profile (bad magic)");
    }
    if (data.size() < kHeaderSize + kChecksumSize) {
        fail("truncated profile: " + std::to_string(data.size()) +
             " bytes, fewer than any profile");
    }
    ByteReader header(data, sizeof kMagic, kHeaderSize);
    const std::uint64_t version = header.fixed(2, "version");
    if (version < kOldestProfileFormatVersion || version > kProfileFormatVersion) {
        fail("unsupported profile format version " + std::to_string(version) +
             " (this karvo_dist reads versions " +
             std::to_string(kOldestProfileFormatVersion) + " to " +
             std::to_string(kProfileFormatVersion) + ")");
    }
    const std::uint64_t length = header.fixed(8, "length");
    if (data.size() < length) {
        fail("truncated profile: " + std::to_string(data.size()) + " of the " +
             std::to_string(length) + " bytes it declares");
    }
    if (data.size() > length) {
        fail("profile of " + std::to_string(length) + " bytes followed by " +
             std::to_string(data.size() - length) + " bytes of other data");
    }
    const std::size_t body_end = data.size() - kChecksumSize;
    ByteReader tail(data, body_end, data.size());
    if (tail.fixed(8, "checksum") != profile_checksum(data.first(body_end))) {
        fail("checksum mismatch: the profile is damaged");
    }
    version_out = static_cast<std::uint16_t>(version);
    return header.fixed(8, "fingerprint");
}

}  // namespace

std::uint64_t profile_checksum(std::span<const std::uint8_t> bytes) {
    return hash::siphash13_text(
        kChecksumKey, std::string_view(reinterpret_cast<const char*>(bytes.data()), bytes.size()));
}

std::vector<std::uint8_t> encode_profile(const ProfileState& state, std::uint64_t fingerprint,
                                         std::uint16_t version) {
    if (version < kOldestProfileFormatVersion || version > kProfileFormatVersion) {
        throw std::invalid_argument("no such profile format version");
    }
    std::size_t expected = kHeaderSize + 10 + kChecksumSize;
    for (const ColumnState& column : state) {
        expected += column.name.size() + 38 + sketch::stored_size(column.sketch);
    }
    ByteWriter w(expected);
    w.bytes(kMagic, sizeof kMagic);
    w.fixed(version, 2);
    w.fixed(0, 8);  // length, filled in below
    w.fixed(fingerprint, 8);
    w.varint(state.size());
    for (const ColumnState& column : state) {
        write_column(w, column, version >= 2);
    }
    std::vector<std::uint8_t>& out = w.out();
    const std::uint64_t length = out.size() + kChecksumSize;
    for (unsigned i = 0; i < 8; ++i) {
        out[6 + i] = static_cast<std::uint8_t>(length >> (8 * i));
    }
    w.fixed(profile_checksum(out), 8);
    return std::move(out);
}

ProfileState decode_profile(std::span<const std::uint8_t> data, std::uint64_t fingerprint,
                            std::uint64_t summary_seed, std::uint16_t* version_out) {
    std::uint16_t version = 0;
    if (check_envelope(data, version) != fingerprint) {
        fail("the profile was made with a different seed");
    }
    ByteReader r(data, kHeaderSize, data.size() - kChecksumSize);
    const std::uint64_t count = r.varint("column count");
    if (count > r.left() / kMinColumnSize) {
        fail("column count " + std::to_string(count) + " is more than " + std::to_string(r.left()) +
             " bytes can hold");
    }
    ProfileState state;
    for (std::uint64_t i = 0; i < count; ++i) {
        state.push_back(read_column(r, static_cast<std::size_t>(i), version, summary_seed));
    }
    // Names are placed by a secret-keyed hash: a stored form may come from anyone, and
    // names chosen to share one hash of a fixed seed would make this check quadratic.
    NameSet names(state.size(), NameHash::fresh());
    for (std::size_t i = 0; i < state.size(); ++i) {
        if (!names.insert(state[i].name).second) {
            fail(column_label(i) + ": duplicate column name");
        }
    }
    if (r.left() != 0) {
        fail(std::to_string(r.left()) + " bytes left after the last column");
    }
    if (version_out != nullptr) {
        *version_out = version;
    }
    return state;
}

}  // namespace profiler
