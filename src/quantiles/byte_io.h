// ByteWriter and ByteReader: the little-endian field writer and the checked field reader
// that the quantile sketch's stored form uses.
//
// Fields: u8, fixed-width u64 (8 bytes, least significant first) and varint (an unsigned
// number in 7-bit groups, least significant group first, bit 7 set on every byte but the
// last, always in its shortest form: the same varint the profile's binary form uses).
//
// The reader never reads past its span: every field checks the bytes left first, and a
// varint that is not in its shortest form or does not fit 64 bits is refused. Every
// failure throws FormatError with a message that names the field and the byte offset.
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

namespace quantiles {

// A malformed, damaged or impossible stored state; the message says what is wrong.
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
    void reserve(std::size_t n) { out_.reserve(out_.size() + n); }
    const std::vector<std::uint8_t>& bytes() const { return out_; }
    std::vector<std::uint8_t> take() { return std::move(out_); }

  private:
    std::vector<std::uint8_t> out_;
};

class ByteReader {
  public:
    explicit ByteReader(std::span<const std::uint8_t> data) : data_(data) {}

    std::size_t at() const { return at_; }
    std::size_t left() const { return data_.size() - at_; }

    [[noreturn]] void fail(const std::string& what) const {
        throw FormatError(what + " (at byte " + std::to_string(at_) + ")");
    }
    void need(std::size_t n, const char* what) const {
        if (n > left()) {
            fail(std::string("truncated: ") + what + " needs " + std::to_string(n) +
                 " bytes, " + std::to_string(left()) + " left");
        }
    }
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
            const std::uint8_t byte = u8(what);
            if (shift == 63 && byte > 1) {
                fail(std::string(what) + " does not fit 64 bits");
            }
            v |= static_cast<std::uint64_t>(byte & 0x7f) << shift;
            if ((byte & 0x80) == 0) {
                if (byte == 0 && shift > 0) {
                    fail(std::string(what) + " is not in its shortest form");
                }
                return v;
            }
        }
    }

  private:
    std::span<const std::uint8_t> data_;
    std::size_t at_ = 0;
};

}  // namespace quantiles
