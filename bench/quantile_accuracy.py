"""Rank accuracy of karvo's quantile sketch against datasketches' KLL at equal stored size.

For each input shape (uniform, lognormal, heavily repeated values, sorted, reverse-sorted)
it builds RUNS sketches of the same N values with different seeds (bench/quantile_sketch.cpp,
`quantile_bench answers`), and RUNS datasketches.kll_doubles_sketch of the largest k whose
serialized size does not exceed ours (so both hold about the same number of items). For
every run and every reported rank q in (0.01, 0.05, 0.25, 0.5, 0.75, 0.95, 0.99) the
normalised rank error of the answer x is the distance from ceil(q n) to the ranks x occupies
in the sorted input, divided by n. A run's error is the largest of its seven.

It prints, per shape and sketch: stored bytes, the median, 99th percentile and maximum run
error, and the share of runs whose seven errors are all at most 1%. With --shards S our
sketch is built as S shards merged (datasketches' sketches likewise). It also checks that an
exact sketch answers numpy's quantile(method="inverted_cdf") exactly.

    python3 bench/quantile_accuracy.py [--n 1000000] [--runs 200] [--shards 1]
        [--driver build/bench/quantile_bench]

Needs numpy and datasketches (bench-only; the product depends on neither).
"""

from __future__ import annotations

import argparse
import math
import subprocess
import sys
from pathlib import Path

import numpy as np

try:
    import datasketches
except ImportError:  # pragma: no cover - the comparison needs it
    sys.exit("pip install datasketches (a bench oracle only)")

RANKS = (0.01, 0.05, 0.25, 0.5, 0.75, 0.95, 0.99)
ROOT = Path(__file__).resolve().parent.parent


def shapes(n: int, rng: np.random.Generator) -> dict[str, np.ndarray]:
    uniform = rng.uniform(-1e3, 1e3, n)
    return {
        "uniform": uniform,
        "lognormal": rng.lognormal(0.0, 2.0, n),
        # Heavily repeated: a Zipf-like law over 50 values, the most common ~25% of rows.
        "repeated": (rng.zipf(1.6, n) % 50).astype(np.float64) * 0.5,
        "sorted": np.sort(uniform),
        "reversed": np.sort(uniform)[::-1].copy(),
    }


def ours(driver: Path, values: np.ndarray, runs: int, seed: int, k: int, shards: int):
    out = subprocess.run(
        [str(driver), "answers", str(runs), str(seed), str(k), str(shards)],
        input=values.astype("<f8").tobytes(),
        capture_output=True,
        check=True,
    ).stdout.decode()
    rows = [line.split() for line in out.splitlines()]
    sizes = [int(r[0]) for r in rows]
    peaks = [int(r[1]) for r in rows]
    answers = np.array([[float(x) for x in r[2:]] for r in rows])
    return sizes, peaks, answers


def ds_sketch(values: np.ndarray, k: int, shards: int):
    parts = np.array_split(values, shards)
    merged = datasketches.kll_doubles_sketch(k)
    for part in parts:
        if shards == 1:
            merged.update(part)
        else:
            s = datasketches.kll_doubles_sketch(k)
            s.update(part)
            merged.merge(s)
    return merged


def ds_k_for_bytes(values: np.ndarray, budget: int, shards: int) -> tuple[int, int]:
    """The largest k whose serialized sketch of these values fits budget bytes."""
    lo, hi = 8, 4000
    best = (8, len(ds_sketch(values, 8, shards).serialize()))
    while lo <= hi:
        mid = (lo + hi) // 2
        size = len(ds_sketch(values, mid, shards).serialize())
        if size <= budget:
            best = (mid, size)
            lo = mid + 1
        else:
            hi = mid - 1
    return best


def ds_answers(values: np.ndarray, runs: int, k: int, shards: int):
    answers, sizes = [], []
    for _ in range(runs):
        s = ds_sketch(values, k, shards)
        sizes.append(len(s.serialize()))
        answers.append([s.get_quantile(q, True) for q in RANKS])
    return sizes, np.array(answers)


def rank_errors(sorted_values: np.ndarray, answers: np.ndarray) -> np.ndarray:
    """Per run, the largest normalised rank error of its seven answers."""
    n = len(sorted_values)
    below = np.searchsorted(sorted_values, answers, side="left")
    through = np.searchsorted(sorted_values, answers, side="right")
    target = np.maximum(1, np.ceil(np.array(RANKS) * n))
    err = np.maximum(0, np.maximum(below + 1 - target, target - through)) / n
    return err.max(axis=1)


def summary(errors: np.ndarray) -> str:
    within = float(np.mean(errors <= 0.01)) * 100
    return (
        f"median {100 * np.median(errors):6.3f}%  p99 {100 * np.quantile(errors, 0.99):6.3f}%"
        f"  max {100 * errors.max():6.3f}%  runs<=1% {within:5.1f}%"
    )


def check_exact(driver: Path, rng: np.random.Generator) -> None:
    for n in (1, 2, 5, 99, 250, 600):
        values = rng.lognormal(0, 1, n)
        _, _, answers = ours(driver, values, 1, 1, 600, 1)
        expected = np.quantile(values, RANKS, method="inverted_cdf")
        if not np.array_equal(answers[0], expected):
            sys.exit(f"exact sketch of {n} values differs from inverted_cdf: {answers[0]} {expected}")
    print("exact sketches (n <= 600) equal numpy inverted_cdf: ok")


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--n", type=int, default=1_000_000)
    parser.add_argument("--runs", type=int, default=200)
    parser.add_argument("--shards", type=int, default=1)
    parser.add_argument("--k", type=int, default=600, help="our sketch's k")
    parser.add_argument("--seed", type=int, default=1)
    parser.add_argument("--only", help="comma-separated shapes")
    parser.add_argument("--driver", type=Path, default=ROOT / "build/bench/quantile_bench")
    args = parser.parse_args()
    rng = np.random.default_rng(args.seed)
    check_exact(args.driver, rng)
    print(f"n={args.n} runs={args.runs} shards={args.shards}")
    for name, values in shapes(args.n, rng).items():
        if args.only and name not in args.only.split(","):
            continue
        sorted_values = np.sort(values)
        sizes, peaks, answers = ours(args.driver, values, args.runs, args.seed * 7919, args.k, args.shards)
        budget = min(sizes)
        k, _ = ds_k_for_bytes(values, budget, args.shards)
        ds_sizes, ds_ans = ds_answers(values, args.runs, k, args.shards)
        print(f"{name:9s} karvo  k={args.k:4d} bytes {max(sizes):6d} (memory peak {max(peaks)})  "
              f"{summary(rank_errors(sorted_values, answers))}")
        print(f"{'':9s} ds-kll k={k:4d} bytes {max(ds_sizes):6d}  "
              f"{summary(rank_errors(sorted_values, ds_ans))}")
        sys.stdout.flush()


if __name__ == "__main__":
    main()
