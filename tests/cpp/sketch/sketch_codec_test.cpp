// The stored layout of a sketch state: written and read back, every size of sketch (empty,
// sparse, just before and after the turn to dense, full) gives the same state, takes the
// bytes stored_size says, and reads back into a sketch with the same estimate.
#include "sketch/sketch_codec.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <string>

#include "sketch_test_support.h"

namespace {

using sketch_test::fixed_sketch;

std::vector<std::uint8_t> written(const sketch::SketchState& state) {
    common::ByteWriter w(0);
    sketch::write_sketch(w, state);
    return std::move(w.out());
}

TEST(SketchCodec, EverySizeRoundTrips) {
    for (const std::uint64_t keys : {0u, 1u, 7u, 1000u, 3000u, 4000u, 20000u, 200000u}) {
        sketch::CardinalitySketch sketch = fixed_sketch();
        for (std::uint64_t key = 0; key < keys; ++key) {
            sketch.insert(key * 2654435761u);
        }
        const sketch::SketchState state = sketch.state();
        const std::vector<std::uint8_t> bytes = written(state);
        if (sketch::is_dense(state)) {
            EXPECT_EQ(bytes.size(), sketch::stored_size(state)) << keys;
        } else {
            EXPECT_LE(bytes.size(), sketch::stored_size(state)) << keys;
        }
        common::ByteReader r(bytes, 0, bytes.size());
        const sketch::SketchState read = sketch::read_sketch(r, sketch::is_dense(state), "t");
        EXPECT_EQ(r.left(), 0u) << keys;
        EXPECT_EQ(written(read), bytes) << keys;
        EXPECT_EQ(sketch::entry_count(read), sketch::entry_count(state)) << keys;
        EXPECT_LE(sketch::entry_count(read), keys) << keys;
        sketch::CardinalitySketch restored = fixed_sketch();
        restored.merge(read);
        EXPECT_EQ(restored.count(), sketch.count()) << keys;
    }
}

// Read as the wrong form, or cut short, a stored sketch is refused with the label.
TEST(SketchCodec, TheWrongFormOrACutIsRefused) {
    sketch::CardinalitySketch sketch = fixed_sketch();
    for (std::uint64_t key = 0; key < 50; ++key) {
        sketch.insert(key);
    }
    const std::vector<std::uint8_t> bytes = written(sketch.state());
    common::ByteReader as_dense(bytes, 0, bytes.size());
    EXPECT_THROW(sketch::read_sketch(as_dense, true, "t"), common::FormatError);
    common::ByteReader cut(bytes, 0, bytes.size() - 1);
    try {
        sketch::read_sketch(cut, false, "column 3");
        ADD_FAILURE() << "accepted";
    } catch (const common::FormatError& error) {
        EXPECT_NE(std::string(error.what()).find("truncated"), std::string::npos) << error.what();
    }
}

}  // namespace
