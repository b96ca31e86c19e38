// Fuzzes the JSON writer: the input becomes the members of one object (keys and string
// values of arbitrary bytes, doubles of arbitrary bit patterns, unsigned integers,
// absent doubles). The written text is then read back by a strict little reader that
// accepts only what the writer may produce, and every value must come back exactly:
// strings byte for byte, doubles bit for bit (null for the non-finite ones), integers
// digit for digit.
#include <fuzzer/FuzzedDataProvider.h>

#include <bit>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <optional>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "report/json_writer.h"

namespace {

[[noreturn]] void fail(const char* what, std::string_view text) {
    std::fprintf(stderr, "json_writer_fuzz: %s in: %.*s\n", what, static_cast<int>(text.size()),
                 text.data());
    std::abort();
}

using Value = std::variant<std::string, std::optional<double>, std::uint64_t>;

struct Member {
    std::string key;
    Value value;
};

// A strict reader of the writer's output.
class Reader {
  public:
    explicit Reader(std::string_view text) : text_(text) {}

    void expect(char c) {
        if (pos_ >= text_.size() || text_[pos_] != c) {
            fail("unexpected character", text_);
        }
        ++pos_;
    }
    bool at(char c) const { return pos_ < text_.size() && text_[pos_] == c; }
    bool done() const { return pos_ == text_.size(); }

    // A quoted string; raw bytes that should have been escaped, and escapes other than
    // the writer's own (short forms where they exist, lowercase \u00XX otherwise), fail.
    std::string string() {
        expect('"');
        std::string out;
        while (!at('"')) {
            if (done()) {
                fail("unterminated string", text_);
            }
            const auto byte = static_cast<unsigned char>(text_[pos_++]);
            if (byte < 0x20) {
                fail("raw control byte", text_);
            }
            out.push_back(byte == '\\' ? escaped() : static_cast<char>(byte));
        }
        expect('"');
        return out;
    }

    // The text of a number or null, up to the next ',' or '}'.
    std::string_view scalar() {
        const std::size_t start = pos_;
        while (!done() && !at(',') && !at('}')) {
            ++pos_;
        }
        return text_.substr(start, pos_ - start);
    }

  private:
    static int hex_digit(char c) {
        if (c >= '0' && c <= '9')
            return c - '0';
        if (c >= 'a' && c <= 'f')
            return c - 'a' + 10;
        return -1;
    }

    char escaped() {
        if (done()) {
            fail("backslash at end", text_);
        }
        switch (text_[pos_++]) {
            case '"':
                return '"';
            case '\\':
                return '\\';
            case 'b':
                return '\b';
            case 't':
                return '\t';
            case 'n':
                return '\n';
            case 'f':
                return '\f';
            case 'r':
                return '\r';
            case 'u':
                break;
            default:
                fail("unknown escape", text_);
        }
        if (text_.size() - pos_ < 4 || text_.substr(pos_, 2) != "00") {
            fail("escape outside \\u00XX", text_);
        }
        const int hi = hex_digit(text_[pos_ + 2]);
        const int lo = hex_digit(text_[pos_ + 3]);
        pos_ += 4;
        if (hi < 0 || lo < 0) {
            fail("bad hex digit", text_);
        }
        const int byte = hi * 16 + lo;
        if (byte >= 0x20 || byte == '\b' || byte == '\t' || byte == '\n' || byte == '\f' ||
            byte == '\r') {
            fail("\\u escape where none or a short one belongs", text_);
        }
        return static_cast<char>(byte);
    }

    std::string_view text_;
    std::size_t pos_ = 0;
};

void check_double(std::string_view text, std::optional<double> want, std::string_view all) {
    if (!want || !std::isfinite(*want)) {
        if (text != "null")
            fail("non-finite double not null", all);
        return;
    }
    if (text.size() > 24)
        fail("double text longer than 24 bytes", all);
    if (text.find_first_not_of("-0123456789.e+") != std::string_view::npos) {
        fail("stray character in double", all);
    }
    const auto e = text.find('e');
    if (e == std::string_view::npos && text.find('.') == std::string_view::npos) {
        fail("plain double without a point", all);
    }
    if (e != std::string_view::npos && (e + 2 >= text.size() || text[e + 2] == '0')) {
        fail("bad exponent", all);
    }
    const std::string copy(text);
    char* end = nullptr;
    const double got = std::strtod(copy.c_str(), &end);
    if (end != copy.c_str() + copy.size())
        fail("double does not parse whole", all);
    if (std::bit_cast<std::uint64_t>(got) != std::bit_cast<std::uint64_t>(*want)) {
        fail("double does not read back", all);
    }
}

void check_u64(std::string_view text, std::uint64_t want, std::string_view all) {
    if (text.empty() || text.size() > 20 ||
        text.find_first_not_of("0123456789") != std::string_view::npos ||
        (text.size() > 1 && text[0] == '0')) {
        fail("bad integer text", all);
    }
    if (std::strtoull(std::string(text).c_str(), nullptr, 10) != want) {
        fail("integer does not read back", all);
    }
}

void check_value(Reader& reader, const Value& want, std::string_view all) {
    if (const auto* s = std::get_if<std::string>(&want)) {
        if (reader.string() != *s)
            fail("string does not read back", all);
    } else if (const auto* d = std::get_if<std::optional<double>>(&want)) {
        check_double(reader.scalar(), *d, all);
    } else {
        check_u64(reader.scalar(), std::get<std::uint64_t>(want), all);
    }
}

void check_object(std::string_view text, const std::vector<Member>& members) {
    Reader reader(text);
    reader.expect('{');
    for (std::size_t i = 0; i < members.size(); ++i) {
        if (i > 0)
            reader.expect(',');
        if (reader.string() != members[i].key)
            fail("key does not read back", text);
        reader.expect(':');
        check_value(reader, members[i].value, text);
    }
    reader.expect('}');
    if (!reader.done())
        fail("text after the object", text);
}

Value next_value(FuzzedDataProvider& in) {
    switch (in.ConsumeIntegralInRange<int>(0, 3)) {
        case 0:
            return in.ConsumeRandomLengthString(64);
        case 1:
            return std::optional<double>(
                std::bit_cast<double>(in.ConsumeIntegral<std::uint64_t>()));
        case 2:
            return in.ConsumeIntegral<std::uint64_t>();
        default:
            return std::optional<double>();
    }
}

void write_value(report::Buffer& out, const Value& value) {
    if (const auto* s = std::get_if<std::string>(&value)) {
        report::write_string(out, *s);
    } else if (const auto* d = std::get_if<std::optional<double>>(&value)) {
        report::write_optional_double(out, *d);
    } else {
        report::write_u64(out, std::get<std::uint64_t>(value));
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    FuzzedDataProvider in(data, size);
    std::vector<Member> members;
    while (in.remaining_bytes() > 0) {
        std::string key = in.ConsumeRandomLengthString(64);
        members.push_back({std::move(key), next_value(in)});
    }
    report::Buffer out;
    report::ObjectWriter object(out);
    for (const Member& m : members) {
        object.key(m.key);
        write_value(out, m.value);
    }
    object.finish();
    check_object(out, members);
    return 0;
}
