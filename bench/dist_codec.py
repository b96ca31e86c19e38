#!/usr/bin/env python3
"""karvo_dist's stored form and merge: bytes per column, and time per column against rows.

    python bench/dist_codec.py            # rows up to 10**6 per column
    python bench/dist_codec.py --quick    # rows up to 10**5

Part 1 measures what one column takes in the binary form (to_bytes): a dense column, and
sparse columns of several sizes with their list and what the form adds around it.

Part 2 times merge, to_bytes and from_bytes per column for profiles of COLUMNS columns
that observed more and more rows, in two kinds: every column dense (distinct ints), and
every column sparse with a fixed set of 1,000 values. Each round merges a second profile,
whose values half overlap the first's, into a fresh copy of the first. Each figure is the best of several rounds, in microseconds per column; the claim
is that for a given form it stays flat as the rows grow.
"""

from __future__ import annotations

import argparse
import time

from karvo_dist import Profile

COLUMNS = 20
HEADER = 4 + 2 + 8 + 8  # magic, version, length, fingerprint
CHECKSUM = 8


def varint(data: bytes, at: int) -> tuple[int, int]:
    value, shift = 0, 0
    while True:
        byte = data[at]
        at += 1
        value |= (byte & 0x7F) << shift
        shift += 7
        if byte < 0x80:
            return value, at


def column_layout(data: bytes) -> tuple[int, int]:
    """(bytes of the only column, bytes of its sketch payload) in a one-column profile."""
    count, at = varint(data, HEADER)
    assert count == 1
    start = at
    name_length, at = varint(data, at)
    at += name_length
    flags = data[at]
    at += 1
    _, at = varint(data, at)
    _, at = varint(data, at)
    if flags & 2:
        at += 16
    if flags & 1:
        payload = 12288
    else:
        payload, at = varint(data, at)
    column = len(data) - CHECKSUM - start
    return column - name_length, payload


def bytes_per_column() -> None:
    print("Part 1: bytes per column (name excluded)")
    print(f"{'column':<34}{'column bytes':>14}{'sketch bytes':>14}{'overhead':>10}")
    cases = [("sparse, 1 value", [1]), ("sparse, 100 values", range(100)),
             ("sparse, 1,000 values", range(1000)), ("sparse, 5,000 values", range(5000)),
             ("dense, 100,000 values", range(100_000))]
    for label, values in cases:
        p = Profile()
        p.observe_dicts([{"c": v} for v in values] + [{"c": None}])
        column, payload = column_layout(p.to_bytes())
        print(f"{label:<34}{column:>14,}{payload:>14,}{column - payload:>10}")
    print()


def best_of(rounds: int, action) -> float:
    best = float("inf")
    for _ in range(rounds):
        start = time.perf_counter()
        action()
        best = min(best, time.perf_counter() - start)
    return best


def profile_of(rows: int, dense: bool, offset: int = 0) -> Profile:
    """COLUMNS columns: distinct ints (dense), or 1,000 values (sparse), from offset."""
    p = Profile()
    batch = 100_000
    for first in range(0, rows, batch):
        n = min(batch, rows - first)
        if dense:
            p.observe_dicts([{f"c{c}": (offset + first + i) * 31 + c for c in range(COLUMNS)}
                             for i in range(n)])
        else:
            p.observe_dicts([{f"c{c}": offset + (first + i) % 1000 for c in range(COLUMNS)}
                             for i in range(n)])
    return p


def best_merge(rounds: int, a: Profile, b: Profile) -> float:
    """The best time of merging b into a fresh copy of a."""
    best = float("inf")
    for _ in range(rounds):
        target = a.copy()
        start = time.perf_counter()
        target.merge(b)
        best = min(best, time.perf_counter() - start)
    return best


def timings(max_rows: int, rounds: int) -> None:
    print(f"Part 2: microseconds per column ({COLUMNS} columns, best of {rounds})")
    print(f"{'kind':<8}{'rows':>10}{'bytes':>10}{'merge':>10}{'to_bytes':>10}{'from_bytes':>12}")
    for dense in (False, True):
        rows = 10_000
        while rows <= max_rows:
            # Half-overlapping values, so that the two sketches differ.
            a, b = profile_of(rows, dense), profile_of(rows, dense, rows // 2 if dense else 500)
            data = b.to_bytes()
            per_column = 1e6 / COLUMNS
            merge = best_merge(rounds, a, b) * per_column
            encode = best_of(rounds, b.to_bytes) * per_column
            decode = best_of(rounds, lambda: Profile.from_bytes(data)) * per_column
            kind = "dense" if dense else "sparse"
            print(f"{kind:<8}{rows:>10,}{len(data) // COLUMNS:>10,}{merge:>10.1f}{encode:>10.1f}"
                  f"{decode:>12.1f}")
            rows *= 10
    print()


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--quick", action="store_true", help="rows up to 10**5")
    parser.add_argument("--rounds", type=int, default=7)
    args = parser.parse_args()
    bytes_per_column()
    timings(10**5 if args.quick else 10**6, args.rounds)


if __name__ == "__main__":
    main()
