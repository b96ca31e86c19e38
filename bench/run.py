#!/usr/bin/env python3
"""Benchmark of karvo against the read-only floor and against peer tools.

    python bench/run.py                      # full run: 4 workloads, all tools, best of 5
    python bench/run.py --quick              # rows / 10, best of 3, for a fast look
    python bench/run.py --only karvo,floor   # just these tools
    python bench/run.py --workloads mixed --repeat 7 --json out.json

Every workload is generated from a fixed seed, serialised to JSON text once,
and parsed with json.loads before each timed call, so every tool gets rows as
a JSON loader hands them out: a fresh str object per text value, key objects
shared across the rows of one document. Only the tool's own call is timed
(garbage collection paused, as timeit does). The tools take turns within each
round, so that a burst of load on the machine hits them alike; the best of
the rounds is reported. Ratios are taken between times of the same run.

Tools that are not installed are skipped with a note. See bench/README.md for
what the columns mean and how the memory figures are taken.
"""

from __future__ import annotations

import argparse
import ctypes
import gc
import importlib.machinery
import importlib.util
import json
import math
import os
import random
import shlex
import statistics
import struct
import subprocess
import sys
import sysconfig
import tempfile
import time
from pathlib import Path

BENCH_DIR = Path(__file__).resolve().parent
FLOOR_SOURCE = BENCH_DIR / "floor.c"
FLOOR_BUILD_DIR = BENCH_DIR / "_floor_build"
FLOOR_MODULE = "_karvo_bench_floor"

SEED = 20261210
ALL_TOOLS = ["floor", "karvo", "polars", "pandas", "datasketches", "python"]
ALL_WORKLOADS = ["mixed", "wide", "strings", "sparse"]

# Targets of the hot path, checked in the summary.
TARGET_FLOOR_RATIO = 3.0
TARGET_PEER_SPEEDUP = 5.0
TARGET_TRANSIENT_BYTES_PER_CELL = 32.0
TARGET_PERSISTENT_BYTES_PER_COLUMN = 16 * 1024
# Allowed relative error of karvo's distinct estimate against the exact count:
# the sketch's standard error at precision 14 is about 0.8 %, and with 200
# columns in one workload a 3-sigma miss is to be expected somewhere.
ESTIMATE_TOLERANCE = 0.04


# --------------------------------------------------------------------------
# The floor: a tiny C extension compiled here, never shipped.


def build_floor() -> object:
    """Compiles bench/floor.c (when the build is missing or older) and imports it."""
    FLOOR_BUILD_DIR.mkdir(exist_ok=True)
    target = FLOOR_BUILD_DIR / (FLOOR_MODULE + ".abi3.so")
    if not target.exists() or target.stat().st_mtime < FLOOR_SOURCE.stat().st_mtime:
        cc = shlex.split(sysconfig.get_config_var("CC") or "cc")
        include = sysconfig.get_paths()["include"]
        command = cc + [
            "-O2", "-fPIC", "-shared", "-Wall", "-Wextra", "-fvisibility=hidden",
            "-I", include, str(FLOOR_SOURCE), "-o", str(target),
        ]
        subprocess.run(command, check=True)
    loader = importlib.machinery.ExtensionFileLoader(FLOOR_MODULE, str(target))
    location = importlib.util.spec_from_file_location(FLOOR_MODULE, str(target), loader=loader)
    module = importlib.util.module_from_spec(location)
    loader.exec_module(module)
    return module


# --------------------------------------------------------------------------
# Workloads. Each generator returns plain Python rows; they are turned into
# JSON text once and parsed again before every timed call.

LETTERS = "abcdefghijklmnopqrstuvwxyz"
# Letters outside ASCII, so that some texts need a real UTF-8 encoding.
ACCENTED = "áéíóúãõçñüøåßłžşğ"


def random_text(rng: random.Random, low: int, high: int, accented: float = 0.0) -> str:
    length = rng.randint(low, high)
    chars = [rng.choice(LETTERS) for _ in range(length)]
    if accented and rng.random() < accented:
        chars[rng.randrange(length)] = rng.choice(ACCENTED)
    return "".join(chars)


def distinct_texts(rng: random.Random, count: int, low: int, high: int,
                   accented: float = 0.0) -> list[str]:
    seen: set[str] = set()
    out: list[str] = []
    while len(out) < count:
        text = random_text(rng, low, high, accented)
        if text not in seen:
            seen.add(text)
            out.append(text)
    return out


def spread(rng: random.Random, pool: list, n: int) -> list:
    """n values drawn from pool such that min(n, len(pool)) of them are distinct."""
    values = [pool[i % len(pool)] for i in range(n)]
    rng.shuffle(values)
    return values


def gen_mixed(rng: random.Random, n: int) -> list[dict]:
    ids = rng.sample(range(10**12), n)
    status = spread(rng, list(range(10)), n)
    store = spread(rng, list(range(-500, 500)), n)
    customer = spread(rng, rng.sample(range(10**7), 100_000), n)
    country = spread(rng, distinct_texts(rng, 50, 2, 6), n)
    user = spread(rng, distinct_texts(rng, 100_000, 6, 12), n)
    rows = []
    for i in range(n):
        rows.append({
            "id": ids[i],
            "status": status[i],
            "store": store[i],
            "customer": customer[i],
            "price": round(rng.uniform(0.5, 500.0), 2),
            "ratio": rng.random(),
            "discount": None if rng.random() < 0.05 else round(rng.gauss(0.0, 10.0), 3),
            "country": country[i],
            "user": user[i],
            "active": rng.random() < 0.7,
        })
    return rows


def gen_wide(rng: random.Random, n: int) -> list[dict]:
    columns = 200
    data = []
    for c in range(columns):
        kind = c % 4
        if kind == 0:
            col = spread(rng, list(range(10)), n)
        elif kind == 1:
            col = spread(rng, rng.sample(range(10**6), 1000), n)
        elif kind == 2:
            col = [round(rng.gauss(100.0, 25.0), 2) for _ in range(n)]
        else:
            col = [rng.random() * 1e6 for _ in range(n)]
        data.append(col)
    names = [f"m{c:03d}" for c in range(columns)]
    return [{names[c]: data[c][i] for c in range(columns)} for i in range(n)]


def gen_strings(rng: random.Random, n: int) -> list[dict]:
    name = spread(rng, distinct_texts(rng, 5000, 8, 20), n)
    city = spread(rng, distinct_texts(rng, 1000, 8, 16, accented=0.3), n)
    email = [random_text(rng, 15, 40) for _ in range(n)]
    note = [random_text(rng, 20, 40, accented=0.1) for _ in range(n)]
    return [{"name": name[i], "email": email[i], "city": city[i], "note": note[i]}
            for i in range(n)]


def gen_sparse(rng: random.Random, n: int) -> list[dict]:
    columns = 50
    names = [f"k{c:02d}" for c in range(columns)]
    texts = distinct_texts(rng, 500, 4, 12)
    rows = []
    for _ in range(n):
        row = {}
        for c in sorted(rng.sample(range(columns), 5)):
            kind = c % 3
            if kind == 0:
                row[names[c]] = rng.randrange(1000)
            elif kind == 1:
                row[names[c]] = round(rng.uniform(-100.0, 100.0), 3)
            else:
                row[names[c]] = rng.choice(texts)
        rows.append(row)
    return rows


WORKLOADS = {
    "mixed": (gen_mixed, 200_000,
              "ints of cardinality 10, 1,000, 100,000 and unique; 3 floats, one 5% None; "
              "texts of cardinality 50 and 100,000; one bool"),
    "wide": (gen_wide, 20_000, "200 numeric columns: ints of cardinality 10 and 1,000, "
             "2-decimal floats, unique floats"),
    "strings": (gen_strings, 200_000, "4 texts of 8-40 characters: cardinality 5,000, "
                "1,000 (30% non-ASCII), unique, unique (10% non-ASCII)"),
    "sparse": (gen_sparse, 200_000, "each row 5 of 50 columns (ints, floats, texts)"),
}


class Workload:
    def __init__(self, name: str, scale: float):
        generate, rows, self.description = WORKLOADS[name]
        self.name = name
        self.rows = max(1, int(rows * scale))
        data = generate(random.Random(f"{SEED}:{name}"), self.rows)
        self.cells = sum(len(row) for row in data)
        self.columns = len({key for row in data for key in row})
        self.text = json.dumps(data, separators=(",", ":"), ensure_ascii=False)

    def load(self) -> list[dict]:
        return json.loads(self.text)


# --------------------------------------------------------------------------
# Tools. Each one takes the rows and returns its profile (or a checksum).


# Seconds that the last call of a dataframe peer spent building its frame from
# the rows (the rest is its column statistics): where a peer's time goes.
LOAD_PHASE: dict = {}


def make_tools(floor_module) -> tuple[dict, dict]:
    """Returns ({name: callable}, {name: reason it was skipped})."""
    tools: dict = {}
    skipped: dict = {}

    if floor_module is not None:
        tools["floor"] = floor_module.walk

    try:
        import karvo

        def run_karvo(rows):
            profiler = karvo.Profiler()
            profiler.observe_dicts(rows)
            return profiler.flush()

        tools["karvo"] = run_karvo
    except ImportError as error:
        skipped["karvo"] = f"not importable ({error}); install with `pip install .`"

    try:
        import polars as pl

        def run_polars(rows):
            # infer_schema_length=None infers each column's type from all rows
            # (a key first seen late, an int column with a float later on);
            # strict=False turns a value that does not fit the inferred type
            # into null instead of failing.
            start = clock_ns()
            df = pl.from_dicts(rows, infer_schema_length=None, strict=False)
            LOAD_PHASE["polars"] = (clock_ns() - start) / 1e9
            exprs = []
            for i, (name, dtype) in enumerate(df.schema.items()):
                col = pl.col(name)
                exprs.append(col.null_count().alias(f"{i}:nulls"))
                exprs.append(col.approx_n_unique().alias(f"{i}:distinct"))
                if dtype.is_numeric() or dtype == pl.Boolean:
                    exprs.append(col.min().alias(f"{i}:min"))
                    exprs.append(col.max().alias(f"{i}:max"))
            return df.height, df.select(exprs).row(0)

        tools["polars"] = run_polars
    except ImportError:
        skipped["polars"] = "not installed (pip install .[bench])"

    try:
        import pandas as pd

        def run_pandas(rows):
            start = clock_ns()
            df = pd.DataFrame(rows)
            LOAD_PHASE["pandas"] = (clock_ns() - start) / 1e9
            counts = df.count()
            nulls = df.isna().sum()
            numeric = df.select_dtypes(include=["number", "bool"])
            return counts, nulls, numeric.min(), numeric.max(), df.nunique()

        tools["pandas"] = run_pandas
    except ImportError:
        skipped["pandas"] = "not installed (pip install .[bench])"

    try:
        from datasketches import hll_sketch

        def run_datasketches(rows):
            columns: dict = {}
            for row in rows:
                for key, value in row.items():
                    state = columns.get(key)
                    if state is None:
                        state = columns[key] = [0, 0, math.inf, -math.inf, hll_sketch(14)]
                    state[0] += 1
                    if value is None:
                        state[1] += 1
                    elif type(value) is str:
                        state[4].update(value)
                    else:
                        if value < state[2]:
                            state[2] = value
                        if value > state[3]:
                            state[3] = value
                        state[4].update(value)
            return {key: (s[0], s[1], s[2], s[3], s[4].get_estimate())
                    for key, s in columns.items()}

        tools["datasketches"] = run_datasketches
    except ImportError:
        skipped["datasketches"] = "not installed (pip install .[bench])"

    def run_python(rows):
        columns: dict = {}
        for row in rows:
            for key, value in row.items():
                state = columns.get(key)
                if state is None:
                    state = columns[key] = [0, 0, math.inf, -math.inf, set()]
                state[0] += 1
                if value is None:
                    state[1] += 1
                elif type(value) is str:
                    state[4].add(value)
                else:
                    if value < state[2]:
                        state[2] = value
                    if value > state[3]:
                        state[3] = value
                    state[4].add(value)
        return {key: (s[0], s[1], s[2], s[3], len(s[4])) for key, s in columns.items()}

    tools["python"] = run_python
    return tools, skipped


def load_karvo_build(path: str):
    """The karvo extension module built at `path` (another build, loaded beside the
    installed one: each load of the file makes a module object of its own)."""
    found = importlib.util.spec_from_file_location("karvo", path)
    if found is None or found.loader is None:
        raise ImportError(f"{path} is not an extension module")
    module = importlib.util.module_from_spec(found)
    found.loader.exec_module(module)

    def run_build(rows):
        profiler = module.Profiler()
        profiler.observe_dicts(rows)
        return profiler.flush()

    return run_build


def is_peer(tool: str) -> bool:
    return tool not in ("karvo", "floor") and not tool.startswith("karvo@")


# --------------------------------------------------------------------------
# Correctness check: karvo's report against an exact profile made in Python
# with the same value rules (None, NaN and unsupported types are null; ints
# and floats share one key space through their double; texts are compared
# as texts).


def exact_profile(rows: list[dict]) -> dict:
    columns: dict = {}
    for row in rows:
        for key, value in row.items():
            state = columns.get(key)
            if state is None:
                state = columns[key] = {"total": 0, "nulls": 0, "min": math.inf,
                                        "max": -math.inf, "keys": set()}
            state["total"] += 1
            number = None
            if value is None:
                pass
            elif isinstance(value, int):
                try:
                    number = float(value)
                except OverflowError:
                    number = None
            elif isinstance(value, float):
                number = None if math.isnan(value) else value
            elif isinstance(value, str):
                try:
                    value.encode("utf-8")
                    state["keys"].add(("s", value))
                    continue
                except UnicodeEncodeError:
                    pass
            if number is None:
                state["nulls"] += 1
                continue
            if number < state["min"]:
                state["min"] = number
            if number > state["max"]:
                state["max"] = number
            state["keys"].add(("n", struct.pack("<d", number)))
    return columns


def check_karvo(workload: Workload, run_karvo) -> tuple[bool, list[str]]:
    rows = workload.load()
    report = json.loads(run_karvo(rows))
    exact = exact_profile(rows)
    problems = []
    if set(report) != set(exact):
        problems.append(f"columns differ: karvo {sorted(report)[:5]}..., "
                        f"exact {sorted(exact)[:5]}...")
    worst, worst_name = 0.0, ""
    for name in sorted(set(report) & set(exact)):
        got, want = report[name], exact[name]
        want_min = want["min"] if math.isfinite(want["min"]) else None
        want_max = want["max"] if math.isfinite(want["max"]) else None
        pairs = [("total_count", want["total"]), ("null_count", want["nulls"]),
                 ("min_val", want_min), ("max_val", want_max)]
        for field, expected in pairs:
            if got.get(field) != expected:
                problems.append(f"{name}.{field}: karvo {got.get(field)!r}, exact {expected!r}")
        distinct = len(want["keys"])
        estimate = got.get("estimated_cardinality")
        error = abs(estimate - distinct) / max(distinct, 1)
        if error >= worst:
            worst, worst_name = error, f"{name}: {estimate} for {distinct}"
        if error > ESTIMATE_TOLERANCE and abs(estimate - distinct) > 1:
            problems.append(f"{name}.estimated_cardinality: karvo {estimate}, exact {distinct}")
    summary = (f"check {workload.name}: {len(exact)} columns, total/null/min/max exact "
               f"{'yes' if not problems else 'NO'}, "
               f"worst estimate error {worst * 100:.2f}% ({worst_name})")
    return not problems, [summary] + ["  " + p for p in problems[:20]]


# --------------------------------------------------------------------------
# Timing.


# The clock that ranks the tools: "cpu" (the default) is the CPU time of this
# process, all its threads together; "wall" is elapsed time. On a machine
# shared with other work the CPU time leaves out the time the benchmark spent
# waiting for a core, which otherwise lands at random on whichever tool ran
# longest. For a tool that works on several threads (polars) the CPU time is
# the sum over its threads, so the table shows its wall time too.
CLOCKS = {"cpu": time.process_time_ns, "wall": time.perf_counter_ns}
clock_ns = CLOCKS["cpu"]


def time_call(fn, rows) -> tuple[float, float]:
    """(seconds on the chosen clock, wall seconds) of one call."""
    gc.collect()
    gc.disable()
    try:
        wall_start = time.perf_counter_ns()
        start = clock_ns()
        fn(rows)
        seconds = (clock_ns() - start) / 1e9
        return seconds, (time.perf_counter_ns() - wall_start) / 1e9
    finally:
        gc.enable()


# Per dataframe peer, the share of each round's time spent building the frame.
LOAD_SHARE: dict = {}


def measure(workload: Workload, tools: dict, repeat: int, errors: dict) -> tuple[dict, dict]:
    """Seconds per round per tool on the chosen clock, and wall seconds likewise;
    the tools take turns within each round."""
    times: dict = {name: [] for name in tools}
    walls: dict = {name: [] for name in tools}
    for _ in range(repeat):
        for name, fn in tools.items():
            if name in errors:
                continue
            rows = workload.load()
            try:
                seconds, wall = time_call(fn, rows)
                times[name].append(seconds)
                walls[name].append(wall)
                if name in LOAD_PHASE:
                    LOAD_SHARE.setdefault(name, []).append(LOAD_PHASE.pop(name) / seconds)
            except Exception as error:  # a tool that fails is reported, not fatal
                errors[name] = f"{type(error).__name__}: {error}"
            del rows
    return ({name: t for name, t in times.items() if t},
            {name: t for name, t in walls.items() if t})


def print_table(workload: Workload, times: dict, walls: dict) -> dict:
    cells = workload.cells
    best = {name: min(t) for name, t in times.items()}
    floor = best.get("floor")
    karvo = best.get("karvo")
    print(f"\n== {workload.name}: {workload.rows:,} rows, {workload.columns} columns, "
          f"{cells:,} cells ({workload.description})")
    header = (f"{'tool':<13}{'best ms':>10}{'median ms':>11}{'wall ms':>10}{'ns/cell':>10}"
              f"{'Mcells/s':>10}{'x floor':>9}{'peer/karvo':>12}")
    print(header)
    print("-" * len(header))
    rows = {}
    for name, seconds in sorted(best.items(), key=lambda item: item[1]):
        ns_cell = seconds * 1e9 / cells
        x_floor = f"{seconds / floor:.2f}" if floor else "-"
        if karvo and name not in ("karvo", "floor"):  # for another build: how much faster
            vs_karvo = f"{seconds / karvo:.1f}x"
        else:
            vs_karvo = "-"
        print(f"{name:<13}{seconds * 1e3:>10.1f}{statistics.median(times[name]) * 1e3:>11.1f}"
              f"{min(walls[name]) * 1e3:>10.1f}{ns_cell:>10.1f}{cells / seconds / 1e6:>10.2f}"
              f"{x_floor:>9}{vs_karvo:>12}")
        rows[name] = {"best_s": seconds, "median_s": statistics.median(times[name]),
                      "best_wall_s": min(walls[name]),
                      "ns_per_cell": ns_cell, "mcells_per_s": cells / seconds / 1e6,
                      "x_floor": seconds / floor if floor else None,
                      "peer_over_karvo": seconds / karvo if karvo and is_peer(name) else None}
        if karvo and name.startswith("karvo@"):
            rows[name]["build_over_karvo"] = seconds / karvo
    for name, shares in sorted(LOAD_SHARE.items()):
        print(f"  {name}: {statistics.median(shares):.0%} of its time goes into building "
              "the frame from the rows, the rest into the column statistics")
        if name in rows:
            rows[name]["load_share"] = statistics.median(shares)
    LOAD_SHARE.clear()
    if floor and karvo and len(times["karvo"]) == len(times["floor"]):
        # karvo and the floor run next to each other in every round, so the
        # ratio within a round is little disturbed by load that comes and goes.
        paired = [k / f for k, f in zip(times["karvo"], times["floor"])]
        rows["karvo"]["x_floor_paired"] = statistics.median(paired)
    return rows


# --------------------------------------------------------------------------
# Memory, measured in a child process so that nothing of the parent (other
# workloads, other tools' leftovers) is in its figures.


def read_status() -> dict:
    fields = {}
    with open("/proc/self/status") as status:
        for line in status:
            name, _, rest = line.partition(":")
            if name in ("VmRSS", "VmHWM"):
                fields[name] = int(rest.split()[0]) * 1024
    return fields


def reset_peak() -> bool:
    """Sets the peak (VmHWM) back to the current RSS; Linux 4.0 and later."""
    try:
        with open("/proc/self/clear_refs", "w") as clear_refs:
            clear_refs.write("5")
        return True
    except OSError:
        return False


def trim_heap() -> None:
    """Hands freed heap pages back to the system, so RSS shows what is still in use."""
    try:
        ctypes.CDLL("libc.so.6").malloc_trim(0)
    except (OSError, AttributeError):
        pass


def deep_size(rows: list[dict]) -> int:
    """Bytes of the list, its dicts and every distinct object they hold."""
    seen = set()
    total = sys.getsizeof(rows)
    for row in rows:
        total += sys.getsizeof(row)
        for key, value in row.items():
            for obj in (key, value):
                if id(obj) not in seen:
                    seen.add(id(obj))
                    total += sys.getsizeof(obj)
    return total


def memory_child(tool: str, text_path: str) -> None:
    """Runs in a child: prints the memory figures of one tool on one workload as JSON."""
    if tool == "karvo":
        import karvo

        profiler = karvo.Profiler()
        run = profiler.observe_dicts
    else:
        run = build_floor().walk
        profiler = None
    text = Path(text_path).read_text(encoding="utf-8")
    gc.collect()
    trim_heap()
    before_rows = read_status()["VmRSS"]
    rows = json.loads(text)
    gc.collect()
    trim_heap()
    rows_rss = read_status()["VmRSS"] - before_rows
    del text
    gc.collect()
    trim_heap()
    cells = sum(len(row) for row in rows)
    columns = len({key for row in rows for key in row})
    peak_reset = reset_peak()
    base = read_status()["VmRSS"]
    gc.disable()
    run(rows)
    gc.enable()
    during = read_status()
    trim_heap()
    after = read_status()["VmRSS"]
    if profiler is not None:
        profiler.flush()
    trim_heap()
    after_flush = read_status()["VmRSS"]
    print(json.dumps({
        "tool": tool, "cells": cells, "columns": columns,
        "rows_rss": rows_rss, "rows_deep_size": deep_size(rows),
        "base_rss": base, "peak_rss": during["VmHWM"], "peak_reset": peak_reset,
        "after_rss": after, "after_flush_rss": after_flush,
    }))


def measure_memory(workload: Workload, tool: str) -> dict | None:
    with tempfile.NamedTemporaryFile("w", suffix=".json", encoding="utf-8",
                                     delete=False) as handle:
        handle.write(workload.text)
        path = handle.name
    try:
        result = subprocess.run([sys.executable, __file__, "--memory-child", tool, path],
                                capture_output=True, text=True)
    finally:
        os.unlink(path)
    if result.returncode != 0:
        print(f"  memory of {tool} failed: {result.stderr.strip()[-400:]}")
        return None
    return json.loads(result.stdout.strip().splitlines()[-1])


def print_memory(workload: Workload, figures: dict) -> dict:
    mib = 1024 * 1024
    print(f"\n== memory, {workload.name}: {workload.cells:,} cells, {workload.columns} columns")
    header = (f"{'tool':<8}{'rows RSS':>11}{'rows deep':>11}{'base RSS':>11}{'peak RSS':>11}"
              f"{'transient':>11}{'B/cell':>8}{'kept':>10}{'B/column':>10}{'peak/rows':>10}")
    print(header)
    print("-" * len(header))
    out = {}
    for tool, m in figures.items():
        transient = m["peak_rss"] - m["base_rss"]
        kept = m["after_rss"] - m["base_rss"]
        per_cell = transient / m["cells"]
        per_column = kept / m["columns"]
        print(f"{tool:<8}{m['rows_rss'] / mib:>9.1f}Mi{m['rows_deep_size'] / mib:>9.1f}Mi"
              f"{m['base_rss'] / mib:>9.1f}Mi{m['peak_rss'] / mib:>9.1f}Mi"
              f"{transient / mib:>9.2f}Mi{per_cell:>8.2f}{kept / 1024:>8.0f}Ki"
              f"{per_column:>10.0f}{transient / m['rows_rss']:>9.1%}")
        if not m["peak_reset"]:
            print("  (the peak could not be reset here: transient figures are not valid)")
        out[tool] = dict(m, transient=transient, transient_per_cell=per_cell,
                         kept=kept, kept_per_column=per_column)
    return out


# --------------------------------------------------------------------------


# --------------------------------------------------------------------------
# Per-kind figures: karvo and the floor on columns that all hold one kind of
# value, to locate where karvo's time goes (conversion, bounds, sketch form).


def kind_columns(rng: random.Random, n: int) -> dict:
    return {
        "None": [None] * n,
        "bool": [rng.random() < 0.5 for _ in range(n)],
        "int, one value": [7] * n,
        "int, 1,000 values": [rng.randrange(1000) for _ in range(n)],
        "int, unique": rng.sample(range(10**12), n),
        "float, 1,000 values": [round(rng.randrange(1000) * 0.25, 2) for _ in range(n)],
        "float, unique": [rng.random() for _ in range(n)],
        "str, 1,000 values": [f"value{rng.randrange(1000):04d}xx" for _ in range(n)],
        "str, unique": [random_text(rng, 20, 20) for _ in range(n)],
        "str, unique non-ASCII": [random_text(rng, 20, 20, accented=1.0) for _ in range(n)],
    }


def run_kinds(tools: dict, repeat: int, scale: float) -> dict:
    cells = max(10, int(400_000 * scale))
    columns = 10
    print(f"\n== per kind: {cells // columns:,} rows x {columns} columns, every cell of one kind "
          "(ns per cell)")
    chosen = {name: tools[name] for name in ("floor", "karvo") if name in tools}
    print(f"{'kind':<24}" + "".join(f"{name:>10}" for name in chosen) + f"{'x floor':>10}")
    out = {}
    for kind, values in kind_columns(random.Random(f"{SEED}:kinds"), cells).items():
        rows = [{f"c{j}": values[i * columns + j] for j in range(columns)}
                for i in range(cells // columns)]
        text = json.dumps(rows, ensure_ascii=False)
        best = {name: min(time_call(fn, json.loads(text))[0] for _ in range(repeat))
                for name, fn in chosen.items()}
        ratio = (f"{best['karvo'] / best['floor']:.2f}"
                 if "karvo" in best and "floor" in best else "-")
        print(f"{kind:<24}" + "".join(f"{t * 1e9 / cells:>10.1f}" for t in best.values())
              + f"{ratio:>10}")
        out[kind] = {name: t * 1e9 / cells for name, t in best.items()}
    return out


def parse_args() -> argparse.Namespace:
    parser = argparse.ArgumentParser(description=__doc__,
                                     formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--quick", action="store_true",
                        help="a tenth of the rows and best of 3 (for a fast look)")
    parser.add_argument("--only", default=",".join(ALL_TOOLS),
                        help=f"comma-separated tools (default: all of {','.join(ALL_TOOLS)})")
    parser.add_argument("--workloads", default=",".join(ALL_WORKLOADS),
                        help=f"comma-separated workloads (default: {','.join(ALL_WORKLOADS)})")
    parser.add_argument("--repeat", type=int, default=None,
                        help="timed rounds per tool, best taken (default 5, 3 with --quick)")
    parser.add_argument("--scale", type=float, default=None,
                        help="fraction of the nominal rows (default 1, 0.1 with --quick)")
    parser.add_argument("--clock", choices=sorted(CLOCKS), default="cpu",
                        help="what ranks the tools: process CPU time (default) or wall time")
    parser.add_argument("--kinds", action="store_true",
                        help="instead of the workloads: karvo and the floor on columns of one "
                             "kind of value each (where karvo's time goes)")
    parser.add_argument("--no-check", action="store_true", help="skip the exactness check")
    parser.add_argument("--no-memory", action="store_true", help="skip the memory figures")
    parser.add_argument("--json", metavar="PATH", help="also write all figures as JSON")
    parser.add_argument("--baseline", metavar="PATH",
                        help="a JSON file written by --json earlier: "
                             "print before/after ns per cell")
    parser.add_argument("--karvo-build", action="append", default=[], metavar="NAME=PATH",
                        help="also time the karvo extension module at PATH (say, a build of an "
                             "earlier commit) as tool karvo@NAME, in the same rounds; repeatable")
    parser.add_argument("--memory-child", nargs=2, metavar=("TOOL", "FILE"),
                        help=argparse.SUPPRESS)
    args = parser.parse_args()
    args.repeat = args.repeat or (3 if args.quick else 5)
    args.scale = args.scale or (0.1 if args.quick else 1.0)
    args.only = [t.strip() for t in args.only.split(",") if t.strip()]
    args.workloads = [w.strip() for w in args.workloads.split(",") if w.strip()]
    for tool in args.only:
        if tool not in ALL_TOOLS:
            parser.error(f"unknown tool {tool!r}; choose from {', '.join(ALL_TOOLS)}")
    builds = {}
    for given in args.karvo_build:
        name, sep, path = given.partition("=")
        if not sep or not name or not path:
            parser.error(f"--karvo-build wants NAME=PATH, not {given!r}")
        builds[f"karvo@{name}"] = path
    args.karvo_build = builds
    for name in args.workloads:
        if name not in WORKLOADS:
            parser.error(f"unknown workload {name!r}; choose from {', '.join(ALL_WORKLOADS)}")
    return args


def print_summary(results: dict) -> bool:
    print("\n== summary (targets: karvo at most "
          f"{TARGET_FLOOR_RATIO:g}x the floor, at least {TARGET_PEER_SPEEDUP:g}x faster "
          "than the fastest peer)")
    all_met = True
    for name, rows in results.items():
        karvo = rows.get("karvo")
        if not karvo:
            continue
        parts = []
        if karvo["x_floor"] is not None:
            ok = karvo["x_floor"] <= TARGET_FLOOR_RATIO
            all_met &= ok
            paired = karvo.get("x_floor_paired")
            parts.append(f"{karvo['x_floor']:.2f}x floor {'ok' if ok else 'MISSED'}"
                         + (f" (per-round median {paired:.2f}x)" if paired else ""))
        peers = {tool: r["peer_over_karvo"] for tool, r in rows.items()
                 if r["peer_over_karvo"] is not None}
        if peers:
            tool = min(peers, key=peers.get)
            ok = peers[tool] >= TARGET_PEER_SPEEDUP
            all_met &= ok
            parts.append(f"{peers[tool]:.1f}x faster than the fastest peer ({tool}) "
                         f"{'ok' if ok else 'MISSED'}")
        print(f"{name:<9}karvo {karvo['ns_per_cell']:.1f} ns/cell: " + "; ".join(parts))
    return all_met


def print_baseline(path: str, scale: float, results: dict, memory: dict) -> None:
    """Before/after figures against a run saved with --json."""
    before = json.loads(Path(path).read_text())
    print(f"\n== against {path} (ns per cell before -> after, and the speed-up)")
    old_scale = before.get("args", {}).get("scale")
    if old_scale != scale:
        print(f"warning: that run had scale {old_scale}, this one {scale}: "
              "per-cell figures of different sizes are not comparable")
    for name, rows in results.items():
        old_rows = before.get("times", {}).get(name, {})
        parts = []
        for tool, row in rows.items():
            old = old_rows.get(tool)
            if old:
                parts.append(f"{tool} {old['ns_per_cell']:.1f} -> {row['ns_per_cell']:.1f} "
                             f"({old['ns_per_cell'] / row['ns_per_cell']:.2f}x)")
        if parts:
            print(f"{name:<9}" + "; ".join(parts))
    for name, tools in memory.items():
        old = before.get("memory", {}).get(name, {}).get("karvo")
        new = tools.get("karvo")
        if old and new:
            print(f"{name:<9}karvo transient {old['transient_per_cell']:.1f} -> "
                  f"{new['transient_per_cell']:.1f} B/cell, kept {old['kept_per_column']:.0f} -> "
                  f"{new['kept_per_column']:.0f} B/column")


def main() -> int:
    args = parse_args()
    global clock_ns
    clock_ns = CLOCKS[args.clock]
    if args.memory_child:
        memory_child(*args.memory_child)
        return 0

    notes = []
    floor_module = None
    if "floor" in args.only or "karvo" in args.only:
        try:
            floor_module = build_floor()
        except (subprocess.CalledProcessError, OSError, ImportError) as error:
            notes.append(f"floor: could not be built ({error})")
    tools, skipped = make_tools(floor_module)
    tools = {name: fn for name, fn in tools.items() if name in args.only}
    for name, reason in skipped.items():
        if name in args.only:
            notes.append(f"{name}: skipped, {reason}")
    for name, path in args.karvo_build.items():
        try:
            tools[name] = load_karvo_build(path)
        except (ImportError, OSError) as error:
            notes.append(f"{name}: skipped, {path} could not be loaded ({error})")

    print(f"karvo benchmark: Python {sys.version.split()[0]}, {os.cpu_count()} CPUs, "
          f"best of {args.repeat} on the {args.clock} clock, scale {args.scale:g}, "
          f"tools {', '.join(tools)}")
    for note in notes:
        print("note: " + note)

    if args.kinds:
        kinds = run_kinds(tools, args.repeat, args.scale)
        if args.json:
            Path(args.json).write_text(json.dumps({"kinds": kinds}, indent=2))
        return 0

    results: dict = {}
    memory: dict = {}
    checks_ok = True
    errors: dict = {}
    for name in args.workloads:
        started = time.perf_counter()
        workload = Workload(name, args.scale)
        print(f"\n(generated {name} in {time.perf_counter() - started:.1f} s)")
        if "karvo" in tools and not args.no_check:
            try:
                ok, lines = check_karvo(workload, tools["karvo"])
            except Exception as error:
                ok, lines = False, [f"check {name}: karvo failed: {type(error).__name__}: {error}"]
            checks_ok &= ok
            print("\n".join(lines))
        times, walls = measure(workload, tools, args.repeat, errors)
        results[name] = print_table(workload, times, walls)
        if not args.no_memory and "karvo" in tools and name in ("mixed", "wide"):
            figures = {tool: m for tool in ("floor", "karvo")
                       if (tool == "karvo" or floor_module is not None)
                       and (m := measure_memory(workload, tool)) is not None}
            memory[name] = print_memory(workload, figures)
        del workload
        gc.collect()
    for name, error in errors.items():
        print(f"note: {name} failed and was dropped: {error}")
    targets_met = print_summary(results)
    if args.baseline:
        print_baseline(args.baseline, args.scale, results, memory)
    if args.json:
        Path(args.json).write_text(json.dumps(
            {"args": {k: v for k, v in vars(args).items() if k != "memory_child"},
             "times": results, "memory": memory, "checks_ok": checks_ok,
             "targets_met": targets_met, "notes": notes, "errors": errors}, indent=2))
    return 0 if checks_ok else 1


if __name__ == "__main__":
    sys.exit(main())
