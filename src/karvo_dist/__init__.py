"""Column profiles that can be stored, sent between processes and merged.

A :class:`Profile` profiles rows (dicts of column name to value) by exactly the rules of
``karvo.Profiler`` and reports them in the same JSON form. Unlike ``karvo.Profiler`` it
hashes values under keys derived from a seed, so profiles made with the same seed, in any
process or on any machine, can be merged; and it has a versioned binary form
(:meth:`Profile.to_bytes`, :meth:`Profile.from_bytes`), through which it also pickles.

    >>> from karvo_dist import Profile
    >>> a, b = Profile(), Profile()
    >>> a.observe_dicts([{"x": 1}, {"x": 2}]); b.observe_dict({"x": 2, "y": "t"})
    >>> a.merge(b)
    >>> a
    <karvo_dist.Profile seed=0 columns=2: x, y>

The default seed is fixed, so profiles from different processes merge without set-up.
Anyone who knows the seed can choose values that collide in the distinct-count sketch;
for inputs chosen by an adversary, use a secret seed.
"""

from __future__ import annotations

import io
import itertools
import json
import os
import stat
import sys
from dataclasses import dataclass
from typing import Any, Iterable, Iterator

from . import _formats, _native
from ._formats import InputFormatError

__all__ = ["Profile", "JsonlResult", "InputFormatError", "BadLineError", "FORMAT_VERSION"]


class BadLineError(ValueError):
    """The bad line that ended a strict read: nothing of the input was added.

    ``line`` is its number (from 1), ``reason`` what is wrong with it, and ``source`` the
    input's name for a path, None otherwise. The message is "name:N: reason" for a path
    and "line N: reason" for any other source.
    """

    def __init__(self, line: int, reason: str, source: str | None = None) -> None:
        where = f"{source}:{line}" if source is not None else f"line {line}"
        super().__init__(f"{where}: {reason}")
        self.line = line
        self.reason = reason
        self.source = source

    def __reduce__(self) -> tuple:
        return (type(self), (self.line, self.reason, self.source))

FORMAT_VERSION: int = _native.FORMAT_VERSION

# Column names shown by repr before it abbreviates.
_REPR_COLUMNS = 8

# Rows taken from an iterable that is not a list before they are observed: bounds the
# memory a generator or cursor costs, whatever its length.
_ROW_BATCH = 10_000

# Bytes asked of a file object's read(n), and cut from a bytearray or memoryview, at a time.
_STREAM_BLOCK = 1 << 20


@dataclass(frozen=True)
class JsonlResult:
    """What :meth:`Profile.observe_jsonl` read.

    ``rows``: object lines added to the profile; ``lines``: every line, blank and bad ones
    included; ``blank_lines``: empty or whitespace-only lines (skipped, not bad);
    ``bad_lines``: lines skipped as not valid UTF-8, not JSON or not an object;
    ``bytes``: bytes read, a byte order mark included; ``first_bad``: the first few bad
    lines as (line number from 1, reason).
    """

    rows: int
    lines: int
    blank_lines: int
    bad_lines: int
    bytes: int
    first_bad: list[tuple[int, str]]


def _max_int_digits() -> int:
    # json.loads refuses integer literals longer than the interpreter's limit (3.11+).
    get_limit = getattr(sys, "get_int_max_str_digits", None)
    return get_limit() if get_limit is not None else 0


def _count(name: str, value: Any) -> int:
    # The native side checks the range (a ValueError naming the argument and its bounds).
    if not isinstance(value, int) or isinstance(value, bool):
        raise TypeError(f"observe_jsonl() argument '{name}' must be an int, "
                        f"not '{type(value).__qualname__}'")
    return value


def _refuse_unless_json_lines(head: bytes, name: str | None) -> None:
    what = _formats.refusal(head)
    if what is not None:
        raise _formats.refuse(name, what)


def _slices(data: bytearray | memoryview) -> Iterator[bytes]:
    view = memoryview(data).cast("B")
    for start in range(0, len(view), _STREAM_BLOCK):
        yield bytes(view[start:start + _STREAM_BLOCK])


def _blocks(file: Any) -> Iterator[Any]:
    while True:
        block = file.read(_STREAM_BLOCK)
        if not block:
            if block is None:
                raise TypeError("observe_jsonl() cannot read a non-blocking file: read() "
                                "gave None")
            return
        yield block


class Profile(_native.Profile):
    """A mergeable column profile; see the module documentation.

    ``Profile(seed=0, *, summaries=True)``: the seed is an int from 0 to 2**64 - 1.
    Profiles merge only with profiles of the same seed. ``summaries=False`` makes a
    profile that keeps no column summary: its report is the same, it is cheaper to fill,
    and the summary's figures (``summary()``, ``to_html()``) are unknown, as for a column
    read from a version-1 stored profile.
    """

    __slots__ = ()

    @property
    def columns(self) -> list[str]:
        """The column names, in report order."""
        return self.column_names()

    def __repr__(self) -> str:
        names = self.column_names()
        shown = ", ".join(names[:_REPR_COLUMNS])
        if len(names) > _REPR_COLUMNS:
            shown += f", ... ({len(names) - _REPR_COLUMNS} more)"
        tail = f": {shown}" if names else ""
        return f"<karvo_dist.Profile seed={self.seed} columns={len(names)}{tail}>"

    def observe_dicts(self, rows: Iterable[dict]) -> None:
        """Adds every dict of ``rows`` as a row, in order; other elements are skipped.

        ``rows`` is a list or any other iterable (a generator, a database cursor), read in
        batches of a bounded size. The call is all or nothing: when a row or the iterable
        itself raises, nothing of the call is added.
        """
        if type(rows) is list:
            super().observe_dicts(rows)  # converted whole, natively, as it is
            return
        try:
            # A lone row or a text would iterate as its keys or characters, all skipped.
            if isinstance(rows, (dict, str, bytes, bytearray)):
                raise TypeError
            items = iter(rows)
        except TypeError:
            raise TypeError("Profile.observe_dicts() argument 'rows' must be an iterable "
                            f"of dicts, not '{type(rows).__qualname__}'") from None
        batch = list(itertools.islice(items, _ROW_BATCH))
        if len(batch) < _ROW_BATCH:
            super().observe_dicts(batch)  # one native call: all or nothing already
            return
        # Later batches may fail: they go to a scratch profile of the same seed, which
        # is merged only once the iterable has ended, as one profile observing them would.
        scratch = _native.Profile(self.seed, summaries=self.keeps_summaries)
        while batch:
            scratch.observe_dicts(batch)
            batch = list(itertools.islice(items, _ROW_BATCH))
        super().merge(scratch)

    def observe_jsonl(self, source: Any, *, strict: bool = False, threads: int = 0,
                      chunk_bytes: int = 1 << 20, bad_lines_kept: int = 10,
                      max_line_bytes: int = 256 << 20) -> JsonlResult:
        """Adds every object line of a JSON Lines input as a row, parsed natively.

        ``source`` is a path (str or os.PathLike), read by the native side; bytes, read in
        place; a bytearray or memoryview; a binary file object with ``read(n)`` (such as
        ``sys.stdin.buffer`` or ``gzip.open(...)``); or an iterable of bytes-like chunks,
        which may split lines anywhere. A path, bytes or a file object is recognised by
        its first bytes: gzip, bzip2, xz and zstd (with the ``zstandard`` package) input is
        decompressed whatever its name, and input that cannot be JSON Lines (a Parquet or
        Arrow file, other binary data) raises ``InputFormatError`` (a ``ValueError``)
        before anything is added. Values are typed as ``json.loads`` followed by
        ``observe_dicts`` would type them. A UTF-8 byte order mark at the start is
        skipped, CRLF line ends read as LF, and blank lines are skipped.

        A line that is not valid UTF-8, not JSON or not an object is skipped and counted;
        the first ``bad_lines_kept`` are described in the result. With ``strict=True`` the
        first bad line raises ``BadLineError`` (a ``ValueError``: "line N: reason", or
        "name:N: reason" for a path; its ``line`` and ``reason`` say the same as fields)
        and nothing of the input is added. ``threads``: parsing threads, 0 for every
        core the process may use (affinity and CPU quota); the result does not depend on
        it, nor on ``chunk_bytes``, the size of the pieces the input is parsed in.
        A line longer than ``max_line_bytes`` (its bytes before the line feed; default
        256 MiB) is a bad line, "line longer than N bytes", skipped without being held in
        memory, so an input with no line feed at all cannot fill it.
        ``threads`` is 0 to 1024, ``chunk_bytes`` 1 to 2**30, ``bad_lines_kept`` 0 to
        1,000,000 and ``max_line_bytes`` 1 to 2**62; a value outside its range raises
        ValueError naming it.

        The GIL is released while parsing. A path that cannot be read raises OSError. A
        call is all or nothing, like ``observe_dicts``: one that raises, whatever raised
        (a strict refusal, a read error, KeyboardInterrupt, MemoryError), adds nothing,
        so it can simply be retried. A ``flush()`` from another thread meanwhile takes
        none of the call's rows or all of them.
        """
        options = (bool(strict), _count("threads", threads),
                   _count("chunk_bytes", chunk_bytes),
                   _count("bad_lines_kept", bad_lines_kept), _max_int_digits(),
                   _count("max_line_bytes", max_line_bytes))
        name = None
        if isinstance(source, (str, os.PathLike)):
            path = os.fspath(source)
            name = os.fsdecode(path)
            raw = self._read_jsonl_named(path, name, options)
        elif isinstance(source, (bytes, bytearray, memoryview)):
            raw = self._read_jsonl_in_memory(source, options)
        elif hasattr(source, "read"):
            raw = self._read_jsonl_stream(source, None, options)
        else:
            try:
                chunks = iter(source)
            except TypeError:
                raise TypeError(
                    "observe_jsonl() source must be a path, bytes-like, a binary file or an "
                    f"iterable of bytes, not '{type(source).__qualname__}'") from None
            raw = self._read_jsonl_chunks(chunks, *options)
        rows, lines, blank_lines, bad_lines, size, first_bad, refused = raw
        if refused is not None:
            line, reason = refused
            raise BadLineError(line, reason, name)
        return JsonlResult(rows, lines, blank_lines, bad_lines, size, first_bad)

    # Every source that can be peeked at is told by its first bytes (_formats): compressed
    # input is decompressed whatever its name, and what cannot be JSON Lines is refused
    # before anything is read into the profile.

    def observe_arrow(self, data: Any) -> int:
        """Adds every row of a columnar source through the Arrow C stream interface.

        ``data`` is any object with ``__arrow_c_stream__`` (a pyarrow Table or
        RecordBatchReader, a polars or pandas DataFrame, a DuckDB relation, ...) or with
        ``__arrow_c_array__`` (one record batch). Each top-level field is a column, in
        schema order, and every row carries every column. Values count as
        ``observe_dicts(table.to_pylist())`` would count them: integers and booleans are
        numbers, as are floats (NaN is null) and decimals (as their nearest float); utf8,
        large_utf8 and string_view are text; dictionary-encoded columns count as their
        values; every other type (binary, dates, times, timestamps, durations, lists,
        structs, ...) is null. Batches are read natively, one at a time, with the GIL
        released. Returns the number of rows read.

        All or nothing: a batch that breaks the interface's rules (a ValueError naming the
        column and the fault), a stream whose producer fails (a ValueError with its
        message), or an interrupt adds nothing. Raises TypeError for an object with
        neither method.
        """
        stream = getattr(type(data), "__arrow_c_stream__", None)
        if stream is not None:
            return self._read_arrow_stream(stream(data))
        array = getattr(type(data), "__arrow_c_array__", None)
        if array is not None:
            schema_capsule, array_capsule = array(data)
            return self._read_arrow_array(schema_capsule, array_capsule)
        raise TypeError(
            f"observe_arrow() needs an object with __arrow_c_stream__ or __arrow_c_array__, "
            f"not {type(data).__name__!r}")

    def _read_jsonl_named(self, path: Any, name: str, options: tuple) -> tuple:
        with open(path, "rb") as file:
            if not stat.S_ISREG(os.fstat(file.fileno()).st_mode):
                # A pipe or a device gives its bytes once: read it here, as a stream.
                return self._read_jsonl_stream(file, name, options)
            head = _formats.read_head(file)
            opened = _formats.decompressor(head)
            if opened is not None:
                file.seek(0)
                return self._read_jsonl_decompressed(opened[1](file), name, options)
        _refuse_unless_json_lines(head, name)
        return self._read_jsonl_path(path, *options)  # the fastest path: read natively

    def _read_jsonl_in_memory(self, data: Any, options: tuple) -> tuple:
        head = bytes(memoryview(data).cast("B")[:_formats.HEAD_BYTES])
        opened = _formats.decompressor(head)
        if opened is not None:
            return self._read_jsonl_decompressed(opened[1](io.BytesIO(data)), None, options)
        _refuse_unless_json_lines(head, None)
        if isinstance(data, bytes):
            return self._read_jsonl_bytes(data, *options)
        return self._read_jsonl_chunks(_slices(data), *options)

    def _read_jsonl_stream(self, stream: Any, name: str | None, options: tuple) -> tuple:
        head = _formats.read_head(stream)
        rest = _formats.Prefixed(head, stream)
        opened = _formats.decompressor(head)
        if opened is not None:
            return self._read_jsonl_decompressed(opened[1](rest), name, options)
        _refuse_unless_json_lines(head, name)
        return self._read_jsonl_chunks(_blocks(rest), *options)

    def _read_jsonl_decompressed(self, stream: Any, name: str | None, options: tuple) -> tuple:
        with stream:
            head = _formats.read_head(stream)
            _refuse_unless_json_lines(head, name)
            return self._read_jsonl_chunks(_blocks(_formats.Prefixed(head, stream)), *options)

    def merge(self, *others: _native.Profile) -> None:
        """Adds other profiles of the same seed to this one, in place, in order.

        The result is what one profile would hold after observing this profile's rows and
        then each other's, in order: counts add, bounds keep this profile's value on ties,
        distinct estimates come from the union of the sketches, and columns new to this
        profile come after its own. Raises TypeError for anything but a Profile and
        ValueError for a different seed, before merging anything. Merging a profile into
        itself doubles its counts and leaves its estimates.
        """
        for other in others:
            self._check_merge(other)
        for other in others:
            super().merge(other)

    def summary(self) -> dict[str, dict[str, Any]]:
        """Each column's summary, in report order: the report's five figures, then
        ``types``, ``numbers``, ``text`` and ``top_values`` (see the README's "Column
        summary"). Figures a profile cannot know (nothing to take them from, a profile made
        with ``summaries=False``, or a column merged from a version-1 stored profile or
        from a profile without summaries) are None."""
        return json.loads(self.summary_json())

    @classmethod
    def merged(cls, profiles: Iterable[_native.Profile], seed: int | None = None) -> Profile:
        """A new profile holding the merge of the given ones, in order.

        The seed is the profiles' (they must share one), or ``seed`` when given, which an
        empty iterable needs to be other than 0. The result keeps summaries unless none
        of the profiles does.
        """
        profiles = list(profiles)
        if seed is None:
            seed = profiles[0].seed if profiles else 0
        summaries = not profiles or any(p.keeps_summaries for p in profiles)
        result = cls(seed, summaries=summaries)
        result.merge(*profiles)
        return result

    def to_html(self, title: str | None = None) -> str:
        """The profile as one self-contained HTML page (the page ``karvo-profile --html``
        writes): alerts, an overview table, and per column its figures, a histogram of
        its numbers and its top values. It fetches nothing and runs only its own small
        script. The header gives the columns, the date and the version; what only the
        command knows (inputs, rows, bad lines, bytes, time) is left out. ``title``
        defaults to "Column profile". Reads the profile without changing it.
        """
        from . import html_report

        return html_report.render_profile(self, html_report.Facts(title=title))

    def copy(self) -> Profile:
        """An independent copy (keeping summaries or not, as this profile does)."""
        return type(self).from_bytes(self.to_bytes(), self.seed,
                                     summaries=self.keeps_summaries)

    def __copy__(self) -> Profile:
        return self.copy()

    def __deepcopy__(self, memo: dict) -> Profile:
        return self.copy()

    def __reduce__(self):
        # The stored form needs its seed to be read, so a pickle carries the seed: do not
        # hand pickles of a secret-seeded profile to whoever must not know the seed.
        return (_restore, (type(self), self.to_bytes(), self.seed, self.keeps_summaries))

    def __eq__(self, other: object) -> bool:
        """Equal seeds and equal stored forms: the same columns in the same order with the
        same counts, bounds and sketches."""
        if not isinstance(other, _native.Profile):
            return NotImplemented
        return self.seed == other.seed and self.to_bytes() == other.to_bytes()

    __hash__ = None  # type: ignore[assignment]  # mutable


def _restore(cls: type, data: bytes, seed: int, summaries: bool | None = None) -> Profile:
    return cls.from_bytes(data, seed, summaries=summaries)
