"""Profiles of Spark DataFrames and RDDs: one profile per partition, merged in a tree.

    from karvo_dist.spark import profile

    df = spark.read.json("logs/")
    print(profile(df).report())

PySpark is imported only inside `profile`, so karvo_dist runs without it. The
Python workers need karvo_dist importable, as they need any function they run.
"""

from __future__ import annotations

import functools
from collections.abc import Iterator
from itertools import islice
from typing import Any

from . import Profile

# Rows per observe_dicts call: large enough that the per-call cost vanishes,
# small enough that a partition never has to sit in memory whole.
BATCH_ROWS = 4096


def _as_dict(row: Any) -> Any:
    """A Spark Row with field names as a dict of its fields; anything else as it is."""
    if isinstance(row, dict):
        return row
    if hasattr(row, "__fields__"):
        return row.asDict()  # nested Rows stay Rows: their values count as null either way
    return row


def profile_partition(rows: Iterator[Any], seed: int) -> Iterator[bytes]:
    """The binary profile of one partition's rows, as the partition's only element."""
    profile = Profile(seed=seed)
    dicts = map(_as_dict, rows)
    while batch := list(islice(dicts, BATCH_ROWS)):
        profile.observe_dicts(batch)
    yield profile.to_bytes()


def merge_pair(first: bytes, second: bytes, seed: int) -> bytes:
    """The binary profile of two binary profiles of the seed, the first one's columns first."""
    merged = Profile.from_bytes(first, seed=seed)
    merged.merge(Profile.from_bytes(second, seed=seed))
    return merged.to_bytes()


def profile(data: Any, seed: int = 0, depth: int = 2) -> Profile:
    """The profile of every row of a Spark DataFrame or RDD, as one Profile at the driver.

    A DataFrame's rows are read as dicts of their fields (`Row.asDict()`); an RDD may
    hold dicts or Rows, and other elements are skipped. Each partition is profiled
    on its executor with `mapPartitions`, and the profiles travel as bytes through
    `treeReduce` (of the given `depth`) to the driver.

    Values are read by the rules of `Profile.observe_dicts`, as PySpark hands them
    out: integer and floating columns are numbers (a NaN is null), `DecimalType`
    values are numbers (their nearest double), booleans are 0 and 1, strings are
    text; dates, timestamps, binary, arrays, maps and structs count as null. Cast
    such a column first if its values matter, for example a timestamp to `long`
    (seconds) or to `string`. A SQL NULL is `None`, so every column of a DataFrame
    is carried by every row: its `total_count` is the number of rows.

    Column order: a merge puts the first profile's columns first, and `treeReduce`
    does not promise the order in which it combines partitions (beyond a few
    partitions it shuffles them), so the report's columns come in the order of one
    possible reading of the partitions. For a DataFrame that is the schema's order,
    as every row carries every field. Counts, bounds and, for the same seed, the
    distinct estimates are the same whatever the order.

    Needs a classic Spark session (an RDD API); Spark Connect DataFrames have none.
    """
    from pyspark import RDD  # imported here: karvo_dist must not need PySpark

    if isinstance(data, RDD):
        rdd = data
    elif hasattr(data, "rdd"):
        rdd = data.rdd
    else:
        raise TypeError(f"expected a Spark DataFrame or RDD, not {type(data).__name__}")
    Profile(seed=seed)  # a bad seed fails here, before any job starts
    if rdd.getNumPartitions() == 0:
        return Profile(seed=seed)
    pieces = rdd.mapPartitions(functools.partial(profile_partition, seed=seed))
    merged = pieces.treeReduce(functools.partial(merge_pair, seed=seed), depth)
    return Profile.from_bytes(merged, seed=seed)
