"""Compares the top values summary (64 entries, about 3.2 KB) with datasketches'
frequent_strings_sketch at about the same memory (lg_max_map_size 6 and 7: 48 and 96
counters), on Zipf streams, against exact counts.

For the 10 truly most frequent keys it prints, per summary, how many are held, whether
every reported interval holds the true count, and the widths of those intervals (upper
bound minus lower bound): the narrower, the closer the report is to the truth.

    cmake -S . -B build/bench -G Ninja -DCMAKE_BUILD_TYPE=Release -DKARVO_BUILD_BENCH=ON \\
          -DKARVO_BUILD_TESTS=OFF -DKARVO_BUILD_JSONL=OFF
    cmake --build build/bench --target top_values_driver
    pip install datasketches      # an oracle only, never a dependency
    python bench/top_values_oracle.py [--values 1000000]
"""

import argparse
import bisect
import collections
import random
import struct
import subprocess
import sys
from pathlib import Path

import datasketches

ROOT = Path(__file__).resolve().parent.parent
DRIVER = ROOT / "build" / "bench" / "top_values_driver"


def zipf_keys(n, exponent, universe, seed):
    cumulative = []
    total = 0.0
    for r in range(1, universe + 1):
        total += r ** -exponent
        cumulative.append(total)
    rng = random.Random(seed)
    # A fixed scramble of the rank, so that keys carry no order of frequency.
    return [
        (min(bisect.bisect_right(cumulative, rng.random() * total), universe - 1) * 0x9E3779B97F4A7C15 + seed)
        % 2**64
        for _ in range(n)
    ]


def ours(keys):
    out = subprocess.run(
        [str(DRIVER)], input=struct.pack(f"<{len(keys)}Q", *keys), capture_output=True, check=True
    ).stdout.decode()
    lines = out.splitlines()
    held = {}
    for line in lines[1:]:
        key, count, error = map(int, line.split())
        held[key] = (count - error, count)
    return held


def theirs(keys, lg_max):
    sketch = datasketches.frequent_strings_sketch(lg_max)
    for k in keys:
        sketch.update(str(k))
    held = {}
    for item, _estimate, lower, upper in sketch.get_frequent_items(
        datasketches.frequent_items_error_type.NO_FALSE_NEGATIVES
    ):
        held[int(item)] = (lower, upper)
    return held, sketch.get_serialized_size_bytes()


def report(name, held, truth_top):
    widths = []
    sound = True
    for key, truth in truth_top:
        if key in held:
            lower, upper = held[key]
            sound &= lower <= truth <= upper
            widths.append(upper - lower)
    widths_text = " ".join(str(w) for w in widths)
    print(f"  {name:<26} held {len(widths):2}/10  sound {str(sound):5}  widths {widths_text}")


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--values", type=int, default=1_000_000)
    args = parser.parse_args()
    if not DRIVER.exists():
        sys.exit(f"build the driver first: {DRIVER}")
    for exponent, seed in [(0.8, 1), (1.1, 2), (1.5, 3)]:
        keys = zipf_keys(args.values, exponent, 100_000, seed)
        truth = collections.Counter(keys).most_common(10)
        print(f"Zipf({exponent}) over 10^5 keys, {args.values} values, seed {seed}")
        report("top values (64 entries)", ours(keys), truth)
        for lg in (6, 7):
            held, size = theirs(keys, lg)
            report(f"frequent_strings lg {lg} ({size} B)", held, truth)


if __name__ == "__main__":
    main()
