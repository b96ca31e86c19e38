// Fuzzes the validator and the converter of Arrow record batches.
//
// The harness plays an honest producer about sizes and a careless one about contents:
// every buffer is as long as the batch's declared offset and length imply (that is all a
// consumer can rely on, since the C interface passes no sizes), and everything inside
// them comes from the input: offsets, dictionary indices, views, validity bits, the null
// count, the format of the column and its offsets and lengths. A text column's data
// buffer is as long as its largest offset says (inputs claiming more than a few KiB are
// skipped), and a view array's variadic buffer sizes are the true ones.
//
// Whatever the input, the batch must either be refused with InvalidArray, leaving the
// engine empty, or be read; AddressSanitizer catches any read past a buffer.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "arrow/batch_reader.h"
#include "arrow/validate.h"
#include "profiler/engine.h"
#include "profiler/seed_keys.h"

namespace {

constexpr std::int64_t kMaxItems = 64;
constexpr std::int64_t kMaxData = 4096;

// The input, read front to back; zeros once it runs out.
class Input {
  public:
    Input(const std::uint8_t* data, std::size_t size) : data_(data), size_(size) {}
    std::uint8_t byte() { return at_ < size_ ? data_[at_++] : 0; }
    std::int64_t small(std::int64_t limit) {  // in [-2, limit]: a few out-of-range values
        return static_cast<std::int64_t>(byte() % (limit + 3)) - 2;
    }
    void fill(std::vector<std::uint8_t>& out) {
        for (auto& b : out) {
            b = byte();
        }
    }

  private:
    const std::uint8_t* data_;
    std::size_t size_;
    std::size_t at_ = 0;
};

struct Column {
    std::string format;
    std::vector<std::vector<std::uint8_t>> buffers;
    std::vector<const void*> pointers;
    ArrowSchema schema{};
    ArrowArray array{};
    std::unique_ptr<Column> dictionary;
    std::vector<ArrowSchema*> child_schemas;
    std::vector<ArrowArray*> child_arrays;
    std::vector<std::unique_ptr<Column>> children;
};

void no_release_schema(ArrowSchema* s) { s->release = nullptr; }
void no_release_array(ArrowArray* a) { a->release = nullptr; }

void wire(Column& c, std::int64_t length, std::int64_t offset, std::int64_t null_count) {
    c.pointers.clear();
    for (auto& b : c.buffers) {
        c.pointers.push_back(b.empty() ? nullptr : b.data());
    }
    c.child_schemas.clear();
    c.child_arrays.clear();
    for (auto& child : c.children) {
        c.child_schemas.push_back(&child->schema);
        c.child_arrays.push_back(&child->array);
    }
    const auto children = static_cast<std::int64_t>(c.children.size());
    c.schema = ArrowSchema{c.format.c_str(), "c", nullptr, 0, children, c.child_schemas.data(),
                           c.dictionary ? &c.dictionary->schema : nullptr, no_release_schema, nullptr};
    c.array = ArrowArray{length, null_count, offset, static_cast<std::int64_t>(c.buffers.size()), children,
                         c.pointers.data(), c.child_arrays.data(),
                         c.dictionary ? &c.dictionary->array : nullptr, no_release_array, nullptr};
}

std::vector<std::uint8_t> sized(Input& in, std::int64_t bytes) {
    std::vector<std::uint8_t> out(static_cast<std::size_t>(bytes));
    in.fill(out);
    return out;
}

// Offsets from the input, and a data buffer as long as the largest of them.
template <class Offset>
bool offsets_and_data(Input& in, Column& c, std::int64_t items) {
    auto offsets = sized(in, (items + 1) * static_cast<std::int64_t>(sizeof(Offset)));
    std::int64_t largest = 0;
    for (std::int64_t i = 0; i <= items; ++i) {
        Offset o;
        std::memcpy(&o, offsets.data() + i * sizeof(Offset), sizeof o);
        // Small offsets mostly, so that the data fits; the sign and order stay the input's.
        o = static_cast<Offset>(o % 256);
        std::memcpy(offsets.data() + i * sizeof(Offset), &o, sizeof o);
        largest = std::max<std::int64_t>(largest, o);
    }
    if (largest > kMaxData) {
        return false;
    }
    c.buffers.push_back(std::move(offsets));
    c.buffers.push_back(sized(in, largest + 1));
    return true;
}

bool build(Input& in, Column& c, std::int64_t length, std::int64_t offset, int depth) {
    const std::int64_t items = offset + length;
    const std::int64_t null_count = in.small(length);
    c.buffers.push_back(in.byte() % 4 == 0 ? std::vector<std::uint8_t>{} : sized(in, items / 8 + 1));
    switch (in.byte() % 11) {
        case 0:
            c.format = "u";
            if (!offsets_and_data<std::int32_t>(in, c, items)) return false;
            break;
        case 1:
            c.format = "U";
            if (!offsets_and_data<std::int64_t>(in, c, items)) return false;
            break;
        case 2: {
            c.format = "vu";
            c.buffers.push_back(sized(in, 16 * items));
            const std::int64_t variadic = in.byte() % 3;
            std::vector<std::int64_t> sizes;
            for (std::int64_t b = 0; b < variadic; ++b) {
                sizes.push_back(in.byte());
                c.buffers.push_back(sized(in, sizes.back() + 1));
            }
            std::vector<std::uint8_t> size_bytes(8 * sizes.size() + 1);
            if (!sizes.empty()) {
                std::memcpy(size_bytes.data(), sizes.data(), 8 * sizes.size());
            }
            c.buffers.push_back(size_bytes);
            break;
        }
        case 3: {
            if (depth > 2) return false;
            c.format = in.byte() % 2 ? "c" : "l";
            c.buffers.push_back(sized(in, items * (c.format == "c" ? 1 : 8)));
            c.dictionary = std::make_unique<Column>();
            const std::int64_t size = in.byte() % 8;
            if (!build(in, *c.dictionary, size, 0, depth + 1)) return false;
            break;
        }
        case 4:
            c.format = "l";
            c.buffers.push_back(sized(in, 8 * items));
            break;
        case 5:
            c.format = "b";
            c.buffers.push_back(sized(in, items / 8 + 1));
            break;
        case 6:
            c.format = in.byte() % 2 ? "d:20,3" : "d:60,-2,256";
            c.buffers.push_back(sized(in, items * (c.format == "d:20,3" ? 16 : 32)));
            break;
        case 7: {
            if (depth > 2) return false;
            c.format = "+l";
            auto offsets = sized(in, 4 * (items + 1));
            for (std::int64_t i = 0; i <= items; ++i) {
                offsets[static_cast<std::size_t>(4 * i + 1)] = 0;
                offsets[static_cast<std::size_t>(4 * i + 2)] = 0;
            }
            c.buffers.push_back(std::move(offsets));
            c.children.push_back(std::make_unique<Column>());
            if (!build(in, *c.children[0], in.byte() % kMaxItems, in.byte() % 4, depth + 1)) return false;
            break;
        }
        case 9: {
            // Run-end encoded: int32 run ends from the input, then any values.
            if (depth > 2) return false;
            c.format = "+r";
            c.buffers.clear();
            auto ends = std::make_unique<Column>();
            const std::int64_t runs = in.byte() % 8;
            ends->format = "i";
            ends->buffers.push_back({});
            ends->buffers.push_back(sized(in, 4 * runs));
            for (std::int64_t k = 0; k < runs; ++k) {
                ends->buffers[1][static_cast<std::size_t>(4 * k + 1)] = 0;
                ends->buffers[1][static_cast<std::size_t>(4 * k + 2)] = 0;
            }
            wire(*ends, runs, 0, 0);
            c.children.push_back(std::move(ends));
            c.children.push_back(std::make_unique<Column>());
            if (!build(in, *c.children[1], in.byte() % 8, 0, depth + 1)) return false;
            break;
        }
        case 10: {
            // A union of two children; dense offsets and type ids from the input.
            if (depth > 2) return false;
            const bool dense = in.byte() % 2 == 0;
            c.format = dense ? "+ud:3,7" : "+us:3,7";
            c.buffers.clear();
            c.buffers.push_back(sized(in, items));
            if (dense) {
                auto offsets = sized(in, 4 * items);
                for (std::int64_t i = 0; i < items; ++i) {
                    offsets[static_cast<std::size_t>(4 * i + 1)] = 0;
                    offsets[static_cast<std::size_t>(4 * i + 2)] = 0;
                }
                c.buffers.push_back(std::move(offsets));
            }
            for (int k = 0; k < 2; ++k) {
                c.children.push_back(std::make_unique<Column>());
                const std::int64_t size = dense ? in.byte() % 16 : items;
                if (!build(in, *c.children.back(), size, 0, depth + 1)) return false;
            }
            break;
        }
        default:
            c.format = in.byte() % 2 ? "e" : "g";
            c.buffers.push_back(sized(in, items * (c.format == "e" ? 2 : 8)));
            break;
    }
    // Sometimes a format or a buffer count that does not fit the buffers given.
    if (in.byte() == 0xFF) {
        c.format = "x";
    }
    wire(c, length, offset, null_count);
    return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    Input in(data, size);
    const std::int64_t length = in.byte() % kMaxItems;
    const std::int64_t offset = in.byte() % 8;
    Column column;
    if (!build(in, column, length + offset, 0, 0)) {
        return 0;
    }
    // The batch may declare more rows or a later start than the column has.
    const std::int64_t batch_length = length + (in.byte() == 0xFE ? 1 : 0);
    ArrowSchema* schemas[] = {&column.schema};
    ArrowArray* arrays[] = {&column.array};
    const void* top_buffers[] = {nullptr};
    ArrowSchema schema{"+s", "", nullptr, 0, 1, schemas, nullptr, no_release_schema, nullptr};
    ArrowArray batch{batch_length, 0, offset, 1, 1, top_buffers, arrays, nullptr, no_release_array, nullptr};

    static const profiler::SeedKeys keys = profiler::keys_from_seed(1);
    const profiler::KarvoEngine engine(keys.values, keys.sketch, keys.summary);
    try {
        const arrow_input::BatchConverter converter(schema);
        const std::uint64_t rows = converter.observe(engine, batch);
        if (rows != static_cast<std::uint64_t>(batch_length)) {
            std::fprintf(stderr, "arrow_batch_fuzz: wrong row count\n");
            std::abort();
        }
    } catch (const arrow_input::InvalidArray&) {
        if (engine.report() != "{}") {
            std::fprintf(stderr, "arrow_batch_fuzz: a refused batch changed the engine\n");
            std::abort();
        }
    }
    return 0;
}
