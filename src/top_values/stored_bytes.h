// ByteWriter and ByteReader: the little-endian fields of the top values' stored form, and
// FormatError, what the reader throws for a form it refuses.
//
// Fields: u8, u64 (eight bytes, least significant first) and varint (an unsigned number
// in 7-bit groups, least significant group first, bit 7 set on every byte but the last,
// in its shortest form, as the profile's own form writes it). The reader refuses a field
// that runs past the end, a varint longer than its shortest form or wider than 64 bits,
// and a byte run longer than what is left, before it allocates anything for it.
//
// Thread safety: none; each writer and reader belongs to one caller.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <stdexcept>
#include <string>
#include <vector>

#include "hash/load_le.h"

namespace top_values {

// A malformed, damaged or impossible stored form; the message says what is wrong.
class FormatError : public std::runtime_error {
  public:
    using std::runtime_error::runtime_error;
};

class ByteWriter {
  public:
    void u8(std::uint8_t v) { out_.push_back(v); }
    void u64(std::uint64_t v) {
        for (unsigned i = 0; i < 8; ++i) {
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
    void bytes(std::span<const std::uint8_t> b) { out_.insert(out_.end(), b.begin(), b.end()); }

    const std::vector<std::uint8_t>& out() const { return out_; }
    std::vector<std::uint8_t> take() { return std::move(out_); }

  private:
    std::vector<std::uint8_t> out_;
};

class ByteReader {
  public:
    explicit ByteReader(std::span<const std::uint8_t> data) : data_(data) {}

    std::size_t position() const { return at_; }
    std::size_t remaining() const { return data_.size() - at_; }

    std::uint8_t u8(const char* what) {
        need(1, what);
        return data_[at_++];
    }
    std::uint64_t u64(const char* what) {
        need(8, what);
        const std::uint64_t v = hash::load_le64(data_.data() + at_);
        at_ += 8;
        return v;
    }
    std::uint64_t varint(const char* what) {
        std::uint64_t v = 0;
        for (unsigned shift = 0;; shift += 7) {
            const std::uint8_t b = u8(what);
            if (shift == 63 && b > 1) {
                fail(what, "varint wider than 64 bits");
            }
            v |= static_cast<std::uint64_t>(b & 0x7F) << shift;
            if ((b & 0x80) == 0) {
                if (b == 0 && shift != 0) {
                    fail(what, "varint not in its shortest form");
                }
                return v;
            }
        }
    }
    // The next n bytes, n checked against what is left before anything relies on it.
    std::span<const std::uint8_t> bytes(std::uint64_t n, const char* what) {
        if (n > remaining()) {
            fail(what, "length " + std::to_string(n) + " runs past the end");
        }
        const auto run = data_.subspan(at_, static_cast<std::size_t>(n));
        at_ += static_cast<std::size_t>(n);
        return run;
    }

    [[noreturn]] void fail(const char* what, const std::string& why) const {
        throw FormatError(std::string("top values: ") + what + " at byte " +
                          std::to_string(at_) + ": " + why);
    }

  private:
    void need(std::size_t n, const char* what) const {
        if (n > remaining()) {
            fail(what, "unexpected end of data");
        }
    }

    std::span<const std::uint8_t> data_;
    std::size_t at_ = 0;
};

}  // namespace top_values
