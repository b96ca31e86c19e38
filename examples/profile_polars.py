"""Profiles a polars frame natively: polars hands its columns over through the Arrow C
stream interface, and no Python object is made per value.

    python examples/profile_polars.py                 # a small frame made here
    python examples/profile_polars.py data.parquet    # a Parquet file, scanned by polars

A datetime counts as null, as its Python object would; the frame's datetimes are cast to
microseconds since 1970 first, so that their range shows. polars holds the collected
frame in memory; examples/profile_arrow.py streams a Parquet file of any size instead.
"""

import sys

import polars as pl

from karvo_dist import Profile


def frame(args: list[str]) -> pl.DataFrame:
    if args:
        lazy = pl.scan_parquet(args[0])
    else:
        lazy = pl.LazyFrame({
            "id": [1, 2, 3, 4],
            "city": ["Oslo", "Lima", None, "Oslo"],
            "price": [12.5, None, 7.0, float("nan")],
            "when": pl.datetime_range(pl.datetime(2024, 1, 1), pl.datetime(2024, 1, 4), "1d",
                                      eager=True),
        })
    return lazy.with_columns(pl.col(pl.Datetime).dt.epoch("us")).collect()


def main() -> None:
    if len(sys.argv) > 2:
        sys.exit("usage: profile_polars.py [FILE.parquet]")
    profile = Profile()
    rows = profile.observe_arrow(frame(sys.argv[1:]))
    print(f"{rows:,} rows")
    print(profile.report())


if __name__ == "__main__":
    main()
