#!/usr/bin/env bash
# Builds karvo's libFuzzer harnesses with clang++ under AddressSanitizer and
# UndefinedBehaviorSanitizer and runs each for a fixed time.
#
#   tests/fuzz/run_fuzz.sh [SECONDS] [HARNESS...]
#
# SECONDS is the time per harness (default 20: the smoke run of tests/run_all.sh).
# HARNESS names pick some of them (json_writer_fuzz, sketch_fuzz, profile_codec_fuzz,
# quantile_sketch_fuzz);
# default all.
#
# The longer run, after any change to src/report, src/hash, src/sketch or src/quantiles and
# before a release, gives each harness five minutes:
#
#   tests/fuzz/run_fuzz.sh 300
#
# Binaries go to build/fuzz/, corpora to build/fuzz/corpus/<harness>/ (kept, so that
# later runs start from what earlier ones found), logs to build/fuzz/logs/, and inputs
# that fail to build/fuzz/artifacts/. Replay one with
#   build/fuzz/<harness> build/fuzz/artifacts/<harness>-crash-...
#
# Exit status: 0 when every harness built and ran its time out; non-zero when a build
# failed or a harness crashed, leaked, tripped a sanitizer, failed a check or timed out.
# Set CXX to use another clang++.
set -uo pipefail
cd "$(dirname "$0")/../.."
root=$(pwd)
seconds=${1:-20}
shift $(($# > 0 ? 1 : 0))
harnesses=("$@")
[ ${#harnesses[@]} -gt 0 ] || harnesses=(json_writer_fuzz sketch_fuzz profile_codec_fuzz quantile_sketch_fuzz)
cxx=${CXX:-clang++}
out="$root/build/fuzz"
mkdir -p "$out/logs" "$out/artifacts"

# The engine sources each harness links; the harnesses see only public headers.
sources_of() {
    case "$1" in
        json_writer_fuzz) echo "$root"/src/report/*.cpp ;;
        sketch_fuzz) echo "$root"/src/hash/*.cpp "$root"/src/sketch/*.cpp ;;
        profile_codec_fuzz) echo "$root"/src/profiler/*.cpp "$root"/src/hash/*.cpp "$root"/src/sketch/*.cpp \
            "$root"/src/report/*.cpp ;;
        quantile_sketch_fuzz) echo "$root"/src/quantiles/*.cpp ;;
        *) echo "unknown harness: $1" >&2; return 1 ;;
    esac
}

# The sketch hashes every key, so comparison tracing cannot steer inputs through it; it
# only makes each run several times slower.
extra_flags_of() {
    case "$1" in
        sketch_fuzz) echo "-fno-sanitize-coverage=trace-cmp" ;;
    esac
}

# Run options. A sketch run costs milliseconds (two sketches take 8000 filler keys each),
# too slow for libFuzzer's gradual growth of input length to reach inputs that cross the
# switch to dense by themselves; it gets long inputs from the start instead.
run_options_of() {
    case "$1" in
        sketch_fuzz) echo "-max_len=1024 -len_control=0" ;;
        # A dense column alone takes 12,288 bytes of registers.
        profile_codec_fuzz) echo "-max_len=16384" ;;
        # A stored sketch of k = 600 at full size is about 15 KB.
        quantile_sketch_fuzz) echo "-max_len=16384" ;;
        *) echo "-max_len=4096" ;;
    esac
}

flags=(-std=c++20 -O1 -g -Wall -Wextra -fno-omit-frame-pointer
       -fsanitize=fuzzer,address,undefined -fno-sanitize-recover=all -pthread
       -I "$root/src")

status=0
for h in "${harnesses[@]}"; do
    printf '\n==== %s: build\n' "$h"
    srcs=$(sources_of "$h") || { status=1; continue; }
    # shellcheck disable=SC2086
    if ! "$cxx" "${flags[@]}" $(extra_flags_of "$h") "$root/tests/fuzz/$h.cpp" $srcs \
        -o "$out/$h"; then
        echo "$h: build failed" >&2
        status=1
        continue
    fi
    printf '==== %s: %s s\n' "$h" "$seconds"
    mkdir -p "$out/corpus/$h"
    log="$out/logs/$h.log"
    # shellcheck disable=SC2046
    UBSAN_OPTIONS=print_stacktrace=1 "$out/$h" "$out/corpus/$h" $(run_options_of "$h") \
        -max_total_time="$seconds" -timeout=60 -rss_limit_mb=2048 \
        -print_final_stats=1 -artifact_prefix="$out/artifacts/$h-" >"$log" 2>&1
    rc=$?
    grep -E '^(Done|stat::number_of_executed_units|stat::average_exec_per_sec|stat::peak_rss_mb)' "$log"
    echo "corpus: $(ls "$out/corpus/$h" | wc -l) inputs"
    if [ $rc -ne 0 ]; then
        echo "$h: FAILED (exit $rc); log $log" >&2
        tail -n 40 "$log" >&2
        status=1
    fi
done
exit $status
