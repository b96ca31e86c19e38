#include "sketch/sketch_codec.h"

#include <vector>

#include "sketch/hash_position.h"

namespace sketch {

namespace {

using common::format_error;

constexpr std::size_t kPackedRegisterBytes = kRegisterCount * 6 / 8;  // 12288
constexpr std::uint32_t kMaxRank = 51;

void write_registers(common::ByteWriter& w, const RegistersPlus& registers) {
    // Four 6-bit registers make three bytes.
    for (std::size_t i = 0; i < kRegisterCount; i += 4) {
        std::uint32_t group = 0;
        for (std::size_t j = 0; j < 4; ++j) {
            group |= registers.get(i + j) << (6 * j);
        }
        w.fixed(group, 3);
    }
}

// Whether code is the sparse code of some hash (sparse_code): without rank, an even
// number below 2^26 whose 11 bits below the register index are not all zero; with rank,
// an odd number whose rank lies in 1..40 and whose same 11 bits are zero.
bool valid_code(std::uint32_t code) {
    constexpr std::uint32_t kBetween = 0x7FF;
    if ((code & 1u) == 0) {
        return code < (1u << 26) && ((code >> 1) & kBetween) != 0;
    }
    const std::uint32_t rho = (code >> 1) & 63u;
    return rho >= 1 && rho <= 40 && ((code >> 7) & kBetween) == 0;
}

DifIntVec read_sparse(common::ByteReader& r, const std::string& label) {
    const std::uint64_t length = r.varint("sparse list length");
    if (length > kDenseSizeLimit) {
        format_error(label + ": sparse list of " + std::to_string(length) + " bytes exceeds " +
                     std::to_string(kDenseSizeLimit));
    }
    const std::span<const std::uint8_t> bytes = r.take(length, "sparse list");
    DifIntVec list = DifIntVec::with_capacity(bytes.size());
    std::size_t i = 0;
    std::uint64_t total = 0;
    while (i < bytes.size()) {
        std::uint64_t difference = 0;
        unsigned shift = 0;
        std::uint8_t byte;
        do {
            if (i == bytes.size() || shift > 28) {
                format_error(label + ": sparse list ends inside a code or holds an overlong one");
            }
            byte = bytes[i++];
            difference |= static_cast<std::uint64_t>(byte & 0x7f) << shift;
            shift += 7;
        } while (byte & 0x80);
        if (difference == 0 || total + difference > UINT32_MAX) {
            format_error(label + ": sparse codes are not strictly ascending 32-bit numbers");
        }
        total += difference;
        if (!valid_code(static_cast<std::uint32_t>(total))) {
            format_error(label + ": invalid sparse code " + std::to_string(total));
        }
        list.push(static_cast<std::uint32_t>(total));
    }
    if (list.bytes().size() != bytes.size()) {
        format_error(label + ": sparse list has a difference not in its shortest form");
    }
    return list;
}

RegistersPlus read_registers(common::ByteReader& r, const std::string& label) {
    const std::span<const std::uint8_t> bytes = r.take(kPackedRegisterBytes, "registers");
    std::vector<std::uint32_t> words(kRegisterWords, 0);
    for (std::size_t i = 0; i < kRegisterCount; i += 4) {
        const std::size_t at = i / 4 * 3;
        const std::uint32_t group = bytes[at] | (bytes[at + 1] << 8) | (bytes[at + 2] << 16);
        for (std::size_t j = 0; j < 4; ++j) {
            const std::uint32_t rank = (group >> (6 * j)) & 63u;
            if (rank > kMaxRank) {
                format_error(label + ": register " + std::to_string(i + j) + " holds " +
                             std::to_string(rank) + ", more than 51");
            }
            words[(i + j) / 5] |= rank << (6 * ((i + j) % 5));
        }
    }
    return RegistersPlus::from_words(std::move(words));
}

}  // namespace

std::size_t stored_size(const SketchState& state) {
    return is_dense(state) ? kPackedRegisterBytes : state.sparse.bytes().size() + 10;
}

void write_sketch(common::ByteWriter& w, const SketchState& state) {
    if (is_dense(state)) {
        write_registers(w, *state.registers);
    } else {
        const std::vector<std::uint8_t>& list = state.sparse.bytes();
        w.varint(list.size());
        w.bytes(list.data(), list.size());
    }
}

SketchState read_sketch(common::ByteReader& r, bool dense, const std::string& label) {
    SketchState state;
    if (dense) {
        state.registers = read_registers(r, label);
    } else {
        state.sparse = read_sparse(r, label);
    }
    return state;
}

std::uint64_t entry_count(const SketchState& state) {
    return is_dense(state) ? state.registers->register_count() - state.registers->zero_count()
                           : state.sparse.entry_count();
}

}  // namespace sketch
