#include "jsonl/exact_line.h"

#include <clocale>
#include <cstdlib>
#include <limits>

// strtod_l and newlocale: POSIX 2008 and glibc.
#include <locale.h>
#include <stdlib.h>

#include "common/utf8.h"

namespace jsonl {

namespace {

using profiler::Cell;

bool is_whitespace(char c) {
    return c == ' ' || c == '\t' || c == '\n' || c == '\r';
}

bool is_digit(char c) {
    return c >= '0' && c <= '9';
}

int hex_digit(char c) {
    if (c >= '0' && c <= '9') {
        return c - '0';
    }
    if (c >= 'a' && c <= 'f') {
        return c - 'a' + 10;
    }
    if (c >= 'A' && c <= 'F') {
        return c - 'A' + 10;
    }
    return -1;
}

// The four hex digits at text[at..at+4), or -1.
long hex4(std::string_view text, std::size_t at) {
    if (at + 4 > text.size()) {
        return -1;
    }
    long value = 0;
    for (std::size_t i = at; i < at + 4; ++i) {
        const int digit = hex_digit(text[i]);
        if (digit < 0) {
            return -1;
        }
        value = value * 16 + digit;
    }
    return value;
}

bool is_high_surrogate(long c) {
    return c >= 0xD800 && c <= 0xDBFF;
}
bool is_low_surrogate(long c) {
    return c >= 0xDC00 && c <= 0xDFFF;
}

// The correctly rounded double of a decimal number text (NUL-terminated), overflow giving
// an infinity, read in the C locale whatever the process's locale is.
double decimal_to_double(const std::string& text) {
    static const locale_t c_locale = newlocale(LC_ALL_MASK, "C", static_cast<locale_t>(0));
    return strtod_l(text.c_str(), nullptr, c_locale);
}

// The magnitude of a decimal text (an optional minus, then digits), if it fits 64 bits.
bool decimal_magnitude(std::string_view text, std::uint64_t& magnitude) {
    magnitude = 0;
    constexpr std::uint64_t kMax = std::numeric_limits<std::uint64_t>::max();
    for (std::size_t i = text.front() == '-' ? 1 : 0; i < text.size(); ++i) {
        const auto digit = static_cast<std::uint64_t>(text[i] - '0');
        if (magnitude > (kMax - digit) / 10) {
            return false;
        }
        magnitude = magnitude * 10 + digit;
    }
    return true;
}

constexpr std::uint64_t kMaxPositive = std::numeric_limits<std::int64_t>::max();

// The integer of a decimal text, if it fits a signed 64-bit integer.
bool to_int64(std::string_view text, std::int64_t& out) {
    std::uint64_t magnitude = 0;
    if (!decimal_magnitude(text, magnitude)) {
        return false;
    }
    if (text.front() == '-') {
        if (magnitude > kMaxPositive + 1) {
            return false;
        }
        out = static_cast<std::int64_t>(0 - magnitude);
    } else {
        if (magnitude > kMaxPositive) {
            return false;
        }
        out = static_cast<std::int64_t>(magnitude);
    }
    return true;
}

// The integer of a decimal text in [2^63, 2^64), if it is one.
bool to_wide_unsigned(std::string_view text, std::uint64_t& out) {
    return text.front() != '-' && decimal_magnitude(text, out) && out > kMaxPositive;
}

}  // namespace

LineKind ExactLineParser::parse(std::string_view line) {
    line_ = line;
    pos_ = 0;
    bad_key_ = false;
    names_.clear();
    fields_.clear();
    message_.clear();
    skip_whitespace();
    if (peek() != '{') {
        if (!value(nullptr, 0)) {
            return LineKind::NotJson;
        }
        skip_whitespace();
        if (!at_end()) {
            fail("Extra data");
            return LineKind::NotJson;
        }
        return LineKind::NotObject;
    }
    if (!object(1, true)) {
        return LineKind::NotJson;
    }
    skip_whitespace();
    if (!at_end()) {
        fail("Extra data");
        return LineKind::NotJson;
    }
    return bad_key_ ? LineKind::BadKey : LineKind::Object;
}

void ExactLineParser::skip_whitespace() {
    while (!at_end() && is_whitespace(line_[pos_])) {
        ++pos_;
    }
}

bool ExactLineParser::fail(const char* what) {
    return fail_at(pos_, what);
}

bool ExactLineParser::fail_at(std::size_t at, const char* what) {
    // The column counts characters, as json.loads does, not bytes.
    std::size_t column = 1;
    for (std::size_t i = 0; i < at && i < line_.size(); ++i) {
        column += (static_cast<unsigned char>(line_[i]) & 0xC0) != 0x80;
    }
    message_ = what;
    message_ += " at column ";
    message_ += std::to_string(column);
    return false;
}

bool ExactLineParser::value(Cell* out, int depth) {
    if (at_end()) {
        return fail("Expecting value");
    }
    Cell cell = profiler::null_cell(0);
    switch (line_[pos_]) {
        case '"': {
            bool lone_surrogate = false;
            if (!string(lone_surrogate)) {
                return false;
            }
            if (!lone_surrogate) {
                cell = profiler::str_cell(0, text_, keys_);
            } else {
                cell = profiler::null_cell(0, profiler::Origin::Text);
            }
            break;
        }
        case '{':
        case '[':
            if (depth >= kMaxNesting) {
                return fail("Nesting too deep");
            }
            if (!(line_[pos_] == '{' ? object(depth + 1, false) : array(depth + 1))) {
                return false;
            }
            cell = profiler::null_cell(0, profiler::Origin::Other);
            break;
        case 'n':
            if (!literal("null")) {
                return false;
            }
            break;
        case 't':
            if (!literal("true")) {
                return false;
            }
            cell = profiler::bool_cell(0, true, keys_);
            break;
        case 'f':
            if (!literal("false")) {
                return false;
            }
            cell = profiler::bool_cell(0, false, keys_);
            break;
        case 'N':  // float('nan')
            if (!literal("NaN")) {
                return false;
            }
            cell = profiler::real_cell(0, std::numeric_limits<double>::quiet_NaN());
            break;
        case 'I':
            if (!literal("Infinity")) {
                return false;
            }
            cell = profiler::float_cell(0, std::numeric_limits<double>::infinity());
            break;
        default:
            if (line_.substr(pos_).starts_with("-Infinity")) {
                pos_ += 9;
                cell = profiler::float_cell(0, -std::numeric_limits<double>::infinity());
                break;
            }
            if (!number(&cell)) {
                return false;
            }
            break;
    }
    if (out != nullptr) {
        *out = cell;
    }
    return true;
}

bool ExactLineParser::literal(std::string_view word) {
    if (!line_.substr(pos_).starts_with(word)) {
        return fail("Expecting value");
    }
    pos_ += word.size();
    return true;
}

bool ExactLineParser::object(int depth, bool top) {
    ++pos_;  // '{'
    skip_whitespace();
    if (peek() == '}') {
        ++pos_;
        return true;
    }
    for (;;) {
        if (peek() != '"') {
            return fail("Expecting property name enclosed in double quotes");
        }
        bool lone_surrogate = false;
        if (!string(lone_surrogate)) {
            return false;
        }
        const auto name_offset = static_cast<std::uint32_t>(names_.size());
        const auto name_size = static_cast<std::uint32_t>(text_.size());
        if (top) {
            names_ += text_;
            bad_key_ = bad_key_ || lone_surrogate;
        }
        skip_whitespace();
        if (peek() != ':') {
            return fail("Expecting ':' delimiter");
        }
        ++pos_;
        skip_whitespace();
        Cell cell = profiler::null_cell(0);
        if (!value(top ? &cell : nullptr, depth)) {
            return false;
        }
        if (top) {
            // A text value's bytes, kept for the column summary: text_ holds the value
            // just read when the value is a string.
            const auto text_offset = static_cast<std::uint32_t>(names_.size());
            const auto text_size =
                static_cast<std::uint32_t>(cell.tag == profiler::Tag::Str ? text_.size() : 0);
            if (text_size != 0) {
                names_ += text_;
            }
            fields_.push_back(Field{name_offset, name_size, cell, text_offset, text_size});
        }
        skip_whitespace();
        const char next = peek();
        ++pos_;
        if (next == '}') {
            return true;
        }
        if (next != ',') {
            --pos_;
            return fail("Expecting ',' delimiter");
        }
        skip_whitespace();
    }
}

bool ExactLineParser::array(int depth) {
    ++pos_;  // '['
    skip_whitespace();
    if (peek() == ']') {
        ++pos_;
        return true;
    }
    for (;;) {
        if (!value(nullptr, depth)) {
            return false;
        }
        skip_whitespace();
        const char next = peek();
        ++pos_;
        if (next == ']') {
            return true;
        }
        if (next != ',') {
            --pos_;
            return fail("Expecting ',' delimiter");
        }
        skip_whitespace();
    }
}

bool ExactLineParser::string(bool& lone_surrogate) {
    const std::size_t start = pos_;
    ++pos_;  // '"'
    text_.clear();
    for (;;) {
        const std::size_t run = pos_;
        while (!at_end()) {
            const auto c = static_cast<unsigned char>(line_[pos_]);
            if (c == '"' || c == '\\' || c < 0x20) {
                break;
            }
            ++pos_;
        }
        text_.append(line_.substr(run, pos_ - run));
        if (at_end()) {
            return fail_at(start, "Unterminated string starting");
        }
        const char c = line_[pos_];
        if (c == '"') {
            ++pos_;
            return true;
        }
        if (c != '\\') {
            return fail("Invalid control character");
        }
        if (pos_ + 1 >= line_.size()) {
            return fail_at(start, "Unterminated string starting");
        }
        const char escape = line_[pos_ + 1];
        char plain = 0;
        switch (escape) {
            case '"':
            case '\\':
            case '/':
                plain = escape;
                break;
            case 'b':
                plain = '\b';
                break;
            case 'f':
                plain = '\f';
                break;
            case 'n':
                plain = '\n';
                break;
            case 'r':
                plain = '\r';
                break;
            case 't':
                plain = '\t';
                break;
            case 'u':
                break;
            default:
                return fail("Invalid \\escape");
        }
        if (escape != 'u') {
            text_.push_back(plain);
            pos_ += 2;
            continue;
        }
        long code = hex4(line_, pos_ + 2);
        if (code < 0) {
            return fail("Invalid \\uXXXX escape");
        }
        pos_ += 6;
        // A high surrogate joins the low surrogate escape right after it; any other
        // escape there is read on its own, and the high surrogate stays alone.
        if (is_high_surrogate(code) && line_.substr(pos_).starts_with("\\u")) {
            const long low = hex4(line_, pos_ + 2);
            if (low < 0) {
                pos_ += 2;
                return fail("Invalid \\uXXXX escape");
            }
            if (is_low_surrogate(low)) {
                code = 0x10000 + ((code - 0xD800) << 10) + (low - 0xDC00);
                pos_ += 6;
            }
        }
        if (is_high_surrogate(code) || is_low_surrogate(code)) {
            lone_surrogate = true;  // no UTF-8 form; the text is never used
        } else {
            common::append_utf8(text_, static_cast<std::uint32_t>(code));
        }
    }
}

bool ExactLineParser::number(Cell* out) {
    // The grammar of json.loads: -?(0|[1-9][0-9]*)(\.[0-9]+)?([eE][-+]?[0-9]+)?, where a
    // fraction or exponent not followed by a digit ends the number before it.
    const std::size_t start = pos_;
    if (peek() == '-') {
        ++pos_;
    }
    const char first = peek();
    if (first == '0') {
        ++pos_;
    } else if (first >= '1' && first <= '9') {
        while (is_digit(peek())) {
            ++pos_;
        }
    } else {
        return fail_at(start, "Expecting value");
    }
    const std::size_t integer_end = pos_;
    bool is_float = false;
    if (peek() == '.' && pos_ + 1 < line_.size() && is_digit(line_[pos_ + 1])) {
        is_float = true;
        pos_ += 2;
        while (is_digit(peek())) {
            ++pos_;
        }
    }
    if (peek() == 'e' || peek() == 'E') {
        const std::size_t exponent_start = pos_;
        ++pos_;
        if (peek() == '+' || peek() == '-') {
            ++pos_;
        }
        const std::size_t digits_start = pos_;
        while (is_digit(peek())) {
            ++pos_;
        }
        if (pos_ == digits_start) {
            pos_ = exponent_start;
        } else {
            is_float = true;
        }
    }
    const std::string_view text = line_.substr(start, pos_ - start);
    if (!is_float) {
        const std::size_t digits = integer_end - start - (line_[start] == '-');
        if (max_int_digits_ != 0 && digits > max_int_digits_) {
            return fail_at(start, "Integer literal longer than the int digit limit");
        }
    }
    if (out == nullptr) {
        return true;
    }
    std::int64_t integer = 0;
    std::uint64_t wide = 0;
    if (!is_float && to_int64(text, integer)) {
        *out = profiler::int_cell(0, integer, keys_);
        return true;
    }
    if (!is_float && to_wide_unsigned(text, wide)) {
        *out = profiler::wide_unsigned_cell(0, wide, keys_);
        return true;
    }
    digits_.assign(text);
    const double x = decimal_to_double(digits_);
    // A float literal beyond a double's range is an infinity.
    *out = is_float ? profiler::float_cell(0, x) : profiler::huge_int_cell(0, x);
    return true;
}

}  // namespace jsonl
