"""Times profiling a Parquet file in one process against DuckDB computing the same figures
over the same file in-process, and measures the peak memory of the profile on files of
one and of four batch sizes.

    python bench/parquet_input.py                  # 1M rows x 10 columns, best of 3
    python bench/parquet_input.py --rows 200000 --repeat 5

The frame is bench/arrow_input.py's (ints, floats with nulls and NaN, a bool, short
texts of a few hundred values, longer mostly distinct texts, a categorical, a decimal,
a uint64 hash and a timestamp), written once with polars' `write_parquet` at its
defaults. Every tool runs with its defaults (DuckDB on all cores).

What is timed (wall time, best of --repeat, the two sides taking turns in each round):
- karvo: what `karvo-profile FILE.parquet` does once started (its own code,
  `karvo_dist.cli.observe_columnar`): pyarrow's `ParquetFile(path).iter_batches()` (its
  default batch of 65,536 rows) decoded a batch ahead on a thread of its own, into
  `Profile().observe_arrow`, then `report()`;
- duckdb: `duckdb.connect()` and one query over `read_parquet(path)` with, per column,
  count, null count, approx_count_distinct and, for the numeric and boolean columns,
  min and max (karvo's figures), fetched;
- karvo, one after the other: the same without the read-ahead (decoding, then profiling,
  in turns on one thread: what the command did before);
- settings of pyarrow's reader, each with the read-ahead: larger batches
  (`iter_batches(batch_size=...)`), `pre_buffer=True` (coalesced reads of a row group's
  column chunks), `use_threads=False` (columns decoded on one thread);
- where karvo's time goes: the same read of the batches with nothing done to them, and
  observe_arrow on the table already in memory;
- start-up: a child interpreter that imports pyarrow.parquet and karvo_dist, and exits,
  and the whole command `karvo-profile FILE` in a child, end to end.

Memory: a child process profiles a Parquet file of one batch (65,536 rows) and one of
four batches of the same frame, as the command does and one batch after the other, and
reports its peak RSS (VmHWM of /proc/self/status), and its RSS after the imports, before
reading.
"""

from __future__ import annotations

import argparse
import os
import shutil
import subprocess
import sys
import tempfile
import time
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent))
from arrow_input import frame  # the shared bench frame

import duckdb
import polars as pl
import pyarrow as pa
import pyarrow.parquet as pq

from karvo_dist import Profile, cli
from karvo_dist._readahead import ReadAhead

TARGET_SPEED = 2.0    # DuckDB's time / karvo's time, at least
TARGET_MEMORY = 1.2   # peak RSS on four batches / on one batch, at most
BATCH_ROWS = 65_536   # pyarrow's default batch size for iter_batches

# The child reads its peak from /proc (VmHWM), not from getrusage: ru_maxrss survives
# exec on Linux, so a child forked from this large process would report this one's peak.
CHILD = r"""
import sys
import pyarrow as pa
import pyarrow.parquet as pq
from karvo_dist import Profile, cli

def status_kib(field):
    with open("/proc/self/status") as status:
        for line in status:
            if line.startswith(field + ":"):
                return int(line.split()[1])

before = status_kib("VmRSS")
if sys.argv[2] == "command":  # as karvo-profile does: decoding a batch ahead
    profile = Profile()
    rows = cli.observe_columnar(profile, cli.Input(sys.argv[1], columnar="parquet")).rows
    profile.report()
elif sys.argv[2] == "in turns":  # decoding, then profiling, one batch at a time
    parquet = pq.ParquetFile(sys.argv[1])
    profile = Profile()
    rows = profile.observe_arrow(
        pa.RecordBatchReader.from_batches(parquet.schema_arrow, parquet.iter_batches()))
    profile.report()
else:  # pyarrow's reading alone, for comparison
    rows = sum(batch.num_rows for batch in pq.ParquetFile(sys.argv[1]).iter_batches())
print(rows, before, status_kib("VmHWM"))
"""


def profile_file(path: str) -> str:
    """What the command does with a Parquet file, by its own code."""
    profile = Profile()
    cli.observe_columnar(profile, cli.Input(path, columnar="parquet"))
    return profile.report()


def profile_file_in_turns(path: str) -> str:
    parquet = pq.ParquetFile(path)
    profile = Profile()
    profile.observe_arrow(
        pa.RecordBatchReader.from_batches(parquet.schema_arrow, parquet.iter_batches()))
    return profile.report()


def profile_file_with(path: str, *, batch_size: int = BATCH_ROWS, pre_buffer: bool = False,
                      use_threads: bool = True) -> str:
    """The command's way with other settings of pyarrow's reader."""
    parquet = pq.ParquetFile(path, pre_buffer=pre_buffer)
    batches = parquet.iter_batches(batch_size=batch_size, use_threads=use_threads)
    profile = Profile()
    with ReadAhead(batches).start() as ahead:
        profile.observe_arrow(pa.RecordBatchReader.from_batches(parquet.schema_arrow, ahead))
    return profile.report()


def read_only(path: str) -> int:
    return sum(batch.num_rows for batch in pq.ParquetFile(path).iter_batches())


def duckdb_query(schema: pl.Schema, path: str) -> str:
    parts = ["count(*) AS rows"]
    for name, dtype in schema.items():
        c = f'"{name}"'
        parts += [f"count(*) - count({c})", f"approx_count_distinct({c})"]
        if dtype.is_numeric() or dtype == pl.Boolean:
            parts += [f"min({c})", f"max({c})"]
    return f"SELECT {', '.join(parts)} FROM read_parquet('{path}')"


def duckdb_figures(query: str) -> list:
    with duckdb.connect() as con:
        return con.sql(query).fetchall()


def timed(work) -> tuple[float, float]:
    cpu, started = time.process_time(), time.perf_counter()
    work()
    return time.perf_counter() - started, time.process_time() - cpu


def child_seconds(argv: list[str], repeat: int) -> float:
    best = float("inf")
    for _ in range(repeat):
        started = time.perf_counter()
        subprocess.run(argv, check=True, stdout=subprocess.DEVNULL,
                       stderr=subprocess.DEVNULL, timeout=600)
        best = min(best, time.perf_counter() - started)
    return best


def peak_rss(path: str, work: str) -> tuple[int, int, int]:
    """Rows, RSS after the imports and peak RSS (KiB) of a child that profiles the file
    as the command does (work "command"), or one batch after the other ("in turns"), or
    only reads its batches ("read")."""
    out = subprocess.run([sys.executable, "-c", CHILD, path, work], check=True,
                         capture_output=True, text=True, timeout=600).stdout.split()
    rows, before, peak = map(int, out)
    return rows, before, peak


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--rows", type=int, default=1_000_000)
    parser.add_argument("--repeat", type=int, default=3)
    args = parser.parse_args()

    df = frame(args.rows)
    with tempfile.TemporaryDirectory(prefix="karvo-parquet-bench-") as directory:
        path = str(Path(directory) / "frame.parquet")
        df.write_parquet(path)
        meta = pq.ParquetFile(path).metadata
        print(f"{args.rows:,} rows x {df.width} columns: {os.path.getsize(path) / 1e6:.1f} MB "
              f"of Parquet in {meta.num_row_groups} row groups (polars' defaults); "
              f"{os.cpu_count()} CPUs, load average {os.getloadavg()[0]:.1f}")

        query = duckdb_query(df.schema, path)
        table = pq.read_table(path)

        def in_memory() -> None:
            profile = Profile()
            profile.observe_arrow(table)
            profile.report()

        sides = {"karvo": lambda: profile_file(path),
                 "duckdb": lambda: duckdb_figures(query),
                 "karvo, one after the other": lambda: profile_file_in_turns(path),
                 "batch_size=131072": lambda: profile_file_with(path, batch_size=2 * BATCH_ROWS),
                 "batch_size=262144": lambda: profile_file_with(path, batch_size=4 * BATCH_ROWS),
                 "pre_buffer=True": lambda: profile_file_with(path, pre_buffer=True),
                 "use_threads=False": lambda: profile_file_with(path, use_threads=False),
                 "read only": lambda: read_only(path),
                 "observe_arrow in memory": in_memory}
        reports = {profile_file(path), profile_file_in_turns(path),
                   profile_file_with(path, batch_size=4 * BATCH_ROWS)}
        assert len(reports) == 1, "the ways of reading the file disagree"
        best = {name: (float("inf"), 0.0) for name in sides}
        for _ in range(args.repeat):
            for name, work in sides.items():
                best[name] = min(best[name], timed(work))

        print(f"\nbest of {args.repeat}, wall (CPU of this process, every thread)")
        for name, (seconds, cpu) in best.items():
            print(f"  {name:<27} {seconds:7.3f} s  ({cpu:.3f} s CPU)  "
                  f"{seconds / best['karvo'][0]:.2f}x karvo's")
        ahead = best["karvo, one after the other"][0] / best["karvo"][0]
        print(f"  one after the other / karvo = {ahead:.2f}x")
        speed = best["duckdb"][0] / best["karvo"][0]
        print(f"  duckdb / karvo = {speed:.2f}x (target at least {TARGET_SPEED}x: "
              f"{'met' if speed >= TARGET_SPEED else 'NOT met'})")

        imports = child_seconds([sys.executable, "-c",
                                 "import pyarrow.parquet, karvo_dist"], 5)
        bare = child_seconds([sys.executable, "-c", "pass"], 5)
        print(f"\nstart-up: interpreter {bare:.3f} s; with pyarrow.parquet and karvo_dist "
              f"imported {imports:.3f} s")
        beside = Path(sys.executable).parent / "karvo-profile"  # a venv's, not activated
        command = str(beside) if beside.exists() else shutil.which("karvo-profile")
        if command:
            whole = child_seconds([command, path], args.repeat)
            print(f"  karvo-profile {Path(path).name} end to end: {whole:.3f} s")

        # Memory: files of one and of four batches of the same frame.
        small = str(Path(directory) / "one-batch.parquet")
        large = str(Path(directory) / "four-batches.parquet")
        source = df.head(4 * BATCH_ROWS) if args.rows >= 4 * BATCH_ROWS else frame(4 * BATCH_ROWS)
        source.head(BATCH_ROWS).write_parquet(small)
        source.write_parquet(large)
        print(f"\npeak RSS of a child profiling a file (batch size {BATCH_ROWS:,} rows)")
        peaks = {}
        for name, file in (("1 batch", small), ("4 batches", large)):
            groups = pq.ParquetFile(file).metadata.num_row_groups
            for work in ("command", "in turns", "read"):
                rows, before, peak = peak_rss(file, work)
                peaks[name, work] = peak
                print(f"  {name:<10} {rows:>9,} rows in {groups} row groups, "
                      f"{os.path.getsize(file) / 1e6:5.1f} MB, {work:<8}: RSS after imports "
                      f"{before / 1024:6.1f} MiB, peak {peak / 1024:6.1f} MiB")
        read_ratio = peaks["4 batches", "read"] / peaks["1 batch", "read"]
        print(f"  pyarrow's reading alone: 4 batches / 1 batch = {read_ratio:.2f}")
        turns = peaks["4 batches", "in turns"] / peaks["1 batch", "in turns"]
        print(f"  one after the other: 4 batches / 1 batch = {turns:.2f}")
        ratio = peaks["4 batches", "command"] / peaks["1 batch", "command"]
        print(f"  the command: 4 batches / 1 batch = {ratio:.2f} (target at most "
              f"{TARGET_MEMORY}: {'met' if ratio <= TARGET_MEMORY else 'NOT met'})")
    return 0


if __name__ == "__main__":
    sys.exit(main())
