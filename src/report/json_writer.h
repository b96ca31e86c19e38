// JSON writer: appends compact JSON text (no spaces, no line breaks) to a byte buffer.
//
// The output is byte-exact: the same values always give the same bytes. Strings are
// escaped by a per-byte table (only control bytes, '"' and '\\' are escaped; '/', 0x7F
// and bytes from 0x80 up are copied as they are); unsigned integers are plain decimal;
// doubles are the shortest text that reads back as the same double, written plainly for
// decimal exponents -5..15 (integral values keep ".0") and as d.ddde±X otherwise, with
// NaN and the infinities written as null.
//
// The profiler's report (profiler/snapshot.h) is written with it; the escape table is
// escape_table.h's.
//
// Writing into memory cannot fail; running out of memory ends the process.
// Thread safety: pure functions over the caller's buffer; no shared state, no locks.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace report {

using Buffer = std::string;

void write_string(Buffer& out, std::string_view text);
void write_u64(Buffer& out, std::uint64_t value);
void write_optional_double(Buffer& out, std::optional<double> value);

// Frames one object: "{" at construction, "," between members, "}" at finish().
class ObjectWriter {
  public:
    explicit ObjectWriter(Buffer& out);
    // Writes the separator, the key as a string, and ":"; the caller then writes the value.
    void key(std::string_view name);
    void finish();

  private:
    Buffer& out_;
    bool has_member_ = false;
};

}  // namespace report
