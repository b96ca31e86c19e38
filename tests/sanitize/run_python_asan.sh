#!/usr/bin/env bash
# Builds karvo's extension module with AddressSanitizer + UndefinedBehaviorSanitizer and
# runs the whole Python suite (tests/python) against that build:
#
#   tests/sanitize/run_python_asan.sh [extra pytest arguments]
#
# Then, when atheris is installed, the API fuzzer (tests/fuzz/atheris_api_fuzz.py) runs
# against the same build for KARVO_ASAN_FUZZ_SECONDS seconds (default 30; 0 skips it), so
# that its hostile hooks and rows meet the sanitizers too. atheris cannot see coverage in
# this setup (the gcc runtime provides the coverage symbols), so this part is plain random
# inputs; the coverage-guided runs are tests/fuzz/run_atheris.sh against a normal build.
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
# build/asan-module/ and is reused by later runs; KARVO_ASAN_BUILD names another tree, such
# as the ASan+UBSan tree of the C++ suites (tests/run_all.sh), whose engine objects the
# modules then share.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
root=$(cd "$here/../.." && pwd)
build=${KARVO_ASAN_BUILD:-$root/build/asan-module}
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
# A new tree builds no C++ tests; a tree that has them keeps them.
no_tests=()
[ -f "$build/CMakeCache.txt" ] || no_tests=(-DKARVO_BUILD_TESTS=OFF)
cmake -S "$root" -B "$build" -G Ninja -DKARVO_BUILD_MODULE=ON "${no_tests[@]}" \
    -DKARVO_SANITIZE=address -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DPython_EXECUTABLE="$py" >/dev/null
cmake --build "$build" -j "$jobs" --target karvo karvo_dist_native

# Only the interpreter runs with the sanitizer runtime: exported, it would also go into
# every tool this script starts (mktemp, grep), whose own leaks LeakSanitizer reports.
san_env=(
    LD_PRELOAD="$asan:$ubsan:$stdcxx${LD_PRELOAD:+:$LD_PRELOAD}"
    PYTHONPATH="$build${PYTHONPATH:+:$PYTHONPATH}"
    PYTHONMALLOC=malloc
    ASAN_OPTIONS="detect_leaks=1:halt_on_error=1:abort_on_error=0:strict_init_order=1:check_initialization_order=1${ASAN_OPTIONS:+:$ASAN_OPTIONS}"
    LSAN_OPTIONS="suppressions=$here/lsan.supp:print_suppressions=0${LSAN_OPTIONS:+:$LSAN_OPTIONS}"
    UBSAN_OPTIONS="halt_on_error=1:print_stacktrace=1${UBSAN_OPTIONS:+:$UBSAN_OPTIONS}"
)
sanitized() { env "${san_env[@]}" "$@"; }

# The sanitized build must be the karvo that the suite imports, not an installed one.
imported=$(cd "$root" && sanitized "$py" -c '
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
# The Dask and Spark tests (Dask's files read in byte ranges included) are left to the
# plain run: their workers and the JVM are other processes, which the preloaded runtime
# would enter too (a JVM under it stalls), and the profile operations they drive (merge,
# the stored form, the JSON Lines reader) run sanitized in the other tests; importing Dask
# also imports numpy (below). The README's snippets (which start Dask and Spark too) and
# the stub check (mypy, another program) are left to it for the same reason: they test no
# native code of their own. The Arrow tests, those of the command's read-ahead of columnar
# files, and the Arrow case of the summaries-off equivalence are left to it too: they
# import pyarrow, polars, pandas and DuckDB into
# the interpreter (or into the command's child process), and LeakSanitizer reports objects
# those libraries never free at exit, with no frame of karvo's. The native Arrow reader
# runs sanitized in the C++ suites (tests/cpp/arrow) and in its fuzz harness. (What they
# leave is numpy's: importing numpy alone leaves the same 3120 bytes in 53 blocks, made by
# its module's initialisation, as importing all four and reading hundreds of tables through
# karvo does. A suppression cannot name it: the malloc stacks LeakSanitizer keeps end in
# the interpreter, which has no frame pointers, and full unwinding makes the run minutes
# longer.) Tests marked `scale` only grow an input's size; they too are left to the plain run.
log=$(mktemp)
run_suite() {
    status=0
    sanitized "$py" -m pytest -q -p no:cacheprovider tests/python \
        --ignore=tests/python/test_dist_engines.py --ignore=tests/python/test_readme.py \
        --ignore=tests/python/test_dist_stubs.py --ignore=tests/python/test_cli_arrow.py \
        --ignore=tests/python/test_dist_arrow.py --ignore=tests/python/test_readahead.py \
        --ignore=tests/python/test_dist_files.py \
        --deselect "tests/python/test_dist_no_summary.py::test_the_report_does_not_depend_on_summaries[observe_arrow]" \
        -m "not scale" \
        "$@" 2>&1 | tee "$log" || status=$?
}
run_suite "$@"
# LeakSanitizer's exit-time check stops every thread through a tracer thread, and that
# tracer has been seen to die by itself (SIGSEGV inside it) once the suite had passed.
# That is a failure of the checker, not a leak and not a test: run the suite once more,
# and let a second failure of any kind stand. A leak report is never retried.
if [ "$status" != 0 ] && grep -q 'LeakSanitizer has encountered a fatal error' "$log" \
    && ! grep -q -E 'ERROR: (LeakSanitizer|AddressSanitizer)|runtime error:' "$log" \
    && grep -q -E '^[0-9]+ passed' "$log" && ! grep -q -E '[0-9]+ (failed|error)' "$log"; then
    echo "run_python_asan: the leak checker itself crashed after a passing suite; running it again"
    run_suite "$@"
fi
rm -f "$log"
echo "run_python_asan: pytest under ASan+UBSan exited $status after $((SECONDS - start)) s"
[ "$status" = 0 ] || exit "$status"

fuzz_seconds=${KARVO_ASAN_FUZZ_SECONDS:-30}
if [ "$fuzz_seconds" -gt 0 ] && "$py" -c 'import atheris' 2>/dev/null; then
    work=$(mktemp -d)
    trap 'rm -rf "$work"' EXIT
    start=$SECONDS
    # libFuzzer's own per-input leak check needs hooks this runtime lacks; LeakSanitizer
    # still checks the whole run when the interpreter exits.
    (cd "$work" && sanitized "$py" "$root/tests/fuzz/atheris_api_fuzz.py" -max_total_time="$fuzz_seconds" \
        -detect_leaks=0 -rss_limit_mb=4096 -timeout=120 -print_final_stats=1 \
        >"$work/log" 2>&1) || status=$?
    if [ "$status" != 0 ]; then
        grep -v -E '^#[0-9]+' "$work/log" | tail -n 80
        mkdir -p "$root/build/atheris-artifacts"
        cp "$work"/crash-* "$work"/leak-* "$root/build/atheris-artifacts/" 2>/dev/null || true
    fi
    runs=$(grep -E -o '^Done [0-9]+ runs' "$work/log" || echo "no count")
    echo "run_python_asan: atheris under ASan+UBSan exited $status after" \
        "$((SECONDS - start)) s ($runs)"
fi
exit "$status"
