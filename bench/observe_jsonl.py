"""Times karvo_dist's native JSON Lines reading against json.loads plus observe_dicts.

    python bench/observe_jsonl.py [--rows 1000000] [--runs 3] [--file PATH]
    python bench/observe_jsonl.py --build before=old/build [--runs 5]


The file (generated once, kept at PATH; by default build/bench_1m.jsonl): 64-bit ids,
texts, floats, small ints, bools, nulls, a nested array and object, 13 fields a row, as
bench/jsonl_reader.cpp makes it. Each way is timed in wall and process CPU time (all
threads); the native reads are best of --runs, the Python path runs once. Both must give
the same report.

With --build NAME=DIR (repeatable; DIR a build directory holding karvo_dist/, as CMake
assembles it, or any directory karvo_dist imports from), only the native reads are timed,
each in a child process of its own, for the installed karvo_dist and for every build
taking turns within each round, so that the figures of one run can be compared: each
build's best wall and best CPU time (each the best of its rounds) are given as multiples
of the installed one's.
"""

import argparse
import json
import os
import random
import subprocess
import sys
import time

from karvo_dist import Profile

WORDS = ["lorem", "ipsum", "dolor", "sit", "amet", "consectetur", "adipiscing"]
CATEGORIES = ["alpha", "beta", "gamma", "delta", "epsilon", "zeta"]


def generate(path, rows):
    rng = random.Random(42)
    with open(path, "w", encoding="utf-8") as out:
        for _ in range(rows):
            note = "null" if rng.random() < 1 / 3 else json.dumps(
                " ".join(rng.choice(WORDS) for _ in range(4)))
            amount = "null" if rng.random() < 0.2 else str(rng.randrange(100000))
            ratio = "null" if rng.random() < 0.25 else repr(rng.randrange(997) / 991)
            out.write(
                f'{{"id":{rng.getrandbits(63)},"user":"user_{rng.randrange(50000)}",'
                f'"score":{rng.randrange(1000000) / 1000:.3f},"count":{rng.randrange(100)},'
                f'"active":{rng.choice(["true", "false"])},'
                f'"tags":["t{rng.randrange(20)}","t{rng.randrange(20)}"],'
                f'"meta":{{"src":"web","v":{rng.randrange(4)}}},"note":{note},'
                f'"ts":"2024-05-{1 + rng.randrange(28):02d}T{rng.randrange(24):02d}:'
                f'{rng.randrange(60):02d}:{rng.randrange(60):02d}","ratio":{ratio},'
                f'"category":"{rng.choice(CATEGORIES)}","amount":{amount}}}\n')


def timed(work):
    wall, cpu = time.perf_counter(), time.process_time()
    result = work()
    return time.perf_counter() - wall, time.process_time() - cpu, result


def native(path, threads):
    p = Profile()
    p.observe_jsonl(path, threads=threads)
    return p.report()


def through_python(path):
    p = Profile()
    batch = []
    with open(path, "rb") as lines:
        for line in lines:
            batch.append(json.loads(line))
            if len(batch) == 100000:
                p.observe_dicts(batch)
                batch = []
    p.observe_dicts(batch)
    return p.report()


# A child process's timed read: prints wall and CPU seconds and the report.
CHILD = """
import sys, time
from karvo_dist import Profile
path, threads = sys.argv[1], int(sys.argv[2])
p = Profile()
wall, cpu = time.perf_counter(), time.process_time()
p.observe_jsonl(path, threads=threads)
wall, cpu = time.perf_counter() - wall, time.process_time() - cpu
print(wall, cpu)
print(p.report())
"""


def timed_in_child(directory, path, threads):
    env = dict(os.environ)
    if directory is not None:
        env["PYTHONPATH"] = os.pathsep.join(filter(None, [directory, env.get("PYTHONPATH")]))
    done = subprocess.run([sys.executable, "-c", CHILD, path, str(threads)], env=env,
                          capture_output=True, text=True, check=True, timeout=600)
    times, report = done.stdout.split("\n", 1)
    wall, cpu = map(float, times.split())
    return wall, cpu, report


def compare_builds(path, builds, runs):
    """Native reads of the installed karvo_dist and of each build, in turns per round."""
    size = os.path.getsize(path)
    sides = {"installed": None, **builds}
    reports = set()
    ok = True
    for threads in (1, 2):
        best = {}
        best_cpu = {}
        for round_ in range(runs):
            # Each round starts with another side, so no side always runs first.
            names = list(sides)
            names = names[round_ % len(names):] + names[:round_ % len(names)]
            for name in names:
                wall, cpu, report = timed_in_child(sides[name], path, threads)
                reports.add(report)
                best[name] = min(best.get(name, wall), wall)
                best_cpu[name] = min(best_cpu.get(name, cpu), cpu)
        for name in sides:
            wall, cpu = best[name], best_cpu[name]
            label = f"threads={threads} {name}"
            print(f"{label:32} wall {wall:6.2f} s  cpu {cpu:6.2f} s  "
                  f"{size / wall / 1e6:5.0f} MB/s  x installed: wall "
                  f"{wall / best['installed']:5.3f}, cpu {cpu / best_cpu['installed']:5.3f}")
    if len(reports) != 1:
        print("REPORTS DIFFER")
        ok = False
    else:
        print("reports equal")
    return 0 if ok else 1


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--rows", type=int, default=1_000_000)
    parser.add_argument("--runs", type=int, default=3)
    parser.add_argument("--file", default=os.path.join("build", "bench_1m.jsonl"))
    parser.add_argument("--build", action="append", default=[], metavar="NAME=DIR",
                        help="also time karvo_dist as imported from DIR, in the same rounds")
    args = parser.parse_args()
    builds = {}
    for given in args.build:
        name, sep, directory = given.partition("=")
        if not sep or not name or not directory:
            parser.error(f"--build wants NAME=DIR, not {given!r}")
        builds[name] = os.path.abspath(directory)
    if not os.path.exists(args.file):
        os.makedirs(os.path.dirname(args.file) or ".", exist_ok=True)
        generate(args.file, args.rows)
    size = os.path.getsize(args.file)
    print(f"{args.file}: {size / 1e6:.0f} MB, {os.cpu_count()} processors")
    if builds:
        return compare_builds(args.file, builds, args.runs)
    reports = set()
    for threads in (1, 2, 0):
        best = min(timed(lambda: native(args.file, threads)) for _ in range(args.runs))
        reports.add(best[2])
        label = f"observe_jsonl(path, threads={threads})"
        print(f"{label:42} wall {best[0]:6.2f} s  cpu {best[1]:6.2f} s  "
              f"{size / best[0] / 1e6:5.0f} MB/s")
    wall, cpu, report = timed(lambda: through_python(args.file))
    reports.add(report)
    print(f"{'json.loads + observe_dicts':42} wall {wall:6.2f} s  cpu {cpu:6.2f} s  "
          f"{size / wall / 1e6:5.0f} MB/s")
    print("reports equal" if len(reports) == 1 else "REPORTS DIFFER")
    return 0 if len(reports) == 1 else 1


if __name__ == "__main__":
    raise SystemExit(main())
