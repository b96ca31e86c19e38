"""What the column summary costs: karvo_dist.Profile.observe_dicts (which keeps one)
against karvo.Profiler.observe_dicts (which does not), and beside them DuckDB's SUMMARIZE
and polars' describe() on the same rows.

    python bench/summary_cost.py [--workloads mixed,strings] [--runs 5] [--scale 1]
    python bench/summary_cost.py --build before=old/build [--build after=new/build]
    python bench/summary_cost.py --peers           # DuckDB and polars too

The rows are bench/run.py's workloads (same seed, same generators), serialised to JSON once;
every timed call gets them fresh from json.loads, as run.py does, and only the call itself
is timed (garbage collection paused). Each side runs in a child process of its own, the
sides taking turns within each round; the best wall and the best CPU time (all threads) of
the rounds are given, and every ratio is taken within this one run.

Sides: `karvo` (karvo.Profiler, no summary) and `dist` (karvo_dist.Profile, summary
collected, summary() read out once) of the installed packages; `dist@NAME` for each --build
NAME=DIR, DIR a build directory holding karvo_dist/ as CMake assembles it (or any directory
karvo_dist imports from). With --peers, `duckdb` (SUMMARIZE of a table made from the rows)
and `polars` (describe() of a frame made from the rows): their frame or table is built
before the clock starts, and what each one gives is listed at the end.

Every build's summary() must equal the installed karvo_dist's for the same rows and seed:
the bench says so, or says REPORTS DIFFER and exits 1.
"""

import argparse
import importlib.util
import json
import os
import subprocess
import sys
import tempfile
from pathlib import Path

BENCH_DIR = Path(__file__).resolve().parent

# A child: reads the rows' JSON text, times `runs` calls of one side, prints the best wall
# and CPU seconds and, for the profile sides, the summary view.
CHILD = r"""
import gc, json, sys, time
side, path, runs = sys.argv[1], sys.argv[2], int(sys.argv[3])
with open(path, encoding="utf-8") as f:
    text = f.read()

def timed(call, prepare):
    best_wall = best_cpu = float("inf")
    result = None
    for _ in range(runs):
        data = prepare()
        gc.collect()
        gc.disable()
        wall, cpu = time.perf_counter(), time.process_time()
        result = call(data)
        wall, cpu = time.perf_counter() - wall, time.process_time() - cpu
        gc.enable()
        best_wall, best_cpu = min(best_wall, wall), min(best_cpu, cpu)
    return best_wall, best_cpu, result

rows = lambda: json.loads(text)
if side == "karvo":
    import karvo
    def call(data):
        p = karvo.Profiler()
        p.observe_dicts(data)
        return p.flush()
    wall, cpu, out = timed(call, rows)
    out = ""
elif side == "dist":
    from karvo_dist import Profile
    def call(data):
        p = Profile(seed=7)
        p.observe_dicts(data)
        return p.summary()
    wall, cpu, out = timed(call, rows)
    out = json.dumps(out, sort_keys=True)
elif side == "polars":
    import polars as pl
    frame = lambda: pl.DataFrame(json.loads(text), infer_schema_length=None)
    wall, cpu, out = timed(lambda df: df.describe(), frame)
    out = ""
elif side == "duckdb":
    import duckdb, polars as pl
    # The rows reach DuckDB as a table loaded from Parquet that polars writes (the frame
    # polars would build): the same values, typed alike, before the clock starts.
    parquet = path + ".parquet"
    pl.DataFrame(json.loads(text), infer_schema_length=None).write_parquet(parquet)
    def table():
        con = duckdb.connect()
        con.execute(f"CREATE TABLE t AS SELECT * FROM read_parquet('{parquet}')")
        return con
    wall, cpu, out = timed(lambda con: con.execute("SUMMARIZE t").fetchall(), table)
    out = ""
print(wall, cpu)
print(out)
"""

# What each side gives per column (checked by hand against each tool's output).
FIGURES = {
    "karvo": "count, nulls, min, max, distinct estimate (HLL++)",
    "dist": "the same, plus value kinds, zeros/negatives/NaN/inf, exact sum, mean and std, "
            "7 quantiles (sketch, k=600), 10 top values with error bounds, text lengths",
    "duckdb": "type, min, max, approx_unique, avg, std, q25/q50/q75 (approximate), count, "
              "null_percentage",
    "polars": "count, null_count, mean, std, min, 25%/50%/75%, max (exact; numeric columns, "
              "min/max of texts)",
}


def load_workloads():
    found = importlib.util.spec_from_file_location("bench_run", BENCH_DIR / "run.py")
    module = importlib.util.module_from_spec(found)
    found.loader.exec_module(module)
    return module


def run_child(side, directory, path, runs):
    env = dict(os.environ)
    if directory is not None:
        env["PYTHONPATH"] = os.pathsep.join(filter(None, [directory, env.get("PYTHONPATH")]))
    done = subprocess.run([sys.executable, "-c", CHILD, side, path, str(runs)], env=env,
                          capture_output=True, text=True, timeout=1800)
    if done.returncode != 0:
        raise RuntimeError(f"{side}: {done.stderr.strip()[-2000:]}")
    times, out = done.stdout.split("\n", 1)
    wall, cpu = map(float, times.split())
    return wall, cpu, out


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--workloads", default="mixed,strings")
    parser.add_argument("--runs", type=int, default=5, help="timed calls per round")
    parser.add_argument("--rounds", type=int, default=2)
    parser.add_argument("--scale", type=float, default=1.0)
    parser.add_argument("--peers", action="store_true", help="also DuckDB and polars")
    parser.add_argument("--build", action="append", default=[], metavar="NAME=DIR")
    args = parser.parse_args()
    sides = {"karvo": None, "dist": None}
    for given in args.build:
        name, sep, directory = given.partition("=")
        if not sep or not name or not directory:
            parser.error(f"--build wants NAME=DIR, not {given!r}")
        sides[f"dist@{name}"] = os.path.abspath(directory)
    if args.peers:
        sides["duckdb"] = sides["polars"] = None
    run = load_workloads()
    ok = True
    with tempfile.TemporaryDirectory() as scratch:
        for name in args.workloads.split(","):
            workload = run.Workload(name, args.scale)
            path = os.path.join(scratch, f"{name}.json")
            with open(path, "w", encoding="utf-8") as f:
                f.write(workload.text)
            print(f"== {name}: {workload.rows} rows, {workload.cells} cells, "
                  f"{workload.columns} columns")
            best, best_cpu, summaries = {}, {}, set()
            for round_ in range(args.rounds):
                names = list(sides)
                names = names[round_ % len(names):] + names[:round_ % len(names)]
                for side in names:
                    kind = side.split("@")[0]
                    wall, cpu, out = run_child(kind, sides[side], path, args.runs)
                    best[side] = min(best.get(side, wall), wall)
                    best_cpu[side] = min(best_cpu.get(side, cpu), cpu)
                    if kind == "dist":
                        summaries.add(out)
            for side in sides:
                print(f"  {side:16} wall {best[side]:6.3f} s  cpu {best_cpu[side]:6.3f} s  "
                      f"x karvo: wall {best[side] / best['karvo']:5.2f}, "
                      f"cpu {best_cpu[side] / best_cpu['karvo']:5.2f}  "
                      f"x dist: cpu {best_cpu[side] / best_cpu['dist']:5.3f}")
            if len(summaries) != 1:
                print("  REPORTS DIFFER")
                ok = False
            else:
                print("  summaries equal")
    if args.peers:
        print("\nwhat each gives per column:")
        for side, figures in FIGURES.items():
            print(f"  {side:8} {figures}")
    return 0 if ok else 1


if __name__ == "__main__":
    raise SystemExit(main())
