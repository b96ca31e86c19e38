#!/usr/bin/env bash
# Builds karvo's libFuzzer harnesses with clang++ under AddressSanitizer and
# UndefinedBehaviorSanitizer and runs each for a fixed time.
#
#   tests/fuzz/run_fuzz.sh [SECONDS] [HARNESS...]
#
# SECONDS is the time per harness (default 20: the smoke run of tests/run_all.sh).
# HARNESS names pick some of them (json_writer_fuzz, sketch_fuzz, profile_codec_fuzz,
# top_values_fuzz, exact_sum_fuzz, quantile_sketch_fuzz, arrow_batch_fuzz);
# default all.
#
# The longer run, after any change to src/report, src/hash, src/sketch, src/top_values,
# src/exact_sum, src/quantiles or src/arrow and before a release, gives each harness five minutes:
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
[ ${#harnesses[@]} -gt 0 ] || harnesses=(json_writer_fuzz sketch_fuzz profile_codec_fuzz top_values_fuzz
    exact_sum_fuzz quantile_sketch_fuzz arrow_batch_fuzz)
cxx=${CXX:-clang++}
jobs=${KARVO_JOBS:-$(nproc 2>/dev/null || echo 2)}
out="$root/build/fuzz"
mkdir -p "$out/logs" "$out/artifacts"

# The engine sources each harness links; the harnesses see only public headers.
sources_of() {
    case "$1" in
        json_writer_fuzz) echo "$root"/src/report/*.cpp ;;
        sketch_fuzz) echo "$root"/src/hash/*.cpp "$root"/src/sketch/*.cpp ;;
        profile_codec_fuzz) echo "$root"/src/profiler/*.cpp "$root"/src/hash/*.cpp "$root"/src/sketch/*.cpp \
            "$root"/src/report/*.cpp "$root"/src/top_values/*.cpp "$root"/src/exact_sum/*.cpp \
            "$root"/src/quantiles/*.cpp ;;
        top_values_fuzz) echo "$root"/src/top_values/*.cpp ;;
        exact_sum_fuzz) echo "$root"/src/exact_sum/*.cpp ;;
        quantile_sketch_fuzz) echo "$root"/src/quantiles/*.cpp ;;
        arrow_batch_fuzz) echo "$root"/src/arrow/*.cpp "$root"/src/ingest/*.cpp "$root"/src/profiler/*.cpp \
            "$root"/src/hash/*.cpp "$root"/src/sketch/*.cpp "$root"/src/report/*.cpp \
            "$root"/src/top_values/*.cpp "$root"/src/exact_sum/*.cpp "$root"/src/quantiles/*.cpp ;;
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

# Where a source's object goes for a harness: objects are shared between the harnesses
# that compile a source with the same flags (the engine's sources are in several), and
# named by the source's path, so that two sources of one name cannot meet.
object_of() {  # harness, source
    local flavour=plain
    [ -z "$(extra_flags_of "$1")" ] || flavour=$1
    echo "$out/obj/$flavour/$(echo "${2#"$root"/}" | tr / _).o"
}

# Compiles every object the harnesses need, each once, up to $jobs at a time (one clang++
# command for many sources compiles them one after another).
compile_all() {
    local h src obj running=0 failed=0
    local srcs
    declare -A source_of=() harness_of_obj=()
    rm -rf "$out/obj"
    for h in "${harnesses[@]}"; do
        srcs=$(sources_of "$h") || continue  # its build then fails alone
        # shellcheck disable=SC2086
        for src in "$root/tests/fuzz/$h.cpp" $srcs; do
            obj=$(object_of "$h" "$src")
            source_of[$obj]=$src
            harness_of_obj[$obj]=$h
        done
    done
    for obj in "${!source_of[@]}"; do
        if [ "$running" -ge "$jobs" ]; then
            wait -n || failed=1
            running=$((running - 1))
        fi
        mkdir -p "$(dirname "$obj")"
        # shellcheck disable=SC2046
        "$cxx" "${flags[@]}" $(extra_flags_of "${harness_of_obj[$obj]}") -c "${source_of[$obj]}" -o "$obj" &
        running=$((running + 1))
    done
    for ((; running > 0; running--)); do
        wait -n || failed=1
    done
    return "$failed"
}

# Links one harness from the objects compile_all made.
build_harness() {  # harness
    local h=$1 srcs src objs=()
    srcs=$(sources_of "$h") || return 1
    # shellcheck disable=SC2086
    for src in "$root/tests/fuzz/$h.cpp" $srcs; do
        objs+=("$(object_of "$h" "$src")")
    done
    for src in "${objs[@]}"; do
        [ -f "$src" ] || return 1
    done
    "$cxx" "${flags[@]}" "${objs[@]}" -o "$out/$h"
}

# Runs one harness for $seconds; its log goes to $out/logs/<harness>.log.
run_harness() {  # harness
    local h=$1
    mkdir -p "$out/corpus/$h"
    # A harness's dictionary (tests/fuzz/<harness>.dict) gives it the tokens its format is
    # made of, so that it reaches the checks behind them sooner.
    local dict=()
    [ -f "$root/tests/fuzz/$h.dict" ] && dict=(-dict="$root/tests/fuzz/$h.dict")
    # Seed inputs (tests/fuzz/seeds/<harness>/), read with the corpus, never written to.
    local seeds=()
    [ -d "$root/tests/fuzz/seeds/$h" ] && seeds=("$root/tests/fuzz/seeds/$h")
    # shellcheck disable=SC2046
    UBSAN_OPTIONS=print_stacktrace=1 "$out/$h" "$out/corpus/$h" "${seeds[@]}" $(run_options_of "$h") "${dict[@]}" \
        -max_total_time="$seconds" -timeout=60 -rss_limit_mb=2048 \
        -print_final_stats=1 -artifact_prefix="$out/artifacts/$h-" >"$out/logs/$h.log" 2>&1
}

status=0
built=()
printf '\n==== compiling the harnesses and the sources they link\n'
compile_all || status=1
for h in "${harnesses[@]}"; do
    printf '\n==== %s: build\n' "$h"
    if build_harness "$h"; then
        built+=("$h")
    else
        echo "$h: build failed" >&2
        status=1
    fi
done

# Each harness runs on one core, so up to $jobs of them run side by side, each for its
# full time.
declare -A rc_of=() harness_of=()
running=0
finished() {  # waits for one run to end and records its exit status
    local pid rc=0
    wait -n -p pid || rc=$?
    rc_of[${harness_of[$pid]}]=$rc
    running=$((running - 1))
}
for h in "${built[@]}"; do
    [ "$running" -lt "$jobs" ] || finished
    printf '==== %s: %s s\n' "$h" "$seconds"
    run_harness "$h" &
    harness_of[$!]=$h
    running=$((running + 1))
done
while [ "$running" -gt 0 ]; do finished; done

for h in "${built[@]}"; do
    log="$out/logs/$h.log"
    printf '\n==== %s: result\n' "$h"
    grep -E '^(Done|stat::number_of_executed_units|stat::average_exec_per_sec|stat::peak_rss_mb)' "$log"
    echo "corpus: $(ls "$out/corpus/$h" | wc -l) inputs"
    if [ "${rc_of[$h]}" -ne 0 ]; then
        echo "$h: FAILED (exit ${rc_of[$h]}); log $log" >&2
        tail -n 40 "$log" >&2
        status=1
    fi
done
exit $status
