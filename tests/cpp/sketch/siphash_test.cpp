#include "sketch/siphash.h"

#include <gtest/gtest.h>

#include <cstdint>

#include "sketch_test_support.h"

namespace {

// Usable at compile time, which also shows the result is free of the machine's state.
static_assert(sketch::siphash13({0, 0}, 0) == 0xbd60acb658c79e45ULL);

TEST(SipHash13, ReferenceVectors) {
    const auto rows = sketch_test::read_tsv("siphash13_u64.tsv");
    ASSERT_EQ(rows.size(), 24u);
    for (const auto& row : rows) {
        ASSERT_EQ(row.size(), 4u);
        const sketch::SipKey key{sketch_test::parse_hex64(row[0]),
                                 sketch_test::parse_hex64(row[1])};
        EXPECT_EQ(sketch::siphash13(key, sketch_test::parse_hex64(row[2])),
                  sketch_test::parse_hex64(row[3]))
            << "k0 " << row[0] << " k1 " << row[1] << " key " << row[2];
    }
}

}  // namespace
