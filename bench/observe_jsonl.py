"""Times karvo_dist's native JSON Lines reading against json.loads plus observe_dicts.

    python bench/observe_jsonl.py [--rows 1000000] [--runs 3] [--file PATH]

The file (generated once, kept at PATH; by default build/bench_1m.jsonl): 64-bit ids,
texts, floats, small ints, bools, nulls, a nested array and object, 13 fields a row, as
bench/jsonl_reader.cpp makes it. Each way is timed in wall and process CPU time (all
threads); the native reads are best of --runs, the Python path runs once. Both must give
the same report.
"""

import argparse
import json
import os
import random
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


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--rows", type=int, default=1_000_000)
    parser.add_argument("--runs", type=int, default=3)
    parser.add_argument("--file", default=os.path.join("build", "bench_1m.jsonl"))
    args = parser.parse_args()
    if not os.path.exists(args.file):
        os.makedirs(os.path.dirname(args.file) or ".", exist_ok=True)
        generate(args.file, args.rows)
    size = os.path.getsize(args.file)
    print(f"{args.file}: {size / 1e6:.0f} MB, {os.cpu_count()} processors")
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
