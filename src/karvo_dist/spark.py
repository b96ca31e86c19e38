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


def profile_arrow_partition(batches: Iterator[Any], seed: int) -> Iterator[Any]:
    """The binary profile of one partition's Arrow record batches, as a one-row batch.

    Runs in `mapInArrow`; the batch's one column, "profile", holds the bytes.
    """
    import pyarrow as pa

    profile = Profile(seed=seed)
    for batch in batches:
        _observe_batch(profile, batch)
    yield pa.RecordBatch.from_arrays([pa.array([profile.to_bytes()], pa.binary())],
                                     names=["profile"])


def _observe_batch(profile: Profile, batch: Any) -> None:
    """Adds one batch as the Row path would see it.

    A Spark string may hold bytes that are not UTF-8 (a cast from binary). The Row path
    decodes it with a U+FFFD for each bad sequence, while observe_arrow refuses the
    batch (adding nothing): then the bad text is decoded that same way and the batch
    read again.
    """
    try:
        profile.observe_arrow(batch)
    except ValueError:
        repaired = _decoded_text(batch)
        if repaired is batch:
            raise
        profile.observe_arrow(repaired)


def _decoded_text(batch: Any) -> Any:
    """The batch with every text column that is not valid UTF-8 decoded with U+FFFD for
    its bad sequences; the batch itself when all its text is valid."""
    import pyarrow as pa

    columns = list(batch.columns)
    changed = False
    for i, column in enumerate(columns):
        if not (pa.types.is_string(column.type) or pa.types.is_large_string(column.type)):
            continue
        try:
            column.validate(full=True)
            continue
        except pa.ArrowInvalid:
            pass
        raw = column.view(pa.large_binary() if pa.types.is_large_string(column.type)
                          else pa.binary())
        columns[i] = pa.array([None if value is None else value.decode("utf-8", "replace")
                               for value in raw.to_pylist()], column.type)
        changed = True
    if not changed:
        return batch
    return pa.RecordBatch.from_arrays(columns, schema=batch.schema)


def _profile_bytes(row: Any) -> bytes:
    return bytes(row[0])


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


def _arrow_ready(frame: Any) -> tuple[Any, str | None]:
    """The DataFrame as the Arrow path reads it, or None and why it cannot.

    The Row path reads a row as `Row.asDict()`, where a name that occurs twice keeps its
    place of first occurrence and its last value; Spark refuses to hand such a frame to
    `mapInArrow` (the name is ambiguous), so the same projection is made here first.
    """
    if not hasattr(frame, "mapInArrow"):
        return None, "this Spark has no mapInArrow (Spark 3.3 or later has it)"
    try:
        import inspect

        import pyarrow  # noqa: F401
        from pyspark.sql.pandas.types import to_arrow_schema

        # Spark 4 asks for a time zone for timestamps (any will do: only the types
        # matter here); earlier versions have no such parameter.
        zone = ({"timezone": "UTC"}
                if "timezone" in inspect.signature(to_arrow_schema).parameters else {})
        to_arrow_schema(frame.schema, **zone)
    except Exception as error:  # no pyarrow, or a column type Arrow cannot carry
        return None, f"{type(error).__name__}: {error}"
    names = frame.columns
    if len(set(names)) == len(names):
        return frame, None
    last = {name: i for i, name in enumerate(names)}
    keep = [last[name] for name in dict.fromkeys(names)]
    positional = frame.toDF(*(f"_{i}" for i in range(len(names))))
    return positional.select(*(f"_{i}" for i in keep)).toDF(*dict.fromkeys(names)), None


def _pieces_of(frame: Any, seed: int) -> Any:
    """The RDD of the frame's partition profiles, as bytes, through Arrow."""
    profiles = frame.mapInArrow(functools.partial(profile_arrow_partition, seed=seed),
                                "profile binary")
    return profiles.rdd.map(_profile_bytes)


def profile(data: Any, seed: int = 0, depth: int = 2, arrow: bool | None = None) -> Profile:
    """The profile of every row of a Spark DataFrame or RDD, as one Profile at the driver.

    A DataFrame's rows are read as dicts of their fields (`Row.asDict()`); an RDD may
    hold dicts or Rows, and other elements are skipped. Each partition is profiled
    on its executor, and the profiles travel as bytes through `treeReduce` (of the
    given `depth`) to the driver.

    A DataFrame is read through Arrow (`mapInArrow`, `Profile.observe_arrow`: no Python
    object per value) when it can be: Spark 3.3 or later, pyarrow at the driver and the
    workers, and column types Arrow carries. Otherwise, and always for an RDD, rows go
    through `mapPartitions` as dicts. Both give the same report: every value counts as
    the Row path's Python object would. `arrow`: None chooses, True insists on Arrow
    (RuntimeError saying why when it cannot), False takes the Row path.

    Values are read by the rules of `Profile.observe_dicts`, as PySpark hands them
    out: integer and floating columns are numbers (a NaN is null), `DecimalType`
    values are numbers (their nearest double), booleans are 0 and 1, strings are
    text; dates, timestamps, binary, arrays, maps and structs count as null. Cast
    such a column first if its values matter, for example a timestamp to `long`
    (seconds) or to `string`. A SQL NULL is `None`, so every column of a DataFrame
    is carried by every row: its `total_count` is the number of rows.

    Where Spark has no Python object for a value (a year-month interval, which the Row
    path cannot read at all), the Arrow path counts it as null.

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
        if arrow:
            raise RuntimeError("the Arrow path reads DataFrames, not RDDs")
        rdd, frame = data, None
    elif hasattr(data, "rdd"):
        rdd, frame = data.rdd, None
        if arrow is not False:
            frame, why = _arrow_ready(data)
            if frame is None and arrow:
                raise RuntimeError(f"cannot read this DataFrame through Arrow: {why}")
    else:
        raise TypeError(f"expected a Spark DataFrame or RDD, not {type(data).__name__}")
    Profile(seed=seed)  # a bad seed fails here, before any job starts
    if rdd.getNumPartitions() == 0:
        return Profile(seed=seed)
    merge = functools.partial(merge_pair, seed=seed)
    python = rdd.context.pythonExec
    try:
        with _workers_python(rdd.context) as python:
            if frame is not None:
                try:
                    merged = _pieces_of(frame, seed).treeReduce(merge, depth)
                except Exception as error:
                    # Workers without pyarrow: the rows can still go as dicts.
                    if arrow or "No module named 'pyarrow'" not in str(error):
                        raise
                    frame = None
            if frame is None:
                pieces = rdd.mapPartitions(functools.partial(profile_partition, seed=seed))
                merged = pieces.treeReduce(merge, depth)
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
