"""Profiles of Dask bags and DataFrames: one profile per partition, merged in a tree.

    import dask.bag as db
    import dask.dataframe as dd
    import json
    from karvo_dist.dask import profile_bag, profile_frame

    rows = db.read_text("logs/*.jsonl").map(json.loads)
    print(profile_bag(rows).report())
    print(profile_frame(dd.read_parquet("sales/")).report())

Dask itself is imported by the caller, never by this module, so karvo_dist runs
without it. The workers need karvo_dist importable, as they need any function
they run.
"""

from __future__ import annotations

import functools
import sys
from collections.abc import Iterable
from itertools import islice
from typing import Any

from . import Profile

# Rows handed to one observe_dicts call while a partition is read lazily: large
# enough that the per-call cost vanishes, small enough that a partition never
# has to sit in memory whole.
BATCH_ROWS = 4096

# Partials of module functions travel to the workers by reference, so the
# workers import this module instead of receiving pickled code.


def profile_rows(rows: Iterable[Any], seed: int) -> bytes:
    """The binary profile of one partition's rows (dicts; other elements are skipped)."""
    profile = Profile(seed=seed)
    if isinstance(rows, list):
        profile.observe_dicts(rows)
    else:
        iterator = iter(rows)
        while batch := list(islice(iterator, BATCH_ROWS)):
            profile.observe_dicts(batch)
    return profile.to_bytes()


def merge_profiles(pieces: Iterable[bytes], seed: int) -> bytes:
    """One binary profile of the pieces, merged in the order given.

    The binary form names no seed, only checks it: every piece is read with `seed`.

    An empty group yields an empty profile: Dask leaves out empty partitions,
    and a bag may have none at all.
    """
    merged = None
    for piece in pieces:
        if merged is None:
            merged = Profile.from_bytes(piece, seed=seed)
        else:
            merged.merge(Profile.from_bytes(piece, seed=seed))
    return (merged or Profile(seed=seed)).to_bytes()


def profile_partition(frame: Any, seed: int) -> bytes:
    """The binary profile of one partition of a Dask DataFrame, read through Arrow.

    A pandas partition becomes an Arrow table without its index (numeric columns are
    not copied); any other partition that speaks the Arrow C stream interface is read as
    it is. A pandas column that Arrow cannot type (an object column mixing texts and
    numbers, integers beyond 64 bits, ...) or a repeated column name sends the
    partition through its row dicts,
    as `ddf.to_bag(format="dict")` hands them out, so the figures are the same either way.
    """
    profile = Profile(seed=seed)
    pandas = sys.modules.get("pandas")  # a pandas partition means pandas is loaded
    if pandas is not None and isinstance(frame, pandas.Series):
        frame = frame.to_frame()  # one column, named as the series, as to_bag makes it
    if pandas is not None and isinstance(frame, pandas.DataFrame):
        import pyarrow as pa

        try:
            if not frame.columns.is_unique:
                # Arrow refuses the repeated name; a row dict keeps its last value.
                raise pa.ArrowInvalid("repeated column names")
            table = pa.Table.from_pandas(frame, preserve_index=False)
        except (pa.ArrowInvalid, pa.ArrowTypeError, pa.ArrowNotImplementedError,
                OverflowError):  # an int beyond 64 bits
            profile.observe_dicts(frame.to_dict(orient="records"))
            return profile.to_bytes()
        profile.observe_arrow(table)
    else:
        profile.observe_arrow(frame)
    return profile.to_bytes()


def _merge_levels(pieces: list[Any], seed: int, split_every: int) -> Any:
    """One delayed profile of the delayed pieces: neighbours merged `split_every` at a
    time, level by level, so the pieces keep their order at every level."""
    import dask

    merge = dask.delayed(merge_profiles, pure=True)
    while len(pieces) > 1:
        pieces = [merge(pieces[i:i + split_every], seed)
                  for i in range(0, len(pieces), split_every)]
    return pieces[0]


def profile_frame(frame: Any, seed: int = 0, split_every: int | None = None) -> Profile:
    """The profile of every row of a Dask DataFrame, as one Profile at the caller.

    Each partition is read through Arrow where it lives (`Profile.observe_arrow`: no
    Python object per value) and travels as bytes; the pieces are merged in order, in a
    tree, `split_every` at a time (8 when None). Columns come in the frame's order,
    every row carries every column, and each value counts as it would in the partition's
    row dicts (`ddf.to_bag(format="dict")` through `profile_bag`): the report, and the
    binary form, equal those of one process reading the whole frame with
    `observe_arrow`, distinct estimates included. Column names are taken as text, as
    Arrow names them. Needs pyarrow on the workers.

    The work runs on the current Dask scheduler (a distributed Client, if one is
    active); this call waits for the result.
    """
    import dask

    Profile(seed=seed)  # a bad seed fails here, before any work is sent out
    width = 8 if split_every is None else split_every
    if isinstance(width, bool) or not isinstance(width, int) or width < 2:
        raise ValueError(f"split_every must be an int of at least 2, not {split_every!r}")
    read = dask.delayed(profile_partition, pure=True)
    pieces = [read(part, seed) for part in frame.to_delayed()]
    if not pieces:
        return Profile(seed=seed)
    merged = _merge_levels(pieces, seed, width)
    return Profile.from_bytes(dask.compute(merged)[0], seed=seed)


def profile_bag(bag: Any, seed: int = 0, split_every: int | None = None) -> Profile:
    """The profile of every row of a Dask bag, as one Profile at the caller.

    Each partition is profiled where it lives and travels as bytes; the pieces are
    merged in a tree, `split_every` at a time (Dask's default, 8, when None). Rows
    are dicts read by the rules of `Profile.observe_dicts`; elements that are not
    dicts are skipped. A Dask DataFrame becomes such a bag with
    `ddf.to_bag(format="dict")`.

    Dask groups neighbouring partitions and keeps them in order at every level of
    the tree, so the report lists the columns in the order one process would see
    them reading the partitions one after the other. With the same seed the report
    equals that one process's report exactly, distinct estimates included.

    The work runs on the current Dask scheduler (a distributed Client, if one is
    active); this call waits for the result.
    """
    Profile(seed=seed)  # a bad seed fails here, before any work is sent out
    reduced = bag.reduction(
        functools.partial(profile_rows, seed=seed),
        functools.partial(merge_profiles, seed=seed),
        split_every=split_every,
        name="karvo-profile",
    )
    return Profile.from_bytes(reduced.compute(), seed=seed)
