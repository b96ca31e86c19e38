#include <sys/mman.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <new>

#include "profiler/column_batch.h"

namespace profiler {

namespace {

constexpr std::size_t kFirstHeapCapacity = 16;
// Lists of this many bytes and more are mapped; a power of two, and a whole number of
// pages, as every mapped capacity then is (capacities double from 16 keys).
constexpr std::size_t kMappedBytes = std::size_t{128} << 10;

bool is_mapped(std::size_t capacity) {
    return capacity * sizeof(std::uint64_t) >= kMappedBytes;
}

std::uint64_t* map_block(std::size_t capacity) {
    void* block = mmap(nullptr, capacity * sizeof(std::uint64_t), PROT_READ | PROT_WRITE,
                       MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (block == MAP_FAILED) {
        throw std::bad_alloc();
    }
    return static_cast<std::uint64_t*>(block);
}

// ThreadSanitizer does not follow mremap: pages it moves keep no record, and the range
// they leave keeps the record of the thread that wrote there, which a later mapping at
// that address then inherits, reported as a race with whoever writes it next. Its
// builds copy instead, which is what the sanitizer understands.
#if defined(__SANITIZE_THREAD__)
#define KARVO_KEY_LIST_REMAPS 0
#elif defined(__has_feature)
#if __has_feature(thread_sanitizer)
#define KARVO_KEY_LIST_REMAPS 0
#endif
#endif
#if !defined(KARVO_KEY_LIST_REMAPS) && defined(MREMAP_MAYMOVE)
#define KARVO_KEY_LIST_REMAPS 1
#endif

// A mapped block of `capacity` keys grown to `grown` keys, its keys kept; the old block
// is gone unless this throws.
std::uint64_t* remap_block(std::uint64_t* block, std::size_t capacity, std::size_t grown) {
#if KARVO_KEY_LIST_REMAPS
    void* moved = mremap(block, capacity * sizeof(std::uint64_t), grown * sizeof(std::uint64_t),
                         MREMAP_MAYMOVE);
    if (moved == MAP_FAILED) {
        throw std::bad_alloc();
    }
    return static_cast<std::uint64_t*>(moved);
#else
    std::uint64_t* moved = map_block(grown);
    std::memcpy(moved, block, capacity * sizeof(std::uint64_t));
    munmap(block, capacity * sizeof(std::uint64_t));
    return moved;
#endif
}

}  // namespace

void KeyList::grow() {
    const std::size_t size = this->size();
    const std::size_t capacity = std::max(kFirstHeapCapacity, 2 * this->capacity());
    std::uint64_t* grown = nullptr;
    if (is_mapped(capacity) && !in_place() && is_mapped(this->capacity())) {
        grown = remap_block(begin_, this->capacity(), capacity);
    } else {
        if (is_mapped(capacity)) {
            grown = map_block(capacity);
        } else {
            grown = static_cast<std::uint64_t*>(std::malloc(capacity * sizeof(std::uint64_t)));
            if (grown == nullptr) {
                throw std::bad_alloc();
            }
        }
        std::copy(begin_, end_, grown);
        release();
    }
    begin_ = grown;
    end_ = grown + size;
    limit_ = grown + capacity;
}

void KeyList::free_block(std::uint64_t* block, std::size_t capacity) noexcept {
    if (is_mapped(capacity)) {
        munmap(block, capacity * sizeof(std::uint64_t));
    } else {
        std::free(block);
    }
}

}  // namespace profiler
