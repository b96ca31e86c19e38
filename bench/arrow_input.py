"""Times Profile.observe_arrow on a polars frame against polars computing the same figures
on its own frame, and against observe_dicts on the frame's rows as Python dicts.

    python bench/arrow_input.py                # 1M rows x 10 columns, best of 3
    python bench/arrow_input.py --rows 200000 --repeat 5

The frame has 10 mixed columns: 64-bit ids, small ints, floats with nulls and NaN, a
bool, short texts of a few hundred values, longer mostly distinct texts, a categorical,
a decimal, a uint64 hash and a timestamp. Every tool runs with its defaults (polars on
all cores; observe_arrow on the calling thread, the GIL released).

What is timed (wall time, best of --repeat):
- observe_arrow: `Profile().observe_arrow(df)` and `report()`: the frame's Arrow stream,
  validated and counted batch by batch (a large batch on two threads), with the CPU time
  it took, which says more than the wall time on a busy machine;
- polars: one select over the frame of count, null_count, approx_n_unique of every column
  and min/max of the numeric ones (karvo's figures; polars refuses min/max on some);
- observe_dicts: `Profile().observe_dicts(rows)` and `report()`, where `rows =
  df.to_dicts()` was made before the clock starts (the conversion is excluded).
"""

from __future__ import annotations

import argparse
import decimal
import time

import numpy as np
import polars as pl

from karvo_dist import Profile


def frame(rows: int, seed: int = 42) -> pl.DataFrame:
    rng = np.random.default_rng(seed)
    words = np.array([f"w{i}" for i in range(300)])
    floats = rng.normal(100, 30, rows)
    floats[rng.random(rows) < 0.01] = np.nan
    return pl.DataFrame({
        "id": np.arange(rows, dtype=np.int64) * 7919,
        "small": rng.integers(0, 100, rows, dtype=np.int32),
        "score": floats,
        "active": rng.random(rows) < 0.5,
        "word": words[rng.integers(0, len(words), rows)],
        "note": [f"note {i} of the day" for i in rng.integers(0, rows, rows)],
        "category": pl.Series(words[rng.integers(0, 12, rows)]).cast(pl.Categorical),
        "price": pl.Series([decimal.Decimal(int(x)) / 100 for x in rng.integers(0, 10**6, rows)],
                           dtype=pl.Decimal(12, 2)),
        "hash": rng.integers(0, 2**64 - 1, rows, dtype=np.uint64),
        "when": pl.Series(rng.integers(0, 10**15, rows)).cast(pl.Datetime("us")),
    }).with_columns(pl.when(pl.col("small") % 10 == 0).then(None).otherwise(pl.col("score"))
                    .alias("score"))


def best(repeat: int, work) -> float:
    return best_with_cpu(repeat, work)[0]


def best_with_cpu(repeat: int, work) -> tuple[float, float]:
    """The best wall time, and the process's CPU time in that run (every thread's)."""
    runs = []
    for _ in range(repeat):
        cpu = time.process_time()
        started = time.perf_counter()
        work()
        runs.append((time.perf_counter() - started, time.process_time() - cpu))
    return min(runs)


def polars_figures(df: pl.DataFrame) -> pl.DataFrame:
    numeric = [c for c, t in df.schema.items() if t.is_numeric() or t == pl.Boolean]
    exprs = []
    for c in df.columns:
        exprs += [pl.col(c).count().alias(f"{c}_count"), pl.col(c).null_count().alias(f"{c}_nulls"),
                  pl.col(c).approx_n_unique().alias(f"{c}_distinct")]
    exprs += [pl.col(c).min().alias(f"{c}_min") for c in numeric]
    exprs += [pl.col(c).max().alias(f"{c}_max") for c in numeric]
    return df.select(exprs)


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--rows", type=int, default=1_000_000)
    parser.add_argument("--repeat", type=int, default=3)
    args = parser.parse_args()

    df = frame(args.rows)
    rows = df.to_dicts()

    def arrow() -> None:
        profile = Profile()
        profile.observe_arrow(df)
        profile.report()

    def dicts() -> None:
        profile = Profile()
        profile.observe_dicts(rows)
        profile.report()

    t_arrow, cpu_arrow = best_with_cpu(args.repeat, arrow)
    t_polars = best(args.repeat, lambda: polars_figures(df))
    t_dicts = best(args.repeat, dicts)
    print(f"{args.rows:,} rows x {df.width} columns, best of {args.repeat}")
    print(f"  observe_arrow   {t_arrow:8.3f} s   ({cpu_arrow:.3f} s of CPU)")
    print(f"  polars select   {t_polars:8.3f} s   observe_arrow / polars = {t_arrow / t_polars:.2f}")
    print(f"  observe_dicts   {t_dicts:8.3f} s   observe_dicts / observe_arrow = "
          f"{t_dicts / t_arrow:.1f}")


if __name__ == "__main__":
    main()
