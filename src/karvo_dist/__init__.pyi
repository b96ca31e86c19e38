"""Column profiles that can be stored, sent between processes and merged."""

import os
from dataclasses import dataclass
from typing import Any, Iterable, Protocol, Sequence

from typing_extensions import Self, TypeAlias

__all__ = ["Profile", "JsonlResult", "InputFormatError", "FORMAT_VERSION"]

FORMAT_VERSION: int
"""The number of the binary form that to_bytes writes and from_bytes reads."""

class _BinaryReader(Protocol):
    def read(self, size: int, /) -> bytes | bytearray | memoryview: ...

class _ArrowStream(Protocol):
    def __arrow_c_stream__(self, requested_schema: Any = None) -> object: ...

class _ArrowArray(Protocol):
    def __arrow_c_array__(self, requested_schema: Any = None) -> tuple[object, object]: ...

# What observe_arrow reads: an Arrow PyCapsule stream, or one record batch.
_ArrowSource: TypeAlias = _ArrowStream | _ArrowArray

_JsonlSource: TypeAlias = (
    str | os.PathLike[str] | os.PathLike[bytes] | bytes | bytearray | memoryview
    | _BinaryReader | Iterable[bytes | bytearray | memoryview]
)

class InputFormatError(ValueError):
    """An input that is not JSON Lines, such as a Parquet file: nothing of it was read."""

class BadLineError(ValueError):
    """The bad line that ended a strict read: nothing of the input was added."""

    line: int
    reason: str
    source: str | None
    def __init__(self, line: int, reason: str, source: str | None = None) -> None: ...

@dataclass(frozen=True)
class JsonlResult:
    """What ``Profile.observe_jsonl`` read."""

    rows: int
    """Object lines added to the profile."""
    lines: int
    """Every line, blank and bad ones included."""
    blank_lines: int
    """Empty or whitespace-only lines: skipped, and not bad."""
    bad_lines: int
    """Lines skipped as not valid UTF-8, not JSON or not an object."""
    bytes: int
    """Bytes read, a byte order mark included."""
    first_bad: list[tuple[int, str]]
    """The first bad lines (as many as asked for), as (line number from 1, reason)."""

class Profile:
    """Profiles rows (dicts of column name to value) like ``karvo.Profiler``, and merges.

    ``Profile(seed=0)``: every hashing key comes from the seed, an int from 0 to
    2**64 - 1, so profiles with equal seeds merge, in any process. The default seed is
    fixed; inputs chosen by an adversary call for a secret seed.

    ``summaries=False`` keeps no column summary: the report is the same, filling the
    profile costs less, and the summary's figures are unknown (None), as for a column read
    from a version-1 stored profile. Merged into a profile that keeps summaries, its
    columns' summaries become unknown there.

    Values are typed as ``karvo.Profiler`` types them: None is null; bool, int and
    objects with ``__index__`` are integers (an int beyond 64 bits becomes a float, or
    null beyond a float's range); float and objects with ``__float__`` are reals (NaN is
    null); str is text; everything else is null.

    ``len(profile)`` is the number of columns; profiles compare equal when their seeds
    and stored forms are equal; a profile pickles through its stored form, which carries
    its seed.
    """

    def __new__(cls, seed: int = 0, *, summaries: bool = True) -> Self: ...
    @property
    def seed(self) -> int:
        """The seed the profile's hashing keys come from."""
    @property
    def keeps_summaries(self) -> bool:
        """Whether the profile keeps column summaries (``summaries=False`` keeps none)."""
    @property
    def columns(self) -> list[str]:
        """The column names, in report order."""
    def column_names(self) -> list[str]:
        """The column names, in report order."""
    def observe_dict(self, py_dict: dict[str, Any]) -> None:
        """Adds one row. A key that is not a str fails the call, and nothing is ingested."""
    def observe_dicts(self, rows: Iterable[dict[str, Any]]) -> None:
        """Adds every dict of ``rows`` as a row, in order; other elements are skipped.

        ``rows``: a list, or any iterable such as a generator or a database cursor, read
        in batches of at most 10,000 rows. The call is all or nothing: a failing row, or
        an iterable that raises part way, fails the call and ingests none of its rows.
        """
    def observe_arrow(self, data: _ArrowSource) -> int:
        """Adds every row of a columnar source through the Arrow C stream interface.

        ``data``: any object with ``__arrow_c_stream__`` (a pyarrow Table or
        RecordBatchReader, a polars or pandas DataFrame, a DuckDB relation, ...) or
        ``__arrow_c_array__`` (one record batch); else TypeError. Values count as
        ``observe_dicts(table.to_pylist())`` would count them: integers, booleans, floats
        (NaN is null) and decimals are numbers, utf8/large_utf8/string_view are text,
        dictionary columns count as their values, every other type is null. Returns the
        rows read. All or nothing: an invalid batch or a failing stream raises ValueError
        and adds nothing.
        """
    def observe_jsonl(
        self,
        source: _JsonlSource,
        *,
        strict: bool = False,
        threads: int = 0,
        chunk_bytes: int = 1 << 20,
        bad_lines_kept: int = 10,
        max_line_bytes: int = 256 << 20,
    ) -> JsonlResult:
        """Adds every object line of a JSON Lines input as a row, parsed natively.

        ``source``: a path (read by the native side in blocks), bytes (read in place), a
        bytearray or memoryview, a binary file object with ``read(n)`` such as
        ``sys.stdin.buffer`` or ``gzip.open(path)``, or an iterable of bytes-like chunks
        that may split lines anywhere. Every value is typed as ``json.loads`` followed by
        ``observe_dicts`` would type it: the report is the same, estimates included. A
        UTF-8 byte order mark at the start is skipped, CRLF reads as LF, blank lines are
        skipped; integer literals longer than ``sys.get_int_max_str_digits()`` make their
        line bad, as ``json.loads`` refuses them.

        A line that is not valid UTF-8, not JSON or not an object (or whose key holds a
        lone surrogate) is skipped and counted; the first ``bad_lines_kept`` are listed
        in the result. ``strict=True`` raises ``ValueError("line N: reason")``
        (``"name:N: reason"`` for a path) at the first bad line instead, and adds nothing
        of the input.

        Parsing and ingesting run on ``threads`` threads (0: every available core) with
        the GIL released; the result is the same for any thread count and any
        ``chunk_bytes`` (the least size of the pieces parsed apart; memory grows with it
        and the threads, not with the input). A path that cannot be read raises OSError
        (FileNotFoundError, IsADirectoryError, ...). Ctrl-C ends a long read; a lenient
        read that fails part way keeps the rows read before, a strict one none.
        ``threads`` is 0 to 1024 (0: every core the CPU affinity and quota allow),
        ``chunk_bytes`` 1 to 2**30, ``bad_lines_kept`` 0 to 1,000,000,
        ``max_line_bytes`` 1 to 2**62; a value outside its range raises ValueError naming
        it. A line longer than ``max_line_bytes`` (default 256 MiB, its bytes before the
        line feed) is a bad line, "line longer than N bytes", skipped without being held
        in memory.
        """
    def merge(self, *others: Profile) -> None:
        """Adds other profiles to this one, in place, in order.

        The result equals one profile that observed this profile's rows and then each
        other's: counts add, bounds keep this profile's value on ties (0.0 against -0.0
        too), estimates come from the union of the sketches, and columns new to this
        profile follow its own. TypeError for anything but a Profile, ValueError for a
        different seed, both before anything is merged. Merging a profile into itself
        doubles its counts. Costs O(columns), whatever the number of rows.
        """
    @classmethod
    def merged(cls, profiles: Iterable[Profile], seed: int | None = None) -> Self:
        """A new profile holding the merge of the given ones (seed: theirs, or given);
        it keeps summaries unless none of them does."""
    def to_bytes(self, version: int = ...) -> bytes:
        """The profile in its versioned binary form: counts, bounds, sketches and the
        column summaries per column, a seed fingerprint (never the seed) and a checksum.
        version defaults to FORMAT_VERSION; version 1 is the form earlier releases read,
        without the summaries. Raises ValueError for a version this build cannot write."""
    @classmethod
    def from_bytes(cls, data: bytes | bytearray | memoryview, seed: int = 0, *,
                   summaries: bool | None = None) -> Self:
        """The profile stored by ``to_bytes`` under the same seed.

        ``summaries=None`` follows the stored form: a profile stored by one that keeps no
        summaries (with at least one column) keeps none either; otherwise it keeps them,
        unknown for columns stored without one (version 1). True or False decides.

        Raises ValueError, saying what is wrong, for input that is not such a profile:
        foreign, truncated, damaged, made with another seed or a newer format version.
        """
    def report(self) -> str:
        """The JSON report of the profile, in exactly ``karvo.Profiler.flush()``'s form,
        columns in the order they were first seen; the profile is left as it is."""
    def flush(self) -> str:
        """The report, then starts a new, empty profile with the same seed."""
    def summary(self) -> dict[str, dict[str, Any]]:
        """Each column's summary, in report order: the report's five figures, then
        ``types``, ``numbers``, ``text`` and ``top_values``; unknown figures are None."""
    def summary_json(self) -> str:
        """``summary()`` as compact JSON, non-finite numbers as null."""
    def _quantiles(self, ranks: Sequence[float], /) -> dict[str, list[float | None]]:
        """Each column's quantiles at the given ranks in [0, 1], in report order."""
    def copy(self) -> Self:
        """An independent copy."""
    def to_html(self, title: str | None = None) -> str:
        """The profile as one self-contained HTML page, as ``karvo-profile --html`` writes
        it; the header leaves out what only the command knows (inputs, rows, time)."""
    def __len__(self) -> int: ...
    def __eq__(self, other: object) -> bool: ...
    __hash__: None  # type: ignore[assignment]
