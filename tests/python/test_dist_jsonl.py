"""Profile.observe_jsonl: the native reader types every value as json.loads followed by
observe_dicts does, whatever the threads, chunk sizes and source form; bad lines are
skipped and counted, or in strict mode refuse the input; a long read can be interrupted."""

import bz2
import gzip
import io
import json
import lzma
import os
import pickle
import pathlib
import random
import re
import signal
import subprocess
import sys
import threading
import time

import pytest

from karvo_dist import BadLineError, InputFormatError, JsonlResult, Profile
from conftest import forked_status
from profile_checks import exact_figures
from sanitizers import FORK_WITH_THREADS_HANGS

BOM = b"\xef\xbb\xbf"


def reference(data, max_line_bytes=None):
    """What json.loads plus observe_dicts make of the input: (rows, counts). A line of
    more than max_line_bytes bytes before its line feed is bad."""
    if data.startswith(BOM):
        data = data[len(BOM):]
    lines = data.split(b"\n")
    if lines[-1] == b"":
        lines.pop()
    rows, blank, bad = [], 0, 0
    for raw in lines:
        if max_line_bytes is not None and len(raw) > max_line_bytes:
            bad += 1
            continue
        if raw.strip(b" \t\r") == b"":
            blank += 1
            continue
        try:
            row = json.loads(raw.decode("utf-8"))
            # A key holding a lone surrogate cannot be a column name.
            ok = isinstance(row, dict) and all(_encodable(key) for key in row)
        except (UnicodeDecodeError, ValueError):
            ok = False
        if ok:
            rows.append(row)
        else:
            bad += 1
    return rows, (len(rows), len(lines), blank, bad)


def _encodable(text):
    try:
        text.encode("utf-8")
        return True
    except UnicodeEncodeError:
        return False


def via_dicts(rows, seed):
    p = Profile(seed)
    p.observe_dicts(rows)
    return p.report()


def counts(result):
    return (result.rows, result.lines, result.blank_lines, result.bad_lines)


# ---------------------------------------------------------------------------------------
# Random and edge-case lines.

INT_EDGES = [0, -0, 1, -1, 2**53, 2**53 + 1, 2**63 - 1, -2**63, 2**63, -2**63 - 1, 2**64 - 1,
             2**64, -2**64, 10**30, -10**30, 10**308, 10**309, -10**400, int("9" * 4300)]
NUMBER_TEXTS = ["-0", "0.0", "-0.0", "1.0", "1e5", "1E5", "-1e-5", "2.5e+3", "1e400", "-1e400",
                "1e-400", "0.1", "123456789012345678901234567890.5", "5e-324", "1.7976931348623157e308",
                "NaN", "Infinity", "-Infinity"]
BAD_NUMBERS = ["9" * 4301, "00", "1.", ".5", "+1", "0x10", "-", "1e", "nan", "-NaN"]
CHARS = ["a", "Z", " ", "é", "ß", "中", "文", "😀", "\u2028", "\x7f"]
ESCAPES = ['\\"', "\\\\", "\\/", "\\b", "\\f", "\\n", "\\r", "\\t", "\\u00e9", "\\u4e2d",
           "\\ud83d\\ude00", "\\u0000", "\\uD834\\uDD1E"]
LONE = ["\\ud800", "\\udfff", "\\ud83d", "\\ude00x"]
NAMES = ["id", "name", "score", "n", "t", "", "caf\\u00e9", "café", "a\\\"b", "\\ud83d\\ude00",
         "😀"] + [f"c{i}" for i in range(40)]


def random_text(rng, lone_ok=True):
    length = rng.choice([0, 1, 2, 7, 15, 16, 17, 31, 63, 64, 65, 200, 1000])
    parts = []
    for _ in range(length):
        roll = rng.random()
        if roll < 0.75:
            parts.append(rng.choice(CHARS))
        elif roll < 0.97 or not lone_ok:
            parts.append(rng.choice(ESCAPES))
        else:
            parts.append(rng.choice(LONE))
    return '"' + "".join(parts) + '"'


def random_value(rng, depth=0):
    roll = rng.randrange(12)
    if roll == 0:
        return str(rng.choice(INT_EDGES))
    if roll == 1:
        return str(rng.randrange(-2**64, 2**64))
    if roll == 2:
        return rng.choice(NUMBER_TEXTS)
    if roll == 3:
        return repr(rng.uniform(-1e6, 1e6))
    if roll == 4:
        return repr(rng.random() * 10.0 ** rng.randrange(-300, 300))
    if roll == 5:
        return rng.choice(["true", "false", "null"])
    if roll in (6, 7):
        return random_text(rng)
    if roll == 8 and depth < 3:
        return "[" + ",".join(random_value(rng, depth + 1) for _ in range(rng.randrange(4))) + "]"
    if roll == 9 and depth < 3:
        members = (f'"{rng.choice(NAMES)}":{random_value(rng, depth + 1)}'
                   for _ in range(rng.randrange(4)))
        return "{" + ",".join(members) + "}"
    return str(rng.randrange(1000))


def random_line(rng, number):
    roll = rng.random()
    if roll < 0.02:
        return rng.choice([b"", b"  \t\r", b"[1,2]", b"3", b'"s"', b"null", b'{"a":1', b'{"a":}',
                           b'{"a":1}x', b'{"a":"\xff"}', b'{"a":"\xed\xa0\x80"}', BOM + b"{}",
                           b'{"\\ud800":1}', b"{'a':1}", b'{"a":tru}', b"\x0b{}",
                           b'{"a":%s}' % rng.choice(BAD_NUMBERS).encode()])
    # Enough distinct ids and texts that these columns turn dense.
    members = [f'"id":{number * 7919 % 1000003}', f'"t":"text {number % 12000}"']
    for _ in range(rng.randrange(14)):
        members.append(f'"{rng.choice(NAMES)}":{random_value(rng)}')
    rng.shuffle(members)
    line = "{" + rng.choice([",", ", "]).join(
        m if rng.random() < 0.9 else " " + m.replace('":', '" : ', 1) for m in members) + "}"
    return line.encode("utf-8") + rng.choice([b"", b"", b"\r", b" "])


@pytest.fixture(scope="module")
def random_input():
    rng = random.Random(20240611)
    return b"\n".join(random_line(rng, i) for i in range(20000)) + b"\n"


@pytest.mark.parametrize("seed", [0, 2**64 - 1])
def test_native_reading_equals_json_loads_then_observe_dicts(random_input, seed):
    rows, expected_counts = reference(random_input)
    native = Profile(seed)
    result = native.observe_jsonl(random_input)
    assert counts(result) == expected_counts
    assert native.report() == via_dicts(rows, seed)
    assert 100 < expected_counts[3] < 1000 and len(native) > 40
    # The column summary counts values by the kind of object json.loads makes of them (a
    # bool, an int too wide for 64 bits, a NaN, a text with a lone surrogate): the reader's
    # cells must carry the kinds the row reader gives the same objects.
    from_dicts = Profile(seed)
    from_dicts.observe_dicts(rows)
    assert exact_figures(native) == exact_figures(from_dicts)


def test_the_result_does_not_depend_on_threads_or_chunk_size(random_input):
    one = Profile()
    expected = one.observe_jsonl(random_input, threads=1)
    for threads in (1, 2, 4):
        for chunk_bytes in (1, 333, 4096, 1 << 20):
            p = Profile()
            result = p.observe_jsonl(random_input, threads=threads, chunk_bytes=chunk_bytes,
                                     bad_lines_kept=1000)
            assert p.report() == one.report(), (threads, chunk_bytes)
            assert p.to_bytes() == one.to_bytes(), (threads, chunk_bytes)
            assert counts(result) == counts(expected)
            assert result.first_bad[:10] == expected.first_bad


def test_observing_twice_and_merging_equal_reading_in_one_profile(random_input):
    half = random_input.index(b"\n", len(random_input) // 2) + 1
    first, second = random_input[:half], random_input[half:]
    rows = reference(first)[0] + reference(second)[0]
    p = Profile()
    p.observe_jsonl(first)
    p.observe_jsonl(second, strict=False)
    assert p.report() == via_dicts(rows, 0)


def test_big_integers_follow_the_interpreters_digit_limit():
    data = b'{"a":' + b"9" * 5000 + b'}\n{"a":1}\n'
    try:
        limit = __import__("sys").get_int_max_str_digits()
    except AttributeError:
        pytest.skip("no int digit limit before Python 3.11")
    result = Profile().observe_jsonl(data)
    assert result.bad_lines == (1 if 0 < limit < 5000 else 0)


# ---------------------------------------------------------------------------------------
# Bad and unusual input.

# (name, input, (rows, lines, blank lines, bad lines), [(line, start of reason)])
INPUTS = [
    ("empty", b"", (0, 0, 0, 0), []),
    ("bad UTF-8", b'{"a":"\xff"}\n{"a":1}\n', (1, 2, 0, 1), [(1, "not valid UTF-8")]),
    ("a UTF-8 surrogate", b'{"a":1}\n{"a":"\xed\xa0\x80"}', (1, 2, 0, 1),
     [(2, "not valid UTF-8")]),
    ("truncated last line", b'{"a":1}\n{"a":2}\n{"a":', (2, 3, 0, 1), [(3, "not JSON")]),
    ("non-object lines", b'[1]\n2\n"s"\nnull\n{"a":1}\ntrue\n', (1, 6, 0, 5),
     [(1, "not an object"), (2, "not an object"), (3, "not an object"),
      (4, "not an object"), (6, "not an object")]),
    ("a BOM at the start", BOM + b'{"a":1}\n{"a":2}', (2, 2, 0, 0), []),
    ("a BOM further on", b'{"a":1}\n' + BOM + b'{"a":2}\n', (1, 2, 0, 1), [(2, "not JSON")]),
    ("CRLF line ends", b'{"a":1}\r\n{"b":"x"}\r\n\r\n', (2, 3, 1, 0), []),
    ("blank lines", b'\n  \n\t\r\n{"a":1}\n\n', (1, 5, 4, 0), []),
    ("a key with a lone surrogate", b'{"\\udc00":1}\n{"a":"\\udc00"}\n', (1, 2, 0, 1),
     [(1, "")]),
    ("no line feed at the end", b'{"a":1}', (1, 1, 0, 0), []),
]


@pytest.mark.parametrize("name, data, expected, bad", INPUTS, ids=[c[0] for c in INPUTS])
def test_bad_and_unusual_lines_are_counted_and_skipped(name, data, expected, bad):
    p = Profile()
    result = p.observe_jsonl(data, threads=2, chunk_bytes=4)
    assert counts(result) == expected == reference(data)[1]
    assert result.bytes == len(data)
    assert [line for line, _ in result.first_bad] == [line for line, _ in bad]
    for (_, reason), (_, start) in zip(result.first_bad, bad):
        assert reason.startswith(start)
    assert p.report() == via_dicts(reference(data)[0], 0)


def test_only_the_first_bad_lines_are_described():
    data = b"[]\n" * 50 + b'{"a":1}\n'
    result = Profile().observe_jsonl(data, bad_lines_kept=3, chunk_bytes=7)
    assert result.bad_lines == 50 and [line for line, _ in result.first_bad] == [1, 2, 3]
    assert Profile().observe_jsonl(data, bad_lines_kept=0).first_bad == []


@pytest.mark.parametrize("name, data, expected, bad",
                         [case for case in INPUTS if case[3]], ids=[c[0] for c in INPUTS if c[3]])
def test_strict_mode_names_the_first_bad_line_and_ingests_nothing(tmp_path, name, data,
                                                                  expected, bad):
    p = Profile(seed=3)
    p.observe_dicts([{"a": 0.5, "kept": "x"}])
    before = p.to_bytes()
    line, reason = bad[0]
    with pytest.raises(BadLineError, match=f"^line {line}: {reason}") as raised:
        p.observe_jsonl(data, strict=True, chunk_bytes=3)
    # The table gives the start of each reason.
    assert (raised.value.line, raised.value.source) == (line, None)
    assert raised.value.reason.startswith(reason)
    path = tmp_path / "data.jsonl"
    path.write_bytes(data)
    with pytest.raises(BadLineError, match=f"^{path}:{line}: {reason}") as raised:
        p.observe_jsonl(path, strict=True, threads=2)
    assert (raised.value.line, raised.value.source) == (line, str(path))
    assert raised.value.reason.startswith(reason)
    # The fields survive a trip between processes, as an error from a worker makes.
    copy = pickle.loads(pickle.dumps(raised.value))
    assert (type(copy), str(copy), copy.line, copy.reason) == (
        BadLineError, str(raised.value), line, raised.value.reason)
    assert isinstance(copy, ValueError)
    assert p.to_bytes() == before


def test_strict_mode_on_good_input_reads_as_lenient(random_input):
    good = b"\n".join(line for line in random_input.split(b"\n")
                      if reference(b"\n" + line)[1][3] == 0) + b"\n"
    lenient, strict = Profile(), Profile()
    lenient.observe_dicts([{"first": 1}])
    strict.observe_dicts([{"first": 1}])
    assert lenient.observe_jsonl(good) == strict.observe_jsonl(good, strict=True, chunk_bytes=999)
    assert strict.report() == lenient.report()


# The bounds of every size argument, as the native side states them.
BOUNDS = {"threads": (0, 1024), "chunk_bytes": (1, 2**30),
          "bad_lines_kept": (0, 10**6), "max_int_digits": (0, 2**31 - 1),
          "max_line_bytes": (1, 2**62)}
# Values whose sum with a chunk's padding or doubling wraps, or that start threads by
# the hundred thousand, next to the plain ones just past each bound.
HUGE = [2**64 - 1, 2**64 - 100, 2**64 - 65, 2**63, 2**62, 2**100, -1, -(2**64)]


def read_with(profile, data, **options):
    """observe_jsonl with its options; max_int_digits, which follows the interpreter's
    limit there, goes to the native method."""
    if "max_int_digits" not in options:
        return profile.observe_jsonl(data, **options)
    native = dict(threads=1, chunk_bytes=1 << 20, bad_lines_kept=10, max_int_digits=0,
                  max_line_bytes=256 << 20)
    native.update(options)
    return profile._read_jsonl_bytes(data, False, native["threads"], native["chunk_bytes"],
                                     native["bad_lines_kept"], native["max_int_digits"],
                                     native["max_line_bytes"])


@pytest.mark.parametrize("argument, value", [
    *[(argument, value) for argument, (least, most) in BOUNDS.items() for value in HUGE
      if not least <= value <= most],
    *[(argument, least - 1) for argument, (least, _) in BOUNDS.items()],
    *[(argument, most + 1) for argument, (_, most) in BOUNDS.items()],
    ("threads", 100000), ("chunk_bytes", 0),
])
def test_sizes_out_of_range_are_value_errors_naming_the_argument(argument, value):
    least, most = BOUNDS[argument]
    p = Profile()
    p.observe_dicts([{"kept": 1}])
    before = p.to_bytes()
    with pytest.raises(ValueError, match=f"'{argument}' must be between {least} and {most}$"):
        read_with(p, b'{"a": 1}\n', **{argument: value})
    assert p.to_bytes() == before


@pytest.mark.parametrize("form", ["path", "bytes", "chunks"])
def test_a_size_out_of_range_is_refused_before_the_source_is_read(form, tmp_path):
    taken = []

    def chunks():
        taken.append(1)
        yield b'{"a": 1}\n'

    source = {"path": lambda: _write(tmp_path, b'{"a": 1}\n'), "bytes": lambda: b'{"a": 1}\n',
              "chunks": chunks}[form]()
    p = Profile()
    with pytest.raises(ValueError, match="'chunk_bytes' must be between"):
        p.observe_jsonl(source, chunk_bytes=2**64 - 100)
    assert p.columns == [] and taken == []


def _write(tmp_path, data):
    path = tmp_path / "input.jsonl"
    path.write_bytes(data)
    return path


def test_the_largest_sizes_allowed_read_as_the_defaults(random_input):
    data = random_input[:200_000] + b"not json\n" * 20 + b'{"big": ' + b"9" * 5000 + b"}\n"
    expected = Profile()
    expected_result = read_with(expected, data, max_int_digits=0)
    p = Profile()
    result = read_with(p, data, **{argument: most for argument, (_, most) in BOUNDS.items()})
    rows, lines, blank_lines, bad_lines, size, first_bad, refused = result
    assert (rows, lines, blank_lines, bad_lines, size) == tuple(expected_result[:5])
    assert first_bad[:10] == expected_result[5] and len(first_bad) == bad_lines > 10
    assert p.to_bytes() == expected.to_bytes()


@pytest.mark.parametrize("argument, value, error", [
    ("threads", 1.5, TypeError), ("chunk_bytes", "1", TypeError),
    ("bad_lines_kept", True, TypeError), ("max_line_bytes", 1.0, TypeError),
])
def test_option_types_are_checked(argument, value, error):
    with pytest.raises(error, match=argument):
        Profile().observe_jsonl(b"{}", **{argument: value})


# ---------------------------------------------------------------------------------------
# Source forms.

def awkward_pieces(data):
    """The input cut at every 1, 2, 3, 5, 7, ... bytes: through the BOM, UTF-8 sequences,
    CRLFs and escapes."""
    pieces, start, step = [], 0, 1
    while start < len(data):
        pieces.append(data[start:start + step])
        start += step
        step = step % 11 + 1
    return pieces


SOURCES = {
    "path": lambda data, tmp: _written(tmp, data),
    "pathlib path": lambda data, tmp: pathlib.Path(_written(tmp, data)),
    "bytes": lambda data, tmp: data,
    "bytearray": lambda data, tmp: bytearray(data),
    "memoryview": lambda data, tmp: memoryview(data),
    "chunks cut anywhere": lambda data, tmp: iter(awkward_pieces(data)),
    "a list of mixed chunks": lambda data, tmp: [bytearray(p) if i % 3 else memoryview(p)
                                                 for i, p in enumerate(awkward_pieces(data))],
    "a binary file": lambda data, tmp: io.BytesIO(data),
    "a gzip file": lambda data, tmp: gzip.open(_written(tmp, gzip.compress(data), ".gz")),
    # Compressed input is told by its first bytes, whatever its name or form.
    "a gzip path without its suffix": lambda data, tmp: _written(tmp, gzip.compress(data)),
    "xz bytes": lambda data, tmp: lzma.compress(data),
    "a bzip2 stream": lambda data, tmp: io.BytesIO(bz2.compress(data)),
    "a gzip stream that gives a few bytes a read": lambda data, tmp: Trickle(gzip.compress(data)),
}


class Trickle(io.RawIOBase):
    """A stream whose reads give at most three bytes, as a slow pipe may."""

    def __init__(self, data):
        self._data = io.BytesIO(data)

    def readable(self):
        return True

    def read(self, size=-1):
        return self._data.read(min(3, size) if size >= 0 else 3)


def _written(tmp, data, suffix=".jsonl"):
    path = tmp / f"input{suffix}"
    path.write_bytes(data)
    return str(path)


@pytest.mark.parametrize("form", SOURCES)
def test_every_source_form_gives_the_same_profile(random_input, tmp_path, form):
    data = BOM + random_input[:300000] + b'{"last":1}'
    expected = Profile()
    expected_result = expected.observe_jsonl(data)
    p = Profile()
    assert p.observe_jsonl(SOURCES[form](data, tmp_path), threads=2,
                           chunk_bytes=10000) == expected_result
    assert p.report() == expected.report()
    assert isinstance(expected_result, JsonlResult) and expected_result.bytes == len(data)


# Lines past a cap of 100 bytes: bad by their length, never held whole, whatever the
# source form, the threads and the chunk size. (name, input)
GOOD = b'{"a": 1, "b": "x"}\n'
LONG_LINES = [
    ("a line at the cap, and one past it with its CR",
     b'{"a":"' + b"y" * 92 + b'"}\n' + b'{"a":"' + b"y" * 92 + b'"}\r\n' + GOOD),
    ("a long object between good lines", GOOD + b'{"a":"' + b"z" * 300_000 + b'"}\n' + GOOD),
    ("a long last line without a line feed", GOOD * 3 + b'{"a":[' + b"1," * 150_000 + b"1]}"),
    ("long blank and bad lines", b" " * 5000 + b"\n" + b"\xff" * 3000 + b"\n" + GOOD
     + b"[" * 200 + b"\n"),
    ("many long lines", (GOOD + b'{"t":"' + b"w" * 1000 + b'"}\n') * 40),
]


@pytest.mark.parametrize("form", SOURCES)
@pytest.mark.parametrize("name, data", LONG_LINES, ids=[c[0] for c in LONG_LINES])
def test_lines_longer_than_the_cap_are_bad_lines_in_every_form(tmp_path, form, name, data):
    rows, expected = reference(data, max_line_bytes=100)
    for threads, chunk_bytes in [(1, 1 << 20), (2, 64), (3, 1)]:
        p = Profile()
        result = p.observe_jsonl(SOURCES[form](data, tmp_path), threads=threads,
                                 chunk_bytes=chunk_bytes, max_line_bytes=100,
                                 bad_lines_kept=1000)
        assert counts(result) == expected and result.bytes == len(data)
        long_lines = [i + 1 for i, line in enumerate(data.split(b"\n")) if len(line) > 100]
        assert [line for line, reason in result.first_bad
                if reason == "line longer than 100 bytes"] == long_lines
        assert p.report() == via_dicts(rows, 0)


@pytest.mark.parametrize("name, data", LONG_LINES, ids=[c[0] for c in LONG_LINES])
def test_a_line_longer_than_the_cap_refuses_a_strict_read(tmp_path, name, data):
    first = next(i + 1 for i, line in enumerate(data.split(b"\n")) if len(line) > 100)
    for source in (data, iter(awkward_pieces(data)), _written(tmp_path, data)):
        p = Profile()
        with pytest.raises(ValueError, match=f"{first}: line longer than 100 bytes$"):
            p.observe_jsonl(source, strict=True, threads=2, chunk_bytes=50, max_line_bytes=100)
        assert p.columns == []


_ENDLESS_LINE = """
import resource, sys
from karvo_dist import Profile
form, path, size = sys.argv[1], sys.argv[2], int(sys.argv[3])
block = b"x" * (1 << 20)
source = {{"path": lambda: path, "file": lambda: open(path, "rb"),
          "chunks": lambda: (block for _ in range(size >> 20))}}[form]()
before = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
result = Profile().observe_jsonl(source, threads={threads}, max_line_bytes=1 << 20)
grown = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss - before
print(result.lines, result.bad_lines, result.bytes, grown)
"""


@pytest.mark.parametrize("threads", [1, 2])
@pytest.mark.parametrize("form", ["path", "file", "chunks"])
def test_a_line_with_no_end_is_read_in_bounded_memory(tmp_path, form, threads):
    size = 300 << 20
    path = tmp_path / "endless.jsonl"
    with open(path, "wb") as file:
        file.write(b'{"a":"')
        file.truncate(size)  # the rest reads as NUL bytes, and takes no disk
    script = _ENDLESS_LINE.format(threads=threads)
    done = subprocess.run([sys.executable, "-c", script, form, str(path), str(size)],
                          capture_output=True, text=True, timeout=120, check=True)
    lines, bad_lines, read, grown_kib = map(int, done.stdout.split())
    assert (lines, bad_lines, read) == (1, 1, size)
    assert grown_kib < 64 * 1024, f"RSS grew by {grown_kib} KiB reading one endless line"


@pytest.mark.parametrize("make, error", [
    (lambda tmp: tmp / "missing.jsonl", FileNotFoundError),
    (lambda tmp: tmp, IsADirectoryError),
    (lambda tmp: str(tmp / "no dir" / "x.jsonl"), FileNotFoundError),
])
def test_unreadable_paths_raise_oserror_with_errno_and_name(tmp_path, make, error):
    path = make(tmp_path)
    p = Profile()
    with pytest.raises(error) as info:
        p.observe_jsonl(path)
    assert info.value.errno is not None and info.value.filename == os.fspath(path)
    assert p.report() == "{}"


@pytest.mark.parametrize("head, what", [
    (b"PAR1" + bytes(40) + b"PAR1", "is a Parquet file, not JSON Lines"),
    (b"ARROW1\0\0" + bytes(40), "is an Arrow IPC file, not JSON Lines"),
    (b"\xff\xff\xff\xff\x10\0\0\0" + bytes(40), "is an Arrow IPC stream, not JSON Lines"),
    (bytes(5000), "is binary data, not JSON Lines"),
    (gzip.compress(b"PAR1" + bytes(40)), "is a Parquet file, not JSON Lines"),
])
def test_what_cannot_be_json_lines_is_refused_before_anything_is_read(tmp_path, head, what):
    path = tmp_path / "input.jsonl"
    path.write_bytes(head)
    for source, where in ((str(path), f"'{path}' "), (head, "the input "),
                          (io.BytesIO(head), "the input ")):
        p = Profile()
        p.observe_dicts([{"kept": 1}])
        with pytest.raises(InputFormatError, match="^" + re.escape(where + what) + "$"):
            p.observe_jsonl(source)
        assert json.loads(p.report())["kept"]["total_count"] == 1 and len(p) == 1


def test_text_that_holds_a_nul_is_still_read_line_by_line():
    """Only a head that does not begin like an object is taken for binary: a NUL in a
    line of JSON Lines is that line's fault, not the input's."""
    result = Profile().observe_jsonl(b'{"a": 1}\n{"b": "\0"}\n{"a": 2}\n')
    assert (result.rows, result.bad_lines) == (2, 1)


@pytest.mark.parametrize("source, error", [
    (["{}", "\n"], TypeError),  # text chunks
    (io.StringIO("{}\n"), TypeError),
    (12, TypeError),
    ("nul\0in path", ValueError),
])
def test_wrong_sources_are_refused(source, error):
    with pytest.raises(error):
        Profile().observe_jsonl(source)


# ---------------------------------------------------------------------------------------
# Interrupting a long read.

def _endless_fifo(tmp_path, stop):
    """A named pipe fed with good lines until `stop` is set or the reader goes."""
    path = tmp_path / "endless.jsonl"
    os.mkfifo(path)
    block = b'{"id":1,"t":"some text"}\n' * 40000

    def write():
        try:
            with open(path, "wb") as pipe:
                deadline = time.monotonic() + 30
                while not stop.is_set() and time.monotonic() < deadline:
                    pipe.write(block)
        except BrokenPipeError:
            pass

    writer = threading.Thread(target=write, daemon=True)
    writer.start()
    return path, writer


@pytest.mark.parametrize("form", ["path", "chunks"])
def test_ctrl_c_ends_a_long_read(tmp_path, form, ctrl_c):
    stop = threading.Event()
    if form == "path":
        source, writer = _endless_fifo(tmp_path, stop)
    else:
        # itertools.repeat runs no Python code: only the reader's own check sees Ctrl-C.
        source, writer = __import__("itertools").repeat(b'{"id":1}\n' * 100000), None
    timer = threading.Timer(0.5, os.kill, (os.getpid(), signal.SIGINT))
    start = time.monotonic()
    timer.start()
    try:
        with pytest.raises(KeyboardInterrupt):
            Profile().observe_jsonl(source, threads=2)
    finally:
        stop.set()
        timer.cancel()
    assert time.monotonic() - start < 20
    if writer is not None:
        writer.join(5)


# --- a call adds all of its input or nothing, and every row reaches exactly one report

FOUR = b'{"a":1,"b":2,"c":3,"d":4}\n'


def _totals(reports):
    totals = {}
    for report in reports:
        for name, stats in json.loads(report).items():
            totals[name] = totals.get(name, 0) + stats["total_count"]
    return totals


@pytest.mark.parametrize("threads", [1, 2])
def test_flushes_beside_a_read_add_up_to_every_row(threads):
    """A thread that flushes in a loop while another reads: each row is in exactly one
    report, none lost in a map that a flush swapped out while the read was writing."""
    rows = 300_000
    profile = Profile()
    reports = []
    done = threading.Event()

    def flush_until_done():
        while not done.is_set():
            reports.append(profile.flush())

    flusher = threading.Thread(target=flush_until_done)
    flusher.start()
    try:
        for _ in range(3):
            assert profile.observe_jsonl(FOUR * rows, threads=threads, chunk_bytes=4096).rows == rows
            profile.observe_dicts([{"a": 1}] * 1000)
    finally:
        done.set()
        flusher.join(60)
    assert not flusher.is_alive()
    reports.append(profile.flush())
    assert _totals(reports) == {"a": 3 * (rows + 1000), "b": 3 * rows, "c": 3 * rows,
                                "d": 3 * rows}


class FailingStream:
    """A binary stream that gives good lines, then raises OSError."""

    def __init__(self, good_bytes):
        self.left = good_bytes

    def read(self, size=-1):
        if self.left <= 0:
            raise OSError(5, "the disk went away")
        size = min(size if size >= 0 else self.left, self.left)
        lines = max(1, size // len(FOUR))
        self.left -= lines * len(FOUR)
        return FOUR * lines


@pytest.mark.parametrize("threads", [1, 2])
@pytest.mark.parametrize("strict", [False, True])
def test_a_read_that_fails_part_way_adds_nothing(threads, strict):
    profile = Profile()
    profile.observe_dicts([{"kept": 1}])
    before = profile.to_bytes()
    with pytest.raises(OSError, match="the disk went away"):
        profile.observe_jsonl(FailingStream(6 << 20), threads=threads, strict=strict,
                              chunk_bytes=65536)
    assert profile.to_bytes() == before
    # and the same input read again goes in once
    assert profile.observe_jsonl(FOUR * 10, threads=threads).rows == 10
    assert json.loads(profile.report())["a"]["total_count"] == 10


def test_a_strict_refusal_adds_nothing_from_any_source(tmp_path):
    data = FOUR * 50_000 + b"not json\n" + FOUR * 10
    path = tmp_path / "input.jsonl"
    path.write_bytes(data)
    for source in (data, str(path), io.BytesIO(data), [data[:100_000], data[100_000:]]):
        profile = Profile()
        with pytest.raises(ValueError, match=":50001: |line 50001: "):
            profile.observe_jsonl(source, strict=True, threads=2, chunk_bytes=4096)
        assert profile.report() == "{}"


def test_ctrl_c_ends_a_long_read_of_bytes_and_adds_nothing(ctrl_c):
    """A bytes source is read a slice at a time, so Ctrl-C is seen there as it is in a
    file, long before the end, and the call adds nothing."""
    data = b'{"id":1,"text":"some words to parse"}\n' * 4_000_000
    profile = Profile()
    timer = threading.Timer(0.2, os.kill, (os.getpid(), signal.SIGINT))
    timer.start()
    try:
        with pytest.raises(KeyboardInterrupt):
            profile.observe_jsonl(data, threads=1)
    finally:
        timer.cancel()
    assert profile.report() == "{}"


# ---------------------------------------------------------------------------------------
# A fork from another thread while a read runs.

@pytest.mark.skipif(not hasattr(os, "fork"), reason="needs fork")
@pytest.mark.skipif(FORK_WITH_THREADS_HANGS, reason="the sanitizer's allocator is not fork-safe")
@pytest.mark.filterwarnings("ignore::DeprecationWarning")  # fork with threads running
@pytest.mark.parametrize("threads", [1, 3])
def test_a_fork_at_any_moment_of_a_read_leaves_the_child_a_usable_profile(threads):
    # Wide rows: thousands of columns make every step of a read, its merge included, long
    # enough for forks to land in it.
    data = b"".join(json.dumps({f"c{i}_{r}": r for i in range(300)}).encode() + b"\n"
                    for r in range(20))
    profile = Profile()
    profile.observe_dicts([{"a": 0}])
    stop = threading.Event()
    reads = []

    def reading():
        while not stop.is_set():
            reads.append(profile.observe_jsonl(data, threads=threads).rows)

    reader = threading.Thread(target=reading)
    reader.start()
    outcomes = []
    rng = random.Random(5)
    try:
        for _ in range(60):
            time.sleep(rng.random() * 0.01)
            pid = os.fork()
            if pid == 0:
                status = 5
                try:
                    # Whatever the read was doing, the child's profile holds whole reads:
                    # every column of the input as often as every other.
                    report = json.loads(profile.report())
                    totals = {column["total_count"] for name, column in report.items()
                              if name != "a"}
                    status = 0 if report["a"]["total_count"] == 1 and len(totals) <= 1 else 3
                    # And the child reads on, with threads of its own.
                    profile.observe_jsonl(data[:data.index(b"\n") + 1], threads=2)
                    totals = {column["total_count"]
                              for column in json.loads(profile.report()).values()}
                    status = status if len(totals) <= 3 else 4
                finally:
                    os._exit(status)
            status = forked_status(pid, 10)  # None: hung on a lock held at the fork
            outcomes.append("hung" if status is None else os.waitstatus_to_exitcode(status))
    finally:
        stop.set()
        reader.join(timeout=60)
    assert not reader.is_alive()
    assert outcomes == [0] * len(outcomes), outcomes
    assert json.loads(profile.report())["c0_0"]["total_count"] == len(reads)
