#include "profiler/name_hash.h"

#include <atomic>
#include <cstdint>

#include "hash/key_state.h"

namespace profiler {

NameHash NameHash::fresh() {
    static const hash::SipKey secret = hash::KeyState::from_os().draw();
    static std::atomic<std::uint64_t> count{0};
    const std::uint64_t n = count.fetch_add(1, std::memory_order_relaxed);
    return NameHash{
        hash::SipKey{hash::siphash13(secret, 2 * n), hash::siphash13(secret, 2 * n + 1)}};
}

}  // namespace profiler
