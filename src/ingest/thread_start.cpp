#include "ingest/thread_start.h"

#include <utility>

namespace ingest {

std::thread start_system_thread(std::function<void()> body) {
    return std::thread(std::move(body));
}

}  // namespace ingest
