#!/usr/bin/env python3
"""Runs karvo on one workload of bench/run.py over and over, for a sampling profiler.

    python bench/profile_target.py --workload events --mode call --seconds 10
    python bench/profile_target.py --workload mixed --mode row --perf mixed-row.data

The rows are generated and loaded from JSON once, before anything is profiled; then a
fresh Profiler takes them in one `observe_dicts` call (--mode call) or in one
`observe_dict` call per row from a Python loop (--mode row), and is flushed, until the
given seconds have passed. With --perf PATH the script attaches `perf record` to itself
for the loop only, so the profile holds karvo's calls and nothing of the setup; the
sampling event is the CPU clock, which works where hardware counters are not available
(virtual machines). Read it with `perf report -i PATH --no-children --sort dso,sym`.
"""

from __future__ import annotations

import argparse
import os
import signal
import subprocess
import sys
import time
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent))
import run  # noqa: E402  (the workload generators)

import karvo  # noqa: E402


def one_call(rows) -> None:
    profiler = karvo.Profiler()
    profiler.observe_dicts(rows)
    profiler.flush()


def per_row(rows) -> None:
    profiler = karvo.Profiler()
    for row in rows:
        profiler.observe_dict(row)
    profiler.flush()


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--workload", choices=sorted(run.WORKLOADS), default="events")
    parser.add_argument("--mode", choices=["call", "row"], default="call")
    parser.add_argument("--scale", type=float, default=1.0)
    parser.add_argument("--seconds", type=float, default=10.0)
    parser.add_argument("--perf", metavar="PATH", help="record the loop with perf into PATH")
    parser.add_argument("--call-graph", default=None,
                        help="passed to perf record --call-graph (say, dwarf)")
    args = parser.parse_args()

    workload = run.Workload(args.workload, args.scale)
    rows = workload.load()
    feed = one_call if args.mode == "call" else per_row
    feed(rows)  # the first pass leaves nothing behind that later ones depend on

    recorder = None
    if args.perf:
        command = ["perf", "record", "-q", "-e", "cpu-clock", "-F", "2000",
                   "-p", str(os.getpid()), "-o", args.perf]
        if args.call_graph:
            command += ["--call-graph", args.call_graph]
        recorder = subprocess.Popen(command)
        time.sleep(1.0)  # let perf attach before the loop starts
    passes = 0
    start = time.perf_counter()
    while time.perf_counter() - start < args.seconds:
        feed(rows)
        passes += 1
    elapsed = time.perf_counter() - start
    if recorder is not None:
        recorder.send_signal(signal.SIGINT)
        recorder.wait()
    print(f"{args.workload}, {args.mode}: {passes} passes of {workload.cells:,} cells, "
          f"{elapsed / passes / workload.cells * 1e9:.1f} ns/cell (wall)")


if __name__ == "__main__":
    main()
