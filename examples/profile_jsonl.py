"""Profiles a JSON Lines file with karvo and prints the report.

    python examples/profile_jsonl.py [FILE.jsonl] [--batch N]

Each line holding a JSON object is one row; blank lines are skipped, and so are lines
holding anything other than an object. Rows are handed to karvo in batches, so files
larger than memory work. Without FILE, the bundled sample.jsonl is profiled.
"""

import argparse
import json
import sys
from pathlib import Path

import karvo


def batches(lines, size):
    """Lists of up to `size` parsed rows."""
    batch = []
    for number, line in enumerate(lines, start=1):
        if not line.strip():
            continue
        try:
            batch.append(json.loads(line))
        except json.JSONDecodeError as error:
            sys.exit(f"line {number}: not JSON: {error}")
        if len(batch) == size:
            yield batch
            batch = []
    if batch:
        yield batch


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("file", nargs="?", type=Path,
                        default=Path(__file__).with_name("sample.jsonl"))
    parser.add_argument("--batch", type=int, default=10_000, help="rows per call (10000)")
    parser.add_argument("--compact", action="store_true",
                        help="print the report exactly as flush() returns it")
    args = parser.parse_args()

    profiler = karvo.Profiler()
    with args.file.open(encoding="utf-8") as lines:
        for batch in batches(lines, args.batch):
            profiler.observe_dicts(batch)  # non-object lines are skipped by karvo
    report = profiler.flush()

    if args.compact:
        print(report)
    else:  # the same JSON, one column per line
        columns = json.loads(report)
        print("{")
        for i, (name, stats) in enumerate(columns.items()):
            comma = "," if i + 1 < len(columns) else ""
            print(f"  {json.dumps(name, ensure_ascii=False)}: {json.dumps(stats)}{comma}")
        print("}")


if __name__ == "__main__":
    main()
