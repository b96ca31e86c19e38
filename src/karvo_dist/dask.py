"""Profiles of JSON Lines files, Dask bags and DataFrames on Dask: one profile per piece,
merged in a tree.

    import dask.bag as db
    import dask.dataframe as dd
    import json
    from karvo_dist.dask import profile_bag, profile_files, profile_frame

    print(profile_files("logs/*.jsonl").report())
    print(profile_frame(dd.read_parquet("sales/")).report())
    print(profile_bag(db.from_sequence(rows, npartitions=8)).report())

Dask itself is imported by the caller, never by this module, so karvo_dist runs
without it. The workers need karvo_dist importable, as they need any function
they run.
"""

from __future__ import annotations

import functools
import glob
import os
import sys
from collections.abc import Iterable, Iterator
from dataclasses import dataclass
from itertools import islice
from typing import IO, Any

from . import BadLineError, Profile, _formats

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


def _merge_levels(pieces: list[Any], seed: int, split_every: int,
                  merge_function: Any = merge_profiles) -> Any:
    """One delayed result of the delayed pieces: neighbours merged `split_every` at a
    time by `merge_function(group, seed)`, level by level, so the pieces keep their
    order at every level."""
    import dask

    merge = dask.delayed(merge_function, pure=True)
    while len(pieces) > 1:
        pieces = [merge(pieces[i:i + split_every], seed)
                  for i in range(0, len(pieces), split_every)]
    return pieces[0]


def _split_every(split_every: int | None) -> int:
    width = 8 if split_every is None else split_every
    if isinstance(width, bool) or not isinstance(width, int) or width < 2:
        raise ValueError(f"split_every must be an int of at least 2, not {split_every!r}")
    return width


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
    width = _split_every(split_every)
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


# --------------------------------------------------------------------------
# JSON Lines files, read natively on the workers
#
# The files are cut into tasks of `blocksize` bytes as if they were one stream, so the
# tasks are equal: a task may read the end of one file, small files whole and the start
# of the next, in turn, into one profile. A range [start, stop) of a file owns every line
# that starts inside it: it skips to the first line start at or after `start` (unless
# start is 0) and reads on through the end of the line that holds byte stop - 1.
# Neighbouring ranges meet at the same line start, so every line is read exactly once,
# whatever the block size, however lines straddle the boundaries. The task profiles are
# merged in file and range order, so the result is that of one profile reading the files
# one after the other.
#
# A byte range does not know the number of the line it starts at; each task reports how
# many lines it read, and the merge numbers the bad lines of later ranges on from those
# of earlier ones, so line numbers are counted from the start of their file.

# With blocksize="auto", tasks read about a share of the bytes that gives each thread of
# the scheduler this many tasks (a task that ends early leaves room for another), within
# these bounds: below the least, a task costs more to schedule than to read; above the
# most, the merge waits long for the last task.
TASKS_PER_THREAD = 4
MIN_BLOCKSIZE = 1 << 20
MAX_BLOCKSIZE = 64 << 20

# Bytes read at a time from a range; the native reader takes them one by one.
_READ_BLOCK = 1 << 20

# Bytes read at a time while looking for the first line start of a range.
_SCAN_BLOCK = 1 << 16

# Names of compressed files: not splittable, so one task reads each whole. A compressed
# file named otherwise is still recognised by its first bytes, read by its first range
# and skipped by the others.
_COMPRESSED_SUFFIXES = (".gz", ".bz2", ".xz", ".lzma", ".zst")


@dataclass(frozen=True)
class FilesResult:
    """What `read_files` read: the profile, and the counts of `Profile.observe_jsonl`
    summed over the files."""

    profile: Profile
    """Every object line of the files, in order, as one profile."""
    files: int
    """Files read."""
    rows: int
    """Object lines added to the profile."""
    lines: int
    """Every line, blank and bad ones included."""
    blank_lines: int
    """Empty or whitespace-only lines: skipped, and not bad."""
    bad_lines: int
    """Lines skipped as not valid UTF-8, not JSON or not an object."""
    bytes: int
    """Bytes read from the files (compressed files: bytes after decompression)."""
    first_bad: list[tuple[str, int, str]]
    """The first bad lines (as many as asked for), in file order, as (file name, line
    number in that file from 1, reason)."""


# What a task read of one file, as a plain list that travels cheaply between processes:
# [file index, name, rows, lines, blank lines, bad lines, bytes, first bad lines as
#  [(line, reason)], the strict refusal as (line, reason) or None]
_INDEX, _NAME, _ROWS, _LINES, _BLANK, _BAD, _BYTES, _FIRST_BAD, _REFUSED = range(9)


def _outcome(index: int, name: str, result: Any, shift: int) -> list:
    """A task's outcome of one file from observe_jsonl's result; `shift` lines (and
    bytes) were put in front of the range by the reader and are taken out again."""
    return [index, name, result.rows, result.lines - shift, result.blank_lines - shift,
            result.bad_lines, result.bytes - shift,
            [(line - shift, reason) for line, reason in result.first_bad], None]


def _fold(outcomes: list[list], later: list[list], kept: int) -> None:
    """Appends the outcomes of later tasks to those of earlier ones, in place: the last
    file of the earlier ones and the first of the later ones may be the same file, whose
    later lines are then numbered on from its earlier ones."""
    for outcome in later:
        if not outcomes or outcomes[-1][_INDEX] != outcome[_INDEX]:
            outcomes.append(list(outcome))
            continue
        last = outcomes[-1]
        if last[_REFUSED] is not None:
            continue  # a strict read ended at the earlier line: nothing later counts
        offset = last[_LINES]
        for field in (_ROWS, _LINES, _BLANK, _BAD, _BYTES):
            last[field] += outcome[field]
        room = kept - len(last[_FIRST_BAD])
        # A new list: the outcomes given may be another task's result, kept by Dask.
        last[_FIRST_BAD] = last[_FIRST_BAD] + [
            (line + offset, reason) for line, reason in outcome[_FIRST_BAD][:max(room, 0)]]
        if outcome[_REFUSED] is not None:
            line, reason = outcome[_REFUSED]
            last[_REFUSED] = (line + offset, reason)


def _line_start(file: IO[bytes], start: int) -> int | None:
    """The first line start at or after `start` (> 0), None when no line starts there."""
    position = start - 1
    file.seek(position)
    while block := file.read(_SCAN_BLOCK):
        cut = block.find(b"\n")
        if cut >= 0:
            return position + cut + 1
        position += len(block)
    return None


def _range_blocks(file: IO[bytes], first: int, stop: int | None) -> Iterator[bytes]:
    """The bytes from line start `first` through the end of the line holding byte
    stop - 1 (through the end of the file when stop is None).

    A range after the first is led by a line feed: an empty first line, taken out of
    the counts again, which keeps a byte order mark that starts its first line from
    being skipped as if it started the input (only one at the start of a file is)."""
    if first > 0:
        yield b"\n"
    file.seek(first)
    position, block = first, b""
    while stop is None or position < stop:
        want = _READ_BLOCK if stop is None else min(_READ_BLOCK, stop - position)
        block = file.read(want)
        if not block:
            return
        position += len(block)
        yield block
    if block.endswith(b"\n"):
        return
    while block := file.read(_READ_BLOCK):
        cut = block.find(b"\n")
        if cut >= 0:
            yield block[:cut + 1]
            return
        yield block


def _whole_file_elsewhere(file: IO[bytes]) -> bool:
    """Whether a file split into ranges is read whole by its first range instead: a
    compressed file, which cannot be split, and one that is not JSON Lines, which
    observe_jsonl refuses by its head."""
    file.seek(0)
    head = _formats.read_head(file)
    return _formats.decompressor(head) is not None or _formats.refusal(head) is not None


# A file is a local path (str or bytes), read by the native side when read whole, or an
# fsspec OpenFile for a URL ("s3://...", "memory://..."), read through its file object.

def _name(source: Any) -> str:
    if isinstance(source, (str, bytes)):
        return os.fsdecode(source)
    return source.fs.unstrip_protocol(source.path)


def _size(source: Any) -> int:
    if isinstance(source, (str, bytes)):
        return os.path.getsize(source)
    return source.fs.size(source.path)


def _open(source: Any) -> IO[bytes]:
    return open(source, "rb") if isinstance(source, (str, bytes)) else source.open()


def _read_whole(profile: Profile, source: Any, options: dict) -> Any:
    if isinstance(source, (str, bytes)):
        return profile.observe_jsonl(source, **options)
    with source.open() as file:
        return profile.observe_jsonl(file, **options)


def _read_piece(profile: Profile, piece: tuple, options: dict) -> list:
    """Reads one file or one range of a file into the profile; its outcome."""
    source, index, start, stop = piece
    name = _name(source)
    try:
        if start == 0 and stop is None:
            return _outcome(index, name, _read_whole(profile, source, options), 0)
        with _open(source) as file:
            if _whole_file_elsewhere(file):
                if start > 0:
                    return [index, name, 0, 0, 0, 0, 0, [], None]
                return _outcome(index, name, _read_whole(profile, source, options), 0)
            first = start if start == 0 else _line_start(file, start)
            if first is None or (stop is not None and first >= stop):
                return [index, name, 0, 0, 0, 0, 0, [], None]  # no line starts here
            result = profile.observe_jsonl(_range_blocks(file, first, stop), **options)
            return _outcome(index, name, result, 1 if first > 0 else 0)
    except BadLineError as refusal:
        shift = 1 if start > 0 else 0
        return [index, name, 0, 0, 0, 0, 0, [], (refusal.line - shift, refusal.reason)]


def profile_pieces(pieces: tuple, seed: int, options: dict) -> tuple[bytes, list]:
    """One task of `read_files`: the binary profile of its files and ranges, read in
    turn, and what was read of each file. A strict read that meets a bad line adds
    nothing and reads no further: its refusal travels to the caller with the line."""
    profile = Profile(seed=seed)
    outcomes: list[list] = []
    for piece in pieces:
        outcome = _read_piece(profile, piece, options)
        _fold(outcomes, [outcome], options["bad_lines_kept"])
        if outcome[_REFUSED] is not None:
            return Profile(seed=seed).to_bytes(), outcomes
    return profile.to_bytes(), outcomes


def merge_pieces(parts: Iterable[tuple[bytes, list]], seed: int,
                 kept: int) -> tuple[bytes, list]:
    """The tasks' profiles merged in the order given, and their outcomes folded."""
    parts = list(parts)
    outcomes: list[list] = []
    for _, later in parts:
        _fold(outcomes, later, kept)
    return merge_profiles((data for data, _ in parts), seed), outcomes


def _expand(paths: Any) -> list[Any]:
    """The files named: a path, a glob, or a list of them, globs expanded in sorted
    order. A URL with a protocol is opened through fsspec."""
    if isinstance(paths, (str, bytes, os.PathLike)):
        paths = [paths]
    files: list[Any] = []
    for path in paths:
        if not isinstance(path, (str, bytes, os.PathLike)):
            raise TypeError(f"read_files() takes paths and globs, not "
                            f"{type(path).__qualname__!r}")
        pattern: Any = os.fspath(path)  # str or bytes, as given
        if isinstance(pattern, str) and "://" in pattern:
            files.extend(_expand_url(pattern))
        elif glob.has_magic(pattern):
            found = sorted(glob.glob(pattern, recursive=True))
            if not found:
                raise FileNotFoundError(f"no file matches {os.fsdecode(pattern)!r}")
            files.extend(found)
        else:
            files.append(pattern)
    return files


def _expand_url(url: str) -> list[Any]:
    import fsspec

    fs, path = fsspec.core.url_to_fs(url)
    found = sorted(fs.glob(path)) if glob.has_magic(path) else [path]
    if not found:
        raise FileNotFoundError(f"no file matches {url!r}")
    return [fsspec.core.OpenFile(fs, name, mode="rb") for name in found]


def _plan(files: list[Any], sizes: list[int], blocksize: int | None) -> list[tuple]:
    """The tasks, in file and range order, each a tuple of (path, file index, start,
    stop or None for the end of the file).

    The files are cut as if they were one stream into tasks of `blocksize` bytes, so
    the tasks are equal and none waits long at the end: a task may take the end of one
    file, whole small files and the start of the next. A compressed file goes whole into
    the task it starts in. With no block size, each file is one task."""
    if blocksize is None:
        return [((path, index, 0, None),) for index, path in enumerate(files)]
    tasks: list[tuple] = []
    task: list[tuple] = []
    room = blocksize
    for index, (path, size) in enumerate(zip(files, sizes)):
        start = 0
        if _name(path).lower().endswith(_COMPRESSED_SUFFIXES):
            room = max(room, size)  # not splittable: the task takes all of it
        while size - start > room:
            task.append((path, index, start, start + room))
            tasks.append(tuple(task))
            start, task, room = start + room, [], blocksize
        task.append((path, index, start, None))
        room -= size - start
        if room <= 0:
            tasks.append(tuple(task))
            task, room = [], blocksize
    if task:
        tasks.append(tuple(task))
    return tasks


def _scheduler_threads() -> int:
    """The threads the current Dask scheduler runs tasks on: a distributed client's
    workers' if one is active, this machine's cores otherwise."""
    distributed = sys.modules.get("distributed")  # a client means distributed is loaded
    if distributed is not None:
        try:
            client = distributed.default_client()
        except ValueError:  # no client
            pass
        else:
            return max(1, sum(client.nthreads().values()))
    return os.cpu_count() or 1


def _auto_blocksize(sizes: list[int]) -> int:
    total = sum(sizes)
    share = -(-total // (TASKS_PER_THREAD * _scheduler_threads()))
    return min(max(share, MIN_BLOCKSIZE), MAX_BLOCKSIZE)


def _blocksize(blocksize: Any) -> int | None:
    if blocksize is None:
        return None
    if isinstance(blocksize, str):
        from dask.utils import parse_bytes

        blocksize = parse_bytes(blocksize)
    if isinstance(blocksize, bool) or not isinstance(blocksize, int) or blocksize < 1:
        raise ValueError(f"blocksize must be a positive int, a size such as '64 MiB', "
                         f"'auto' or None, not {blocksize!r}")
    return blocksize


def read_files(paths: Any, seed: int = 0, blocksize: int | str | None = "auto", *,
               strict: bool = False, threads: int = 1, bad_lines_kept: int = 10,
               max_line_bytes: int = 256 << 20,
               split_every: int | None = None) -> FilesResult:
    """Every JSON Lines file named, read natively on the Dask workers into one profile,
    with the counts of what was read.

    `paths` is a path, a glob (`"logs/*.jsonl"`, `**` included) or a list of them; globs
    expand in sorted order. The files are read as `Profile.observe_jsonl` reads them, in
    tasks of about `blocksize` bytes (an int, a size such as `"64 MiB"`, or None for one
    task per file), cut from the files as if they were one stream, so a large file is
    read in byte ranges split at line ends and small files are packed together; a
    compressed file (gzip, bzip2, xz, zstd) is read whole by one task. "auto" makes
    about four tasks for each thread of the scheduler, of 1 to 64 MiB each. The pieces
    are merged in file and range order, in a tree, `split_every` at a time (8 when
    None), so the report equals that of one process calling `observe_jsonl` on the
    files in turn, with the same seed, distinct estimates included.

    `threads` is each task's parsing threads (`observe_jsonl`'s, 0 for every core): Dask
    already runs a task per worker thread, so 1 keeps the cores from being shared out
    twice. `strict`, `bad_lines_kept` and `max_line_bytes` are `observe_jsonl`'s; bad
    lines are numbered from the start of their file, and `bad_lines_kept` of them are
    kept in all. A strict read raises `BadLineError` (with the file's name) for the
    first bad line of the first file that has one, at the caller, and returns nothing.
    A file that cannot be read raises its OSError, one that is not JSON Lines
    `InputFormatError`.

    The work runs on the current Dask scheduler (a distributed Client, if one is
    active); this call waits for the result. The workers read the files by the names
    given, so on a cluster of several machines the files must be where every worker
    sees them.
    """
    import dask

    Profile(seed=seed)  # a bad seed fails here, before any work is sent out
    width = _split_every(split_every)
    auto = isinstance(blocksize, str) and blocksize == "auto"
    size = None if auto else _blocksize(blocksize)
    Profile(seed=seed).observe_jsonl(b"", threads=threads, bad_lines_kept=bad_lines_kept,
                                     max_line_bytes=max_line_bytes)  # checks the options
    options = {"strict": bool(strict), "threads": threads,
               "bad_lines_kept": bad_lines_kept, "max_line_bytes": max_line_bytes}
    files = _expand(paths)
    sizes = [_size(path) for path in files]
    if auto:
        size = _auto_blocksize(sizes)
    read = dask.delayed(profile_pieces, pure=True)
    tasks = [read(task, seed, options) for task in _plan(files, sizes, size)]
    if tasks:
        merge = functools.partial(merge_pieces, kept=bad_lines_kept)
        data, outcomes = dask.compute(_merge_levels(tasks, seed, width, merge))[0]
    else:
        data, outcomes = Profile(seed=seed).to_bytes(), []
    return _result(Profile.from_bytes(data, seed=seed), len(files), outcomes,
                   bad_lines_kept)


def _result(profile: Profile, files: int, outcomes: list[list], kept: int) -> FilesResult:
    for outcome in outcomes:
        if outcome[_REFUSED] is not None:
            line, reason = outcome[_REFUSED]
            raise BadLineError(line, reason, outcome[_NAME])
    first_bad = [(outcome[_NAME], line, reason)
                 for outcome in outcomes for line, reason in outcome[_FIRST_BAD]]
    rows, lines, blank_lines, bad_lines, size = (
        sum(outcome[field] for outcome in outcomes)
        for field in (_ROWS, _LINES, _BLANK, _BAD, _BYTES))
    return FilesResult(profile, files, rows, lines, blank_lines, bad_lines, size,
                       first_bad[:kept])


def profile_files(paths: Any, seed: int = 0, blocksize: int | str | None = "auto", *,
                  strict: bool = False, threads: int = 1,
                  split_every: int | None = None) -> Profile:
    """The profile of every JSON Lines file named, read natively on the Dask workers:
    `read_files(...).profile`, for when the counts of lines read are not wanted.

        from karvo_dist.dask import profile_files

        print(profile_files("events/*.jsonl").report())

    The report equals that of one process calling `Profile.observe_jsonl` on the files
    in turn, with the same seed. See `read_files` for the arguments.
    """
    return read_files(paths, seed, blocksize, strict=strict, threads=threads,
                      split_every=split_every).profile
