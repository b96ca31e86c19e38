// Equivalence with a plain model of SpaceSaving: a list of (key, count, error, stamp)
// where a new key, when 64 are held, replaces the entry of least (count, stamp), and the
// stamp says when an entry reached its count. The summary's buckets must make exactly the
// model's choices: same entries, same counts and errors, same eviction order (its stored
// form lists entries in that order), on streams of every mix of hits and misses.
#include <gtest/gtest.h>

#include <bit>
#include <random>

#include "top_values_test_support.h"

namespace {

using namespace top_values_test;

class Model {
  public:
    void update(std::uint64_t key) {
        ++total_;
        for (auto& e : entries_) {
            if (e.key == key) {
                ++e.count;
                e.stamp = ++clock_;
                return;
            }
        }
        if (entries_.size() < kCapacity) {
            entries_.push_back({key, 1, 0, 0});
            if (entries_.size() == kCapacity) {
                stamp_by_count_then_key();
            }
            return;
        }
        auto least = std::min_element(entries_.begin(), entries_.end(), [](const auto& a, const auto& b) {
            return a.count != b.count ? a.count < b.count : a.stamp < b.stamp;
        });
        floor_ = std::max(floor_, least->count);
        *least = {key, least->count + 1, least->count, ++clock_};
    }

    // The summary's stored form: total, floor, entries in eviction order.
    std::vector<std::uint8_t> bytes() const {
        auto order = entries_;
        if (entries_.size() == kCapacity) {
            std::sort(order.begin(), order.end(), [](const auto& a, const auto& b) {
                return a.count != b.count ? a.count < b.count : a.stamp < b.stamp;
            });
        } else {
            std::sort(order.begin(), order.end(), [](const auto& a, const auto& b) {
                return a.count != b.count ? a.count < b.count : a.key < b.key;
            });
        }
        top_values::ByteWriter w;
        w.varint(total_);
        w.varint(floor_);
        w.varint(order.size());
        for (const auto& e : order) {
            w.u64(e.key);
            w.varint(e.count);
            w.varint(e.error);
            w.u8(1);
            w.u64(std::bit_cast<std::uint64_t>(number_for(e.key).number));
        }
        return w.take();
    }

  private:
    struct Entry {
        std::uint64_t key, count, error, stamp;
    };
    // When the list fills, the order among equal counts starts as ascending key.
    void stamp_by_count_then_key() {
        std::vector<Entry*> order;
        for (auto& e : entries_) {
            order.push_back(&e);
        }
        std::sort(order.begin(), order.end(), [](const Entry* a, const Entry* b) {
            return a->count != b->count ? a->count < b->count : a->key < b->key;
        });
        for (Entry* e : order) {
            e->stamp = ++clock_;
        }
    }

    std::vector<Entry> entries_;
    std::uint64_t total_ = 0;
    std::uint64_t floor_ = 0;
    std::uint64_t clock_ = 0;
};

struct StreamCase {
    const char* name;
    std::size_t values;
    std::size_t universe;  // keys drawn from this many
    double exponent;       // Zipf; 0 for uniform
};

class ReferenceModel : public ::testing::TestWithParam<StreamCase> {};

TEST_P(ReferenceModel, SameChoicesAsThePlainModel) {
    const StreamCase c = GetParam();
    for (std::uint64_t seed = 1; seed <= 3; ++seed) {
        std::vector<std::uint64_t> keys;
        if (c.exponent > 0) {
            keys = zipf_keys(c.values, c.exponent, c.universe, seed);
        } else {
            std::mt19937_64 gen(seed);
            for (std::size_t i = 0; i < c.values; ++i) {
                keys.push_back(scramble(gen() % c.universe));
            }
        }
        Model model;
        TopValues s;
        for (std::size_t i = 0; i < keys.size(); ++i) {
            model.update(keys[i]);
            s.update(keys[i], number_for(keys[i]));
            if (i % 997 == 0 || i + 1 == keys.size()) {
                ASSERT_EQ(bytes_of(s), model.bytes()) << "after value " << i << ", seed " << seed;
            }
        }
    }
}

INSTANTIATE_TEST_SUITE_P(Streams, ReferenceModel,
                         ::testing::Values(StreamCase{"few", 5000, 50, 0.0},
                                           StreamCase{"just_over", 20000, 70, 0.0},
                                           StreamCase{"uniform", 20000, 500, 0.0},
                                           StreamCase{"distinct", 20000, 1ULL << 40, 0.0},
                                           StreamCase{"zipf_flat", 20000, 2000, 0.7},
                                           StreamCase{"zipf_steep", 20000, 2000, 1.6}),
                         [](const auto& info) { return std::string(info.param.name); });

}  // namespace
