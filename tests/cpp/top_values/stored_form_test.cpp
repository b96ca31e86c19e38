// The stored form: canonical bytes, an exact round trip (a read state behaves as the
// original ever after), and forged forms refused with a message saying what is wrong.
#include <gtest/gtest.h>

#include <chrono>
#include <functional>
#include <future>
#include <string>

#include "top_values_test_support.h"

namespace {

using namespace top_values_test;
using top_values::ByteReader;
using top_values::ByteWriter;
using top_values::FormatError;

TopValues read_all(std::span<const std::uint8_t> bytes) {
    ByteReader r(bytes);
    TopValues s = TopValues::read(r);
    EXPECT_EQ(r.left(), 0u) << "the reader stopped early";
    return s;
}

// States worth storing: empty, exact, full on numbers, full on texts, merged.
std::vector<std::pair<std::string, std::function<TopValues()>>> states() {
    return {
        {"empty", [] { return TopValues(); }},
        {"exact", [] { return summary_of(zipf_keys(1000, 1.0, 40, 1)); }},
        {"full", [] { return summary_of(zipf_keys(50000, 1.1, 20000, 2)); }},
        {"texts",
         [] {
             TopValues s;
             const auto keys = zipf_keys(20000, 0.9, 5000, 3);
             s.update_many(keys, [&](std::size_t i) {
                 static std::string text;
                 text = "v\xC3\xA9" + std::to_string(keys[i] % 997) + std::string(keys[i] % 300, 'x');
                 return Representative::of_text(text);
             });
             return s;
         }},
        {"merged",
         [] {
             TopValues s = summary_of(zipf_keys(30000, 0.8, 9000, 4));
             s.merge(summary_of(zipf_keys(30000, 1.3, 9000, 5)));
             return s;
         }},
    };
}

TEST(StoredForm, RoundTripIsExactEverAfter) {
    for (const auto& [name, make] : states()) {
        SCOPED_TRACE(name);
        TopValues original = make();
        const auto bytes = bytes_of(original);
        TopValues copy = read_all(bytes);
        EXPECT_EQ(bytes_of(copy), bytes);
        // The same future for both: updates, then a merge, then updates again.
        const auto more = zipf_keys(20000, 1.2, 30000, 77);
        const TopValues other = summary_of(zipf_keys(10000, 0.7, 30000, 78));
        for (TopValues* s : {&original, &copy}) {
            observe(*s, std::span(more).first(10000));
            s->merge(other);
            observe(*s, std::span(more).subspan(10000));
        }
        EXPECT_EQ(bytes_of(copy), bytes_of(original));
    }
}

TEST(StoredForm, EveryProperPrefixIsRefused) {
    const auto bytes = bytes_of(states()[3].second());
    for (std::size_t n = 0; n < bytes.size(); ++n) {
        const auto prefix = std::span(bytes).first(n);
        ByteReader r(prefix);
        EXPECT_THROW(TopValues::read(r), FormatError) << "prefix of " << n << " bytes";
    }
}

// A forged form, written field by field.
struct Field {
    enum Type { kVarint, kU64, kU8, kBytes } type;
    std::uint64_t value = 0;
    std::string bytes;
};
Field v(std::uint64_t x) { return {Field::kVarint, x, {}}; }
Field u64(std::uint64_t x) { return {Field::kU64, x, {}}; }
Field u8(std::uint64_t x) { return {Field::kU8, x, {}}; }
Field raw(std::string b) { return {Field::kBytes, 0, std::move(b)}; }

std::vector<std::uint8_t> forge(const std::vector<Field>& fields) {
    ByteWriter w;
    for (const auto& f : fields) {
        switch (f.type) {
            case Field::kVarint: w.varint(f.value); break;
            case Field::kU64: w.u64(f.value); break;
            case Field::kU8: w.u8(static_cast<std::uint8_t>(f.value)); break;
            case Field::kBytes:
                w.bytes({reinterpret_cast<const std::uint8_t*>(f.bytes.data()), f.bytes.size()});
                break;
        }
    }
    return w.take();
}

// A number entry: key, count, error, kind 1, bits.
std::vector<Field> number_entry(std::uint64_t key, std::uint64_t count, std::uint64_t error) {
    return {u64(key), v(count), v(error), u8(1), u64(0)};
}
std::vector<Field> text_entry(std::uint64_t key, std::uint64_t count, std::string text) {
    return {u64(key), v(count), v(0), u8(2), v(text.size()), raw(std::move(text))};
}

// A full summary: 64 entries of count `count` (the first `first_count`), with this error.
std::vector<Field> full_form(std::uint64_t total, std::uint64_t floor, std::uint64_t count,
                             std::uint64_t first_count, std::uint64_t error) {
    std::vector<Field> f = {v(total), v(floor), v(kCapacity)};
    for (std::uint64_t k = 0; k < kCapacity; ++k) {
        const auto e = number_entry(k + 1, k == 0 ? first_count : count, error);
        f.insert(f.end(), e.begin(), e.end());
    }
    return f;
}

std::vector<Field> join(std::vector<std::vector<Field>> parts) {
    std::vector<Field> out;
    for (auto& p : parts) {
        out.insert(out.end(), p.begin(), p.end());
    }
    return out;
}

struct ForgedCase {
    std::string name;
    std::vector<Field> fields;
    std::string message;  // "" for a form that must be accepted
};

std::vector<ForgedCase> forged_cases() {
    return {
        {"accepted exact", join({{v(3), v(0), v(2)}, number_entry(1, 1, 0), number_entry(2, 2, 0)}), ""},
        {"accepted full", full_form(64 * 5 + 10, 5, 5, 5, 4), ""},
        {"accepted text", join({{v(1), v(0), v(1)}, text_entry(1, 1, "\xF0\x9F\x98\x80")}), ""},
        {"too many entries", {v(0), v(0), v(65)}, "more than 64"},
        {"huge entry count", {v(0), v(0), v(1ULL << 60)}, "more than 64"},
        {"keys out of order", join({{v(2), v(0), v(2)}, number_entry(2, 1, 0), number_entry(1, 1, 0)}),
         "not strictly ascending"},
        {"duplicate keys", join({{v(2), v(0), v(2)}, number_entry(1, 1, 0), number_entry(1, 1, 0)}),
         "not strictly ascending"},
        {"count zero", join({{v(0), v(0), v(1)}, number_entry(1, 0, 0)}), "not below count"},
        {"error equals count", join({{v(3), v(3), v(1)}, number_entry(1, 3, 3)}), "not below count"},
        {"error above floor", full_form(64 * 5, 1, 5, 5, 2), "above the floor"},
        {"counts past total", join({{v(2), v(0), v(2)}, number_entry(1, 1, 0), number_entry(2, 2, 0)}),
         "more than the total"},
        {"counts descending", join({{v(3), v(0), v(2)}, number_entry(1, 2, 0), number_entry(2, 1, 0)}),
         "counts not in ascending order"},
        {"full counts descending", full_form(64 * 5 + 2, 5, 5, 7, 4), "counts not in ascending order"},
        {"full with a key twice",
         join({{v(64 * 5), v(0), v(kCapacity)}, number_entry(1, 5, 0), number_entry(1, 5, 0),
               [] {
                   std::vector<Field> rest;
                   for (std::uint64_t k = 2; k < kCapacity; ++k) {
                       const auto e = number_entry(k, 5, 0);
                       rest.insert(rest.end(), e.begin(), e.end());
                   }
                   return rest;
               }()}),
         "a key held twice"},
        {"exact counts short of total", join({{v(9), v(0), v(1)}, number_entry(1, 2, 0)}), "do not add up"},
        {"empty with a total", {v(4), v(0), v(0)}, "do not add up"},
        {"floor without full summary", join({{v(9), v(2), v(1)}, number_entry(1, 3, 0)}), "floor without"},
        {"floor above least count", full_form(64 * 5, 5, 5, 4, 0), "above the least count"},
        {"full exact short of total", full_form(64 * 5 + 1, 0, 5, 5, 0), "do not add up"},
        {"unknown kind", {v(1), v(0), v(1), u64(1), v(1), v(0), u8(3)}, "unknown kind"},
        {"kind zero", {v(1), v(0), v(1), u64(1), v(1), v(0), u8(0)}, "unknown kind"},
        {"text too long", join({{v(1), v(0), v(1)}, text_entry(1, 1, std::string(1025, 'a'))}),
         "more than 1024"},
        {"huge text length", {v(1), v(0), v(1), u64(1), v(1), v(0), u8(2), v(1ULL << 40)}, "more than 1024"},
        {"text past the end", {v(1), v(0), v(1), u64(1), v(1), v(0), u8(2), v(10), raw("abc")}, "needs 10 bytes, 3 left"},
        {"257 code points", join({{v(1), v(0), v(1)}, text_entry(1, 1, std::string(257, 'a'))}),
         "257 code points"},
        {"bad UTF-8 lead", join({{v(1), v(0), v(1)}, text_entry(1, 1, "a\xFF")}), "not valid UTF-8"},
        {"overlong UTF-8", join({{v(1), v(0), v(1)}, text_entry(1, 1, "\xC0\xAF")}), "not valid UTF-8"},
        {"surrogate", join({{v(1), v(0), v(1)}, text_entry(1, 1, "\xED\xA0\x80")}), "not valid UTF-8"},
        {"cut sequence", join({{v(1), v(0), v(1)}, text_entry(1, 1, "\xE2\x82")}), "not valid UTF-8"},
        {"beyond U+10FFFF", join({{v(1), v(0), v(1)}, text_entry(1, 1, "\xF4\x90\x80\x80")}),
         "not valid UTF-8"},
        {"long varint", {raw("\x80\x00"), v(0), v(0)}, "shortest form"},
        {"varint past 64 bits", {raw("\xFF\xFF\xFF\xFF\xFF\xFF\xFF\xFF\xFF\x02"), v(0), v(0)}, "does not fit 64 bits"},
        {"nothing", {}, "needs 1 bytes, 0 left"},
    };
}

TEST(StoredForm, ForgedFormsAreRefused) {
    for (const auto& c : forged_cases()) {
        SCOPED_TRACE(c.name);
        const auto bytes = forge(c.fields);
        if (c.message.empty()) {
            const TopValues s = read_all(bytes);
            EXPECT_EQ(bytes_of(s), bytes) << "accepted form not canonical";
            continue;
        }
        try {
            ByteReader r(bytes);
            TopValues::read(r);
            ADD_FAILURE() << "accepted";
        } catch (const FormatError& e) {
            EXPECT_NE(std::string(e.what()).find(c.message), std::string::npos) << e.what();
        }
    }
}

// The eviction order is part of the state: a full summary whose entries of equal count
// are stored in descending key order evicts the highest key first, and keeps that order
// through a round trip.
TEST(StoredForm, ReadStateEvictsInStoredOrder) {
    std::vector<Field> f = {v(64 * 5), v(5), v(kCapacity)};
    for (std::uint64_t k = kCapacity; k > 0; --k) {
        const auto e = number_entry(k, 5, 4);
        f.insert(f.end(), e.begin(), e.end());
    }
    const auto bytes = forge(f);
    TopValues s = read_all(bytes);
    EXPECT_EQ(bytes_of(s), bytes);
    s.update(1000, number_for(1000));
    for (const auto& e : s.top(kCapacity)) {
        EXPECT_NE(e.key, kCapacity) << "the first stored entry of the least count should have gone";
        if (e.key == 1000) {
            EXPECT_EQ(e.count, 6u);
            EXPECT_EQ(e.error, 5u);
        }
    }
    EXPECT_EQ(s.size(), kCapacity);
    EXPECT_EQ(s.floor(), 5u);
}

}  // namespace

namespace {

// Const methods change nothing, not even a cache: several threads may read one summary
// (top, write, merge's argument) while its owner holds it still. Run under TSan to see it.
TEST(Readers, ConstMethodsFromSeveralThreadsAgree) {
    const TopValues s = states()[3].second();  // full, with texts
    const auto bytes = bytes_of(s);
    const auto top = s.top(10);
    std::vector<std::future<bool>> readers;
    for (int t = 0; t < 4; ++t) {
        readers.push_back(std::async(std::launch::async, [&] {
            bool same = true;
            for (int round = 0; round < 200; ++round) {
                same &= bytes_of(s) == bytes;
                const auto again = s.top(10);
                same &= again.size() == top.size() && again[0].key == top[0].key &&
                        again[0].representative.text == top[0].representative.text;
                TopValues other;
                other.merge(s);
                same &= other.total() == s.total();
            }
            return same;
        }));
    }
    for (auto& r : readers) {
        ASSERT_EQ(r.wait_for(std::chrono::seconds(60)), std::future_status::ready);
        EXPECT_TRUE(r.get());
    }
}

}  // namespace
