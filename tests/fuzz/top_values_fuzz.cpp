// Fuzzes the top values summary. The first byte picks one of two modes:
//
// even: the rest is a stored form. If read() accepts it, writing the state back gives
//   exactly the bytes read (the form is canonical), and the state behaves as a summary:
//   after updates and a merge with itself, its own form is accepted again and its top()
//   is sorted with error < count.
// odd: the rest is a program of 2-byte operations over four summaries, each shadowed by
//   the exact counts of the values it stands for: update with one key (of 1024), update
//   with a run of distinct keys (to force evictions), or merge one summary into another.
//   At the end every summary must meet its guarantees against its exact counts (each
//   interval holds the truth, every absent key at most the floor, the floor at most
//   N / 64), hold each key's own text, and survive a round trip of its stored form.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <string>
#include <vector>

#include "top_values/top_values.h"

namespace {

using top_values::ByteReader;
using top_values::ByteWriter;
using top_values::FormatError;
using top_values::kCapacity;
using top_values::Representative;
using top_values::TopValues;

[[noreturn]] void fail(const char* what) {
    std::fprintf(stderr, "top_values_fuzz: %s\n", what);
    std::abort();
}

std::vector<std::uint8_t> bytes_of(const TopValues& s) {
    ByteWriter w;
    s.write(w);
    return w.take();
}

TopValues reread(const TopValues& s) {
    const auto bytes = bytes_of(s);
    ByteReader r(bytes);
    TopValues copy;
    try {
        copy = TopValues::read(r);
    } catch (const FormatError&) {
        fail("a reachable state's form was refused");
    }
    if (r.left() != 0 || bytes_of(copy) != bytes)
        fail("round trip changed the form");
    return copy;
}

void check_shape(const TopValues& s) {
    const auto top = s.top(kCapacity);
    if (top.size() != s.size() || s.size() > kCapacity)
        fail("top() does not list every entry");
    for (std::size_t i = 0; i < top.size(); ++i) {
        if (top[i].error >= top[i].count)
            fail("error not below count");
        if (i > 0 && (top[i - 1].count < top[i].count ||
                      (top[i - 1].count == top[i].count && top[i - 1].key >= top[i].key))) {
            fail("top() not sorted by count, then key");
        }
    }
}

void stored_form_mode(const std::uint8_t* data, std::size_t size) {
    ByteReader r({data, size});
    TopValues s;
    try {
        s = TopValues::read(r);
    } catch (const FormatError&) {
        return;
    }
    const auto written = bytes_of(s);
    if (written.size() != r.at() || !std::equal(written.begin(), written.end(), data))
        fail("accepted form is not canonical");
    check_shape(s);
    if (s.total() < (1ULL << 62)) {
        for (std::uint64_t k = 0; k < 100; ++k) {
            s.update(k * 0x9E3779B97F4A7C15ULL, Representative::of_number(1.0));
        }
        s.merge(s);
    }
    check_shape(s);
    reread(s);
}

// Mostly short texts, so that a run stays fast; every 13th key's text is long enough to
// be cut.
std::string text_of(std::uint64_t key) {
    std::string t = "k" + std::to_string(key);
    const std::uint64_t extra = key % 13 == 0 ? 260 : key % 5;
    for (std::uint64_t i = 0; i < extra; ++i) {
        t += i % 2 ? "\xC3\xA9" : "\xF0\x9F\x98\x80";
    }
    return t;
}

struct Shadowed {
    TopValues summary;
    std::map<std::uint64_t, std::uint64_t> exact;
    std::uint64_t n = 0;

    void update(std::uint64_t key) {
        const std::string text = text_of(key);
        summary.update(key, Representative::of_text(text));
        ++exact[key];
        ++n;
    }
    void merge(const Shadowed& other) {
        const auto other_exact = other.exact;  // other may be *this
        const auto other_n = other.n;
        summary.merge(other.summary);
        for (const auto& [k, c] : other_exact) {
            exact[k] += c;
        }
        n += other_n;
    }
};

void check_guarantees(const Shadowed& s) {
    const TopValues& t = s.summary;
    if (t.total() != s.n)
        fail("total differs from values seen");
    if (t.floor() * kCapacity > s.n)
        fail("floor above N / capacity");
    std::map<std::uint64_t, bool> held;
    for (const auto& e : t.top(kCapacity)) {
        const auto it = s.exact.find(e.key);
        const std::uint64_t truth = it == s.exact.end() ? 0 : it->second;
        if (truth > e.count || truth < e.count - e.error)
            fail("true count outside [count - error, count]");
        if (e.representative.text != top_values::cut_text(text_of(e.key)))
            fail("representative is not its key's text");
        held[e.key] = true;
    }
    for (const auto& [k, c] : s.exact) {
        if (!held.count(k) && c > t.floor())
            fail("absent key above the floor");
    }
    check_shape(t);
}

void program_mode(const std::uint8_t* data, std::size_t size) {
    std::vector<Shadowed> s(4);
    std::size_t current = 0;
    for (std::size_t at = 0; at + 1 < size; at += 2) {
        const std::uint8_t op = data[at];
        const std::uint8_t arg = data[at + 1];
        switch (op & 3) {
            case 0:
            case 1:
                s[current].update(arg + 256u * ((op >> 2) & 3));
                break;
            case 2:
                for (std::uint64_t i = 0; i <= (op >> 2); ++i) {
                    s[current].update(1024 + arg * 64u + i);
                }
                break;
            case 3:
                s[(op >> 2) & 3].merge(s[arg & 3]);
                current = arg & 3;
                break;
        }
    }
    for (const auto& one : s) {
        check_guarantees(one);
        const TopValues copy = reread(one.summary);
        check_shape(copy);
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size == 0) {
        return 0;
    }
    if (data[0] % 2 == 0) {
        stored_form_mode(data + 1, size - 1);
    } else {
        program_mode(data + 1, size - 1);
    }
    return 0;
}
