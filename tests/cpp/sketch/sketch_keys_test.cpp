#include <gtest/gtest.h>

#include "hash/key_state.h"
#include "sketch/cardinality_sketch.h"

namespace {

// Creation draws value_key and then the temp_set key, so consecutive sketches on one
// thread get value keys two apart.
TEST(KeyState, SketchesDrawTwoPairsEach) {
    sketch::CardinalitySketch a;
    sketch::CardinalitySketch b;
    EXPECT_EQ(b.value_key().k0, a.value_key().k0 + 2);
    EXPECT_EQ(b.value_key().k1, a.value_key().k1);
    EXPECT_EQ(hash::draw_key().k0, b.value_key().k0 + 2);
}

}  // namespace
