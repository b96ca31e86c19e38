#!/usr/bin/env bash
# Runs every test of karvo on a fresh machine of this project's kind: installs what is
# missing (Debian packages as root, pip packages), builds, and runs
#   1. the C++ suites (release, then AddressSanitizer + UndefinedBehaviorSanitizer, then
#      ThreadSanitizer),
#   2. the Python suite against the installed module,
#   3. the sanitized Python suite and short fuzzing smoke runs, where their scripts exist.
# Set KARVO_QUICK=1 to run only stages 1 (release) and 2.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)
jobs=$(nproc 2>/dev/null || echo 2)

step() { printf '\n==== %s\n' "$*"; }

need_apt=()
[ -f /usr/include/gtest/gtest.h ] || need_apt+=(libgtest-dev)
command -v clang++ >/dev/null 2>&1 || need_apt+=(clang)
dpkg -s libclang-rt-14-dev >/dev/null 2>&1 || need_apt+=(libclang-rt-14-dev)
command -v g++ >/dev/null 2>&1 || need_apt+=(g++)
if [ ${#need_apt[@]} -gt 0 ]; then
    step "installing Debian packages: ${need_apt[*]}"
    export DEBIAN_FRONTEND=noninteractive
    apt-get update -qq
    apt-get install -y -qq "${need_apt[@]}" >/dev/null
fi
step "installing Python tools"
python3 -m pip install -q --disable-pip-version-check \
    "scikit-build-core>=0.10" "cmake>=3.26" ninja "pytest>=7" atheris

cxx_suite() {  # name, extra cmake args...
    local dir="$root/build/test-$1"
    shift
    step "C++ tests: $(basename "$dir")"
    cmake -S "$root" -B "$dir" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo "$@" >/dev/null
    cmake --build "$dir" -j "$jobs"
    ctest --test-dir "$dir" --output-on-failure -j "$jobs"
}

cxx_suite release
if [ "${KARVO_QUICK:-0}" != 1 ]; then
    cxx_suite asan -DKARVO_SANITIZE=address
    TSAN_OPTIONS="halt_on_error=1" cxx_suite tsan -DKARVO_SANITIZE=thread
fi

step "installing karvo"
python3 -m pip install -q --disable-pip-version-check --no-build-isolation "$root"

if [ "${KARVO_QUICK:-0}" != 1 ]; then
    if [ -x "$root/tests/sanitize/run_python_asan.sh" ]; then
        step "Python tests against an ASan+UBSan build"
        "$root/tests/sanitize/run_python_asan.sh"
    fi
    if [ -x "$root/tests/fuzz/run_fuzz.sh" ]; then
        step "fuzzing smoke runs"
        "$root/tests/fuzz/run_fuzz.sh" 20
    fi
    if [ -x "$root/tests/fuzz/run_atheris.sh" ]; then
        step "atheris smoke run"
        "$root/tests/fuzz/run_atheris.sh" 30
    fi
fi

step "Python tests"
cd "$root"
python3 -m pytest -q tests/python
