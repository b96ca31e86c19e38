"""Whether this interpreter runs under a sanitizer's runtime (tests/sanitize preloads it)."""


def under_asan() -> bool:
    with open("/proc/self/maps") as maps:
        return "libasan" in maps.read()


UNDER_ASAN = under_asan()

# GCC 12's AddressSanitizer takes no lock of its own allocator around fork(), so a child
# forked while another thread is inside malloc can wait forever on that lock: a hang of
# the checker's, not of karvo's locks, which the plain run of the same test covers.
FORK_WITH_THREADS_HANGS = UNDER_ASAN

# A child process that imports pyarrow under the sanitizer's runtime exits with pyarrow's
# own never-freed allocations reported by LeakSanitizer. The native Arrow reader those
# commands drive runs sanitized in the C++ suites and in its fuzz harness.
PYARROW_CHILD_REASON = "pyarrow's own allocations at exit are reported by LeakSanitizer"
