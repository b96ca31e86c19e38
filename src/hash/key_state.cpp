#include "hash/key_state.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstddef>
#include <cstdlib>

#include "hash/load_le.h"

#if __has_include(<sys/random.h>)
#include <sys/random.h>
#define KARVO_HAVE_GETRANDOM 1
#endif

namespace hash {
namespace {

#ifdef KARVO_HAVE_GETRANDOM
// Fills the seed with getrandom; false if the call is missing from the kernel or fails.
bool fill_from_getrandom(std::array<std::uint8_t, 16>& seed) {
    std::size_t filled = 0;
    while (filled < seed.size()) {
        ssize_t got = getrandom(seed.data() + filled, seed.size() - filled, 0);
        if (got < 0) {
            if (errno == EINTR) {
                continue;
            }
            return false;
        }
        filled += static_cast<std::size_t>(got);
    }
    return true;
}
#else
bool fill_from_getrandom(std::array<std::uint8_t, 16>&) {
    return false;
}
#endif

// Fills the seed from /dev/urandom; false if the device cannot be opened or read in full.
bool fill_from_urandom(std::array<std::uint8_t, 16>& seed) {
    int fd = ::open("/dev/urandom", O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        return false;
    }
    std::size_t filled = 0;
    bool ok = true;
    while (filled < seed.size()) {
        ssize_t got = ::read(fd, seed.data() + filled, seed.size() - filled);
        if (got < 0 && errno == EINTR) {
            continue;
        }
        if (got <= 0) {
            ok = false;
            break;
        }
        filled += static_cast<std::size_t>(got);
    }
    ::close(fd);
    return ok;
}

}  // namespace

KeyState KeyState::from_seed(const std::array<std::uint8_t, 16>& seed) {
    return KeyState(SipKey{load_le64(seed.data()), load_le64(seed.data() + 8)});
}

KeyState KeyState::from_os() {
    std::array<std::uint8_t, 16> seed{};
    if (!fill_from_getrandom(seed) && !fill_from_urandom(seed)) {
        // Predictable keys would let crafted input skew every estimate; refuse to run.
        std::abort();
    }
    return from_seed(seed);
}

SipKey draw_key() {
    thread_local KeyState state = KeyState::from_os();
    return state.draw();
}

}  // namespace hash
