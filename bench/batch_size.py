#!/usr/bin/env python3
"""What the size of each observe call costs: the same rows fed in calls of k rows.

    python bench/batch_size.py                   # mixed workload, 200,000 rows, best of 5
    python bench/batch_size.py --workload strings --rows 100000 --repeat 7
    python bench/batch_size.py --karvo-build base=DIR/karvo.abi3.so   # beside another build

The rows come from bench/run.py's generators, loaded from JSON text as there. For each k
the rows go to a fresh profiler in calls of k rows (the lists are cut before timing;
k = 1 is timed both as observe_dicts([row]) and as observe_dict(row)), and the time is
compared with one observe_dicts call for all rows. The variants take turns within each
round and the best round of each is reported, so a burst of load on the machine hits them
alike. Times are the process's CPU time (a one-call variant may fold on a second thread,
whose time counts too). With --karvo-build, another build of the module (say, of an
earlier commit) is timed in the same rounds, each against its own one call.
"""

from __future__ import annotations

import argparse
import gc
import importlib.util
import json
import random
import sys
import time
from pathlib import Path

import karvo

sys.path.insert(0, str(Path(__file__).resolve().parent))
import run  # noqa: E402  (the workload generators)


def timed(module, feed) -> float:
    profiler = module.Profiler()
    gc.disable()
    start = time.process_time()
    feed(profiler)
    elapsed = time.process_time() - start
    gc.enable()
    profiler.flush()
    return elapsed


def load_build(path: str):
    """The karvo extension module built at `path`, loaded beside the installed one."""
    found = importlib.util.spec_from_file_location("karvo", path)
    if found is None or found.loader is None:
        raise SystemExit(f"cannot load {path}")
    module = importlib.util.module_from_spec(found)
    found.loader.exec_module(module)
    return module


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--workload", choices=sorted(run.WORKLOADS), default="mixed")
    parser.add_argument("--rows", type=int, default=200_000)
    parser.add_argument("--repeat", type=int, default=5)
    parser.add_argument("--sizes", default="1,10,100,1000,10000")
    parser.add_argument("--karvo-build", action="append", default=[], metavar="NAME=PATH",
                        help="also time the karvo module at PATH as NAME; repeatable")
    args = parser.parse_args()
    builds = {"karvo": karvo}
    for given in args.karvo_build:
        name, sep, path = given.partition("=")
        if not sep:
            parser.error(f"--karvo-build wants NAME=PATH, not {given!r}")
        builds[name] = load_build(path)

    generate = run.WORKLOADS[args.workload][0]
    rows = json.loads(json.dumps(generate(random.Random(run.SEED), args.rows)))
    cells = sum(len(row) for row in rows)
    sizes = [int(s) for s in args.sizes.split(",")]

    variants: dict[str, object] = {"one call": lambda p: p.observe_dicts(rows)}
    variants["observe_dict"] = lambda p: [p.observe_dict(row) for row in rows]
    for k in sizes:
        chunks = [rows[i:i + k] for i in range(0, len(rows), k)]
        variants[f"{k:,} rows"] = lambda p, chunks=chunks: [p.observe_dicts(c) for c in chunks]

    best = {(build, name): float("inf") for build in builds for name in variants}
    for _ in range(args.repeat):
        for name, feed in variants.items():
            for build, module in builds.items():
                best[build, name] = min(best[build, name], timed(module, feed))

    print(f"{args.workload}: {len(rows):,} rows, {cells:,} values, best of {args.repeat} "
          f"on the CPU clock")
    print(f"{'calls of':>14}" + "".join(f" {build + ' ns/value':>18} {'× one call':>11}"
                                         for build in builds))
    for name in variants:
        line = f"{name:>14}"
        for build in builds:
            seconds = best[build, name]
            line += f" {seconds / cells * 1e9:18.1f} {seconds / best[build, 'one call']:11.2f}"
        print(line)


if __name__ == "__main__":
    main()
