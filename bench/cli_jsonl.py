"""Times `karvo-profile --json FILE` against polars and DuckDB computing the same figures
over the same generated JSON Lines file, in one run, and measures the command's peak
memory on a small and a large file.

    python bench/cli_jsonl.py                 # 1M rows (about 230 MB), best of 3
    python bench/cli_jsonl.py --rows 200000 --repeat 5
    python bench/cli_jsonl.py --big           # also the 1 GB memory point (needs ~1.3 GB of disk)
    python bench/cli_jsonl.py --karvo-build base=DIR   # also the command of another build

The file has 12 columns like bench/jsonl_reader.cpp's: 64-bit ids, texts, floats, small
ints, bools, nulls, an array and an object; it is written once to --dir (the system's
temporary directory by default) and reused while its size and row count match.

What is timed (wall time and CPU time, each the best of --repeat; every tool on all
cores; on a loaded machine the CPU times are the steadier figures):
- karvo-profile: the command as a user runs it (`python -m karvo_dist --json -q FILE`,
  the same code as the console script), interpreter start and import included; it makes
  its profile without column summaries, since --json prints none. The table (the command
  without --json, which needs the summary) is a row for reference. --karvo-build NAME=DIR
  adds the --json command run with another build's package (DIR holds the karvo_dist
  package, as `pip install --target DIR` leaves it), say one from before a change;
- karvo in-process: `Profile(summaries=False).observe_jsonl(FILE)` and `report()`, for the
  start-up cost, the same with summaries (what the column summary costs), and the same
  read through a file object that counts the bytes, as the command reads a file when it
  draws a progress line on a terminal: what the progress line costs;
- with --reader-bench BINARY, jsonl_bench's C++ reader on every processor, with and
  without summaries: the reader alone, without interpreter, start-up or file reading;
- polars: `read_ndjson(FILE)`, then one select of null_count of every column,
  approx_n_unique of every column but the nested ones (which polars refuses, and karvo
  counts as null) and min/max of the numeric and boolean ones (karvo's bounds);
- DuckDB: one query over `read_json(FILE)` with count(*), count(c), min(c), max(c) and
  approx_count_distinct(c) for the same columns; `SUMMARIZE`, which computes more, is an
  extra row for reference.
simdjson's own parse-and-touch time over such a file is bench/jsonl_reader.cpp's figure.
karvo_dist's Profile always keeps column summaries, so the command computes them; with
--reader-bench BIN (jsonl_reader.cpp built as jsonl_bench) the same run also times the
reader alone on all cores, into an engine with summaries and without, the file already in
memory and no interpreter: what the command would take without summaries, near enough.
Peak RSS is the command's own (getrusage of a small launcher's children), on a ~100 MB
file and (--big) a ~1 GB one: memory should follow the chunk size and the columns, not
the file.
"""

from __future__ import annotations

import argparse
import os
import random
import resource
import shutil
import subprocess
import sys
import tempfile
import time
from pathlib import Path

CATEGORIES = ["alpha", "beta", "gamma", "delta", "epsilon", "zeta"]
WORDS = ["lorem", "ipsum", "dolor", "sit", "amet", "consectetur", "adipiscing"]
NUMERIC = ["id", "score", "count", "active", "ratio", "amount"]
COLUMNS = ["id", "user", "score", "count", "active", "tags", "meta", "note", "ts", "ratio",
           "category", "amount"]


def generate(path: Path, rows: int, seed: int = 42) -> None:
    rng = random.Random(seed)
    r = rng.getrandbits
    with path.open("w", encoding="utf-8") as out:
        lines = []
        for _ in range(rows):
            note = "null" if r(32) % 3 == 0 else '"' + " ".join(rng.choices(WORDS, k=4)) + '"'
            amount = "null" if r(32) % 5 == 0 else str(r(32) % 100000)
            ratio = "null" if r(32) % 4 == 0 else repr((r(32) % 997) / 991)
            lines.append(
                f'{{"id":{r(63)},"user":"user_{r(32) % 50000}","score":{r(32) % 1000000 / 1000},'
                f'"count":{r(32) % 100},"active":{"true" if r(1) else "false"},'
                f'"tags":["t{r(32) % 20}","t{r(32) % 20}"],"meta":{{"src":"web","v":{r(2)}}},'
                f'"note":{note},"ts":"2024-05-{1 + r(32) % 28:02d}T{r(32) % 24:02d}:'
                f'{r(32) % 60:02d}:{r(32) % 60:02d}","ratio":{ratio},'
                f'"category":"{rng.choice(CATEGORIES)}","amount":{amount}}}\n')
            if len(lines) == 10000:
                out.writelines(lines)
                lines.clear()
        out.writelines(lines)


def cached_file(directory: Path, rows: int) -> Path:
    path = directory / f"karvo_cli_bench_{rows}.jsonl"
    stamp = path.with_suffix(".rows")
    if not (path.exists() and stamp.exists() and stamp.read_text() == str(path.stat().st_size)):
        print(f"writing {rows:,} rows to {path} ...", flush=True)
        directory.mkdir(parents=True, exist_ok=True)
        generate(path, rows)
        stamp.write_text(str(path.stat().st_size))
    return path


def sized_file(source: Path, target: Path, size: int) -> Path:
    """A file of about `size` bytes: the source's lines, cut or repeated."""
    if target.exists() and abs(target.stat().st_size - size) < (1 << 20):
        return target
    with source.open("rb") as src, target.open("wb") as out:
        written = 0
        while written < size:
            src.seek(0)
            for line in src:
                out.write(line)
                written += len(line)
                if written >= size:
                    break
    return target


def command(*options: str) -> list[str]:
    return [sys.executable, "-m", "karvo_dist", *options, "-q"]


def run_command(path: Path, *options: str, package_dir: str | None = None) -> None:
    """One run of the command with the options (none: the table), its output read and
    dropped; package_dir, when given, is where the child imports karvo_dist from."""
    env = None
    if package_dir is not None:
        env = {**os.environ, "PYTHONPATH": package_dir}
    status = subprocess.run(command(*options) + [str(path)], stdout=subprocess.DEVNULL,
                            env=env).returncode
    if status != 0:
        sys.exit(f"karvo-profile failed with exit status {status}")


# Started by a small interpreter, not by this process: a child's peak RSS counts the
# memory of the process it was forked from, which here holds the peers' data.
MEASURE = """
import resource, subprocess, sys
status = subprocess.run(sys.argv[1:], stdout=subprocess.DEVNULL).returncode
print(resource.getrusage(resource.RUSAGE_CHILDREN).ru_maxrss)
sys.exit(status)
"""


def peak_rss(path: Path) -> tuple[float, int]:
    """Wall seconds and peak RSS in bytes of one run of the command."""
    started = time.perf_counter()
    measured = subprocess.run([sys.executable, "-c", MEASURE, *command("--json"), str(path)],
                              capture_output=True, text=True)
    if measured.returncode != 0:
        sys.exit(f"karvo-profile failed with exit status {measured.returncode}")
    return time.perf_counter() - started, int(measured.stdout) * 1024


def karvo_in_process(path: Path, fed: bool = False, summaries: bool = False) -> str:
    """The reader in this process: given the path, or (fed) given the file through the
    byte-counting object karvo-profile reads a file through when it shows progress."""
    from karvo_dist import Profile
    from karvo_dist.cli import Progress, _Counting
    profile = Profile(summaries=summaries)
    if fed:
        with path.open("rb") as raw:
            profile.observe_jsonl(_Counting(raw, Progress(path.stat().st_size, None)))
    else:
        profile.observe_jsonl(str(path))
    return profile.report()


def polars_stats(path: Path):
    import polars as pl
    frame = pl.read_ndjson(path)
    exprs = []
    for name, dtype in frame.schema.items():
        exprs.append(pl.col(name).null_count().alias(f"{name}:nulls"))
        if not dtype.is_nested():  # unsupported there; karvo counts nested values as null
            exprs.append(pl.col(name).approx_n_unique().alias(f"{name}:distinct"))
        if dtype.is_numeric() or dtype == pl.Boolean:
            exprs += [pl.col(name).min().alias(f"{name}:min"),
                      pl.col(name).max().alias(f"{name}:max")]
    return frame.select(exprs).row(0)


def duckdb_query(path: Path) -> str:
    import duckdb
    source = f"read_json('{path}', format='newline_delimited')"
    types = {row[0]: row[1] for row in duckdb.sql(f"DESCRIBE SELECT * FROM {source}").fetchall()}
    parts = ["count(*)"]
    for name, kind in types.items():
        column = '"' + name.replace('"', '""') + '"'
        parts.append(f"count({column})")
        if not kind.endswith("]") and not kind.startswith(("STRUCT", "MAP")):
            parts.append(f"approx_count_distinct({column})")
        if kind.split("(")[0] in ("BIGINT", "UBIGINT", "INTEGER", "DOUBLE", "BOOLEAN", "HUGEINT",
                                  "FLOAT", "DECIMAL", "SMALLINT", "TINYINT"):
            parts += [f"min({column})", f"max({column})"]
    return f"SELECT {', '.join(parts)} FROM {source}"


def duckdb_stats(query: str):
    import duckdb
    return duckdb.sql(query).fetchall()


def duckdb_summarize(path: Path):
    import duckdb
    return duckdb.sql(
        f"SUMMARIZE SELECT * FROM read_json('{path}', format='newline_delimited')").fetchall()


def reader_bench(binary: Path, path: Path, mode: str, repeat: int) -> tuple[float, float]:
    """jsonl_bench's reader mode on every processor: its best wall seconds, and the CPU
    seconds of one run (the child's CPU time over its runs, averaged)."""
    before = resource.getrusage(resource.RUSAGE_CHILDREN)
    out = subprocess.run([str(binary), str(path), str(repeat), mode, "0"], check=True,
                         capture_output=True, text=True).stdout
    after = resource.getrusage(resource.RUSAGE_CHILDREN)
    cpu = (after.ru_utime + after.ru_stime - before.ru_utime - before.ru_stime) / repeat
    return float(out.strip().splitlines()[-1].split()[-3]), cpu


def cpu_seconds() -> float:
    """CPU time of this process (every thread) and of its waited-for children."""
    children = resource.getrusage(resource.RUSAGE_CHILDREN)
    return time.process_time() + children.ru_utime + children.ru_stime


def best(work, repeat: int) -> tuple[float, float]:
    """The least wall time and the least CPU time of `repeat` runs."""
    walls, cpus = [], []
    for _ in range(repeat):
        cpu = cpu_seconds()
        started = time.perf_counter()
        work()
        walls.append(time.perf_counter() - started)
        cpus.append(cpu_seconds() - cpu)
    return min(walls), min(cpus)


def main() -> int:
    p = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    p.add_argument("--rows", type=int, default=1_000_000)
    p.add_argument("--repeat", type=int, default=3)
    p.add_argument("--dir", type=Path, default=Path(tempfile.gettempdir()))
    p.add_argument("--big", action="store_true", help="also the ~1 GB memory point")
    p.add_argument("--reader-bench", type=Path, default=None,
                   help="jsonl_bench binary: also time the C++ reader with and without "
                        "column summaries")
    p.add_argument("--only", default="karvo,polars,duckdb",
                   help="comma-separated tools to time (karvo, polars, duckdb)")
    p.add_argument("--karvo-build", action="append", default=[], metavar="NAME=DIR",
                   help="also time the --json command importing karvo_dist from DIR")
    args = p.parse_args()
    builds = []
    for given in args.karvo_build:
        name, _, directory = given.partition("=")
        if not name or not Path(directory, "karvo_dist").is_dir():
            p.error(f"--karvo-build wants NAME=DIR, DIR holding karvo_dist, not {given!r}")
        builds.append((name, str(Path(directory).resolve())))
    only = set(args.only.split(","))

    path = cached_file(args.dir, args.rows)
    size = path.stat().st_size
    print(f"{args.rows:,} rows, {len(COLUMNS)} columns, {size / 1e6:.0f} MB; "
          f"{os.cpu_count()} CPUs; best of {args.repeat}")

    results: list[tuple[str, tuple[float, float]]] = []
    if "karvo" in only:
        results.append(("karvo-profile --json",
                        best(lambda: run_command(path, "--json"), args.repeat)))
        for name, directory in builds:
            results.append((f"karvo-profile --json ({name})",
                            best(lambda d=directory: run_command(path, "--json", package_dir=d),
                                 args.repeat)))
        results.append(("karvo-profile, table (with summaries)",
                        best(lambda: run_command(path), args.repeat)))
        results.append(("karvo in-process (observe_jsonl(path) + report)",
                        best(lambda: karvo_in_process(path), args.repeat)))
        results.append(("karvo in-process, with summaries",
                        best(lambda: karvo_in_process(path, summaries=True), args.repeat)))
        results.append(("karvo in-process, through a counting file (progress)",
                        best(lambda: karvo_in_process(path, fed=True), args.repeat)))
    if "karvo" in only and args.reader_bench is not None:
        for mode, label in (("reader-summary", "with"), ("reader", "without")):
            results.append((f"karvo C++ reader, all cores, {label} summaries",
                            reader_bench(args.reader_bench, path, mode, args.repeat)))
    if "polars" in only:
        try:
            import polars
            results.append((f"polars {polars.__version__} read_ndjson + stats",
                            best(lambda: polars_stats(path), args.repeat)))
        except ImportError:
            print("polars is not installed: skipped")
    if "duckdb" in only:
        try:
            import duckdb
            query = duckdb_query(path)
            results.append((f"DuckDB {duckdb.__version__} read_json + same figures",
                            best(lambda: duckdb_stats(query), args.repeat)))
            results.append(("DuckDB SUMMARIZE (extra: computes more)",
                            best(lambda: duckdb_summarize(path), args.repeat)))
        except ImportError:
            print("duckdb is not installed: skipped")

    base = results[0][1] if results and results[0][0].startswith("karvo-profile") else None
    width = max(len(name) for name, _ in results) if results else 0
    if base:
        print(f"  {'':<{width}}     wall      MB/s      CPU  (x karvo-profile --json's: wall, CPU)")
    for name, (wall, cpu) in results:
        ratio = f"{wall / base[0]:6.2f}x {cpu / base[1]:6.2f}x" if base else ""
        print(f"  {name:<{width}}  {wall:7.3f} s {size / wall / 1e6:7.1f}  {cpu:7.3f} s  {ratio}")

    if "karvo" in only:
        print("peak RSS of karvo-profile --json:")
        points = [(args.dir / "karvo_cli_bench_100MB.jsonl", 100_000_000)]
        if args.big:
            points.append((args.dir / "karvo_cli_bench_1GB.jsonl", 1_000_000_000))
        for target, target_size in points:
            sized = sized_file(path, target, target_size)
            seconds, rss = peak_rss(sized)
            print(f"  {sized.stat().st_size / 1e6:7.0f} MB file: {rss / 1e6:7.1f} MB peak RSS "
                  f"({seconds:.2f} s)")
    if shutil.which("karvo-profile") is None:
        print("(timed as python -m karvo_dist: the console script is not on PATH)")
    return 0


if __name__ == "__main__":
    sys.exit(main())
