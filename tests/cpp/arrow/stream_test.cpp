// Streams: batches read in order until the end, a producer's failure reported with its
// own message, and every struct the stream hands out released.
#include <gtest/gtest.h>

#include <cerrno>
#include <string>
#include <vector>

#include "arrow/batch_reader.h"
#include "arrow/validate.h"
#include "arrow_builders.h"
#include "profiler/engine.h"
#include "profiler/seed_keys.h"

namespace arrow_input {
namespace {

using arrow_test::Node;

const profiler::SeedKeys kKeys = profiler::keys_from_seed(9);

// A stream over prepared batches; fails at batch `fail_at` (or its schema at -1).
struct FakeStream {
    std::vector<std::unique_ptr<Node>> batches;
    int fail_at = 1000;
    std::size_t next = 0;
    int schemas_out = 0;
    int arrays_out = 0;
    std::string error = "the producer broke";

    static FakeStream& of(ArrowArrayStream* s) { return *static_cast<FakeStream*>(s->private_data); }

    ArrowArrayStream stream() {
        ArrowArrayStream s{};
        s.get_schema = [](ArrowArrayStream* s, ArrowSchema* out) -> int {
            FakeStream& self = of(s);
            if (self.fail_at == -1) {
                return EIO;
            }
            *out = self.batches.front()->schema;
            out->private_data = &self;
            out->release = [](ArrowSchema* x) {
                --static_cast<FakeStream*>(x->private_data)->schemas_out;
                x->release = nullptr;
            };
            ++self.schemas_out;
            return 0;
        };
        s.get_next = [](ArrowArrayStream* s, ArrowArray* out) -> int {
            FakeStream& self = of(s);
            if (static_cast<int>(self.next) == self.fail_at) {
                return EINVAL;
            }
            if (self.next == self.batches.size()) {
                out->release = nullptr;
                return 0;
            }
            *out = self.batches[self.next++]->array;
            out->private_data = &self;
            out->release = [](ArrowArray* x) {
                --static_cast<FakeStream*>(x->private_data)->arrays_out;
                x->release = nullptr;
            };
            ++self.arrays_out;
            return 0;
        };
        s.get_last_error = [](ArrowArrayStream* s) -> const char* {
            return of(s).error.empty() ? nullptr : of(s).error.c_str();
        };
        s.release = [](ArrowArrayStream* x) { x->release = nullptr; };
        s.private_data = this;
        return s;
    }
};

std::unique_ptr<Node> numbers(std::vector<std::optional<std::int64_t>> values) {
    return arrow_test::batch_of(arrow_test::fixed<std::int64_t>("l", "n", values));
}

TEST(Stream, ReadsEveryBatchInOrderAndReleasesThem) {
    FakeStream fake;
    fake.batches.push_back(numbers({1, 2}));
    fake.batches.push_back(numbers({}));
    fake.batches.push_back(numbers({std::nullopt, 7}));
    ArrowArrayStream stream = fake.stream();
    const profiler::KarvoEngine engine(kKeys.values, kKeys.sketch);
    std::uint64_t rows = 0;
    {
        StreamReader reader(stream);
        while (const auto got = reader.next(engine)) {
            rows += *got;
        }
    }
    EXPECT_EQ(rows, 4u);
    EXPECT_EQ(fake.schemas_out, 0);
    EXPECT_EQ(fake.arrays_out, 0);
    const profiler::KarvoEngine whole(kKeys.values, kKeys.sketch);
    auto one = numbers({1, 2, std::nullopt, 7});
    BatchConverter(one->schema).observe(whole, one->array);
    EXPECT_EQ(engine.report(), whole.report());
}

TEST(Stream, AFailureCarriesTheProducersMessage) {
    FakeStream fake;
    fake.batches.push_back(numbers({1}));
    fake.batches.push_back(numbers({2}));
    fake.fail_at = 1;
    ArrowArrayStream stream = fake.stream();
    const profiler::KarvoEngine engine(kKeys.values, kKeys.sketch);
    StreamReader reader(stream);
    ASSERT_TRUE(reader.next(engine).has_value());
    try {
        reader.next(engine);
        FAIL() << "no failure";
    } catch (const StreamError& error) {
        EXPECT_STREQ(error.what(), "the producer broke");
    }
    EXPECT_EQ(fake.arrays_out, 0);
}

TEST(Stream, AFailureWithoutAMessageGivesTheErrorNumber) {
    FakeStream fake;
    fake.batches.push_back(numbers({1}));
    fake.fail_at = -1;
    fake.error.clear();
    ArrowArrayStream stream = fake.stream();
    try {
        StreamReader reader(stream);
        FAIL() << "no failure";
    } catch (const StreamError& error) {
        EXPECT_NE(std::string(error.what()).find("giving its schema"), std::string::npos) << error.what();
        EXPECT_NE(std::string(error.what()).find(std::to_string(EIO)), std::string::npos) << error.what();
    }
}

TEST(Stream, AnInvalidBatchIsReleasedToo) {
    FakeStream fake;
    fake.batches.push_back(numbers({1, 2}));
    fake.batches[0]->children[0]->array.length = -1;
    ArrowArrayStream stream = fake.stream();
    const profiler::KarvoEngine engine(kKeys.values, kKeys.sketch);
    {
        StreamReader reader(stream);
        EXPECT_THROW(reader.next(engine), InvalidArray);
    }
    EXPECT_EQ(fake.arrays_out, 0);
    EXPECT_EQ(fake.schemas_out, 0);
    EXPECT_EQ(engine.report(), "{}");
}

}  // namespace
}  // namespace arrow_input
