#!/usr/bin/env bash
# Builds karvo's extension module with AddressSanitizer + UndefinedBehaviorSanitizer and
# runs the whole Python suite (tests/python) against that build:
#
#   tests/sanitize/run_python_asan.sh [extra pytest arguments]
#
# The interpreter itself is not instrumented, so the sanitizer runtime is preloaded into
# it (LD_PRELOAD; libasan must come first, and libstdc++ must be loaded before ASan starts
# so that it can intercept C++ throws). Python objects are allocated with plain malloc
# (PYTHONMALLOC=malloc) so that ASan sees them too. LeakSanitizer runs when the interpreter
# exits; lsan.supp beside this script suppresses only the interpreter's own start-up and
# shut-down allocations, so a block that karvo allocates and never frees is reported.
# Any ASan, UBSan or LSan report, or a failing test, makes the script exit non-zero.
#
# Needs g++ with its sanitizer runtimes (Debian: g++, which brings libasan8 and libubsan1),
# CMake >= 3.26, Ninja, the interpreter's development files and pytest. The build goes to
# build/asan-module/ and is reused by later runs.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
root=$(cd "$here/../.." && pwd)
build="$root/build/asan-module"
jobs=${KARVO_JOBS:-$(nproc 2>/dev/null || echo 2)}

# The interpreter's real executable: `python3` may be a wrapper script (pyenv), and the
# preloaded runtime must go into the interpreter, not into a shell.
py=$(python3 -c 'import sys; print(sys.executable)')

runtime() {
    local path
    path=$(g++ -print-file-name="$1")
    if [ ! -e "$path" ] || [ "$path" = "$1" ]; then
        echo "run_python_asan: g++ has no $1 (Debian: apt-get install g++)" >&2
        exit 2
    fi
    readlink -f "$path"
}
asan=$(runtime libasan.so)
ubsan=$(runtime libubsan.so)
stdcxx=$(runtime libstdc++.so)

echo "run_python_asan: building $build"
cmake -S "$root" -B "$build" -G Ninja -DKARVO_BUILD_MODULE=ON -DKARVO_BUILD_TESTS=OFF \
    -DKARVO_SANITIZE=address -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DPython_EXECUTABLE="$py" >/dev/null
cmake --build "$build" -j "$jobs"

export LD_PRELOAD="$asan:$ubsan:$stdcxx${LD_PRELOAD:+:$LD_PRELOAD}"
export PYTHONPATH="$build${PYTHONPATH:+:$PYTHONPATH}"
export PYTHONMALLOC=malloc
export ASAN_OPTIONS="detect_leaks=1:halt_on_error=1:abort_on_error=0:strict_init_order=1:check_initialization_order=1${ASAN_OPTIONS:+:$ASAN_OPTIONS}"
export LSAN_OPTIONS="suppressions=$here/lsan.supp:print_suppressions=0${LSAN_OPTIONS:+:$LSAN_OPTIONS}"
export UBSAN_OPTIONS="halt_on_error=1:print_stacktrace=1${UBSAN_OPTIONS:+:$UBSAN_OPTIONS}"

# The sanitized build must be the karvo that the suite imports, not an installed one.
imported=$(cd "$root" && "$py" -c '
import karvo
maps = open("/proc/self/maps").read()
print(karvo.__file__ if "libasan" in maps else "no ASan runtime in the interpreter")')
case "$imported" in
    "$build"/karvo*.so) echo "run_python_asan: testing $imported" ;;
    *)
        echo "run_python_asan: expected the module from $build, imported: $imported" >&2
        exit 2
        ;;
esac

cd "$root"
start=$SECONDS
status=0
"$py" -m pytest -q -p no:cacheprovider tests/python "$@" || status=$?
echo "run_python_asan: pytest under ASan+UBSan exited $status after $((SECONDS - start)) s"
exit "$status"
