#!/usr/bin/env bash
# Fuzzes karvo's Python API with atheris (tests/fuzz/atheris_api_fuzz.py) for SECONDS
# seconds against the karvo that python3 imports (install it first: pip install .).
#
#   tests/fuzz/run_atheris.sh 30      smoke run, as the test script does
#   tests/fuzz/run_atheris.sh 1800    a longer run; keeps its corpus in
#                                     tests/fuzz/corpus-atheris/ so the next run resumes
#
# Set KARVO_ATHERIS_CORPUS=DIR to use another corpus directory. A failing input is written
# to build/atheris-artifacts/ and can be replayed with
#   python3 tests/fuzz/atheris_api_fuzz.py build/atheris-artifacts/crash-...
# Exits non-zero when the harness finds a fault; prints libFuzzer's run count and time.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
root=$(cd "$here/../.." && pwd)
seconds=${1:-30}

python3 -c "import atheris" 2>/dev/null ||
    python3 -m pip install -q --disable-pip-version-check atheris
python3 -c "import karvo; print('atheris: fuzzing karvo from', karvo.__file__)"

artifacts="$root/build/atheris-artifacts"
mkdir -p "$artifacts"
if [ "$seconds" -gt 120 ] || [ -n "${KARVO_ATHERIS_CORPUS:-}" ]; then
    corpus=${KARVO_ATHERIS_CORPUS:-$here/corpus-atheris}
    mkdir -p "$corpus"
    keep=1
else
    corpus=$(mktemp -d)
    keep=0
fi
log=$(mktemp)
cleanup() { rm -f "$log"; [ "$keep" = 1 ] || rm -rf "$corpus"; }
trap cleanup EXIT

status=0
# The harness's hooks raise PanicException on purpose and the module writes a notice for
# each to stderr, so the full output goes to a log that is shown only on failure.
python3 "$here/atheris_api_fuzz.py" -max_total_time="$seconds" -timeout=60 \
    -rss_limit_mb=4096 -print_final_stats=1 -artifact_prefix="$artifacts/" \
    "$corpus" >"$log" 2>&1 || status=$?
if [ "$status" != 0 ]; then
    grep -v -E '^#[0-9]+' "$log" | tail -n 60
    echo "atheris: FAILED (exit $status); failing input in $artifacts/"
    exit "$status"
fi
grep -E '^Done [0-9]+ runs|stat::(number_of_executed_units|average_exec_per_sec|new_units_added|peak_rss_mb)' "$log"
echo "atheris: passed ($seconds s, corpus $(find "$corpus" -type f | wc -l) inputs)"
