"""JSON Lines files read on Dask in byte ranges (karvo_dist.dask.read_files) against one
process calling observe_jsonl on the same files in turn.

The ranges must read every line exactly once, whatever the block size, so the report,
the counts of lines, blank and bad lines and bytes, and the bad lines with their numbers
in their file must all be those of the one process. Dask's synchronous scheduler runs the
same graph as a cluster would, in this process; test_dist_engines.py runs it on a real
LocalCluster.
"""

import bz2
import gzip
import json
import os
import random

import pytest

from karvo_dist import BadLineError, InputFormatError, Profile
from profile_checks import assert_same_values

dask = pytest.importorskip("dask", reason="Dask is not installed "
                           "(tests/install_engines.sh installs it)")
from karvo_dist.dask import profile_files, read_files  # noqa: E402

SEED = 77
BOM = "\ufeff"


@pytest.fixture(autouse=True)
def synchronous():
    with dask.config.set(scheduler="sync"):
        yield


def one_process(paths, seed=SEED, **options):
    """The profile and the counts of observe_jsonl of each file in turn, first bad lines
    named by file, as read_files gives them."""
    profile = Profile(seed=seed)
    counts = [0] * 5
    first_bad = []
    for path in paths:
        result = profile.observe_jsonl(path, **options)
        for i, figure in enumerate((result.rows, result.lines, result.blank_lines,
                                    result.bad_lines, result.bytes)):
            counts[i] += figure
        first_bad += [(os.fsdecode(path), line, reason) for line, reason in result.first_bad]
    return profile, counts, first_bad


def assert_reads_as_one_process(paths, kept=10, **options):
    want, counts, first_bad = one_process(paths, bad_lines_kept=kept)
    got = read_files(paths, seed=SEED, bad_lines_kept=kept, **options)
    assert got.profile.report() == want.report()
    assert [got.rows, got.lines, got.blank_lines, got.bad_lines, got.bytes] == counts
    assert got.first_bad == first_bad[:kept]
    assert got.files == len(paths)
    return got


def write(path, data):
    path.write_bytes(data.encode("utf-8") if isinstance(data, str) else data)
    return str(path)


ROWS = "".join(json.dumps({"n": i, "t": "é" * (i % 4), "f": i / 3}) + "\n" for i in range(12))

# Inputs where a range boundary can fall anywhere that matters: inside a line, inside a
# CRLF, inside a multi-byte character, inside a byte order mark, in a run of blank lines.
CONTENTS = {
    "plain": ROWS,
    "crlf": ROWS.replace("\n", "\r\n"),
    "no final line feed": ROWS + '{"last": true}',
    "bom at the start": BOM + ROWS,
    "bom at a later line": ROWS + BOM + '{"after": 1}\n{"n": 99}\n',
    "bad and blank lines": '{"a": 1}\n\n  \r\n{oops\n[1, 2]\n"x"\n\xff\n{"a": 2}\n\n',
    "only blank lines": "\n\n\r\n \n",
    "one line feed": "\n",
    "empty": "",
    "a line longer than the blocks": json.dumps({"long": "x" * 300}) + "\n" + ROWS[:60],
    "a key that repeats": '{"k": 1, "k": "two"}\n{"k": null}\n',
}

BLOCKSIZES = [1, 2, 3, 5, 17, 64, 1 << 20, None, "auto"]


@pytest.mark.parametrize("blocksize", BLOCKSIZES)
@pytest.mark.parametrize("name", CONTENTS)
def test_one_file_reads_as_one_process_for_any_blocksize(tmp_path, name, blocksize):
    path = write(tmp_path / "in.jsonl", CONTENTS[name])
    assert_reads_as_one_process([path], blocksize=blocksize)


def test_random_files_split_anywhere_read_as_one_process(tmp_path):
    """Lines of every kind in random order, each file split at random block sizes."""
    pieces = ['{"a": 1}', '{"b": "é"}', '{"c": [1]}', "", " ", "{", "1", BOM + '{"d": 2}',
              "\xff"]
    generator = random.Random(5)
    for round_ in range(30):
        text = "".join(generator.choice(pieces) + generator.choice(["\n", "\r\n"])
                       for _ in range(generator.randrange(0, 25)))
        if generator.random() < 0.3:
            text = BOM + text
        if generator.random() < 0.3:
            text = text.rstrip("\n")
        path = write(tmp_path / f"r{round_}.jsonl", text)
        assert_reads_as_one_process([path], blocksize=generator.randrange(1, 40), kept=50)


def test_many_files_packed_and_split_read_in_order(tmp_path):
    """Small files packed into tasks and large ones split, the same file twice, and a
    glob; the later files bring their own columns, so order shows in the report."""
    paths = []
    for i in range(8):
        lines = [json.dumps({f"c{i}": j, "shared": i * j}) for j in range(i * 7)]
        if i % 3 == 1:
            lines.insert(i, "{bad")
        paths.append(write(tmp_path / f"part{i}.jsonl", "\n".join(lines)))
    for blocksize in (1, 40, 300, 2000, 1 << 20, None):
        assert_reads_as_one_process(paths, blocksize=blocksize)
    assert_reads_as_one_process(paths[3:5] + paths[3:5], blocksize=50)
    got = assert_reads_as_one_process(sorted(paths), blocksize=100)
    by_glob = read_files(str(tmp_path / "part*.jsonl"), seed=SEED, blocksize=100)
    assert by_glob == got.__class__(by_glob.profile, *(getattr(got, f) for f in (
        "files", "rows", "lines", "blank_lines", "bad_lines", "bytes", "first_bad")))
    assert by_glob.profile.report() == got.profile.report()
    nested = tmp_path / "deeper" / "still"
    nested.mkdir(parents=True)
    write(nested / "x.jsonl", '{"deep": 1}\n')
    assert read_files(str(tmp_path / "**" / "x.jsonl"), seed=SEED).rows == 1


def test_bad_lines_kept_counts_across_files_and_ranges(tmp_path):
    paths = [write(tmp_path / f"b{i}.jsonl", "{x\n" * 5 + '{"ok": 1}\n' + "[]\n" * 4)
             for i in range(3)]
    for kept in (0, 1, 3, 7, 12, 100):
        for blocksize in (1, 9, None):
            assert_reads_as_one_process(paths, kept=kept, blocksize=blocksize)


@pytest.mark.parametrize("compress", [gzip.compress, bz2.compress], ids=["gzip", "bzip2"])
@pytest.mark.parametrize("suffix", [".jsonl.gz", ".jsonl"], ids=["named", "unnamed"])
def test_compressed_files_are_read_whole(tmp_path, compress, suffix):
    """Not splittable: one task reads each whole, told by its name or, misnamed, by its
    first bytes, while the file's other ranges add nothing."""
    data = compress((BOM + ROWS * 20 + "{bad\n").encode())
    paths = [write(tmp_path / f"z{suffix}", data), write(tmp_path / "plain.jsonl", ROWS)]
    for blocksize in (7, 64, None):
        got = assert_reads_as_one_process(paths, blocksize=blocksize)
        assert got.rows == 21 * 12 and got.first_bad[0][1] == 241


def test_a_file_that_is_not_json_lines_is_refused(tmp_path):
    parquet = write(tmp_path / "data.jsonl", b"PAR1" + bytes(range(256)) * 4)
    for blocksize in (16, None):
        with pytest.raises(InputFormatError, match="data.jsonl' is a Parquet file"):
            read_files([write(tmp_path / "ok.jsonl", ROWS), parquet], blocksize=blocksize)


@pytest.mark.parametrize("blocksize", [1, 13, 100, None])
def test_strict_raises_for_the_first_bad_line_numbered_in_its_file(tmp_path, blocksize):
    good = write(tmp_path / "good.jsonl", ROWS)
    bad = write(tmp_path / "bad.jsonl", ROWS + "\r\n" + ROWS + "{worse\n" + ROWS + "[]\n")
    with pytest.raises(BadLineError) as want:
        Profile(seed=SEED).observe_jsonl(bad, strict=True)
    with pytest.raises(BadLineError) as got:
        read_files([good, bad, good], seed=SEED, blocksize=blocksize, strict=True)
    assert (got.value.line, got.value.reason, got.value.source) == \
        (want.value.line, want.value.reason, bad) == (26, want.value.reason, bad)
    assert str(got.value) == str(want.value)
    # The same files read leniently, and strictly without the bad one.
    assert read_files([good, bad], blocksize=blocksize).bad_lines == 2
    strict = read_files([good, good], seed=SEED, blocksize=blocksize, strict=True)
    assert strict.profile.report() == one_process([good, good])[0].report()


def test_strict_reports_a_bom_that_starts_a_later_line(tmp_path):
    """Only a byte order mark that starts the file is skipped, wherever a range starts."""
    path = write(tmp_path / "bom.jsonl", ROWS + BOM + '{"a": 1}\n')
    for blocksize in (1, len(ROWS.encode()), len(ROWS.encode()) + 1, None):
        with pytest.raises(BadLineError) as got:
            read_files(path, blocksize=blocksize, strict=True)
        assert got.value.line == 13


def test_summaries_keep_their_exact_figures_and_the_sketches_their_error(tmp_path):
    """Merged ranges give the exact figures of one process; the quantile sketch and the
    top values of merged summaries are within their bounds (and, below the sketches'
    capacity, exact)."""
    generator = random.Random(9)
    values = list(range(20_000))
    generator.shuffle(values)
    text = "".join(json.dumps({"v": v, "few": v % 300, "t": "ab"[v % 2] * (v % 5)}) + "\n"
                   for v in values)
    path = write(tmp_path / "big.jsonl", text)
    want = one_process([path])[0]
    got = read_files(path, seed=SEED, blocksize=len(text) // 9).profile
    assert_same_values(got, want)
    summary = got.summary()
    for rank, value in summary["v"]["numbers"]["quantiles"].items():
        assert abs(value / len(values) - float(rank)) <= 0.01
    top = {entry["value"]: entry for entry in summary["t"]["top_values"]}
    assert top == {entry["value"]: entry for entry in want.summary()["t"]["top_values"]}

    # Under 600 numbers the quantiles are exact; under 64 distinct values ("t") so are
    # the top values, which for the other columns are within their error bounds.
    small = write(tmp_path / "small.jsonl", text[:len(text) // 40])
    want = one_process([small])[0].summary()
    for blocksize in (5, 333):
        summary = read_files(small, seed=SEED, blocksize=blocksize).profile.summary()
        assert summary["t"] == want["t"]
        for name in ("v", "few"):
            assert summary[name]["numbers"] == want[name]["numbers"]


def test_threads_per_task_do_not_change_the_result(tmp_path):
    path = write(tmp_path / "t.jsonl", ROWS * 50 + "{bad\n")
    for threads in (0, 1, 3):
        assert_reads_as_one_process([path], blocksize=200, threads=threads)


def test_profile_files_is_the_profile_of_read_files(tmp_path):
    paths = [write(tmp_path / "p.jsonl", ROWS), write(tmp_path / "q.jsonl", BOM + ROWS)]
    assert profile_files(paths, seed=SEED, blocksize=9).report() == \
        one_process(paths)[0].report()
    assert profile_files([], seed=SEED).report() == "{}"
    assert read_files([]).files == 0


@pytest.mark.parametrize("arguments, error, message", [
    ({"blocksize": 0}, ValueError, "blocksize must be"),
    ({"blocksize": -5}, ValueError, "blocksize must be"),
    ({"blocksize": True}, ValueError, "blocksize must be"),
    ({"blocksize": 2.5}, ValueError, "blocksize must be"),
    ({"split_every": 1}, ValueError, "split_every must be"),
    ({"threads": -1}, ValueError, "threads"),
    ({"bad_lines_kept": -1}, ValueError, "bad_lines_kept"),
    ({"max_line_bytes": 0}, ValueError, "max_line_bytes"),
    ({"seed": -1}, ValueError, "seed must be"),
])
def test_bad_arguments_are_refused_before_any_work(tmp_path, arguments, error, message):
    path = write(tmp_path / "a.jsonl", ROWS)
    with pytest.raises(error, match=message):
        read_files(path, **arguments)


def test_missing_files_and_other_objects_are_refused(tmp_path):
    with pytest.raises(FileNotFoundError, match="no file matches"):
        read_files(str(tmp_path / "none*.jsonl"))
    with pytest.raises(FileNotFoundError):
        read_files(str(tmp_path / "absent.jsonl"))
    with pytest.raises(TypeError, match="paths and globs"):
        read_files([write(tmp_path / "a.jsonl", ROWS), 3])
    assert read_files(tmp_path / "a.jsonl", blocksize="1 KiB").rows == 12


def test_urls_are_read_through_fsspec(tmp_path):
    """A URL with a protocol, globs included, is opened through fsspec on the workers:
    the same reading as local files, names as URLs."""
    fsspec = pytest.importorskip("fsspec")
    memory = fsspec.filesystem("memory")
    texts = [ROWS + "{bad\n", BOM + ROWS.replace("\n", "\r\n"), "",
             gzip.compress((ROWS * 3).encode())]
    local = []
    for i, text in enumerate(texts):
        data = text.encode() if isinstance(text, str) else text
        memory.pipe(f"/karvo-files/f{i}.jsonl", data)
        local.append(write(tmp_path / f"f{i}.jsonl", data))
    name = memory.unstrip_protocol("/karvo-files/f0.jsonl")  # memory:///karvo-files/...
    try:
        want = read_files(local, seed=SEED, blocksize=7)
        for blocksize in (1, 7, 100, None):
            got = read_files("memory://karvo-files/f*.jsonl", seed=SEED, blocksize=blocksize)
            assert got.profile.report() == want.profile.report()
            assert got.first_bad == [(name, 13, want.first_bad[0][2])]
            assert (got.rows, got.lines, got.bytes) == (want.rows, want.lines, want.bytes)
        with pytest.raises(BadLineError) as refusal:
            read_files("memory://karvo-files/f0.jsonl", blocksize=5, strict=True)
        assert (refusal.value.source, refusal.value.line) == (name, 13)
        with pytest.raises(FileNotFoundError, match="no file matches"):
            read_files("memory://karvo-files/none*.jsonl")
    finally:
        memory.rm("/karvo-files", recursive=True)


def test_bytes_paths_and_calls_from_several_threads(tmp_path):
    """Paths as bytes are named as text; calls from several threads at once, on Dask's
    threaded scheduler, each give the one answer."""
    import threading

    paths = [write(tmp_path / f"t{i}.jsonl", ROWS * (i + 1) + "{bad\n") for i in range(3)]
    want = assert_reads_as_one_process(paths, blocksize=64)
    got = read_files([os.fsencode(path) for path in paths], seed=SEED, blocksize=64)
    assert got == want.__class__(got.profile, *(getattr(want, f) for f in (
        "files", "rows", "lines", "blank_lines", "bad_lines", "bytes", "first_bad")))

    results, errors = [], []

    def read():
        try:
            results.append(read_files(paths, seed=SEED, blocksize=50))
        except BaseException as error:  # reported below, not lost in the thread
            errors.append(error)

    with dask.config.set(scheduler="threads"):
        threads = [threading.Thread(target=read) for _ in range(4)]
        for thread in threads:
            thread.start()
        for thread in threads:
            thread.join(timeout=120)
    assert not any(thread.is_alive() for thread in threads)
    assert errors == [] and len(results) == 4
    for result in results:
        assert result.profile.report() == want.profile.report()
        assert result.first_bad == want.first_bad
