"""Time to observe and flush n distinct column names crafted against unseeded hashes.

A table of names that places them by a hash the caller can compute can be made to put
every name in one bucket, so that each lookup walks all of them: O(n^2) for n names.
Three families of crafted names (tests/python/crafted_names.py and fx_collide.py say how
they are built), each against control names of the same length whose hashes are unrelated:

  one FxHash      16 characters, all with one FxHash value
  shard+bucket    16 characters, distinct FxHash values in one shard of the column map and
                  congruent modulo the bucket count a libstdc++ table reaches with n names
  std::hash       32 characters, all with one libstdc++ std::hash value

Five ways in, since they build different tables of names:
  calls    n observe_dict calls of one name each   (the column map; every call's own
                                                    tables hold one name)
  rows     observe_dicts of n one-column rows      (the call's name tables, then the map)
  one row  observe_dict of one row with n columns  (the same, all names in one row)
  flush    the flush after "rows"                  (the report)
  load     karvo_dist.Profile.from_bytes of a      (the stored form's duplicate-name check,
           profile of the n names                   then the column map it fills)

Each crafted line ends with its time over the control's time, per way in; the target is at
most 2 everywhere (a table placing names by a secret hash gives about 1).

Times are CPU seconds, the best of --repeat rounds.

Usage: PYTHONPATH=<module dir> python3 bench/hostile_names.py [--sizes 12500,25000,50000]
       [--budget 60] [--repeat 3]
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
import karvo_dist  # noqa: E402
from crafted_names import (bucket_sharing_names, ordinary_names_of_length,  # noqa: E402
                           std_hash_names)
from fx_collide import colliding_names  # noqa: E402

WAYS = ("calls", "rows", "one row", "flush", "load")
# (kind, maker, name length): each crafted kind is compared with "ordinary" of its length.
KINDS = (
    ("one FxHash", colliding_names, 16),
    ("shard+bucket", bucket_sharing_names, 16),
    ("std::hash", std_hash_names, 32),
)


def _time(fn):
    # CPU time of this process: on a shared machine, waiting for a core is not the call's.
    start = time.process_time()
    fn()
    return time.process_time() - start


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
    profile = karvo_dist.Profile()
    profile.observe_dicts(rows)
    blob = profile.to_bytes()
    t_load = _time(lambda: karvo_dist.Profile.from_bytes(blob))
    return {"calls": t_calls, "rows": t_rows, "one row": t_row, "flush": t_flush, "load": t_load}


def main():
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--sizes", default="12500,25000,50000")
    ap.add_argument("--budget", type=float, default=60.0)
    ap.add_argument("--repeat", type=int, default=3, help="best of this many rounds")
    args = ap.parse_args()
    sizes = [int(s) for s in args.sizes.split(",")]

    print(f"karvo from {karvo.__file__}")
    print(f"{'names':>8} {'kind':>14} {'len':>4} " + " ".join(f"{w + ' s':>9}" for w in WAYS)
          + "  x control (calls, rows, one row, flush, load)")
    prev = {}
    over = False
    worst = 0.0
    for n in sizes:
        if over:
            print(f"{n:>8} skipped: a smaller size exceeded the {args.budget:.0f} s budget")
            continue
        lines = [("ordinary", lambda k, seed, length=length: ordinary_names_of_length(k, length, seed),
                  length) for length in sorted({length for _, _, length in KINDS})] + list(KINDS)
        names = {kind + str(length): make(n, seed=n) for kind, make, length in lines}
        best = {}
        # Rounds take every kind in turn, so that a burst of load elsewhere hits them all; a
        # kind that has taken longer than the budget is not timed again.
        for _ in range(args.repeat):
            for kind, _, length in lines:
                key = kind + str(length)
                if key in best and max(best[key].values()) > args.budget:
                    continue
                t = measure(names[key])
                best[key] = {w: min(t[w], best.get(key, t)[w]) for w in WAYS}
        for kind, _, length in lines:
            t = best[kind + str(length)]
            line = f"{n:>8} {kind:>14} {length:>4} " + " ".join(f"{t[w]:>9.4f}" for w in WAYS)
            if kind != "ordinary":
                control = best["ordinary" + str(length)]
                ratios = [t[w] / control[w] for w in WAYS]
                worst = max(worst, *ratios)
                line += "  " + ", ".join(f"{r:.2f}" for r in ratios)
                if kind in prev:
                    pn, pt = prev[kind]
                    line += "  growth " + ", ".join(
                        f"{math.log(t[w] / pt[w]) / math.log(n / pn):.2f}" for w in ("calls", "rows"))
                prev[kind] = (n, t)
            print(line, flush=True)
            over = over or max(t.values()) > args.budget
    print(f"worst crafted/control ratio: {worst:.2f} (target: at most 2)")
    print("growth: log(t2/t1)/log(n2/n1) of calls and rows between successive sizes; "
          "1.0 is linear, about 1.1 is n log n, 2.0 quadratic")


if __name__ == "__main__":
    main()
