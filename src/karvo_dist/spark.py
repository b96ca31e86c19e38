"""Profiles of Spark DataFrames and RDDs: one profile per partition, merged in a tree.

    from karvo_dist.spark import profile

    df = spark.read.json("logs/")
    print(profile(df).report())

PySpark is imported only inside `profile`, so karvo_dist runs without it. The
Python workers need karvo_dist importable, as they need any function they run: with a
local master and no PYSPARK_PYTHON, `profile` runs its job on this interpreter; a
worker that still cannot import karvo_dist fails the call with RuntimeError saying how
to point the workers at an interpreter that can.
"""

from __future__ import annotations

import contextlib
import functools
import os
import sys
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


@contextlib.contextmanager
def _workers_python(context: Any) -> Iterator[str]:
    """Within the block, jobs of a local master run on this interpreter, unless the user
    chose the workers' Python (PYSPARK_PYTHON or spark.pyspark.python).

    The context reads PYSPARK_PYTHON once, when it is made, and falls back to `python3`
    on the PATH, which is often not the interpreter that has karvo_dist (a virtual
    environment that is not activated). A local master's workers run on this machine,
    so this interpreter is the right one for them; on a cluster only the user knows.
    Each job takes the interpreter from the context when it is made, so the change
    holds for the jobs made in the block and is undone after it. Yields the workers'
    interpreter. Not thread safe: a job that another thread starts on the same context
    meanwhile runs on this interpreter too, which for a local master is harmless.
    """
    chosen = "PYSPARK_PYTHON" in os.environ or context.getConf().contains(
        "spark.pyspark.python")
    if chosen or not context.master.startswith("local") or not sys.executable:
        yield context.pythonExec
        return
    previous = context.pythonExec
    context.pythonExec = sys.executable
    try:
        yield sys.executable
    finally:
        context.pythonExec = previous


def _missing_module(error: BaseException) -> str | None:
    """The karvo module that a failed job's worker could not import, if that is why."""
    text = str(error)
    for name in ("karvo_dist", "karvo"):
        if f"No module named '{name}" in text:
            return name
    return None


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

    The workers' Python: see the module documentation. Needs a classic Spark session
    (an RDD API); Spark Connect DataFrames have none.
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
    python = rdd.context.pythonExec
    try:
        with _workers_python(rdd.context) as python:
            pieces = rdd.mapPartitions(functools.partial(profile_partition, seed=seed))
            merged = pieces.treeReduce(functools.partial(merge_pair, seed=seed), depth)
    except Exception as error:
        missing = _missing_module(error)
        if missing is None:
            raise
        raise RuntimeError(
            f"Spark's Python workers cannot import {missing} (they run "
            f"{python!r}); set PYSPARK_PYTHON to an interpreter that has "
            f"it, such as this one, before the Spark session is made: "
            f"PYSPARK_PYTHON={sys.executable}") from error
    return Profile.from_bytes(merged, seed=seed)
