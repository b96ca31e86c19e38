// ByteWriter and ByteReader: the little-endian fields of karvo's stored forms, and
// FormatError, which every reader of a stored form throws.
//
// Each stored piece (a profile's envelope and columns, a sketch's registers or list)
// writes and reads itself through these, so that every piece reads with the same checks:
// no read past the end, varints in their shortest form that fit 64 bits, and an error
// that names the field and the byte offset where input ends or goes wrong.
//
// "varint" is an unsigned number in 7-bit groups, least significant group first, bit 7
// set on every byte but the last.
//
// Thread safety: plain values; one thread per writer or reader.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <stdexcept>
#include <string>
#include <vector>

namespace common {

// A malformed, damaged or foreign stored form; the message says what is wrong.
class FormatError : public std::runtime_error {
  public:
    using std::runtime_error::runtime_error;
};

[[noreturn]] inline void format_error(const std::string& message) {
    throw FormatError(message);
}

class ByteWriter {
  public:
    ByteWriter() = default;
    explicit ByteWriter(std::size_t expected) { out_.reserve(expected); }

    void bytes(const void* data, std::size_t n) {
        const auto* p = static_cast<const std::uint8_t*>(data);
        out_.insert(out_.end(), p, p + n);
    }
    void bytes(std::span<const std::uint8_t> b) { out_.insert(out_.end(), b.begin(), b.end()); }
    void u8(std::uint8_t v) { out_.push_back(v); }
    void u64(std::uint64_t v) { fixed(v, 8); }
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
    const std::vector<std::uint8_t>& out() const { return out_; }
    std::vector<std::uint8_t> take() { return std::move(out_); }

  private:
    std::vector<std::uint8_t> out_;
};

// Reads fields from data[at, end), failing with the byte offset (in data) where input ends
// or goes wrong.
class ByteReader {
  public:
    ByteReader(std::span<const std::uint8_t> data, std::size_t at, std::size_t end)
        : data_(data), at_(at), end_(end) {}
    explicit ByteReader(std::span<const std::uint8_t> data) : ByteReader(data, 0, data.size()) {}

    std::size_t at() const { return at_; }
    std::size_t left() const { return end_ - at_; }

    std::span<const std::uint8_t> take(std::size_t n, const char* what) {
        if (n > left()) {
            format_error("truncated profile: " + std::string(what) + " at byte " +
                         std::to_string(at_) + " needs " + std::to_string(n) + " bytes, " +
                         std::to_string(left()) + " left");
        }
        const std::span<const std::uint8_t> bytes = data_.subspan(at_, n);
        at_ += n;
        return bytes;
    }
    std::uint8_t u8(const char* what) { return static_cast<std::uint8_t>(fixed(1, what)); }
    std::uint64_t u64(const char* what) { return fixed(8, what); }
    std::uint64_t fixed(unsigned n, const char* what) {
        const std::span<const std::uint8_t> bytes = take(n, what);
        std::uint64_t v = 0;
        for (unsigned i = 0; i < n; ++i) {
            v |= static_cast<std::uint64_t>(bytes[i]) << (8 * i);
        }
        return v;
    }
    std::uint64_t varint(const char* what) {
        const std::size_t start = at_;
        std::uint64_t v = 0;
        for (unsigned shift = 0;; shift += 7) {
            const std::uint8_t byte = take(1, what)[0];
            if (shift == 63 && byte > 1) {
                format_error(std::string(what) + " at byte " + std::to_string(start) +
                             " does not fit 64 bits");
            }
            v |= static_cast<std::uint64_t>(byte & 0x7f) << shift;
            if ((byte & 0x80) == 0) {
                if (byte == 0 && shift > 0) {
                    format_error(std::string(what) + " at byte " + std::to_string(start) +
                                 " is not in its shortest form");
                }
                return v;
            }
        }
    }

    // Refuses the form at the current byte: "<what> at byte N: <why>".
    [[noreturn]] void fail(const char* what, const std::string& why) const {
        format_error(std::string(what) + " at byte " + std::to_string(at_) + ": " + why);
    }

  private:
    std::span<const std::uint8_t> data_;
    std::size_t at_;
    std::size_t end_;
};

}  // namespace common
