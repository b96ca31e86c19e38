"""Time to observe n distinct column names that all share one FxHash value.

Names are hashed without a seed, so a caller can pick names that collide (see
tests/python/fx_collide.py for how they are built). A table that chains equal hashes
costs O(n) per lookup there and O(n^2) overall; this script shows how the time actually
grows, against names of the same length whose hashes are unrelated.

Four ways in, since they go through different FxHash-keyed tables:
  calls    n observe_dict calls of one name each   (the column map alone: every call's own
                                                    tables hold one name)
  rows     observe_dicts of n one-column rows      (the call's name table, then the map)
  one row  observe_dict of one row with n columns  (the same, all names in one row)
  flush    the flush after "rows"                  (the report)

Usage: python3 bench/hostile_names.py [--sizes 12500,25000,50000,100000] [--budget 60]
Not a test: nothing here asserts a time. A size is skipped once a smaller one has taken
longer than the budget (seconds), since a quadratic table would then take minutes.
"""

import argparse
import math
import os
import sys
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tests", "python"))

import karvo  # noqa: E402
from fx_collide import colliding_names, ordinary_names  # noqa: E402


def _time(fn):
    start = time.perf_counter()
    fn()
    return time.perf_counter() - start


def measure(names):
    p = karvo.Profiler()
    rows = [{name: 1} for name in names]

    def one_call_each():
        for row in rows:
            p.observe_dict(row)

    t_calls = _time(one_call_each)
    p.flush()
    t_rows = _time(lambda: p.observe_dicts(rows))
    t_flush = _time(p.flush)
    wide = {name: 1 for name in names}
    t_row = _time(lambda: p.observe_dict(wide))
    p.flush()
    return {"calls": t_calls, "rows": t_rows, "one row": t_row, "flush": t_flush}


def main():
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--sizes", default="12500,25000,50000,100000")
    ap.add_argument("--budget", type=float, default=60.0)
    args = ap.parse_args()
    sizes = [int(s) for s in args.sizes.split(",")]

    print(f"karvo from {karvo.__file__}")
    print(f"{'names':>8} {'kind':>10} {'calls s':>9} {'rows s':>9} {'one row s':>10} "
          f"{'flush s':>9}  {'growth exp (calls, rows)':>24}")
    prev = {}
    over = False
    for n in sizes:
        if over:
            print(f"{n:>8} skipped: a smaller size exceeded the {args.budget:.0f} s budget")
            continue
        for kind, make in (("colliding", colliding_names), ("ordinary", ordinary_names)):
            t = measure(make(n, seed=n))
            exp = ""
            if kind in prev:
                pn, pt = prev[kind]
                exp = ", ".join(f"{math.log(t[k] / pt[k]) / math.log(n / pn):.2f}"
                                for k in ("calls", "rows"))
            prev[kind] = (n, t)
            print(f"{n:>8} {kind:>10} {t['calls']:>9.4f} {t['rows']:>9.4f} "
                  f"{t['one row']:>10.4f} {t['flush']:>9.4f}  {exp:>24}", flush=True)
            if max(t.values()) > args.budget:
                over = True
    print("growth exp: log(t2/t1)/log(n2/n1) between successive sizes; "
          "1.0 is linear, about 1.1 is n log n, 2.0 quadratic")


if __name__ == "__main__":
    main()
