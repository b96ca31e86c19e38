"""Profiles JSON Lines files from Python with karvo_dist's native reader.

    python examples/profile_jsonl.py [FILE.jsonl | FILE.jsonl.gz ...]

The command `karvo-profile` does the same with a table, progress and more inputs; this
shows the calls behind it. Each file is parsed in C++ on all cores, into one profile;
lines that are not JSON objects are counted and skipped, and the first few are named.
Without FILE, the bundled sample.jsonl is profiled.
"""

import gzip
import sys
from pathlib import Path

from karvo_dist import Profile


def main():
    files = sys.argv[1:] or [Path(__file__).with_name("sample.jsonl")]
    profile = Profile()  # the default seed: reports are reproducible and merge with others
    for path in map(str, files):
        if path.endswith(".gz"):  # a binary file object is read in chunks
            with gzip.open(path, "rb") as stream:
                result = profile.observe_jsonl(stream)
        else:  # a path is read natively, which is fastest
            result = profile.observe_jsonl(path)
        print(f"{path}: {result.rows} rows, {result.bad_lines} bad lines", file=sys.stderr)
        for line, reason in result.first_bad:
            print(f"  {path}:{line}: {reason}", file=sys.stderr)
    print(profile.report())


if __name__ == "__main__":
    main()
