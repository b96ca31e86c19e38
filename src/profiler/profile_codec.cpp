#include "profiler/profile_codec.h"

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>

#include "common/utf8.h"
#include "hash/load_le.h"
#include "hash/siphash.h"
#include "profiler/name_hash.h"

namespace profiler {

namespace {

constexpr std::uint8_t kMagic[4] = {'K', 'R', 'V', 'P'};
// The checksum guards against damage, not forgery, so its key is public.
constexpr hash::SipKey kChecksumKey{0x6b72767063686b30ULL, 0x70726f66696c6531ULL};
constexpr std::size_t kHeaderSize = 4 + 2 + 8 + 8;  // magic, version, length, fingerprint
constexpr std::size_t kChecksumSize = 8;
constexpr std::uint8_t kFlagDense = 1;
constexpr std::uint8_t kFlagBounds = 2;
constexpr std::size_t kPackedRegisterBytes = sketch::kRegisterCount * 6 / 8;  // 12288
constexpr std::uint32_t kMaxRank = 51;
// The fewest bytes a column takes: name length, flags, two counts, a list length.
constexpr std::size_t kMinColumnSize = 5;

// ---- writing ------------------------------------------------------------------------

class Writer {
  public:
    explicit Writer(std::size_t expected) { out_.reserve(expected); }

    void bytes(const void* data, std::size_t n) {
        const auto* p = static_cast<const std::uint8_t*>(data);
        out_.insert(out_.end(), p, p + n);
    }
    void u8(std::uint8_t v) { out_.push_back(v); }
    void fixed(std::uint64_t v, unsigned n) {
        for (unsigned i = 0; i < n; ++i) {
            out_.push_back(static_cast<std::uint8_t>(v >> (8 * i)));
        }
    }
    void varint(std::uint64_t v) {
        while (v >= 0x80) {
            out_.push_back(static_cast<std::uint8_t>(v | 0x80));
            v >>= 7;
        }
        out_.push_back(static_cast<std::uint8_t>(v));
    }
    std::vector<std::uint8_t>& out() { return out_; }

  private:
    std::vector<std::uint8_t> out_;
};

void write_registers(Writer& w, const sketch::RegistersPlus& registers) {
    // Four 6-bit registers make three bytes.
    for (std::size_t i = 0; i < sketch::kRegisterCount; i += 4) {
        std::uint32_t group = 0;
        for (std::size_t j = 0; j < 4; ++j) {
            group |= registers.get(i + j) << (6 * j);
        }
        w.fixed(group, 3);
    }
}

void write_column(Writer& w, const ColumnState& column) {
    w.varint(column.name.size());
    w.bytes(column.name.data(), column.name.size());
    const bool bounds =
        column.min_bits != kPositiveInfinityBits || column.max_bits != kNegativeInfinityBits;
    const bool dense = column.sketch.registers.has_value();
    w.u8(static_cast<std::uint8_t>((dense ? kFlagDense : 0) | (bounds ? kFlagBounds : 0)));
    w.varint(column.total_count);
    w.varint(column.null_count);
    if (bounds) {
        w.fixed(column.min_bits, 8);
        w.fixed(column.max_bits, 8);
    }
    if (dense) {
        write_registers(w, *column.sketch.registers);
    } else {
        const std::vector<std::uint8_t>& list = column.sketch.sparse.bytes();
        w.varint(list.size());
        w.bytes(list.data(), list.size());
    }
}

// ---- reading ------------------------------------------------------------------------

[[noreturn]] void fail(const std::string& message) {
    throw FormatError(message);
}

std::string column_label(std::size_t index) {
    return "column " + std::to_string(index);
}

// Reads fields from the profile's body, failing with the byte offset where input ends or
// goes wrong.
class Reader {
  public:
    Reader(std::span<const std::uint8_t> data, std::size_t at, std::size_t end)
        : data_(data), at_(at), end_(end) {}

    std::size_t at() const { return at_; }
    std::size_t left() const { return end_ - at_; }

    std::span<const std::uint8_t> take(std::size_t n, const char* what) {
        if (n > left()) {
            fail("truncated profile: " + std::string(what) + " at byte " + std::to_string(at_) +
                 " needs " + std::to_string(n) + " bytes, " + std::to_string(left()) + " left");
        }
        const std::span<const std::uint8_t> bytes = data_.subspan(at_, n);
        at_ += n;
        return bytes;
    }
    std::uint64_t fixed(unsigned n, const char* what) {
        return hash::load_le(take(n, what).data(), n);
    }
    std::uint64_t varint(const char* what) {
        const std::size_t start = at_;
        std::uint64_t v = 0;
        for (unsigned shift = 0;; shift += 7) {
            const std::uint8_t byte = take(1, what)[0];
            if (shift == 63 && byte > 1) {
                fail(std::string(what) + " at byte " + std::to_string(start) +
                     " does not fit 64 bits");
            }
            v |= static_cast<std::uint64_t>(byte & 0x7f) << shift;
            if ((byte & 0x80) == 0) {
                if (byte == 0 && shift > 0) {
                    fail(std::string(what) + " at byte " + std::to_string(start) +
                         " is not in its shortest form");
                }
                return v;
            }
        }
    }

  private:
    std::span<const std::uint8_t> data_;
    std::size_t at_;
    std::size_t end_;
};

// Whether code is the sparse code of some hash (sketch::sparse_code): without rank, an
// even number below 2^26 whose 11 bits below the register index are not all zero; with
// rank, an odd number whose rank lies in 1..40 and whose same 11 bits are zero.
bool valid_code(std::uint32_t code) {
    constexpr std::uint32_t kBetween = 0x7FF;
    if ((code & 1u) == 0) {
        return code < (1u << 26) && ((code >> 1) & kBetween) != 0;
    }
    const std::uint32_t rho = (code >> 1) & 63u;
    return rho >= 1 && rho <= 40 && ((code >> 7) & kBetween) == 0;
}

sketch::DifIntVec read_sparse(Reader& r, const std::string& label) {
    const std::uint64_t length = r.varint("sparse list length");
    if (length > sketch::kDenseSizeLimit) {
        fail(label + ": sparse list of " + std::to_string(length) + " bytes exceeds " +
             std::to_string(sketch::kDenseSizeLimit));
    }
    const std::span<const std::uint8_t> bytes = r.take(length, "sparse list");
    sketch::DifIntVec list = sketch::DifIntVec::with_capacity(bytes.size());
    std::size_t i = 0;
    std::uint64_t total = 0;
    while (i < bytes.size()) {
        std::uint64_t difference = 0;
        unsigned shift = 0;
        std::uint8_t byte;
        do {
            if (i == bytes.size() || shift > 28) {
                fail(label + ": sparse list ends inside a code or holds an overlong one");
            }
            byte = bytes[i++];
            difference |= static_cast<std::uint64_t>(byte & 0x7f) << shift;
            shift += 7;
        } while (byte & 0x80);
        if (difference == 0 || total + difference > UINT32_MAX) {
            fail(label + ": sparse codes are not strictly ascending 32-bit numbers");
        }
        total += difference;
        if (!valid_code(static_cast<std::uint32_t>(total))) {
            fail(label + ": invalid sparse code " + std::to_string(total));
        }
        list.push(static_cast<std::uint32_t>(total));
    }
    if (list.bytes().size() != bytes.size()) {
        fail(label + ": sparse list has a difference not in its shortest form");
    }
    return list;
}

sketch::RegistersPlus read_registers(Reader& r, const std::string& label) {
    const std::span<const std::uint8_t> bytes = r.take(kPackedRegisterBytes, "registers");
    std::vector<std::uint32_t> words(sketch::kRegisterWords, 0);
    for (std::size_t i = 0; i < sketch::kRegisterCount; i += 4) {
        const std::size_t at = i / 4 * 3;
        const std::uint32_t group = bytes[at] | (bytes[at + 1] << 8) | (bytes[at + 2] << 16);
        for (std::size_t j = 0; j < 4; ++j) {
            const std::uint32_t rank = (group >> (6 * j)) & 63u;
            if (rank > kMaxRank) {
                fail(label + ": register " + std::to_string(i + j) + " holds " +
                     std::to_string(rank) + ", more than 51");
            }
            words[(i + j) / 5] |= rank << (6 * ((i + j) % 5));
        }
    }
    return sketch::RegistersPlus::from_words(std::move(words));
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
    const std::uint64_t entries = column.sketch.registers
                                      ? column.sketch.registers->register_count() -
                                            column.sketch.registers->zero_count()
                                      : column.sketch.sparse.entry_count();
    if (entries > non_null) {
        fail(label + ": a sketch of " + std::to_string(entries) +
             " distinct values from " + std::to_string(non_null) + " non-null values");
    }
}

ColumnState read_column(Reader& r, std::size_t index) {
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
    if ((flags & ~(kFlagDense | kFlagBounds)) != 0) {
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
    if (flags & kFlagDense) {
        column.sketch.registers = read_registers(r, label);
    } else {
        column.sketch.sparse = read_sparse(r, label);
    }
    check_counts_allow(column, label);
    return column;
}

// Magic, version, length and checksum, in that order, so that a foreign, newer, cut off
// or damaged input is named as such; returns the fingerprint field.
std::uint64_t check_envelope(std::span<const std::uint8_t> data) {
    const std::size_t magic_seen = std::min(data.size(), sizeof kMagic);
    if (magic_seen > 0 && std::memcmp(data.data(), kMagic, magic_seen) != 0) {
        fail("not a karvo_dist profile (bad magic)");
    }
    if (data.size() < kHeaderSize + kChecksumSize) {
        fail("truncated profile: " + std::to_string(data.size()) +
             " bytes, fewer than any profile");
    }
    Reader header(data, sizeof kMagic, kHeaderSize);
    const std::uint64_t version = header.fixed(2, "version");
    if (version != kProfileFormatVersion) {
        fail("unsupported profile format version " + std::to_string(version) +
             " (this karvo_dist reads version " + std::to_string(kProfileFormatVersion) + ")");
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
    Reader tail(data, body_end, data.size());
    if (tail.fixed(8, "checksum") != profile_checksum(data.first(body_end))) {
        fail("checksum mismatch: the profile is damaged");
    }
    return header.fixed(8, "fingerprint");
}

}  // namespace

std::uint64_t profile_checksum(std::span<const std::uint8_t> bytes) {
    return hash::siphash13_text(
        kChecksumKey, std::string_view(reinterpret_cast<const char*>(bytes.data()), bytes.size()));
}

std::vector<std::uint8_t> encode_profile(const ProfileState& state, std::uint64_t fingerprint) {
    std::size_t expected = kHeaderSize + 10 + kChecksumSize;
    for (const ColumnState& column : state) {
        expected +=
            column.name.size() + 48 +
            (column.sketch.registers ? kPackedRegisterBytes : column.sketch.sparse.bytes().size());
    }
    Writer w(expected);
    w.bytes(kMagic, sizeof kMagic);
    w.fixed(kProfileFormatVersion, 2);
    w.fixed(0, 8);  // length, filled in below
    w.fixed(fingerprint, 8);
    w.varint(state.size());
    for (const ColumnState& column : state) {
        write_column(w, column);
    }
    std::vector<std::uint8_t>& out = w.out();
    const std::uint64_t length = out.size() + kChecksumSize;
    for (unsigned i = 0; i < 8; ++i) {
        out[6 + i] = static_cast<std::uint8_t>(length >> (8 * i));
    }
    w.fixed(profile_checksum(out), 8);
    return std::move(out);
}

ProfileState decode_profile(std::span<const std::uint8_t> data, std::uint64_t fingerprint) {
    if (check_envelope(data) != fingerprint) {
        fail("the profile was made with a different seed");
    }
    Reader r(data, kHeaderSize, data.size() - kChecksumSize);
    const std::uint64_t count = r.varint("column count");
    if (count > r.left() / kMinColumnSize) {
        fail("column count " + std::to_string(count) + " is more than " + std::to_string(r.left()) +
             " bytes can hold");
    }
    ProfileState state;
    for (std::uint64_t i = 0; i < count; ++i) {
        state.push_back(read_column(r, static_cast<std::size_t>(i)));
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
    return state;
}

}  // namespace profiler
