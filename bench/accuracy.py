#!/usr/bin/env python3
"""How close karvo's distinct estimate comes to the true count, by number of distinct values.

    python bench/accuracy.py                         # ints, n = 500 .. 10,000 step 500
    python bench/accuracy.py --kind text --runs 400
    python bench/accuracy.py --start 4000 --stop 6500 --step 100
    python bench/accuracy.py --start 50000 --stop 200000 --step 50000 --columns 50

For each n, every run feeds n distinct values to a fresh column and compares the estimate
with n. Each column's sketch draws its own random key, so the columns of one profiler are
independent runs: one profiler holds --columns of them, fed the same rows. Prints, per n,
the share of runs that were exact, within 1, and within 0.5 %, 0.8 %, 1 % and 2.5 %, the
largest miss, and the root mean square of the relative error (the standard error).
"""

from __future__ import annotations

import argparse
import json
import math
import random

import karvo


def values(kind: str, count: int, rng: random.Random) -> list:
    if kind == "int":
        return rng.sample(range(10**12), count)
    seen: set[str] = set()
    while len(seen) < count:
        seen.add("".join(rng.choices("abcdefghijklmnopqrstuvwxyz", k=rng.randint(6, 14))))
    return list(seen)


def estimates(rows: list[dict], n: int) -> list[int]:
    profiler = karvo.Profiler()
    profiler.observe_dicts(rows[:n])
    report = json.loads(profiler.flush())
    return [column["estimated_cardinality"] for column in report.values()]


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--kind", choices=["int", "text"], default="int")
    parser.add_argument("--start", type=int, default=500)
    parser.add_argument("--stop", type=int, default=10_000)
    parser.add_argument("--step", type=int, default=500)
    parser.add_argument("--runs", type=int, default=400, help="runs per n (default 400)")
    parser.add_argument("--columns", type=int, default=200, help="runs per profiler")
    args = parser.parse_args()

    rng = random.Random(1)
    pool = values(args.kind, args.stop, rng)
    names = [f"c{i}" for i in range(args.columns)]
    rows = [dict.fromkeys(names, value) for value in pool]

    print(f"{args.kind}: {args.runs} runs per n")
    print(f"{'n':>7} {'exact':>7} {'±1':>7} {'±0.5%':>7} {'±0.8%':>7} {'±1%':>7} {'±2.5%':>7} "
          f"{'max miss':>9} {'rms':>6}")
    for n in range(args.start, args.stop + 1, args.step):
        got: list[int] = []
        while len(got) < args.runs:
            got += estimates(rows, n)
        misses = [abs(e - n) for e in got[: args.runs]]
        rms = 100 * math.sqrt(sum(m * m for m in misses) / len(misses)) / n

        def share(limit: float) -> str:
            return f"{100 * sum(m <= limit for m in misses) / len(misses):6.1f}%"

        print(f"{n:>7} {share(0)} {share(1)} {share(0.005 * n)} {share(0.008 * n)} "
              f"{share(0.01 * n)} {share(0.025 * n)} {max(misses):>9} {rms:5.2f}%")


if __name__ == "__main__":
    main()
