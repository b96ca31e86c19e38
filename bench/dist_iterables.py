#!/usr/bin/env python3
"""karvo_dist.Profile.observe_dicts with rows from a list and from other iterables.

    python bench/dist_iterables.py

A list goes to the native call as it is; the figure to watch is that "list" stays at
"list, native" (one Python frame more per call). An iterable that is not a list is read
in batches into a scratch profile and merged at the end: "generator" and "iterator" show
what that costs per row, against a list of the same rows.
"""

from __future__ import annotations

import time

from karvo_dist import Profile, _native

ROWS = [{"id": i, "name": f"n{i % 1000}", "score": i / 3} for i in range(1_000_000)]
SMALL = ROWS[:10]


def best(run, rounds=5):
    times = []
    for _ in range(rounds):
        start = time.perf_counter()
        run()
        times.append(time.perf_counter() - start)
    return min(times)


def small_calls(observe):
    profile = Profile()
    for _ in range(100_000):
        observe(profile, SMALL)


def main():
    figures = {
        "list, native": lambda: _native.Profile.observe_dicts(Profile(), ROWS),
        "list": lambda: Profile().observe_dicts(ROWS),
        "generator": lambda: Profile().observe_dicts(row for row in ROWS),
        "iterator": lambda: Profile().observe_dicts(iter(ROWS)),
    }
    for name, run in figures.items():
        print(f"{name:<24} {best(run) * 1e9 / len(ROWS):7.1f} ns per row")
    for name, observe in (("10-row list, native", _native.Profile.observe_dicts),
                          ("10-row list", Profile.observe_dicts)):
        seconds = best(lambda: small_calls(observe), 3)
        print(f"{name:<24} {seconds * 1e9 / 100_000:7.1f} ns per call")


if __name__ == "__main__":
    main()
