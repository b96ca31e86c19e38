// The JSON writer: strings by table-driven escaping, integers and doubles formed in a
// fixed scratch buffer on the stack and appended in one copy.
#include "report/json_writer.h"

#include <bit>
#include <charconv>
#include <cmath>
#include <cstddef>
#include <cstring>
#include <system_error>

#include "report/escape_table.h"

namespace report {
namespace {

constexpr char kHexDigits[] = "0123456789abcdef";

// Appends the escape of one byte whose table entry is not kCopy.
void append_escape(Buffer& out, unsigned char byte, char how) {
    if (how == detail::kHex) {
        const char text[6] = {'\\', 'u', '0', '0', kHexDigits[byte >> 4], kHexDigits[byte & 0xF]};
        out.append(text, sizeof text);
        return;
    }
    const char text[2] = {'\\', how};
    out.append(text, sizeof text);
}

// A double's shortest round-trip digits d1..dn (no leading or trailing zeros) and the
// decimal exponent of d1.
struct Decimal {
    char digits[17];
    int count = 0;
    int exponent = 0;
};

// Longest scientific text of a positive finite double: "1.2345678901234567e-308".
constexpr std::size_t kScientificMax = 24;
// Longest text of a double as written here: sign, 17 digits, ".", "e-", three exponent
// digits, or sign, "0.0000" and 17 digits; both are 24 bytes.
constexpr std::size_t kDoubleMax = 24;

// Parses the exponent digits that follow "e+" or "e-".
int parse_exponent(const char* sign, const char* end) {
    int value = 0;
    for (const char* p = sign + 1; p != end; ++p) {
        value = value * 10 + (*p - '0');
    }
    return *sign == '-' ? -value : value;
}

// Finds the shortest digits of a positive finite double. The library's shortest
// scientific form ("d.ddde+XX") already picks the nearest of the shortest candidates and
// breaks ties to even; it is taken apart here into digits and exponent.
Decimal shortest_decimal(double magnitude) {
    char text[kScientificMax + 8];
    const auto [end, ec] =
        std::to_chars(text, text + sizeof text, magnitude, std::chars_format::scientific);
    (void)ec;  // the buffer is larger than any shortest scientific text
    Decimal d;
    const char* p = text;
    for (; p != end && *p != 'e'; ++p) {
        if (*p != '.' && d.count < 17) {
            d.digits[d.count++] = *p;
        }
    }
    d.exponent = parse_exponent(p + 1, end);
    while (d.count > 1 && d.digits[d.count - 1] == '0') {
        --d.count;
    }
    return d;
}

char* put_zeros(char* p, int n) {
    std::memset(p, '0', static_cast<std::size_t>(n));
    return p + n;
}

char* put_digits(char* p, const char* digits, int n) {
    std::memcpy(p, digits, static_cast<std::size_t>(n));
    return p + n;
}

// Plain notation for decimal exponents -5..15: integers end in ".0", fractions below 1
// start with "0." and the zeros before d1.
char* put_plain(char* p, const Decimal& d) {
    const int int_digits = d.exponent + 1;
    if (d.count <= int_digits) {
        p = put_digits(p, d.digits, d.count);
        p = put_zeros(p, int_digits - d.count);
        *p++ = '.';
        *p++ = '0';
    } else if (d.exponent >= 0) {
        p = put_digits(p, d.digits, int_digits);
        *p++ = '.';
        p = put_digits(p, d.digits + int_digits, d.count - int_digits);
    } else {
        *p++ = '0';
        *p++ = '.';
        p = put_zeros(p, -d.exponent - 1);
        p = put_digits(p, d.digits, d.count);
    }
    return p;
}

// Exponent notation: d1[.d2...dn]e+X or e-X, X without leading zeros.
char* put_exponent_form(char* p, const Decimal& d) {
    *p++ = d.digits[0];
    if (d.count >= 2) {
        *p++ = '.';
        p = put_digits(p, d.digits + 1, d.count - 1);
    }
    *p++ = 'e';
    *p++ = d.exponent > 0 ? '+' : '-';
    const unsigned magnitude = static_cast<unsigned>(d.exponent > 0 ? d.exponent : -d.exponent);
    return std::to_chars(p, p + 3, magnitude).ptr;
}

// Forms the text of a finite double at p and returns its end.
char* put_finite_double(char* p, double value) {
    if (std::bit_cast<std::uint64_t>(value) >> 63) {
        *p++ = '-';
    }
    const double magnitude = std::fabs(value);
    if (magnitude == 0.0) {
        *p++ = '0';
        *p++ = '.';
        *p++ = '0';
        return p;
    }
    const Decimal d = shortest_decimal(magnitude);
    if (d.exponent >= -5 && d.exponent <= 15) {
        return put_plain(p, d);
    }
    return put_exponent_form(p, d);
}

}  // namespace

void write_string(Buffer& out, std::string_view text) {
    out.push_back('"');
    std::size_t run_start = 0;
    for (std::size_t i = 0; i < text.size(); ++i) {
        const auto byte = static_cast<unsigned char>(text[i]);
        const char how = detail::kEscape[byte];
        if (how == detail::kCopy) {
            continue;
        }
        out.append(text.data() + run_start, i - run_start);
        append_escape(out, byte, how);
        run_start = i + 1;
    }
    out.append(text.data() + run_start, text.size() - run_start);
    out.push_back('"');
}

void write_u64(Buffer& out, std::uint64_t value) {
    char text[20];  // 18446744073709551615 has 20 digits
    char* p = text + sizeof text;
    do {
        *--p = static_cast<char>('0' + value % 10);
        value /= 10;
    } while (value != 0);
    out.append(p, static_cast<std::size_t>(text + sizeof text - p));
}

void write_optional_double(Buffer& out, std::optional<double> value) {
    if (!value || !std::isfinite(*value)) {
        out.append("null");
        return;
    }
    char text[kDoubleMax];
    const char* end = put_finite_double(text, *value);
    out.append(text, static_cast<std::size_t>(end - text));
}

ObjectWriter::ObjectWriter(Buffer& out) : out_(out) {
    out_.push_back('{');
}

void ObjectWriter::key(std::string_view name) {
    if (has_member_) {
        out_.push_back(',');
    }
    has_member_ = true;
    write_string(out_, name);
    out_.push_back(':');
}

void ObjectWriter::finish() {
    out_.push_back('}');
}

}  // namespace report
