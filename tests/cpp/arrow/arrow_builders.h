// Arrow arrays built by hand for the tests, through the C structs themselves: a Node owns
// an array's schema, its array, its buffers and its children, and fills the structs'
// pointers when finished, so that a test can then break any field of them.
#pragma once

#include <cstdint>
#include <cstring>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "arrow/c_abi.h"

namespace arrow_test {

using Bytes = std::vector<unsigned char>;

struct Node {
    std::string format;
    std::string name;
    std::int64_t length = 0;
    std::int64_t offset = 0;
    std::int64_t null_count = 0;
    std::vector<std::optional<Bytes>> buffers;  // nullopt: a null buffer pointer
    std::vector<std::unique_ptr<Node>> children;
    std::unique_ptr<Node> dictionary;

    ArrowSchema schema{};
    ArrowArray array{};
    std::vector<const void*> buffer_pointers;
    std::vector<ArrowSchema*> child_schemas;
    std::vector<ArrowArray*> child_arrays;

    // Points the structs at the storage (children first); call again after a change.
    Node& finish() {
        buffer_pointers.clear();
        for (auto& b : buffers) {
            buffer_pointers.push_back(b ? static_cast<const void*>(b->data()) : nullptr);
        }
        child_schemas.clear();
        child_arrays.clear();
        for (auto& c : children) {
            c->finish();
            child_schemas.push_back(&c->schema);
            child_arrays.push_back(&c->array);
        }
        if (dictionary) {
            dictionary->finish();
        }
        schema = ArrowSchema{format.c_str(), name.c_str(), nullptr, ARROW_FLAG_NULLABLE,
                             static_cast<std::int64_t>(children.size()),
                             child_schemas.data(), dictionary ? &dictionary->schema : nullptr,
                             &release_schema, nullptr};
        array = ArrowArray{length, null_count, offset, static_cast<std::int64_t>(buffers.size()),
                           static_cast<std::int64_t>(children.size()), buffer_pointers.data(),
                           child_arrays.data(), dictionary ? &dictionary->array : nullptr,
                           &release_array, nullptr};
        return *this;
    }

    static void release_schema(ArrowSchema* s) { s->release = nullptr; }
    static void release_array(ArrowArray* a) { a->release = nullptr; }
};

template <class T>
Bytes bytes_of(const std::vector<T>& values) {
    Bytes out(values.size() * sizeof(T) + 8);  // a little slack, as allocators give
    if (!values.empty()) {
        std::memcpy(out.data(), values.data(), values.size() * sizeof(T));
    }
    return out;
}

// A validity bitmap of `valid`, and the number of nulls.
inline std::optional<Bytes> bitmap(const std::vector<bool>& valid, std::int64_t& nulls) {
    nulls = 0;
    Bytes out(valid.size() / 8 + 2, 0);
    for (std::size_t i = 0; i < valid.size(); ++i) {
        if (valid[i]) {
            out[i / 8] |= static_cast<unsigned char>(1u << (i % 8));
        } else {
            ++nulls;
        }
    }
    if (nulls == 0) {
        return std::nullopt;
    }
    return out;
}

template <class T>
std::unique_ptr<Node> fixed(std::string format, std::string name,
                            const std::vector<std::optional<T>>& values) {
    auto node = std::make_unique<Node>();
    node->format = std::move(format);
    node->name = std::move(name);
    node->length = static_cast<std::int64_t>(values.size());
    std::vector<T> data;
    std::vector<bool> valid;
    for (const auto& v : values) {
        data.push_back(v.value_or(T{}));
        valid.push_back(v.has_value());
    }
    node->buffers.push_back(bitmap(valid, node->null_count));
    node->buffers.push_back(bytes_of(data));
    return node;
}

inline std::unique_ptr<Node> bools(std::string name, const std::vector<std::optional<bool>>& values) {
    auto node = std::make_unique<Node>();
    node->format = "b";
    node->name = std::move(name);
    node->length = static_cast<std::int64_t>(values.size());
    std::vector<bool> valid, bits;
    for (const auto& v : values) {
        valid.push_back(v.has_value());
        bits.push_back(v.value_or(false));
    }
    node->buffers.push_back(bitmap(valid, node->null_count));
    std::int64_t unused = 0;
    auto data = bitmap(bits, unused);
    node->buffers.push_back(data ? *data : Bytes(values.size() / 8 + 2, 0xFF));
    return node;
}

template <class Offset = std::int32_t>
std::unique_ptr<Node> strings(std::string name, const std::vector<std::optional<std::string>>& values,
                              std::string format = sizeof(Offset) == 4 ? "u" : "U") {
    auto node = std::make_unique<Node>();
    node->format = std::move(format);
    node->name = std::move(name);
    node->length = static_cast<std::int64_t>(values.size());
    std::vector<Offset> offsets{0};
    std::string data;
    std::vector<bool> valid;
    for (const auto& v : values) {
        valid.push_back(v.has_value());
        data += v.value_or("");
        offsets.push_back(static_cast<Offset>(data.size()));
    }
    node->buffers.push_back(bitmap(valid, node->null_count));
    node->buffers.push_back(bytes_of(offsets));
    node->buffers.push_back(Bytes(data.begin(), data.end()));
    return node;
}

// A utf8_view ("vu") or binary_view ("vz") array: texts up to 12 bytes inline, longer
// ones in one variadic buffer.
inline std::unique_ptr<Node> views(std::string name, const std::vector<std::optional<std::string>>& values,
                                   std::string format = "vu") {
    auto node = std::make_unique<Node>();
    node->format = std::move(format);
    node->name = std::move(name);
    node->length = static_cast<std::int64_t>(values.size());
    Bytes items(16 * values.size() + 8, 0);
    std::string data;
    std::vector<bool> valid;
    for (std::size_t i = 0; i < values.size(); ++i) {
        valid.push_back(values[i].has_value());
        const std::string text = values[i].value_or("");
        const auto size = static_cast<std::int32_t>(text.size());
        unsigned char* view = items.data() + 16 * i;
        std::memcpy(view, &size, 4);
        if (size <= 12) {
            std::memcpy(view + 4, text.data(), text.size());
        } else {
            std::memcpy(view + 4, text.data(), 4);
            const std::int32_t buffer = 0;
            const auto offset = static_cast<std::int32_t>(data.size());
            std::memcpy(view + 8, &buffer, 4);
            std::memcpy(view + 12, &offset, 4);
            data += text;
        }
    }
    node->buffers.push_back(bitmap(valid, node->null_count));
    node->buffers.push_back(items);
    node->buffers.push_back(Bytes(data.begin(), data.end()));
    node->buffers.push_back(bytes_of(std::vector<std::int64_t>{static_cast<std::int64_t>(data.size())}));
    return node;
}

// A dictionary-encoded column: int32 indices into `dictionary`.
inline std::unique_ptr<Node> encoded(std::string name, const std::vector<std::optional<std::int32_t>>& indices,
                                     std::unique_ptr<Node> dictionary) {
    auto node = fixed<std::int32_t>("i", std::move(name), indices);
    node->dictionary = std::move(dictionary);
    return node;
}

// A record batch: a struct of the columns, `length` rows.
inline std::unique_ptr<Node> batch(std::vector<std::unique_ptr<Node>> columns) {
    auto node = std::make_unique<Node>();
    node->format = "+s";
    node->length = columns.empty() ? 0 : columns.front()->length;
    node->buffers.push_back(std::nullopt);
    node->children = std::move(columns);
    node->finish();
    return node;
}

template <class... Columns>
std::unique_ptr<Node> batch_of(Columns... columns) {
    std::vector<std::unique_ptr<Node>> list;
    (list.push_back(std::move(columns)), ...);
    return batch(std::move(list));
}

}  // namespace arrow_test
