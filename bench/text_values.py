#!/usr/bin/env python3
"""Text values, ASCII and not: karvo's time per cell, and what profiling does to the values.

    PYTHONPATH=build/mod python bench/text_values.py      # the build to measure
    python bench/text_values.py --repeat 25 --rows 40000

Rows of 10 text columns, unique values of about 20 characters, parsed with json.loads
before each timed call (fresh str objects, as a JSON loader hands them out). Prints the
best ns per cell of Profiler(), observe_dicts(rows) and flush(), and how many bytes the
rows' value objects gained in that call (sys.getsizeof before and after): a non-ASCII str
whose UTF-8 gets cached inside it grows by that UTF-8.
"""

import argparse
import json
import random
import sys
import time

import karvo


def rows_text(kind, rows):
    rng = random.Random(1)

    def word(i):
        if kind == "ascii":
            return f"user-{i:08d}-{rng.randrange(10**6)}"
        return f"us\u00e9r-{i:08d}-\u540d{rng.randrange(10**6)}"

    return json.dumps([{f"c{j}": word(i * 10 + j) for j in range(10)} for i in range(rows)])


def measure(kind, rows, repeat):
    text = rows_text(kind, rows)
    best = float("inf")
    grown = 0
    for _ in range(repeat):
        data = json.loads(text)
        before = sum(sys.getsizeof(v) for row in data for v in row.values())
        start = time.process_time()
        profiler = karvo.Profiler()
        profiler.observe_dicts(data)
        profiler.flush()
        best = min(best, time.process_time() - start)
        grown = sum(sys.getsizeof(v) for row in data for v in row.values()) - before
    cells = rows * 10
    print(f"{kind:10s} {best / cells * 1e9:6.1f} ns/cell   values grew by {grown:,} bytes "
          f"({grown / cells:.1f} per cell)")


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--rows", type=int, default=40_000)
    parser.add_argument("--repeat", type=int, default=15)
    args = parser.parse_args()
    print(f"karvo from {karvo.__file__}")
    for kind in ("ascii", "non-ascii"):
        measure(kind, args.rows, args.repeat)


if __name__ == "__main__":
    main()
