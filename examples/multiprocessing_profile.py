"""Profiles JSON Lines files with a pool of processes and prints one merged report.

    python examples/multiprocessing_profile.py [FILE.jsonl ...] [--processes N] [--pieces N]

Every file is cut into pieces at line ends; each worker profiles the pieces it is
given and sends each profile back as bytes, and the parent merges them in file and
piece order. The report is the one a single process reading the files in turn
would give, distinct estimates included, because every piece uses the same seed.
Without FILE, the bundled sample.jsonl is profiled.
"""

import argparse
import json
import os
from itertools import pairwise
from multiprocessing import Pool
from pathlib import Path

from karvo_dist import Profile

BATCH_ROWS = 10_000
# The default seed. Every piece must use the same one to merge, and the binary form
# only checks it, so the parent reads the pieces back with it too.
SEED = 0


def cut(path, pieces):
    """(path, start, end) byte ranges that split the file at line ends into about `pieces` parts."""
    size = path.stat().st_size
    bounds = [0]
    with path.open("rb") as f:
        for i in range(1, pieces):
            f.seek(max(size * i // pieces, bounds[-1]))
            f.readline()  # move on to the start of the next line
            bounds.append(min(f.tell(), size))
    bounds.append(size)
    return [(path, start, end) for start, end in pairwise(bounds) if end > start]


def profile_piece(piece):
    """The bytes of the profile of one piece's rows (lines holding JSON objects)."""
    path, start, end = piece
    profile = Profile(seed=SEED)
    with path.open("rb") as f:
        f.seek(start)
        lines = f.read(end - start).splitlines()
    for first in range(0, len(lines), BATCH_ROWS):
        batch = [json.loads(line) for line in lines[first:first + BATCH_ROWS] if line.strip()]
        profile.observe_dicts(batch)  # lines that are not objects are skipped
    return profile.to_bytes()


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("files", nargs="*", type=Path,
                        default=[Path(__file__).with_name("sample.jsonl")])
    parser.add_argument("--processes", type=int, default=os.cpu_count() or 2)
    parser.add_argument("--pieces", type=int, default=None,
                        help="pieces per file (default: one per process)")
    parser.add_argument("--compact", action="store_true",
                        help="print the report as one line of compact JSON")
    args = parser.parse_args()

    pieces = [piece for path in args.files for piece in cut(path, args.pieces or args.processes)]
    merged = Profile(seed=SEED)
    with Pool(args.processes) as pool:
        for data in pool.imap(profile_piece, pieces):  # imap keeps the pieces' order
            merged.merge(Profile.from_bytes(data, seed=SEED))
    report = merged.report()

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
