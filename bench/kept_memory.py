"""What a process keeps after large observe_dicts calls, profile by profile.

    PYTHONPATH=build/mod python3 bench/kept_memory.py [--profiles 6]

Makes the mixed-like rows of 10 columns (200,000 rows, several columns dense), then
profiles them again and again into new Profilers that are all kept alive, and prints the
resident set after each call (heap trimmed) against the start. The growth from one profile
to the next is what a profile of these columns keeps; what the first call adds beyond that
is fixed per process (the allocator's arena of the second thread and other caches, reused
by later calls). Run with MALLOC_ARENA_MAX=1 to see the part that comes from the second
thread's arena.
"""

import argparse
import ctypes
import json
import random

import karvo


def resident_kib():
    with open("/proc/self/status") as status:
        for line in status:
            if line.startswith("VmRSS"):
                return int(line.split()[1])
    raise RuntimeError("no VmRSS in /proc/self/status")


def make_rows(count):
    random.seed(1)
    rows = [{"a": random.randrange(100000), "b": random.random(),
             "c": f"t{random.randrange(100000)}", "d": i % 10, "e": i, "f": random.random(),
             "g": f"c{i % 50}", "h": i % 2 == 0, "i": random.randrange(1000),
             "j": random.random()} for i in range(count)]
    return json.loads(json.dumps(rows))


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--profiles", type=int, default=6)
    parser.add_argument("--rows", type=int, default=200000)
    args = parser.parse_args()
    libc = ctypes.CDLL("libc.so.6")
    rows = make_rows(args.rows)
    kept = []
    libc.malloc_trim(0)
    base = resident_kib()
    previous = base
    for n in range(1, args.profiles + 1):
        profiler = karvo.Profiler()
        profiler.observe_dicts(rows)
        kept.append(profiler)
        libc.malloc_trim(0)
        now = resident_kib()
        print(f"{n} profiles kept: {now - base:6d} KiB in all, {now - previous:6d} KiB more")
        previous = now


if __name__ == "__main__":
    main()
