"""Profiles of Dask bags: one profile per partition, merged in a tree.

    import dask.bag as db
    import json
    from karvo_dist.dask import profile_bag

    rows = db.read_text("logs/*.jsonl").map(json.loads)
    print(profile_bag(rows).report())

Dask itself is imported by the caller, never by this module, so karvo_dist runs
without it. The workers need karvo_dist importable, as they need any function
they run.
"""

from __future__ import annotations

import functools
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
