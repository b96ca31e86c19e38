"""Several Python threads sharing one profiler: no row may be lost or counted twice.

Calls into the module are serialised by the interpreter lock, but threads still switch
between calls and inside them: a value's __index__ hook is Python code, and the hooks used
here give the lock away, so a flush from one thread lands in the middle of another
thread's conversion. Every cell must show up in exactly one report.
"""

import collections
import json
import sys
import threading
import time

import karvo

THREADS = 6
ROUNDS = 300


class Yielding:
    """An integer whose conversion lets other threads run."""

    def __init__(self, value):
        self.value = value

    def __index__(self):
        time.sleep(0)
        return self.value


def _rows(tid, r):
    return [
        {"shared": r, "mine": f"t{tid}", f"only_t{tid}": None},
        {"shared": Yielding(r), "odd": 1.5 if r % 2 else None},
        {"shared": "x", "mine": Yielding(tid)},
    ]


def _expected():
    want = collections.Counter()
    for tid in range(THREADS):
        for r in range(ROUNDS):
            for row in _rows(tid, r):
                want.update(row.keys())
    return want


def test_concurrent_observe_and_flush_count_every_cell_once():
    p = karvo.Profiler()
    reports = []
    reports_lock = threading.Lock()
    errors = []
    start = threading.Barrier(THREADS)

    def worker(tid):
        try:
            start.wait()
            for r in range(ROUNDS):
                rows = _rows(tid, r)
                if r % 3 == 0:
                    p.observe_dicts(rows)
                else:
                    for row in rows:
                        p.observe_dict(row)
                if (r + tid) % 7 == 0:
                    text = p.flush()
                    with reports_lock:
                        reports.append(text)
        except BaseException as exc:  # noqa: BLE001 - reported below with the thread id
            errors.append((tid, exc))

    old = sys.getswitchinterval()
    sys.setswitchinterval(1e-5)
    try:
        threads = [threading.Thread(target=worker, args=(t,)) for t in range(THREADS)]
        for t in threads:
            t.start()
        for t in threads:
            t.join()
    finally:
        sys.setswitchinterval(old)
    assert not errors
    reports.append(p.flush())

    totals = collections.Counter()
    nulls = collections.Counter()
    for text in reports:
        for name, col in json.loads(text).items():
            totals[name] += col["total_count"]
            nulls[name] += col["null_count"]
    assert totals == _expected()
    assert nulls["odd"] == THREADS * (ROUNDS // 2 + ROUNDS % 2)
    assert all(nulls[f"only_t{t}"] == ROUNDS for t in range(THREADS))
    assert nulls["shared"] == 0 and nulls["mine"] == 0
    assert p.flush() == "{}"

