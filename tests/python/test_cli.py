"""The karvo-profile command, run as users run it: a separate process (`python -m
karvo_dist`, the code behind the console script), with files, pipes and signals.

The command's --json output must be the report that Profile.observe_jsonl gives for the
same input and seed, whichever way the input arrives (plain, compressed, standard input,
split over several files); its failures must be one line and the documented exit status.
"""

import bz2
import errno
import gzip
import json
import lzma
import os
import re
import signal
import subprocess
import sys
import threading
from pathlib import Path

import pytest

import karvo_dist
from karvo_dist import Profile
from karvo_dist.cli import display_width, table
from conftest import default_sigint, finished
from sanitizers import PYARROW_CHILD_REASON, UNDER_ASAN

if not hasattr(Profile, "observe_jsonl"):
    pytest.skip("this build of karvo_dist has no JSON Lines reader", allow_module_level=True)

ROOT = Path(__file__).resolve().parents[2]
SEED = 20261210

ROWS = [
    {"id": 2**63 - 5, "name": "Zoë", "score": 1.5, "tags": ["a"], "meta": {"k": 1}},
    {"id": 7, "name": None, "score": -0.0, "late": True},
    {"id": -3, "name": "日本", "score": 1e300, "tags": []},
] * 40
TEXT = "".join(json.dumps(row, ensure_ascii=False) + "\n" for row in ROWS).encode()
BAD = b'{"a": 1}\nnot json\n[1, 2]\n\n{"a": 2.5, "b": "x"}\n'


@pytest.fixture(scope="module")
def env():
    """The child imports karvo_dist from where this process did, built or installed."""
    here = str(Path(karvo_dist.__file__).resolve().parent.parent)
    env = {**os.environ, "PYTHONPATH": os.pathsep.join([here, os.environ.get("PYTHONPATH", "")])}
    env.pop("COLUMNS", None)  # the table fits COLUMNS when it is set
    return env


def command(env, *args, stdin=b"", cwd=None, **kwargs):
    return subprocess.run([sys.executable, "-m", "karvo_dist", *map(str, args)], input=stdin,
                          capture_output=True, env=env, cwd=cwd, timeout=120,
                          preexec_fn=default_sigint, **kwargs)


def reference(data, seed=0):
    profile = Profile(seed)
    profile.observe_jsonl(data)
    return profile.report()


def test_json_is_the_readers_report_however_the_input_arrives(env, tmp_path):
    """Plain and compressed files, standard input as "-" and as no argument, one or two
    threads: the same rows give the same report, estimates included."""
    (tmp_path / "rows.jsonl").write_bytes(TEXT)
    (tmp_path / "rows.jsonl.gz").write_bytes(gzip.compress(TEXT))
    (tmp_path / "rows.jsonl.bz2").write_bytes(bz2.compress(TEXT))
    (tmp_path / "rows.jsonl.XZ").write_bytes(lzma.compress(TEXT))
    # Compressed input is told by its first bytes, not by its name.
    (tmp_path / "rows.data").write_bytes(gzip.compress(TEXT))
    (tmp_path / "rows.jsonl.gz.txt").write_bytes(lzma.compress(TEXT))
    (tmp_path / "plain.gz").write_bytes(TEXT)
    expected = reference(TEXT, SEED) + "\n"
    cases = [["rows.jsonl"], ["rows.jsonl.gz"], ["rows.jsonl.bz2"], ["rows.jsonl.XZ"],
             ["-"], [], ["-j", "1", "rows.jsonl"], ["-j", "2", "rows.jsonl.gz"],
             ["rows.data"], ["rows.jsonl.gz.txt"], ["plain.gz"]]
    for args in cases:
        result = command(env, "--json", "--seed", SEED, *args, stdin=TEXT, cwd=tmp_path)
        assert (result.returncode, result.stdout.decode()) == (0, expected), args
        assert result.stderr.startswith(b"karvo-profile: 120 rows, 6 columns, 0 bad lines; ")
    assert command(env, "--json", stdin=TEXT).stdout.decode() == reference(TEXT) + "\n"
    for compress in (gzip.compress, bz2.compress, lzma.compress):
        piped = command(env, "--json", "-", stdin=compress(TEXT))
        assert (piped.returncode, piped.stdout.decode()) == (0, reference(TEXT) + "\n")


def test_a_named_pipe_is_read_once_as_a_stream(env, tmp_path):
    """A pipe given by name (`<(zcat f.gz)`) has no size and cannot be read twice."""
    fifo = tmp_path / "fifo"
    os.mkfifo(fifo)

    def write():
        with open(fifo, "wb") as out:
            out.write(TEXT)

    threading.Thread(target=write, daemon=True).start()
    result = command(env, "--json", fifo)
    assert (result.returncode, result.stdout.decode()) == (0, reference(TEXT) + "\n")


def test_several_files_make_one_profile_and_locate_bad_lines(env, tmp_path):
    first, second = TEXT[:len(TEXT) // 3], TEXT[len(TEXT) // 3:]
    first = first[:first.rindex(b"\n") + 1]
    second = TEXT[len(first):]
    (tmp_path / "a.jsonl").write_bytes(first)
    (tmp_path / "b.jsonl.gz").write_bytes(gzip.compress(b"oops\n" + second + b"[]\n"))
    result = command(env, "--json", "a.jsonl", "b.jsonl.gz", "-", stdin=BAD, cwd=tmp_path)
    assert result.returncode == 0
    assert result.stdout.decode() == reference(TEXT + BAD) + "\n"
    lines = second.count(b"\n") + 2
    summary, *located = result.stderr.decode().splitlines()
    assert summary.startswith("karvo-profile: 122 rows, 8 columns, 4 bad lines, 1 blank line; ")
    assert located == [
        f"  b.jsonl.gz:1: {bad_reason(b'oops')}",
        f"  b.jsonl.gz:{lines}: {bad_reason(b'[]')}",
        f"  <stdin>:2: {bad_reason(b'not json')}",
        f"  <stdin>:3: {bad_reason(b'[1, 2]')}",
    ]


def bad_reason(line):
    """The reason the reader gives for one bad line."""
    result = Profile().observe_jsonl(line + b"\n")
    return result.first_bad[0][1]


@pytest.mark.parametrize("args, stdin, status, stderr", [
    (["missing.jsonl"], b"", 2,
     r"karvo-profile: cannot read 'missing.jsonl': No such file or directory\n"),
    (["."], b"", 2, r"karvo-profile: cannot read '\.': Is a directory\n"),
    # every name is checked before any input is read
    (["bad.jsonl", "missing.jsonl"], b"", 2, r"karvo-profile: cannot read 'missing\.jsonl'.*\n"),
    # a file named .parquet goes to the columnar reader, which finds this one broken
    pytest.param(["data.parquet"], b"", 2,
                 r"karvo-profile: (cannot read 'data\.parquet' as parquet: .+"
                 r"|reading 'data\.parquet' \(parquet\) needs pyarrow: .+)\n",
                 marks=pytest.mark.skipif(UNDER_ASAN, reason=PYARROW_CHILD_REASON)),
    (["-"], b"ARROW1\0\0" + bytes(100), 2,
     r"karvo-profile: the input is an Arrow IPC file, not JSON Lines\n"),
    (["noise.bin"], b"", 2, r"karvo-profile: 'noise\.bin' is binary data, not JSON Lines\n"),
    # every line bad: no profile, whatever the other inputs held
    (["rows.jsonl", "all_bad.txt"], b"", 1,
     r"karvo-profile: no line of 'all_bad\.txt' is a JSON object \(2 bad lines; "
     r"first: all_bad\.txt:1: .+\)\n"),
    (["--max-bad-lines", "1", "bad.jsonl"], b"", 1,
     r"karvo-profile: 2 of 4 lines are bad, more than --max-bad-lines 1 allows; "
     r"first: bad\.jsonl:2: .+\n"),
    (["--max-bad-lines", "0.4", "bad.jsonl"], b"", 1,
     r"karvo-profile: 2 of 4 lines are bad, more than --max-bad-lines 40% of lines allows.+\n"),
    (["--max-bad-lines", "1.5"], b"", 2, r"(?s)usage: karvo-profile .*--max-bad-lines.*\n"),
    (["-j", "99999", "rows.jsonl"], b"", 2, r"(?s)usage: karvo-profile .*-j/--jobs.*1024\n"),
    (["cut.jsonl.xz"], b"", 2, r"karvo-profile: cannot read 'cut\.jsonl\.xz': .+\n"),
    (["--strict", "bad.jsonl"], b"", 1, r"karvo-profile: bad\.jsonl:2: .+\n"),
    (["--strict", "empty.jsonl", "-"], BAD, 1, r"karvo-profile: <stdin>:2: .+\n"),
    (["-j", "x"], b"", 2, r"(?s)usage: karvo-profile .*-j/--jobs.*\n"),
    (["-j", "-1"], b"", 2, r"(?s)usage: karvo-profile .*-j/--jobs: .*to 1024\n"),
    (["--seed", str(2**64)], b"", 2, r"(?s)usage: karvo-profile .*--seed.*\n"),
    (["--strict", "--max-line-bytes", "5", "bad.jsonl"], b"", 1,
     r"karvo-profile: bad\.jsonl:1: line longer than 5 bytes\n"),
    (["--max-line-bytes", "0"], b"", 2, r"(?s)usage: karvo-profile .*--max-line-bytes.*\n"),
    (["--max-line-bytes", str(2**62 + 1)], b"", 2,
     r"(?s)usage: karvo-profile .*--max-line-bytes: must be from 1 to 4611686018427387904\n"),
    (["--no-such-option"], b"", 2, r"(?s)usage: karvo-profile .*\n"),
])
def test_failures_say_one_thing_and_print_no_profile(env, tmp_path, args, stdin, status, stderr):
    (tmp_path / "bad.jsonl").write_bytes(BAD)
    (tmp_path / "empty.jsonl").write_bytes(b"")
    (tmp_path / "cut.jsonl.xz").write_bytes(lzma.compress(TEXT)[:-40])
    (tmp_path / "rows.jsonl").write_bytes(TEXT)
    (tmp_path / "all_bad.txt").write_bytes(b"plain text\n\nnot a row\n")
    (tmp_path / "data.parquet").write_bytes(b"PAR1" + bytes(64) + b"PAR1")
    (tmp_path / "noise.bin").write_bytes(bytes(range(256)) * 4)
    result = command(env, *args, stdin=stdin, cwd=tmp_path)
    assert result.returncode == status
    assert re.fullmatch(stderr, result.stderr.decode()), result.stderr
    assert b"Traceback" not in result.stderr
    assert result.stdout == b""


@pytest.mark.parametrize("args, stdin, report, summary", [
    (["--max-bad-lines", "2", "bad.jsonl"], b"", '{"a":{"total_count":2,"null_count":0,'
     '"min_val":1.0,"max_val":2.5,"estimated_cardinality":2},"b":{"total_count":1,'
     '"null_count":0,"min_val":null,"max_val":null,"estimated_cardinality":1}}',
     "2 rows, 2 columns, 2 bad lines, 1 blank line"),
    (["bad.jsonl"], b"", '{"a":{"total_count":2,"null_count":0,"min_val":1.0,"max_val":2.5,'
     '"estimated_cardinality":2},"b":{"total_count":1,"null_count":0,"min_val":null,'
     '"max_val":null,"estimated_cardinality":1}}',
     "2 rows, 2 columns, 2 bad lines, 1 blank line"),
    (["--max-line-bytes", "9", "bad.jsonl"], b"", '{"a":{"total_count":1,"null_count":0,'
     '"min_val":1.0,"max_val":1.0,"estimated_cardinality":1}}',
     "1 row, 1 column, 3 bad lines, 1 blank line"),
    (["--max-line-bytes", "9", "-"], BAD, '{"a":{"total_count":1,"null_count":0,'
     '"min_val":1.0,"max_val":1.0,"estimated_cardinality":1}}',
     "1 row, 1 column, 3 bad lines, 1 blank line"),
    (["empty.jsonl"], b"", "{}", "0 rows, 0 columns, 0 bad lines"),
    ([], b"", "{}", "0 rows, 0 columns, 0 bad lines"),
])
def test_bad_lines_and_empty_input_still_give_a_profile(env, tmp_path, args, stdin, report,
                                                        summary):
    (tmp_path / "bad.jsonl").write_bytes(BAD)
    (tmp_path / "empty.jsonl").write_bytes(b"")
    result = command(env, "--json", *args, stdin=stdin, cwd=tmp_path)
    assert (result.returncode, result.stdout.decode()) == (0, report + "\n")
    assert result.stderr.decode().startswith(f"karvo-profile: {summary}; ")
    quiet = command(env, "--json", "-q", *args, stdin=stdin, cwd=tmp_path)
    assert (quiet.stdout, quiet.stderr) == (result.stdout, b"")


def test_table_shows_the_report(env, tmp_path):
    """Without --json, and with standard output not a terminal, the table comes in plain
    text with every name whole; its counts are the report's."""
    (tmp_path / "rows.jsonl").write_bytes(TEXT)
    result = command(env, "rows.jsonl", cwd=tmp_path)
    assert result.returncode == 0
    lines = result.stdout.decode().splitlines()
    header = re.split(r"\s{2,}", lines[0])
    # With a column summary the table has more columns; these stay, in this order.
    known = ["column", "rows", "nulls", "null %", "min", "max", "~distinct"]
    assert [h for h in header if h in known] == known
    cells = [dict(zip(header, re.split(r"\s{2,}", line.strip()), strict=True))
             for line in lines[1:]]
    shown = {row["column"]: [row[h] for h in known[1:]] for row in cells}
    for name, stats in json.loads(reference(TEXT)).items():
        rows, nulls, _share, low, high, distinct = shown[name]
        assert (rows, nulls, distinct) == (f"{stats['total_count']:,}", f"{stats['null_count']:,}",
                                           f"{stats['estimated_cardinality']:,}")
        assert (low == "-") == (stats["min_val"] is None) and (high == "-") == (
            stats["max_val"] is None)
    assert shown["name"][2] == "33.3%" and shown["late"][2] == "0%"


@pytest.mark.parametrize("values, low, high", [
    ([float("inf"), 3], "3", "inf"),
    ([float("-inf"), 3], "-inf", "3"),
    ([float("inf")], "inf", "inf"),
    ([float("-inf"), float("inf")], "-inf", "inf"),
    (["text", None], "-", "-"),
    ([-0.0], "-0", "-0"),
    ([1048.36, 2013, 1234567.891], "1,048.36", "1,234,568"),
    ([-12345.678, 2**49], "-12,345.7", "562,949,953,421,312"),
    ([1.5, 0.000123456789], "0.000123457", "1.5"),
    ([2**53 + 0.0, 1e-7], "1e-07", "9.0072e+15"),
    ([-0.5, 999999.5], "-0.5", "1,000,000"),
])
def test_table_bounds_keep_infinities_and_one_number_style(values, low, high):
    """The report writes an infinite bound as null, like a column without numbers; the
    table tells them apart, and writes every number in one style."""
    profile = Profile()
    profile.observe_dicts([{"x": value} for value in values])
    shown = table(profile.report(), None, profile._bounds()).splitlines()[1].split()
    assert (shown[4], shown[5]) == (low, high)


def test_table_fits_a_narrow_terminal():
    """Names are cut to the width left over, counting wide characters as two cells, and
    every number column stays aligned."""
    names = ["x" * 200, "日本語の列" * 10, "tab\there", "", "short"]
    profile = Profile()
    profile.observe_dicts([{name: 12345.5 for name in names}])
    lines = table(profile.report(), 70).splitlines()
    assert all(display_width(line) <= 70 for line in lines)
    ends = {display_width(line) for line in lines}
    assert len(ends) == 1, lines
    assert [line.split("  ")[0].rstrip() for line in lines[3:]] == ['tab\\there', '""', "short"]
    assert lines[1].rstrip().split()[0].endswith("…")


@pytest.mark.parametrize("kept", [0, 20, 70_000])
def test_closed_pipe_ends_quietly(env, tmp_path, kept):
    """A reader that stops reading (`| head`) ends the run with no traceback and the
    status of a closed pipe: whether it closed before the first byte, after a few bytes,
    or in the middle of a write larger than a pipe holds (which the kernel ends with a
    short count, not an error)."""
    wide = json.dumps({f"column number {i}": i for i in range(20_000)}) + "\n"
    (tmp_path / "wide.jsonl").write_text(wide)
    for args in (["wide.jsonl"], ["--json", "wide.jsonl"]):
        child = subprocess.Popen([sys.executable, "-m", "karvo_dist", *args], env=env,
                                 cwd=tmp_path, stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                                 preexec_fn=default_sigint)
        got = b""
        while len(got) < kept:
            piece = child.stdout.read1(kept - len(got))
            assert piece, "the output ended before the reader stopped"
            got += piece
        child.stdout.close()
        stderr = child.stderr.read()
        assert finished(child) == 141
        assert stderr == b"", stderr


def test_ctrl_c_exits_130_with_one_line(env):
    """Ctrl-C while input is being read: one line, exit 130, even while the reader waits
    on a pipe that has not ended."""
    child = subprocess.Popen([sys.executable, "-m", "karvo_dist"], env=env,
                             stdin=subprocess.PIPE, stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                             preexec_fn=default_sigint)
    # Once this much has gone through the pipe, the command is reading, past its start-up.
    child.stdin.write(TEXT * 200)
    child.stdin.flush()
    child.send_signal(signal.SIGINT)
    assert finished(child) == 130
    child.stdin.close()
    assert child.stderr.read() == b"karvo-profile: interrupted\n"
    assert child.stdout.read() == b""


def test_console_script_is_declared(env):
    version = command(env, "--version")
    assert (version.returncode, version.stdout[:14]) == (0, b"karvo-profile ")
    tomllib = pytest.importorskip("tomllib")
    project = tomllib.loads((ROOT / "pyproject.toml").read_text())["project"]
    assert project["scripts"]["karvo-profile"] == "karvo_dist.cli:main"


# --- the column summary and the HTML page ------------------------------------------------

needs_summary = pytest.mark.skipif(not hasattr(Profile, "summary"),
                                   reason="no Profile.summary in this build")


def profiled(seed=SEED):
    profile = Profile(seed)
    profile.observe_jsonl(TEXT)
    return profile


@needs_summary
def test_summary_prints_the_profiles_summary(env, tmp_path):
    (tmp_path / "rows.jsonl").write_bytes(TEXT)
    result = command(env, "--summary", "--seed", SEED, "rows.jsonl", cwd=tmp_path)
    assert (result.returncode, result.stdout.decode()) == (0, profiled().summary_json() + "\n")
    assert result.stderr.decode().startswith("karvo-profile: 120 rows, ")


@needs_summary
def test_html_writes_the_page_and_prints_only_the_summary_line(env, tmp_path):
    (tmp_path / "rows.jsonl").write_bytes(TEXT)
    result = command(env, "--html", "out.html", "rows.jsonl", cwd=tmp_path)
    assert (result.returncode, result.stdout) == (0, b"")
    assert result.stderr.decode().startswith("karvo-profile: 120 rows, ")
    page = (tmp_path / "out.html").read_text()
    assert sorted(p.name for p in tmp_path.iterdir()) == ["out.html", "rows.jsonl"]
    for i in range(len(profiled())):
        assert f'id="col-{i}"' in page
    assert "<dt>Inputs</dt><dd>rows.jsonl</dd>" in page
    # to standard output, and beside --json
    piped = command(env, "--html", "-", "-q", "rows.jsonl", cwd=tmp_path)
    assert piped.returncode == 0 and piped.stdout.decode().startswith("<!doctype html>")
    both = command(env, "--html", "again.html", "--json", "rows.jsonl", cwd=tmp_path)
    assert both.stdout.decode() == reference(TEXT) + "\n"
    assert (tmp_path / "again.html").read_text().startswith("<!doctype html>")


# (options, whether the profile keeps summaries): only outputs that read them pay for them.
SUMMARY_NEEDS = [
    (["--json"], False),
    (["--json", "--html", "out.html"], True),
    (["--summary"], True),
    (["--html", "out.html"], True),
    ([], True),  # the table
]


@needs_summary
@pytest.mark.parametrize("args, summaries", SUMMARY_NEEDS,
                         ids=[" ".join(a) or "table" for a, _ in SUMMARY_NEEDS])
def test_the_profile_keeps_summaries_only_for_outputs_that_read_them(monkeypatch, tmp_path,
                                                                    capfd, args, summaries):
    from karvo_dist import cli

    made = []

    class Recording(Profile):
        __slots__ = ()

        def __new__(cls, *given, **options):
            profile = super().__new__(cls, *given, **options)
            if "summaries" in options:  # the profile the inputs go to
                made.append(profile)
            return profile

    monkeypatch.setattr(cli, "Profile", Recording)
    monkeypatch.chdir(tmp_path)
    (tmp_path / "rows.jsonl").write_bytes(TEXT)
    assert cli.main([*args, "-q", "--seed", str(SEED), "rows.jsonl"]) == 0
    out, _ = capfd.readouterr()
    assert [p.keeps_summaries for p in made] == [summaries]
    if "--json" in args:  # the same report, with summaries or without
        assert out == reference(TEXT, SEED) + "\n"


@pytest.mark.parametrize("out, reason", [
    ("missing/out.html", "No such file or directory"),
    ("folder", "Is a directory"),
    ("rows.jsonl/out.html", "Not a directory"),
    pytest.param("locked/out.html", "Permission denied", marks=pytest.mark.skipif(
        os.geteuid() == 0, reason="root may write anywhere")),
])
def test_html_out_that_cannot_be_written_stops_before_reading(env, tmp_path, out, reason):
    (tmp_path / "rows.jsonl").write_bytes(TEXT)
    (tmp_path / "folder").mkdir()
    (tmp_path / "locked").mkdir(mode=0o500)
    result = command(env, "--html", out, "rows.jsonl", cwd=tmp_path)
    assert result.returncode == 2
    assert result.stderr.decode() == f"karvo-profile: cannot write '{out}': {reason}\n"
    assert result.stdout == b""
    assert sorted(p.name for p in tmp_path.iterdir()) == ["folder", "locked", "rows.jsonl"]


@pytest.mark.parametrize("args", [["--html", "-", "--json"], ["--summary", "--json"],
                                  ["--html", "-", "--summary"]])
def test_outputs_that_collide_are_usage_errors(env, args):
    result = command(env, *args)
    assert result.returncode == 2 and result.stdout == b""
    assert result.stderr.decode().startswith("usage: karvo-profile")


@pytest.fixture
def fabricated_command(monkeypatch, tmp_path):
    """The command run in this process, its profiles answering summary() from
    fabricated columns: the page and --summary without the engine's summary."""
    import summary_fixtures as fx
    from karvo_dist import cli

    monkeypatch.setattr(cli, "Profile", type(fx.profile_of(fx.realistic(200))))
    monkeypatch.chdir(tmp_path)
    (tmp_path / "rows.jsonl").write_bytes(TEXT)
    return cli.main


def test_html_page_from_a_fabricated_summary(fabricated_command, tmp_path, capfd):
    assert fabricated_command(["--html", "out.html", "rows.jsonl"]) == 0
    out, err = capfd.readouterr()
    assert out == "" and err.startswith("karvo-profile: 120 rows, 6 columns")
    page = (tmp_path / "out.html").read_text()
    assert "<dt>Rows</dt><dd>120</dd>" in page and 'id="col-10"' in page
    assert fabricated_command(["--summary", "-q", "rows.jsonl"]) == 0
    assert json.loads(capfd.readouterr().out)["city"]["types"]["text"] == 200


def test_html_write_failing_midway_leaves_out_as_it_was(fabricated_command, tmp_path, capfd,
                                                         monkeypatch):
    (tmp_path / "out.html").write_text("before")

    def full(*args):
        raise OSError(errno.ENOSPC, os.strerror(errno.ENOSPC))

    monkeypatch.setattr(os, "replace", full)
    assert fabricated_command(["--html", "out.html", "rows.jsonl"]) == 2
    assert capfd.readouterr().err == ("karvo-profile: cannot write 'out.html': "
                                      "No space left on device\n")
    assert (tmp_path / "out.html").read_text() == "before"
    assert sorted(p.name for p in tmp_path.iterdir()) == ["out.html", "rows.jsonl"]


@pytest.mark.parametrize("columns", ["100", "60", "30"])
def test_table_fits_columns_even_in_a_pipe(env, tmp_path, columns):
    (tmp_path / "rows.jsonl").write_bytes(TEXT)
    result = command({**env, "COLUMNS": columns}, "rows.jsonl", "-q", cwd=tmp_path)
    lines = result.stdout.decode().splitlines()
    assert result.returncode == 0 and len(lines) >= 1 + len(json.loads(reference(TEXT)))
    assert all(display_width(line) < int(columns) for line in lines), lines
    assert lines[0].startswith("column")
    if columns == "30":
        assert lines[-1].startswith("(not shown: nulls, rows")
