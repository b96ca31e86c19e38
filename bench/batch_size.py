#!/usr/bin/env python3
"""What the size of each observe call costs: the same rows fed in calls of k rows.

    python bench/batch_size.py                   # mixed workload, 200,000 rows, best of 5
    python bench/batch_size.py --workload strings --rows 100000 --repeat 7

The rows come from bench/run.py's generators, loaded from JSON text as there. For each k
the rows go to a fresh profiler in calls of k rows (the lists are cut before timing;
k = 1 is timed both as observe_dicts([row]) and as observe_dict(row)), and the time is
compared with one observe_dicts call for all rows. The variants take turns within each
round and the best round of each is reported, so a burst of load on the machine hits them
alike.
"""

from __future__ import annotations

import argparse
import gc
import json
import random
import sys
import time
from pathlib import Path

import karvo

sys.path.insert(0, str(Path(__file__).resolve().parent))
import run  # noqa: E402  (the workload generators)


def timed(feed) -> float:
    profiler = karvo.Profiler()
    gc.disable()
    start = time.perf_counter()
    feed(profiler)
    elapsed = time.perf_counter() - start
    gc.enable()
    profiler.flush()
    return elapsed


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--workload", choices=sorted(run.WORKLOADS), default="mixed")
    parser.add_argument("--rows", type=int, default=200_000)
    parser.add_argument("--repeat", type=int, default=5)
    parser.add_argument("--sizes", default="1,10,100,1000,10000")
    args = parser.parse_args()

    generate = run.WORKLOADS[args.workload][0]
    rows = json.loads(json.dumps(generate(random.Random(run.SEED), args.rows)))
    cells = sum(len(row) for row in rows)
    sizes = [int(s) for s in args.sizes.split(",")]

    variants: dict[str, object] = {"one call": lambda p: p.observe_dicts(rows)}
    variants["observe_dict"] = lambda p: [p.observe_dict(row) for row in rows]
    for k in sizes:
        chunks = [rows[i:i + k] for i in range(0, len(rows), k)]
        variants[f"{k:,} rows"] = lambda p, chunks=chunks: [p.observe_dicts(c) for c in chunks]

    best = {name: float("inf") for name in variants}
    for _ in range(args.repeat):
        for name, feed in variants.items():
            best[name] = min(best[name], timed(feed))

    base = best["one call"]
    print(f"{args.workload}: {len(rows):,} rows, {cells:,} values, best of {args.repeat}")
    print(f"{'calls of':>14} {'ns/value':>9} {'× one call':>11}")
    for name, seconds in best.items():
        print(f"{name:>14} {seconds / cells * 1e9:9.1f} {seconds / base:11.2f}")


if __name__ == "__main__":
    main()
