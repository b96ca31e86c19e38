// Malformed batches: each is refused with a message that names the column and what was
// wrong, before anything of it reaches the engine (which keeps what it had).
#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

#include "arrow/batch_reader.h"
#include "arrow/format.h"
#include "arrow/validate.h"
#include "arrow_builders.h"
#include "profiler/engine.h"
#include "profiler/seed_keys.h"

namespace arrow_input {
namespace {

using arrow_test::Node;

const profiler::SeedKeys kKeys = profiler::keys_from_seed(5);

// A good batch of three columns: ints "n", texts "t", dictionary-encoded texts "d".
std::unique_ptr<Node> good_batch() {
    return arrow_test::batch_of(
        arrow_test::fixed<std::int64_t>("l", "n", {1, std::nullopt, 3, 4}),
        arrow_test::strings("t", {"a", "bb", std::nullopt, "dddd"}),
        arrow_test::encoded("d", {0, 1, std::nullopt, 1}, arrow_test::strings("", {"x", "y"})));
}

std::unique_ptr<Node> nested_structs(int depth) {
    auto node = arrow_test::fixed<std::int64_t>("l", "leaf", {1});
    for (int i = 0; i < depth; ++i) {
        auto parent = std::make_unique<Node>();
        parent->format = "+s";
        parent->name = "s";
        parent->length = 1;
        parent->buffers.push_back(std::nullopt);
        parent->children.push_back(std::move(node));
        node = std::move(parent);
    }
    return node;
}

struct BadCase {
    std::string name;
    std::function<void(Node&)> spoil;  // applied to a finished good batch
    std::string message;               // a part of the refusal's text
};

Node& column(Node& batch, int i) { return *batch.children[static_cast<std::size_t>(i)]; }

template <class T>
void poke(Node& node, int buffer, std::size_t index, T value) {
    std::memcpy(node.buffers[static_cast<std::size_t>(buffer)]->data() + index * sizeof(T), &value,
                sizeof(T));
}

std::vector<BadCase> bad_cases() {
    return {
        {"not a struct schema", [](Node& b) { b.schema.format = "l"; }, "the schema is not a struct"},
        {"schema without a format", [](Node& b) { b.schema.format = nullptr; }, "the schema is not a struct"},
        {"batch child count differs", [](Node& b) { b.array.n_children = 2; }, "the schema has 3 children, the array 2"},
        {"unknown format", [](Node& b) { column(b, 0).schema.format = "xq"; }, "column 'n': unknown format 'xq'"},
        {"decimal of an odd width", [](Node& b) { column(b, 0).schema.format = "d:5,2,100"; }, "unknown format 'd:5,2,100'"},
        {"negative length", [](Node& b) { column(b, 0).array.length = -1; }, "column 'n': negative length -1"},
        {"negative offset", [](Node& b) { column(b, 1).array.offset = -2; }, "column 't': negative offset -2"},
        {"offset plus length overflows", [](Node& b) {
             column(b, 0).array.offset = std::numeric_limits<std::int64_t>::max();
         }, "offset plus length passes"},
        {"column shorter than the batch", [](Node& b) { column(b, 0).array.length = 3; }, "column 'n': length 3 is shorter"},
        {"batch offset beyond the columns", [](Node& b) { b.array.offset = 2; }, "is shorter than the batch's offset plus length"},
        {"null count beyond length", [](Node& b) { column(b, 0).array.null_count = 5; }, "null count 5 out of range"},
        {"null count below -1", [](Node& b) { column(b, 0).array.null_count = -2; }, "null count -2 out of range"},
        {"nulls without a bitmap", [](Node& b) { column(b, 0).buffer_pointers[0] = nullptr; }, "null count 1 but no validity bitmap"},
        {"missing data buffer", [](Node& b) { column(b, 0).buffer_pointers[1] = nullptr; }, "column 'n': buffer 1 is missing"},
        {"too few buffers", [](Node& b) { column(b, 1).array.n_buffers = 2; }, "format 'u' takes 3 buffers, the array has 2"},
        {"a child where none belongs", [](Node& b) { column(b, 0).array.n_children = 1; }, "column 'n': the schema has 0 children, the array 1"},
        {"offsets decrease", [](Node& b) { poke<std::int32_t>(column(b, 1), 1, 2, 0); }, "column 't': offsets decrease at item 1"},
        {"negative first offset", [](Node& b) {
             poke<std::int32_t>(column(b, 1), 1, 0, -4);
         }, "column 't': negative offset -4 at item 0"},
        {"text that is not UTF-8", [](Node& b) { (*column(b, 1).buffers[2])[1] = 0xC3; }, "column 't': item 1 is not valid UTF-8"},
        {"dictionary index out of range", [](Node& b) { poke<std::int32_t>(column(b, 2), 1, 3, 2); }, "column 'd': dictionary index 2 at item 3 is outside the dictionary of 2"},
        {"negative dictionary index", [](Node& b) { poke<std::int32_t>(column(b, 2), 1, 0, -1); }, "dictionary index -1 at item 0"},
        {"dictionary in the array only", [](Node& b) { column(b, 2).schema.dictionary = nullptr; }, "the array has a dictionary its schema lacks"},
        {"dictionary of float indices", [](Node& b) { column(b, 2).schema.format = "g"; }, "dictionary indices of format 'g', not an integer"},
        {"a broken dictionary", [](Node& b) { column(b, 2).dictionary->array.length = -3; }, "column 'd' at dictionary: negative length -3"},
        {"null rows in the batch", [](Node& b) {
             b.buffers[0] = arrow_test::Bytes{0x0B, 0};
             b.buffer_pointers[0] = b.buffers[0]->data();
             b.array.null_count = 1;
         }, "record batch: row 2 is null"},
        {"view naming a missing buffer", [](Node& b) {
             b.children[1] = arrow_test::views("t", {"a", "a long text past twelve", std::nullopt, "c"});
             b.finish();
             poke<std::int32_t>(column(b, 1), 1, 4 * 1 + 2, 1);
         }, "column 't': item 1 names buffer 1 of 1"},
        {"view past its buffer", [](Node& b) {
             b.children[1] = arrow_test::views("t", {"a", "a long text past twelve", std::nullopt, "c"});
             b.finish();
             poke<std::int32_t>(column(b, 1), 1, 4 * 1 + 3, 5);
         }, "column 't': item 1 lies outside its buffer"},
        {"view of negative length", [](Node& b) {
             b.children[1] = arrow_test::views("t", {"a", "b", std::nullopt, "c"});
             b.finish();
             poke<std::int32_t>(column(b, 1), 1, 4 * 3, -1);
         }, "item 3 has a negative length"},
        {"list offsets past the child", [](Node& b) {
             auto list = arrow_test::fixed<std::int32_t>("+l", "n", {0, 1, 2, 3, 9});
             list->length = 4;
             list->children.push_back(arrow_test::fixed<std::int64_t>("l", "item", {1, 2, 3}));
             b.children[0] = std::move(list);
             b.finish();
         }, "column 'n': offsets end at 9, past the child's length 3"},
        {"struct child too short", [](Node& b) {
             auto inner = nested_structs(1);
             inner->length = 4;
             inner->children[0]->name = "x";
             b.children[0] = std::move(inner);
             b.finish();
         }, "column 's' at 'x': length 1 is shorter than its parent's offset plus length 4"},
        {"nesting too deep", [](Node& b) {
             auto deep = nested_structs(kMaxDepth + 2);
             b.children[0] = std::move(deep);
             for (Node* n = b.children[0].get(); n != nullptr; n = n->children.empty() ? nullptr : n->children[0].get()) {
                 n->length = 4;
             }
             b.finish();
         }, "nested more than 64 levels deep"},
        {"union type id naming no child", [](Node& b) {
             auto u = std::make_unique<Node>();
             u->format = "+us:0,5";
             u->name = "u";
             u->length = 4;
             u->buffers.push_back(arrow_test::bytes_of(std::vector<std::int8_t>{0, 5, 3, 0}));
             u->children.push_back(arrow_test::fixed<std::int64_t>("l", "a", {1, 2, 3, 4}));
             u->children.push_back(arrow_test::strings("b", {"w", "x", "y", "z"}));
             b.children[0] = std::move(u);
             b.finish();
         }, "column 'u': type id 3 at item 2 names no child"},
        {"dense union offset outside its child", [](Node& b) {
             auto u = std::make_unique<Node>();
             u->format = "+ud:0";
             u->name = "u";
             u->length = 4;
             u->buffers.push_back(arrow_test::bytes_of(std::vector<std::int8_t>{0, 0, 0, 0}));
             u->buffers.push_back(arrow_test::bytes_of(std::vector<std::int32_t>{0, 1, 2, 2}));
             u->children.push_back(arrow_test::fixed<std::int64_t>("l", "a", {1, 2}));
             b.children[0] = std::move(u);
             b.finish();
         }, "column 'u': offset 2 at item 2 is outside its child"},
        {"run ends that do not rise", [](Node& b) {
             auto r = std::make_unique<Node>();
             r->format = "+r";
             r->name = "r";
             r->length = 4;
             r->children.push_back(arrow_test::fixed<std::int32_t>("i", "run_ends", {2, 2, 4}));
             r->children.push_back(arrow_test::fixed<std::int64_t>("l", "values", {1, 2, 3}));
             b.children[0] = std::move(r);
             b.finish();
         }, "column 'r': run ends do not rise at run 1"},
        {"runs that end too soon", [](Node& b) {
             auto r = std::make_unique<Node>();
             r->format = "+r";
             r->name = "r";
             r->length = 4;
             r->children.push_back(arrow_test::fixed<std::int32_t>("i", "run_ends", {1, 3}));
             r->children.push_back(arrow_test::fixed<std::int64_t>("l", "values", {1, 2}));
             b.children[0] = std::move(r);
             b.finish();
         }, "column 'r': the runs end at 3, before the array's offset plus length"},
        {"runs without values", [](Node& b) {
             auto r = std::make_unique<Node>();
             r->format = "+r";
             r->name = "r";
             r->length = 4;
             r->children.push_back(arrow_test::fixed<std::int32_t>("i", "run_ends", {1, 4}));
             r->children.push_back(arrow_test::fixed<std::int64_t>("l", "values", {1}));
             b.children[0] = std::move(r);
             b.finish();
         }, "column 'r': 2 runs but 1 values"},
        {"run ends of floats", [](Node& b) {
             auto r = std::make_unique<Node>();
             r->format = "+r";
             r->name = "r";
             r->length = 4;
             r->children.push_back(arrow_test::fixed<double>("g", "run_ends", {4.0}));
             r->children.push_back(arrow_test::fixed<std::int64_t>("l", "values", {1}));
             b.children[0] = std::move(r);
             b.finish();
         }, "run ends of format 'g'"},
        {"name that is not UTF-8", [](Node& b) {
             column(b, 0).name = "\xFF";
             b.finish();
         }, "the name of column 0 is not valid UTF-8"},
        {"missing column schema", [](Node& b) { b.child_schemas[1] = nullptr; }, "the schema of column 1 is missing"},
    };
}

class BadBatch : public testing::TestWithParam<BadCase> {};

TEST_P(BadBatch, IsRefusedAndAddsNothing) {
    const BadCase& c = GetParam();
    const profiler::KarvoEngine engine(kKeys.values, kKeys.sketch);
    auto before = good_batch();
    BatchConverter(before->schema).observe(engine, before->array);
    const std::string report = engine.report();

    auto batch = good_batch();
    c.spoil(*batch);
    try {
        const BatchConverter converter(batch->schema);
        converter.observe(engine, batch->array);
        FAIL() << "accepted";
    } catch (const InvalidArray& error) {
        EXPECT_NE(std::string(error.what()).find(c.message), std::string::npos) << error.what();
    }
    EXPECT_EQ(engine.report(), report);
}

INSTANTIATE_TEST_SUITE_P(Malformed, BadBatch, testing::ValuesIn(bad_cases()),
                         [](const testing::TestParamInfo<BadCase>& info) {
                             std::string name;
                             for (const char ch : info.param.name) {
                                 name += std::isalnum(static_cast<unsigned char>(ch)) ? ch : '_';
                             }
                             return name;
                         });

// The formats of the interface, each known, and some near misses, each refused.
TEST(Formats, KnownAndUnknown) {
    for (const char* known : {"n", "b", "c", "C", "s", "S", "i", "I", "l", "L", "e", "f", "g", "z", "Z",
                              "vz", "u", "U", "vu", "d:19,10", "d:38,-2,128", "d:76,0,256", "d:9,2,32",
                              "w:16", "tdD", "tdm", "tts", "ttm", "ttu", "ttn", "tss:", "tsn:Europe/Oslo",
                              "tDs", "tDn", "tiM", "tiD", "tin", "+l", "+L", "+vl", "+vL", "+w:3", "+s",
                              "+m", "+ud:0,1", "+us:3", "+r"}) {
        EXPECT_TRUE(parse_format(known).has_value()) << known;
    }
    for (const char* unknown : {"", "x", "ll", "d:", "d:19", "d:0,1", "d:5,2,100", "d:a,b", "w:", "w:0",
                                "w:-1", "tdX", "ts", "tsx:", "+", "+x", "+w:", "+ud:", "+us:1,,2",
                                "+us:200", "vx", "+s "}) {
        EXPECT_FALSE(parse_format(unknown).has_value()) << unknown;
    }
}

}  // namespace
}  // namespace arrow_input
