#!/usr/bin/env bash
# Runs every test of karvo on a fresh machine of this project's kind (Debian 12, as root)
# and on a developer's machine alike.
#
# Setup: installs the Debian packages that are missing (GoogleTest, a JSON library for the
# C++ tests, g++, clang and its
# fuzzing runtime, the venv module and headers of the python3 on PATH, and the Java runtime
# that Spark needs), then makes a
# virtual environment in build/venv from that python3 (kept, so later runs reuse it and
# its packages) and puts it first on PATH. Every pip install and every Python run of this
# script and of the scripts it calls goes to that environment, never to the system's
# Python, which Debian does not let pip change. It brings the CMake and Ninja that the
# builds use first; the Python packages that only the Python stages use (pyarrow, polars,
# pandas, DuckDB, mypy, atheris, and Dask and PySpark from tests/install_engines.sh) are
# installed in the background while the C++ stages build, and the python stage waits for
# them (their output is printed then; a failed install fails that stage).
#
# Stages, in this order:
#   cpp-release   the C++ suites (GoogleTest)
#   cpp-asan      the same under AddressSanitizer + UndefinedBehaviorSanitizer, with the
#                 tests that only grow sizes at a smaller size (tests/cpp/test_scale.h)
#   cpp-tsan      under ThreadSanitizer, the test binaries that start threads or test a
#                 unit that does (CMake's label `threads`): a race needs a second thread
#   python        installs karvo into build/venv and runs the Python suite against it
#   python-asan   the Python suite against an ASan+UBSan build (tests/sanitize), without
#                 the tests marked `scale`
#   fuzz          libFuzzer smoke runs of every harness in tests/fuzz (JSON writer, sketch,
#                 stored forms, Arrow batches), one at a time beside python-asan and
#                 atheris, which run on one core each
#   atheris       an atheris smoke run of the Python API (tests/fuzz)
# Set KARVO_QUICK=1 to run only cpp-release and python.
#
# A failing stage does not stop the stages after it, since each builds and tests on its own
# (atheris uses the karvo that the python stage installed); only a failed setup ends the
# run at once. The fuzz stage's output, which runs in the background, is printed whole when
# it ends. The last two lines give each stage's result and time, then the verdict,
# e.g. "run_all: 7 passed, 0 failed". The exit status is non-zero when anything failed.
set -uo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)
jobs=$(nproc 2>/dev/null || echo 2)
quick=${KARVO_QUICK:-0}
venv="$root/build/venv"

step() { printf '\n==== %s\n' "$*"; }

names=()
outcomes=()
passed=0
failed=0
skipped=0

verdict() {
    local summary="" i
    for i in "${!names[@]}"; do
        summary+="${summary:+, }${names[$i]} ${outcomes[$i]}"
    done
    printf '\nrun_all: %s\n' "$summary"
    if [ "$skipped" -gt 0 ]; then
        echo "run_all: $passed passed, $failed failed, $skipped skipped"
    else
        echo "run_all: $passed passed, $failed failed"
    fi
}

# Records a stage's outcome: its name, exit status and start time.
record() {  # name, exit status, start
    local name=$1 rc=$2 start=$3
    names+=("$name")
    if [ "$rc" = 0 ]; then
        outcomes+=("passed ($((SECONDS - start)) s)")
        passed=$((passed + 1))
    else
        outcomes+=("FAILED (exit $rc, $((SECONDS - start)) s)")
        failed=$((failed + 1))
        echo "run_all: stage $name FAILED (exit $rc)" >&2
    fi
}

# Runs one stage, a function or script, with errexit on inside a subshell (so its first
# failing command ends it), and records the outcome.
stage() {  # name, function, arguments...
    local name=$1 start=$SECONDS rc
    shift
    step "$name"
    ( set -e; "$@" )
    rc=$?
    record "$name" "$rc" "$start"
}

# Starts a function or script in the background with errexit on, its output to `log`, and
# sets job_pid. It runs in a process group of its own (set -m), so that it does not inherit
# the ignored SIGINT of a background job and can be ended whole if this script is.
start_job() {  # log, function, arguments...
    local log=$1
    shift
    set -m
    ( set -e; "$@" ) >"$log" 2>&1 &
    job_pid=$!
    set +m
}

# A stage in the background, beside stages that keep only one core busy. Its output goes
# to a log that finish_background prints whole when it has ended; its time is its own wall
# time.
background_stage() {  # name, function, arguments...
    bg_name=$1
    bg_start=$SECONDS
    shift
    bg_log="$root/build/run_all-$bg_name.log"
    step "$bg_name: started in the background; its output follows when it ends"
    start_job "$bg_log" "$@"
    bg_pid=$job_pid
}

finish_background() {
    local rc=0
    wait "$bg_pid" || rc=$?
    bg_pid=
    step "$bg_name"
    cat "$bg_log"
    record "$bg_name" "$rc" "$bg_start"
}

# The Python packages that only the Python stages need install in the background while
# the C++ stages build (downloads on a fresh machine, unpacking otherwise); this script
# waits for them (wait_packages) before the python stage, which fails if they failed.
install_packages() {
    local tools=(mypy pyarrow polars pandas duckdb)
    [ "$quick" = 1 ] || tools+=(atheris)
    python3 -m pip install -q --disable-pip-version-check "${tools[@]}"
    # The real engines that the companion package's Dask and Spark tests run on.
    bash "$root/tests/install_engines.sh"
}

start_packages() {
    packages_log="$root/build/run_all-packages.log"
    start_job "$packages_log" install_packages
    packages_pid=$job_pid
}

# In this shell, not in a stage's subshell, which cannot wait for this shell's children.
wait_packages() {
    local rc=0
    wait "$packages_pid" || rc=$?
    packages_pid=
    packages_status=$rc
    step "Python packages, installed in the background: exit $rc"
    cat "$packages_log"
}

packages_pid=
packages_status=0
bg_pid=
# Ends what still runs in the background when this script is ended early.
end_background() {
    local pid
    for pid in $bg_pid $packages_pid; do
        kill -TERM -- "-$pid" 2>/dev/null || true
    done
}
trap end_background EXIT
trap 'exit 130' INT
trap 'exit 143' TERM

skip() {
    names+=("$1")
    outcomes+=("skipped")
    skipped=$((skipped + 1))
}

setup() {
    local need_apt=()
    [ -f /usr/include/gtest/gtest.h ] || need_apt+=(libgtest-dev)
    [ -f /usr/include/nlohmann/json.hpp ] || need_apt+=(nlohmann-json3-dev)
    command -v g++ >/dev/null 2>&1 || need_apt+=(g++)
    [ -f /usr/include/simdjson.h ] || need_apt+=(libsimdjson-dev)
    if [ "$quick" != 1 ]; then
        command -v clang++ >/dev/null 2>&1 || need_apt+=(clang)
        dpkg -s libclang-rt-14-dev >/dev/null 2>&1 || need_apt+=(libclang-rt-14-dev)
    fi
    # Debian's own python3 comes without venv's ensurepip and without its headers.
    # Spark's runtime (tests/install_engines.sh would install it too, in a second apt run).
    if [ "$quick" != 1 ] && ! command -v java >/dev/null 2>&1 && [ -z "${JAVA_HOME:-}" ]; then
        need_apt+=(default-jre-headless)
    fi
    python3 -c 'import ensurepip' 2>/dev/null || need_apt+=(python3-venv)
    python3 -c 'import os, sysconfig; assert os.path.isfile(os.path.join(sysconfig.get_paths()["include"], "Python.h"))' \
        2>/dev/null || need_apt+=(python3-dev)
    if [ ${#need_apt[@]} -gt 0 ]; then
        step "installing Debian packages: ${need_apt[*]}"
        export DEBIAN_FRONTEND=noninteractive
        apt-get update -qq
        apt-get install -y -qq "${need_apt[@]}" >/dev/null
    fi
    if ! "$venv/bin/python3" -c '' 2>/dev/null; then
        step "making the virtual environment $venv"
        rm -rf "$venv"
        python3 -m venv "$venv"
    fi
    step "installing the build tools into $venv"
    "$venv/bin/python3" -m pip install -q --disable-pip-version-check \
        "scikit-build-core>=0.10" "cmake>=3.26" ninja "pytest>=7"
}

# Nothing is compiled twice with the same flags. The plain C++ suites build in the tree
# that pip then installs from (same build type, Release, as the wheel), and the ASan+UBSan
# suites in the tree whose modules the sanitized Python suite imports; so each of those
# trees builds both modules beside the test binaries, and the engine once for both.
cxx_suite() {  # name, build type, extra cmake args...
    local dir="$root/build/test-$1" type=$2
    shift 2
    # Tests on by name: pip, configuring the shared release tree, turns them off in its cache.
    cmake -S "$root" -B "$dir" -G Ninja -DCMAKE_BUILD_TYPE="$type" -DKARVO_BUILD_TESTS=ON "$@" >/dev/null
    cmake --build "$dir" -j "$jobs" ${suite_target:+--target "$suite_target"}
    ctest --test-dir "$dir" --output-on-failure --no-tests=error -j "$jobs" ${suite_label:+-L "$suite_label"}
}
with_modules=(-DKARVO_BUILD_MODULE=ON)

python_suite() {
    # pyarrow, polars, pandas and DuckDB: the sources the columnar input is tested against;
    # Dask and PySpark: the engines of the companion package's tests (wait_packages).
    if [ "$packages_status" != 0 ]; then
        echo "python: the Python packages failed to install (exit $packages_status; above)" >&2
        return 1
    fi
    # pip configures the release tree again with its own definitions (the module on, the
    # C++ tests off), which leaves every object file as it is.
    python3 -m pip install -q --disable-pip-version-check --no-build-isolation \
        --config-settings=build-dir="$root/build/test-release" "$root"
    python3 -m pytest -q tests/python
}

# Errexit holds inside the subshell only while the subshell is no condition: so no `if`.
( set -e; setup )
if [ $? != 0 ]; then
    echo "run_all: setup failed; no stage ran" >&2
    names+=(setup)
    outcomes+=(FAILED)
    failed=1
    verdict
    exit 1
fi
export VIRTUAL_ENV="$venv"
export PATH="$venv/bin:$PATH"
# The interpreter the modules are built for, as pip and tests/sanitize name it.
py_exe=$(python3 -c 'import sys; print(sys.executable)')
with_modules+=(-DPython_EXECUTABLE="$py_exe")
start_packages

stage cpp-release cxx_suite release Release "${with_modules[@]}"
if [ "$quick" != 1 ]; then
    stage cpp-asan cxx_suite asan RelWithDebInfo -DKARVO_SANITIZE=address "${with_modules[@]}"
    # A data race needs a second thread: ThreadSanitizer builds and runs only the test
    # binaries that start threads or test a unit that does (CMakeLists.txt labels them).
    TSAN_OPTIONS="halt_on_error=1" suite_target=karvo_thread_tests suite_label=threads \
        stage cpp-tsan cxx_suite tsan RelWithDebInfo -DKARVO_SANITIZE=thread
else
    skip cpp-asan
    skip cpp-tsan
fi
wait_packages
stage python python_suite
if [ "$quick" != 1 ]; then
    # The sanitized Python suite and both atheris runs keep one core busy each (the
    # interpreter under ASan runs one test at a time; atheris runs one input at a time), so
    # the fuzz stage runs beside them on the other core, one harness at a time, each for
    # its full time on a core of its own. (Beside the plain Python suite, which keeps both
    # cores busy, it slowed that suite threefold.)
    KARVO_JOBS=1 background_stage fuzz "$root/tests/fuzz/run_fuzz.sh" 20
    KARVO_ASAN_BUILD="$root/build/test-asan" stage python-asan "$root/tests/sanitize/run_python_asan.sh"
    stage atheris "$root/tests/fuzz/run_atheris.sh" 30
    finish_background
else
    skip python-asan
    skip fuzz
    skip atheris
fi

verdict
[ "$failed" = 0 ]
