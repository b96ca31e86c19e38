"""karvo-profile: what is in these JSON Lines (or columnar) files?

Profiles one or more JSON Lines files (or standard input) into one column profile with
:meth:`karvo_dist.Profile.observe_jsonl`, which parses natively on all cores, and prints
it as a table, or as the JSON report. Run ``karvo-profile --help`` for the options.

Only the standard library is used (decompression is the package's, by magic bytes); the
table is plain text sized with shutil.get_terminal_size. Parquet, CSV and Arrow files are
streamed by pyarrow, imported only when such a file is named, into
:meth:`karvo_dist.Profile.observe_arrow`.
"""

from __future__ import annotations

import argparse
import contextlib
import errno
import functools
import json
import lzma
import os
import shutil
import stat
import sys
import threading
import time
import unicodedata
import zlib
from dataclasses import dataclass, field
from typing import IO, Any, Callable, Iterable

from . import BadLineError, InputFormatError, Profile
from . import _facts
from ._readahead import ReadAhead
from ._facts import format_count, format_number, format_share, human_bytes, printable

PROG = "karvo-profile"

EXIT_OK = 0
EXIT_BAD_LINE = 1  # no profile because of bad lines (--strict, no row, --max-bad-lines)
EXIT_USAGE = 2  # usage errors (argparse) and inputs that cannot be read
EXIT_INTERRUPTED = 130  # 128 + SIGINT, as a shell reports a command ended by Ctrl-C
EXIT_CLOSED_PIPE = 141  # 128 + SIGPIPE, as a shell reports `cat` ended by a closed pipe

# Bytes handed to the reader per piece when Python feeds it (compressed input, progress).
CHUNK_BYTES = 1 << 20
# Bad lines kept per input by the reader, and shown in the summary over all inputs.
BAD_LINES_KEPT = 10
BAD_LINES_SHOWN = 5
# How often the progress line is redrawn and a Ctrl-C is noticed, in seconds.
TICK = 0.25

# The most parsing threads -j takes: the reader's own bound.
MAX_JOBS = 1024
DEFAULT_MAX_LINE_BYTES = 256 << 20
MAX_LINE_BYTES = 1 << 62
# What a damaged compressed file raises besides OSError: it is a read error, exit 2.
READ_ERRORS = (OSError, EOFError, lzma.LZMAError, zlib.error)

EPILOG = """\
output:
  The profile goes to standard output: a table (column, type, rows, nulls, null %, min,
  median, max, mean, ~distinct, top value), or with --json the report exactly as
  Profile.flush() returns it, one line, or with --summary the column summary as JSON
  (Profile.summary_json()), one line. --html OUT writes one self-contained HTML page to
  OUT instead of the table (--json or --summary still print).
  In the table, "type" is the most frequent type of value ("+": more than 1% of another
  kind), "null %" is the share of the rows that carry the column, and "top value" the
  most frequent value with its share of the non-null values; numbers have thousands
  separators, and are shown in full when whole and otherwise rounded to 6 significant
  digits (--json gives every digit), inf and -inf as such, and "-" marks a column
  without numbers. On a terminal (or COLUMNS, when set) too narrow for every column,
  columns are left out, least important first (nulls, rows, top value, mean, median,
  max, min, ...), and a last line names them.
  The summary (rows, bad lines with file:line and reason, bytes, time) and the progress
  line go to standard error, so `karvo-profile --json f.jsonl | jq .` sees only JSON.

input:
  Each line is one JSON object, one row. Blank lines are skipped; a line that is not
  valid UTF-8, not JSON or not an object is a bad line: counted, skipped and reported.
  Input compressed with gzip, bzip2, xz or zstd (zstd with the 'zstandard' package) is
  recognised by its first bytes and decompressed, whatever its name; a Parquet or Arrow
  file named as such is read as columnar data (below); other binary data is refused
  (exit 2). A UTF-8 byte order mark is allowed. Several inputs make one profile; `-`, or
  no FILE, is standard input.

columnar files (need pyarrow: pip install 'karvo[arrow]'):
  .parquet, .csv, .tsv, .csv.gz, .arrow/.feather (and Parquet or Arrow files of any
  name, by their first bytes) are read a record batch at a time with pyarrow, as
  Profile.observe_arrow reads them: every row carries every column; integers, floats,
  decimals and booleans are numbers, strings are text, other types (dates, timestamps,
  binary, lists, ...) are null. CSV columns are typed by pyarrow's inference.

exit status:
  0    the profile was printed (bad lines, if any, are in the summary)
  1    no profile because of bad lines: --strict and a bad line, an input none of
       whose non-blank lines is a JSON object, or more bad lines than --max-bad-lines
  2    a usage error, an input that cannot be read or is not JSON Lines, or a lack of
       memory or threads
  130  interrupted (Ctrl-C)
  141  standard output (or error) was closed early, e.g. by `| head`: ends quietly
"""


class Failure(Exception):
    """A run that ends with one line on standard error and an exit status."""

    def __init__(self, message: str, status: int) -> None:
        super().__init__(message)
        self.status = status


@dataclass
class Input:
    """One input as given on the command line."""

    arg: str  # as given; "-" for standard input
    size: int | None = None  # bytes on disk, for a regular file
    columnar: str | None = None  # "parquet", "csv", "tsv" or "arrow"; None: JSON Lines

    @property
    def name(self) -> str:
        return "<stdin>" if self.arg == "-" else self.arg


@dataclass
class Totals:
    """What the reader said about all inputs together."""

    rows: int = 0
    lines: int = 0
    blank_lines: int = 0
    bad_lines: int = 0
    bytes: int = 0
    first_bad: list[tuple[str, int, str]] = field(default_factory=list)  # (name, line, reason)

    def add(self, source: Input, result: Any) -> None:
        self.rows += result.rows
        self.lines += result.lines
        self.blank_lines += result.blank_lines
        self.bad_lines += result.bad_lines
        self.bytes += result.bytes
        self.first_bad += [(source.name, line, reason) for line, reason in result.first_bad]


class Progress:
    """Bytes read so far out of the inputs' known total; redrawn on standard error."""

    def __init__(self, total: int, stream: IO[str] | None) -> None:
        self.total = total
        self.stream = stream  # None: no progress line
        self.done = 0  # bytes of finished inputs
        self.current = 0  # bytes of the input being read
        self.started = time.perf_counter()
        self.drawn = 0

    def draw(self) -> None:
        if self.stream is None or self.total <= 0:
            return
        done = self.done + self.current
        text = (f"{PROG}: {min(100, 100 * done // self.total):3d}% "
                f"{human_bytes(done)} of {human_bytes(self.total)}, "
                f"{time.perf_counter() - self.started:.1f} s")
        self.stream.write("\r" + text.ljust(self.drawn))
        self.stream.flush()
        self.drawn = len(text)

    def clear(self) -> None:
        if self.stream is not None and self.drawn:
            self.stream.write("\r" + " " * self.drawn + "\r")
            self.stream.flush()
            self.drawn = 0


class _Counting:
    """A raw binary file that counts the bytes read from it, for progress."""

    def __init__(self, raw: IO[bytes], progress: Progress) -> None:
        self.raw = raw
        self.progress = progress

    def read(self, size: int = -1) -> bytes:
        data = self.raw.read(size)
        self.progress.current += len(data)
        return data

    def readinto(self, buffer: Any) -> int:
        count = self.raw.readinto(buffer)
        self.progress.current += count or 0
        return count

    def __getattr__(self, name: str) -> Any:  # close, seekable, tell, ...
        return getattr(self.raw, name)


def check_readable(source: Input) -> None:
    """Opens and closes a named regular file, so that a wrong name stops the run before
    any input is read, and notes its size. A pipe (`<(zcat f.gz)`) or a device is not
    opened twice: that would lose what its writer sends to the first opening."""
    if source.arg == "-":
        return
    try:
        mode = os.stat(source.arg).st_mode
        if stat.S_ISDIR(mode):
            raise IsADirectoryError(errno.EISDIR, os.strerror(errno.EISDIR))
        if stat.S_ISREG(mode):
            with open(source.arg, "rb") as f:
                source.size = os.fstat(f.fileno()).st_size
                source.columnar = columnar_kind(source.arg, f.read(_MAGIC_BYTES))
    except OSError as error:
        raise Failure(read_error(source, error), EXIT_USAGE) from None


# --- columnar files, read with pyarrow ----------------------------------------------------

# Columnar files by name, then by their first bytes (a Parquet file named .dat is still
# Parquet). CSV has no magic, so only its name tells it; gzip-compressed CSV is read by
# pyarrow, which tells the compression by the name too.
_COLUMNAR_SUFFIXES = (
    (".parquet", "parquet"), (".pq", "parquet"),
    (".csv", "csv"), (".csv.gz", "csv"), (".tsv", "tsv"), (".tsv.gz", "tsv"),
    (".arrow", "arrow"), (".feather", "arrow"), (".ipc", "arrow"),
)
_COLUMNAR_MAGIC = ((b"PAR1", "parquet"), (b"ARROW1", "arrow"), (b"\xff\xff\xff\xff", "arrow"))
_MAGIC_BYTES = 8
ARROW_HINT = "pip install 'karvo[arrow]'"


def columnar_kind(name: str, head: bytes) -> str | None:
    """The columnar format a regular file holds, by its name or its first bytes; None
    for anything else, which is read as JSON Lines."""
    lowered = name.lower()
    for suffix, kind in _COLUMNAR_SUFFIXES:
        if lowered.endswith(suffix):
            return kind
    for magic, kind in _COLUMNAR_MAGIC:
        if head.startswith(magic):
            return kind
    return None


def require_pyarrow(inputs: list[Input]) -> None:
    """Columnar files need pyarrow, imported only when one is named; without it the run
    stops before any input is read."""
    named = [s for s in inputs if s.columnar is not None]
    if not named:
        return
    try:
        import pyarrow  # noqa: F401
    except ImportError:
        raise Failure(f"{PROG}: reading '{named[0].name}' ({named[0].columnar}) needs pyarrow: "
                      f"{ARROW_HINT}", EXIT_USAGE) from None


def arrow_batches(source: Input) -> tuple[Any, Iterable[Any]]:
    """The file's schema and its record batches, read a batch at a time, so that memory
    stays flat whatever the file's size. Opening reads only the head (a Parquet or IPC
    footer, CSV's first block for its types); the batches are decoded as they are asked
    for."""
    import pyarrow as pa

    if source.columnar == "parquet":
        import pyarrow.parquet as pq
        parquet = pq.ParquetFile(source.arg)
        return parquet.schema_arrow, parquet.iter_batches()
    if source.columnar in ("csv", "tsv"):
        import pyarrow.csv as pcsv
        delimiter = "\t" if source.columnar == "tsv" else ","
        reader = pcsv.open_csv(source.arg, parse_options=pcsv.ParseOptions(delimiter=delimiter))
        return reader.schema, reader
    import pyarrow.ipc as ipc
    try:
        file = ipc.open_file(source.arg)
    except pa.ArrowInvalid:
        stream = ipc.open_stream(source.arg)  # the IPC stream form has no footer
        return stream.schema, stream
    return file.schema, (file.get_batch(i) for i in range(file.num_record_batches))


@dataclass
class ColumnarResult:
    """What reading a columnar file gives, in the reader's terms: every row is a line."""

    rows: int
    bytes: int
    lines: int = 0
    blank_lines: int = 0
    bad_lines: int = 0
    first_bad: list[tuple[int, str]] = field(default_factory=list)

    def __post_init__(self) -> None:
        self.lines = self.rows


def observe_columnar(profile: Profile, source: Input) -> ColumnarResult:
    """Profiles the file while its next batch is decoded on a thread of its own: pyarrow's
    decoding and observe_arrow's folding both release the GIL, so they overlap."""
    import pyarrow as pa

    unreadable = (pa.ArrowException, ValueError, OSError)
    ahead = None
    try:
        schema, batches = arrow_batches(source)
        with ReadAhead(batches, name=f"{PROG} decoder").start() as ahead:
            rows = profile.observe_arrow(pa.RecordBatchReader.from_batches(schema, ahead))
    except unreadable as error:
        # A decoder's failure (a corrupt page, a CSV value that does not fit its inferred
        # type) reaches observe_arrow through the stream as text with a Python traceback;
        # the decoder's own exception holds pyarrow's message alone. One that is not a
        # read error (MemoryError) goes on as itself.
        failure = ahead.failure if ahead is not None else None
        if failure is not None:
            error = failure
        if not isinstance(error, unreadable):
            raise error from None
        # pyarrow's text may run over lines (a page header's failure and its cause):
        # the run ends with one line.
        reason = " ".join(line.strip() for line in str(error).splitlines() if line.strip())
        reason = reason or type(error).__name__
        raise Failure(f"{PROG}: cannot read '{source.name}' as {source.columnar}: {reason}",
                      EXIT_USAGE) from None
    return ColumnarResult(rows=rows, bytes=source.size or 0)


def read_error(source: Input, error: BaseException) -> str:
    reason = error.strerror if isinstance(error, OSError) and error.strerror else str(error)
    return f"{PROG}: cannot read '{source.name}': {reason or type(error).__name__}"


def observe(profile: Profile, source: Input, options: dict[str, Any],
            progress: Progress) -> Any:
    """Feeds one input to the reader: a regular file by its path (read natively, fastest)
    unless the progress line needs to see the bytes go by; pipes and standard input as a
    stream. Either way the reader tells compressed input by its first bytes."""
    if source.columnar is not None:
        return observe_columnar(profile, source)
    if source.arg == "-":
        return profile.observe_jsonl(sys.stdin.buffer, **options)
    if progress.stream is None and source.size is not None:
        return profile.observe_jsonl(source.arg, **options)
    with open(source.arg, "rb") as raw:
        return profile.observe_jsonl(_Counting(raw, progress), **options)


def profile_inputs(profile: Profile, inputs: list[Input], options: dict[str, Any],
                   progress: Progress) -> Totals:
    totals = Totals()
    for source in inputs:
        progress.current = 0
        try:
            result = observe(profile, source, options, progress)
        except READ_ERRORS as error:
            raise Failure(read_error(source, error), EXIT_USAGE) from None
        except BadLineError as error:
            raise Failure(f"{PROG}: {source.name}:{error.line}: {error.reason}",
                          EXIT_BAD_LINE) from None
        except ValueError as error:  # InputFormatError among them
            raise Failure(f"{PROG}: {error}", EXIT_USAGE) from None
        if result.rows == 0 and result.lines > result.blank_lines:
            raise Failure(f"{PROG}: no line of '{source.name}' is a JSON object "
                          f"({plural(result.bad_lines, 'bad line')}; first: "
                          f"{source.name}:{first_reason(result)})", EXIT_BAD_LINE)
        totals.add(source, result)
        progress.done += source.size or 0
        progress.current = 0
    return totals


def first_reason(result: Any) -> str:
    if not result.first_bad:
        return "?"
    line, reason = result.first_bad[0]
    return f"{line}: {reason}"


def check_bad_lines(totals: Totals, limit: float | None) -> None:
    """Ends the run when the bad lines exceed --max-bad-lines: a count, or a share of the
    lines that were not blank."""
    if limit is None:
        return
    read = totals.lines - totals.blank_lines
    allowed = limit if limit >= 1 or limit == 0 else limit * read
    if totals.bad_lines > allowed:
        shown = f"{limit:g}" if limit >= 1 or limit == 0 else f"{100 * limit:g}% of lines"
        where = ""
        if totals.first_bad:
            name, line, reason = totals.first_bad[0]
            where = f"; first: {name}:{line}: {reason}"
        raise Failure(f"{PROG}: {totals.bad_lines:,} of {read:,} lines are bad, more than "
                      f"--max-bad-lines {shown} allows{where}", EXIT_BAD_LINE)


def run_in_background(work: Callable[[], Any], progress: Progress) -> Any:
    """Runs the work on a thread while this one redraws the progress line and stays
    ready for Ctrl-C, which a long native read would otherwise hold off until its end."""
    outcome: dict[str, Any] = {}

    def target() -> None:
        try:
            outcome["value"] = work()
        except BaseException as error:  # noqa: B036 - handed to the main thread
            outcome["error"] = error

    worker = threading.Thread(target=target, name=PROG, daemon=True)
    worker.start()
    while True:
        worker.join(TICK)
        if not worker.is_alive():
            break
        progress.draw()
    progress.clear()
    if "error" in outcome:
        raise outcome["error"]
    return outcome["value"]


# --- the table -------------------------------------------------------------------------

def display_width(text: str) -> int:
    return sum(_char_width(c) for c in text)


def _char_width(char: str) -> int:
    if unicodedata.combining(char):
        return 0
    return 2 if unicodedata.east_asian_width(char) in "WF" else 1


def truncate(text: str, width: int) -> str:
    """The text cut to at most `width` display cells, with an ellipsis when cut."""
    if display_width(text) <= width:
        return text
    kept, used = [], 0
    for char in text:
        used += _char_width(char)
        if used > width - 1:
            break
        kept.append(char)
    return "".join(kept) + "…"


# The table's columns, (header, right-aligned); with a column summary, the reader's first
# questions (which type, where the middle lies, which value dominates) get columns too.
# A narrow terminal drops columns, least important first, rather than wrapping lines:
# the counts that "null %" already tells, then the summary's additions, then the rest.
# The column name is never dropped, only cut (to no fewer than NAME_CELLS cells).
DROP_ORDER = ("nulls", "rows", "top value", "mean", "median", "max", "min", "~distinct",
              "type", "null %")
NAME_CELLS = 12
TOP_VALUE_CELLS = 24  # the top value with its share, cut to this many cells


@dataclass
class _Field:
    header: str
    right: bool  # right-aligned (numbers)
    cells: list[str]

    @functools.cached_property
    def width(self) -> int:
        return max([display_width(self.header)] + [display_width(c) for c in self.cells])


def type_cell(column: dict[str, Any]) -> str:
    """The main type; "+" marks more than 1% of another kind of value."""
    kind = _facts.main_type(column)
    if kind is None:
        return "-"
    return kind + ("+" if _facts.is_mixed(column) else "")


def top_value_cell(column: dict[str, Any]) -> str:
    """The most frequent value and its share of the non-null values: `"NY" 23.5%`."""
    top = _facts.top_value(column)
    if top is None:
        return "-"
    value, count, values = top
    share = " " + format_share(count, values)
    shown = f'"{printable(value)}"' if isinstance(value, str) else format_number(value)
    return truncate(shown, TOP_VALUE_CELLS - len(share)) + share


def _fields(columns: dict[str, Any], bounds: list[tuple[float | None, float | None]],
            summary: dict[str, Any] | None) -> list[_Field]:
    stats = list(columns.values())
    lows, highs = [format_number(b[0]) for b in bounds], [format_number(b[1]) for b in bounds]
    fields = [_Field("column", False, [printable(name) for name in columns])]
    more = [summary[name] for name in columns] if summary is not None else None
    if more is not None:
        fields.append(_Field("type", False, [type_cell(c) for c in more]))
    fields += [
        _Field("rows", True, [format_count(s["total_count"]) for s in stats]),
        _Field("nulls", True, [format_count(s["null_count"]) for s in stats]),
        _Field("null %", True, [format_share(s["null_count"], s["total_count"]) for s in stats]),
        _Field("min", True, lows)]
    if more is not None:
        fields.append(_Field("median", True, [format_number(_facts.median(c)) for c in more]))
    fields.append(_Field("max", True, highs))
    if more is not None:
        fields.append(_Field("mean", True, [format_number(_facts.mean(c)) for c in more]))
    fields.append(_Field("~distinct", True,
                         [format_count(s["estimated_cardinality"]) for s in stats]))
    if more is not None:
        fields.append(_Field("top value", False, [top_value_cell(c) for c in more]))
    return fields


def _fit(fields: list[_Field], width: int) -> list[str]:
    """Drops fields, least important first, until a line fits in `width` - 1 cells (the
    last cell of a terminal line wraps on some terminals); returns the dropped headers."""
    dropped = []
    for header in DROP_ORDER:
        rest = sum(f.width for f in fields[1:]) + 2 * (len(fields) - 1)
        if min(fields[0].width, NAME_CELLS) + rest <= width - 1:
            break
        for i, f in enumerate(fields):
            if f.header == header:
                dropped.append(fields.pop(i).header)
                break
    return dropped


def table(report: str, width: int | None,
          bounds: list[tuple[float | None, float | None]] | None = None,
          summary: dict[str, Any] | None = None) -> str:
    """The report as an aligned table; column names are cut to fit `width` cells when a
    width is given (a terminal), and shown whole otherwise. `bounds` (Profile._bounds(),
    in report order) shows infinite bounds, which the report writes as null. `summary`
    (Profile.summary()) adds the type, median, mean and top value columns. On a terminal
    too narrow for them all, columns are dropped (DROP_ORDER) and a last line names them."""
    columns = json.loads(report)
    if bounds is None:
        bounds = [(stats["min_val"], stats["max_val"]) for stats in columns.values()]
    if len(bounds) != len(columns):
        raise ValueError("table() needs one pair of bounds per column")
    fields = _fields(columns, bounds, summary)
    dropped = _fit(fields, width) if width is not None else []
    widths = [f.width for f in fields]
    if width is not None:
        rest = sum(widths[1:]) + 2 * (len(fields) - 1)
        widths[0] = min(widths[0], max(NAME_CELLS, width - rest - 1))
    lines = []
    for row in range(-1, len(columns)):
        parts = []
        for f, w in zip(fields, widths):
            cell = f.header if row < 0 else f.cells[row]
            cell = truncate(cell, w)
            pad = " " * (w - display_width(cell))
            parts.append(pad + cell if f.right else cell + pad)
        lines.append("  ".join(parts).rstrip())
    if not columns:
        lines.append("(no columns)")
    if dropped and width is not None:  # only a width drops columns
        note = f"(not shown: {', '.join(dropped)})"
        lines.append(truncate(note, max(1, width - 1)))
    return "\n".join(lines) + "\n"


# --- the summary -----------------------------------------------------------------------

def plural(count: int, noun: str) -> str:
    return f"{count:,} {noun}{'' if count == 1 else 's'}"


def summary(totals: Totals, columns: int, elapsed: float) -> str:
    parts = [plural(totals.rows, "row"), plural(columns, "column"),
             plural(totals.bad_lines, "bad line")]
    if totals.blank_lines:
        parts.append(plural(totals.blank_lines, "blank line"))
    text = f"{PROG}: {', '.join(parts)}; {human_bytes(totals.bytes)} in {elapsed:.2f} s\n"
    for name, line, reason in totals.first_bad[:BAD_LINES_SHOWN]:
        text += f"  {name}:{line}: {reason}\n"
    hidden = totals.bad_lines - min(len(totals.first_bad), BAD_LINES_SHOWN)
    if hidden > 0:
        text += f"  ... and {plural(hidden, 'more bad line')}\n"
    return text


# --- the command -----------------------------------------------------------------------

def version() -> str:
    from importlib.metadata import PackageNotFoundError
    from importlib.metadata import version as installed_version
    try:
        return installed_version("karvo")
    except PackageNotFoundError:
        return "unknown (not installed)"


class _VersionAction(argparse.Action):
    """--version, looked up only when asked: importlib.metadata costs every run ~15 ms."""

    def __init__(self, option_strings: list[str], dest: str, **kwargs: Any) -> None:
        super().__init__(option_strings, dest, nargs=0, help="show the version and exit")

    def __call__(self, parser: argparse.ArgumentParser, *args: Any) -> None:
        sys.stdout.write(f"{PROG} {version()}\n")
        parser.exit()


def seed_value(text: str) -> int:
    try:
        seed = int(text, 0)
    except ValueError:
        raise argparse.ArgumentTypeError(f"not an integer: {text!r}") from None
    if not 0 <= seed < 2**64:
        raise argparse.ArgumentTypeError("must be from 0 to 2**64 - 1")
    return seed


def thread_count(text: str) -> int:
    try:
        count = int(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"not an integer: {text!r}") from None
    if not 0 <= count <= MAX_JOBS:
        raise argparse.ArgumentTypeError(f"must be from 0 (all cores) to {MAX_JOBS}")
    return count


def line_cap(text: str) -> int:
    try:
        cap = int(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"not an integer: {text!r}") from None
    if not 1 <= cap <= MAX_LINE_BYTES:
        raise argparse.ArgumentTypeError(f"must be from 1 to {MAX_LINE_BYTES}")
    return cap


def bad_line_limit(text: str) -> float:
    try:
        limit = float(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"not a number: {text!r}") from None
    if not (limit == 0 or 0 < limit < 1 or (limit >= 1 and limit == int(limit))) \
            or limit != limit or limit == float("inf"):
        raise argparse.ArgumentTypeError("must be a count (0, 1, 2, ...) or a share "
                                         "between 0 and 1")
    return limit


def parser() -> argparse.ArgumentParser:
    p = argparse.ArgumentParser(
        prog=PROG, description="Profiles JSON Lines (or Parquet, CSV, Arrow) files: per "
        "column the rows, the nulls, "
        "the numeric\nminimum and maximum, and an estimate of the number of distinct values.",
        epilog=EPILOG, formatter_class=argparse.RawDescriptionHelpFormatter)
    p.add_argument("files", nargs="*", metavar="FILE", default=["-"],
                   help="JSON Lines input, or a .parquet, .csv, .tsv, .csv.gz, .arrow or "
                   ".feather file; - or none: standard input")
    shown = p.add_mutually_exclusive_group()
    shown.add_argument("--json", action="store_true",
                       help="print the report as JSON, exactly as Profile.flush() returns it")
    shown.add_argument("--summary", action="store_true",
                       help="print the column summary as JSON (Profile.summary_json()), "
                       "one line")
    p.add_argument("--html", metavar="OUT",
                   help="write the profile as one self-contained HTML page to OUT (- for "
                   "standard output) instead of printing the table")
    p.add_argument("--strict", action="store_true",
                   help="stop at the first bad line with its file:line (exit 1)")
    p.add_argument("--max-bad-lines", type=bad_line_limit, default=None, metavar="N",
                   help="exit 1 without a profile when more than N lines are bad: a count, "
                   "or a share of the non-blank lines such as 0.01 (default: no limit, "
                   "but an input with no row at all always fails)")
    p.add_argument("--max-line-bytes", type=line_cap, default=DEFAULT_MAX_LINE_BYTES,
                   metavar="N", help="a longer line is a bad line, skipped without being "
                   "held in memory (default %(default)s: 256 MiB)")
    p.add_argument("-j", "--jobs", type=thread_count, default=0, metavar="N",
                   help="threads to parse with (default 0: all cores)")
    p.add_argument("--seed", type=seed_value, default=Profile().seed,
                   help="seed of the distinct-count hashing (default %(default)s, the "
                   "karvo_dist default; a report merges with profiles of the same seed)")
    p.add_argument("-q", "--quiet", action="store_true",
                   help="no summary and no progress on standard error")
    p.add_argument("--version", action=_VersionAction)
    return p


def run(args: argparse.Namespace) -> int:
    check_writable(args.html)
    require_summary(args)
    inputs = [Input(arg) for arg in args.files]
    for source in inputs:
        check_readable(source)
    require_pyarrow(inputs)
    err_tty = sys.stderr.isatty() and not args.quiet
    if err_tty and sys.stdin.isatty() and any(s.arg == "-" for s in inputs):
        sys.stderr.write(f"{PROG}: reading standard input (Ctrl-D ends it)\n")
    known = [s.size for s in inputs if s.size is not None]
    progress = Progress(sum(known), sys.stderr if err_tty and known else None)

    profile = Profile(args.seed, summaries=needs_column_summary(args))
    options = {"strict": args.strict, "threads": args.jobs, "bad_lines_kept": BAD_LINES_KEPT,
               "max_line_bytes": args.max_line_bytes}
    started = time.perf_counter()
    totals = run_in_background(lambda: profile_inputs(profile, inputs, options, progress),
                               progress)
    elapsed = time.perf_counter() - started
    check_bad_lines(totals, args.max_bad_lines)
    columns = len(profile)
    if args.html is not None:
        page = html_page(profile, inputs, totals, elapsed)
        write_html(args.html, page)
    if args.summary:
        write_out(profile.summary_json() + "\n")
    elif args.json:
        write_out(profile.report() + "\n")
    elif args.html is None:
        write_out(terminal_table(profile))
    if not args.quiet:
        sys.stderr.write(summary(totals, columns, elapsed))
        sys.stderr.flush()
    return EXIT_OK


def needs_column_summary(args: argparse.Namespace) -> bool:
    """Whether what is printed or written reads the column summary: the table, --summary
    and --html do; the report alone (--json) does not, and the summary is most of the
    readers' work, so the profile is then made without it."""
    return args.summary or args.html is not None or not args.json


def has_summary(profile: Profile) -> bool:
    return hasattr(profile, "summary")


def require_summary(args: argparse.Namespace) -> None:
    """--summary and --html need the column summary: refused before any input is read."""
    if (args.summary or args.html is not None) and not has_summary(Profile()):
        option = "--summary" if args.summary else "--html"
        raise Failure(f"{PROG}: {option} needs a karvo_dist with column summaries",
                      EXIT_USAGE)


def table_width() -> int | None:
    """The width the table must fit: COLUMNS when set (also to fit a pipe to a pager),
    else the terminal's; None (no limit) when standard output is not a terminal."""
    wanted = os.environ.get("COLUMNS", "")
    if wanted.isdigit() and int(wanted) > 0:
        return int(wanted)
    return shutil.get_terminal_size().columns if sys.stdout.isatty() else None


def terminal_table(profile: Profile) -> str:
    width = table_width()
    columns = profile.summary() if has_summary(profile) else None
    return table(profile.report(), width, profile._bounds(), columns)


def html_page(profile: Profile, inputs: list[Input], totals: Totals, elapsed: float) -> str:
    from . import html_report

    facts = html_report.Facts(
        inputs=[source.name for source in inputs], rows=totals.rows,
        bad_lines=totals.bad_lines, bytes=totals.bytes, seconds=elapsed)
    return html_report.render_profile(profile, facts)


def check_writable(out: str | None) -> None:
    """Stops the run before any input is read when OUT cannot be written: its directory
    is missing or not writable, or OUT is a directory. Nothing is created yet."""
    if out is None or out == "-":
        return
    folder = os.path.dirname(out) or "."
    problem = None
    if os.path.isdir(out):
        problem = errno.EISDIR
    elif not os.path.isdir(folder):
        problem = errno.ENOENT if not os.path.exists(folder) else errno.ENOTDIR
    elif not os.access(folder, os.W_OK | os.X_OK) or (
            os.path.exists(out) and not os.access(out, os.W_OK)):
        problem = errno.EACCES
    if problem is not None:
        raise Failure(write_error(out, os.strerror(problem)), EXIT_USAGE)


def write_error(out: str, reason: str) -> str:
    return f"{PROG}: cannot write '{out}': {reason}"


def write_html(out: str, page: str) -> None:
    """Writes the page whole: to a file beside OUT, renamed over it once complete, so
    that OUT is never left half written; "-" writes it to standard output."""
    if out == "-":
        write_out(page)
        return
    data = page.encode("utf-8")
    partial = os.path.join(os.path.dirname(out) or ".",
                           f".{os.path.basename(out)}.{os.getpid()}.partial")
    try:
        with open(partial, "wb") as file:
            file.write(data)
        os.replace(partial, out)
    except OSError as error:
        with contextlib.suppress(OSError):
            os.unlink(partial)
        raise Failure(write_error(out, error.strerror or str(error)), EXIT_USAGE) from None


def write_out(text: str) -> None:
    """Writes the output to standard output's file descriptor until every byte is taken.
    A reader that goes away part way through shows as a write that takes fewer bytes
    than offered, then as EPIPE on the next one: BrokenPipeError, never silence."""
    sys.stdout.flush()
    data = text.encode(sys.stdout.encoding or "utf-8", errors="backslashreplace")
    view = memoryview(data)
    fd = sys.stdout.fileno()
    while view:
        view = view[os.write(fd, view):]


def main(argv: list[str] | None = None) -> int:
    """The console script: returns the exit status (see EPILOG)."""
    args = parser().parse_args(argv)
    if args.html == "-" and (args.json or args.summary):
        parser().error("--html - writes the page to standard output: it cannot take "
                       "--json or --summary too")
    # Text that the terminal's encoding cannot show is escaped rather than fatal.
    for stream in (sys.stdout, sys.stderr):
        if hasattr(stream, "reconfigure"):
            stream.reconfigure(errors="backslashreplace")
    try:
        return run(args)
    except Failure as failure:
        return _say(str(failure), failure.status)
    except MemoryError:
        return _say(f"{PROG}: out of memory", EXIT_USAGE)
    except RuntimeError as error:  # an engine fault reported by the native code
        return _say(f"{PROG}: {error}", EXIT_USAGE)
    except KeyboardInterrupt:
        # A reader thread may still be inside native code: leave without waiting for it.
        _say(f"{PROG}: interrupted", EXIT_INTERRUPTED)
        os._exit(EXIT_INTERRUPTED)
    except BrokenPipeError:
        # Whoever read the output stopped reading: end quietly. Later writes (the
        # interpreter flushes at exit) go to /dev/null instead of failing again.
        devnull = os.open(os.devnull, os.O_WRONLY)
        for stream in (sys.stdout, sys.stderr):
            try:
                os.dup2(devnull, stream.fileno())
            except (OSError, ValueError):
                pass
        return EXIT_CLOSED_PIPE


def _say(message: str, status: int) -> int:
    try:
        sys.stderr.write(message + "\n")
        sys.stderr.flush()
    except OSError:
        pass
    return status
