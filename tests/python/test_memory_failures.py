"""Running out of memory: a call that raises MemoryError adds nothing, and every call that
returned stays counted.

Each case runs in a child process whose address space is capped (RLIMIT_AS) a little above
what it uses, then filled with ballast until nothing is left, so that the next karvo call
runs out part way. The child frees the ballast afterwards, reads the profile back and
prints what it found; the parent checks it.
"""
import json
import subprocess
import sys
import textwrap

import pytest

from conftest import finished
from sanitizers import UNDER_ASAN

# AddressSanitizer maps terabytes of shadow memory up front, so a child whose address
# space is capped cannot even start under it; the C++ allocation-failure tests, which fail
# each allocation in turn, run under the sanitizers instead.
pytestmark = pytest.mark.skipif(UNDER_ASAN, reason="an address-space cap cannot hold ASan's shadow")

CHILD = textwrap.dedent(r"""
    import json, resource, sys
    import karvo, karvo_dist

    kind, case = sys.argv[1], sys.argv[2]

    def make():
        return karvo.Profiler() if kind == "core" else karvo_dist.Profile()

    def report(profile):
        return json.loads(profile.flush() if kind == "core" else profile.report())

    def address_space():
        with open("/proc/self/statm") as statm:
            return int(statm.read().split()[0]) * resource.getpagesize()

    limit = address_space() + (256 << 20)
    resource.setrlimit(resource.RLIMIT_AS, (limit, limit))
    ballast = []

    def fill():
        for size in (1 << 20, 1 << 16, 1 << 12):
            try:
                while True:
                    ballast.append(bytearray(size))
            except MemoryError:
                pass

    def free(size):
        # The largest blocks first: they were mapped on their own, so their room goes back
        # to the address space, whatever size the next request has.
        while size > 0 and ballast:
            size -= len(ballast.pop(0))

    headroom = int(sys.argv[3])
    if case == "single_rows":
        # Single-row calls, each naming a new column, until one runs out of memory; with
        # more room, after some of the buffered batches were applied.
        # The loop's own ints are made before the cap bites: counting as it goes could
        # itself run out of memory between two calls.
        numbers = list(range(2_000_000))
        profile = make()
        fill()
        free(headroom)
        failed_at = None
        for i in numbers:
            while True:
                try:
                    row = {"a": i, "b": "text", f"k{i}": float(i)}
                    break
                except MemoryError:
                    ballast.pop()  # room for the row itself: only the call may run out
            try:
                profile.observe_dict(row)
            except MemoryError:
                failed_at = i
                break
        del row
        ballast.clear()
        succeeded = len(numbers) if failed_at is None else failed_at
        columns = report(profile)
        out = {"succeeded": succeeded, "failed_at": failed_at,
               "a": columns.get("a", {}).get("total_count", 0),
               "k_columns": sum(1 for name in columns if name.startswith("k")),
               "failed_column": f"k{failed_at}" in columns}
    else:
        # One call that creates 20,000 columns.
        wide = {f"c{j}": j for j in range(20_000)}
        lines = b"".join(b'{"c%d": %d}\n' % (j, j) for j in range(20_000))
        other = None
        if case == "merge":
            other = karvo_dist.Profile()
            other.observe_dicts([wide])
        profile = make()
        profile.observe_dict({"before": 1})
        fill()
        free(headroom)
        raised = False
        try:
            if case == "wide_row":
                profile.observe_dicts([wide])
            elif case == "jsonl":
                profile.observe_jsonl(lines, threads=1)
            else:
                profile.merge(other)
        except MemoryError:
            raised = True
        ballast.clear()
        columns = report(profile)
        out = {"raised": raised, "columns": len(columns),
               "before": columns.get("before", {}).get("total_count", 0)}
    print(json.dumps(out))
""")


def run_child(kind, case, headroom):
    child = subprocess.Popen([sys.executable, "-c", CHILD, kind, case, str(headroom)],
                             stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
    status = finished(child, 120)
    stdout, stderr = child.stdout.read(), child.stderr.read()
    assert status == 0, stderr
    return json.loads(stdout)


# Bytes left free before the call: from a few pages to enough for it to succeed.
HEADROOMS = [1 << 16, 1 << 18, 1 << 20, 4 << 20, 16 << 20, 32 << 20, 64 << 20]
# A call of 20,000 new columns in a profile that keeps column summaries needs more.
WIDE_HEADROOMS = HEADROOMS + [128 << 20]


@pytest.mark.parametrize("kind", ["core", "dist"])
def test_single_row_calls_that_returned_stay_counted(kind):
    outcomes = [run_child(kind, "single_rows", headroom) for headroom in HEADROOMS]
    for found in outcomes:
        assert found["failed_at"] is not None, outcomes
        assert found["a"] == found["succeeded"], outcomes
        assert found["k_columns"] == found["succeeded"], outcomes
        assert not found["failed_column"], outcomes
    # Some run failed only after a whole buffered batch had gone to the profile: the call
    # after the one that brought 65536 cells (three a row) applies them first, and it
    # returned.
    assert max(found["succeeded"] for found in outcomes) > 65536 // 3 + 1, outcomes


@pytest.mark.parametrize("kind, case", [
    ("core", "wide_row"),
    ("dist", "wide_row"),
    ("dist", "jsonl"),
    ("dist", "merge"),
])
def test_a_call_that_runs_out_of_memory_adds_nothing(kind, case):
    outcomes = [run_child(kind, case, headroom) for headroom in WIDE_HEADROOMS]
    assert any(outcome["raised"] for outcome in outcomes), outcomes
    assert not all(outcome["raised"] for outcome in outcomes), outcomes
    for outcome in outcomes:
        assert outcome["before"] == 1, outcomes
        assert outcome["columns"] == (1 if outcome["raised"] else 20_001), outcomes
