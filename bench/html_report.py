"""Bytes and render time of the HTML page (karvo-profile --html, Profile.to_html) as the
columns grow: both should grow in proportion to the columns.

Each size's page is rendered from a wide table of four column shapes in turn (normal
floats, small ints, a few texts with nulls, unique texts), so every column has a type
mix, a histogram or top values. With a karvo_dist whose Profile has summary(), the
profile is real (rows observed, then the page drawn by Profile.to_html; "summary" is the
time of summary() and _quantiles, "render" that of the HTML alone); otherwise the
summaries are the test suite's fabricated ones (tests/python/summary_fixtures.py).

Times are wall seconds, the best of --repeat rounds.

Usage: PYTHONPATH=<module dir> python3 bench/html_report.py [--sizes 500,1000,2000]
       [--rows 200] [--repeat 3]
Not a test: nothing here asserts a time.
"""

import argparse
import os
import sys
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tests", "python"))

import karvo_dist  # noqa: E402
from karvo_dist import html_report  # noqa: E402
import summary_fixtures  # noqa: E402


def sources(columns, rows):
    """(summary, quantiles) makers for one size, and where they come from."""
    fabricated = summary_fixtures.wide(columns, rows)
    if not hasattr(karvo_dist.Profile, "summary"):
        return "fabricated", fabricated.summary, lambda: fabricated.quantiles(html_report.RANKS)
    profile = karvo_dist.Profile()
    names = list(fabricated.columns)
    profile.observe_dicts([{name: fabricated.columns[name][r] for name in names}
                           for r in range(rows)])
    return "engine", profile.summary, lambda: profile._quantiles(html_report.RANKS)


def best(repeat, work):
    times, result = [], None
    for _ in range(repeat):
        start = time.perf_counter()
        result = work()
        times.append(time.perf_counter() - start)
    return min(times), result


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--sizes", default="500,1000,2000")
    parser.add_argument("--rows", type=int, default=200)
    parser.add_argument("--repeat", type=int, default=3)
    args = parser.parse_args()
    print(f"{'columns':>8} {'source':>10} {'summary s':>10} {'render s':>9} {'bytes':>12} "
          f"{'bytes/col':>10} {'us/col':>8}")
    for columns in (int(n) for n in args.sizes.split(",")):
        source, summary, quantiles = sources(columns, args.rows)
        took, (columns_summary, ranks) = best(args.repeat, lambda: (summary(), quantiles()))
        facts = html_report.Facts(inputs=["wide.jsonl"], rows=args.rows, bad_lines=0,
                                  bytes=0, seconds=0.0)
        rendered, page = best(args.repeat,
                              lambda: html_report.render(columns_summary, ranks, facts))
        size = len(page.encode())
        print(f"{columns:>8} {source:>10} {took:>10.3f} {rendered:>9.3f} {size:>12,} "
              f"{size / columns:>10,.0f} {1e6 * rendered / columns:>8.0f}")


if __name__ == "__main__":
    main()
