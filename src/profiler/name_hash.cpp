#include "profiler/name_hash.h"

#include <atomic>
#include <cstdint>

#include "sketch/key_state.h"

namespace profiler {

NameHash NameHash::fresh() {
    static const sketch::SipKey secret = sketch::KeyState::from_os().draw();
    static std::atomic<std::uint64_t> count{0};
    const std::uint64_t n = count.fetch_add(1, std::memory_order_relaxed);
    return NameHash{
        sketch::SipKey{sketch::siphash13(secret, 2 * n), sketch::siphash13(secret, 2 * n + 1)}};
}

}  // namespace profiler
