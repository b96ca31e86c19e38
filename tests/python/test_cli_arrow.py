"""karvo-profile on columnar files: each kind of file (Parquet, CSV, TSV, gzipped CSV,
Arrow IPC file and stream, Feather) gives the report that Profile.observe_arrow gives on
the same rows, and equals observe_dicts of pyarrow's reading of the file; without pyarrow
the command says how to get it."""

import json
import os
import signal
import subprocess
import sys
from pathlib import Path

import pytest

import karvo_dist
from karvo_dist import Profile
from conftest import default_sigint

pa = pytest.importorskip("pyarrow")
import pyarrow.csv as pcsv  # noqa: E402
import pyarrow.feather as feather  # noqa: E402
import pyarrow.ipc as ipc  # noqa: E402
import pyarrow.parquet as pq  # noqa: E402

SEED = 7


@pytest.fixture(scope="module")
def env():
    here = str(Path(karvo_dist.__file__).resolve().parent.parent)
    return {**os.environ, "PYTHONPATH": os.pathsep.join([here, os.environ.get("PYTHONPATH", "")])}


def command(env, *args, cwd=None):
    return subprocess.run([sys.executable, "-m", "karvo_dist", *map(str, args)], input=b"",
                          capture_output=True, env=env, cwd=cwd, timeout=120,
                          preexec_fn=default_sigint)


def sample_table(rows=3000):
    return pa.table({
        "id": pa.array(range(rows), pa.int64()),
        "name": pa.array([f"n{i % 97}" if i % 13 else None for i in range(rows)]),
        "score": pa.array([i / 7 if i % 11 else None for i in range(rows)]),
        "flag": pa.array([i % 3 == 0 for i in range(rows)]),
        "big": pa.array([2**63 + i for i in range(rows)], pa.uint64()),
    })


def write_parquet(path, table):
    pq.write_table(table, path, row_group_size=500)


def write_csv(path, table, delimiter=","):
    pcsv.write_csv(table, path, write_options=pcsv.WriteOptions(delimiter=delimiter))


def write_csv_gz(path, table):
    with pa.CompressedOutputStream(str(path), "gzip") as out:
        pcsv.write_csv(table, out)


def write_arrow_file(path, table):
    with ipc.new_file(path, table.schema) as writer:
        writer.write_table(table, max_chunksize=700)


def write_arrow_stream(path, table):
    with ipc.new_stream(path, table.schema) as writer:
        writer.write_table(table, max_chunksize=700)


def write_feather(path, table):
    feather.write_feather(table, path, chunksize=600)


def read_csv(path, delimiter=","):
    return pcsv.read_csv(path, parse_options=pcsv.ParseOptions(delimiter=delimiter))


# (file name, writer, pyarrow's own reading of the file)
KINDS = [
    ("data.parquet", write_parquet, pq.read_table),
    ("data.csv", write_csv, read_csv),
    ("data.tsv", lambda p, t: write_csv(p, t, "\t"), lambda p: read_csv(p, "\t")),
    ("data.csv.gz", write_csv_gz, read_csv),
    ("data.arrow", write_arrow_file, lambda p: ipc.open_file(p).read_all()),
    ("stream.arrow", write_arrow_stream, lambda p: ipc.open_stream(p).read_all()),
    ("data.feather", write_feather, feather.read_table),
    ("parquet-named.dat", write_parquet, pq.read_table),  # told by its first bytes
    ("arrow-named.bin", write_arrow_file, lambda p: ipc.open_file(p).read_all()),
]


@pytest.mark.parametrize("name,write,read", KINDS, ids=[k[0] for k in KINDS])
def test_each_file_kind_equals_the_python_path(env, tmp_path, name, write, read):
    path = tmp_path / name
    table = sample_table()
    write(path, table)
    done = command(env, "--json", "--seed", SEED, path)
    assert done.returncode == 0, done.stderr.decode()
    assert f"{table.num_rows:,} rows" in done.stderr.decode()
    read_back = read(path)
    arrow_path = Profile(SEED)
    arrow_path.observe_arrow(read_back)
    dict_path = Profile(SEED)
    dict_path.observe_dicts(read_back.to_pylist())
    assert done.stdout.decode() == arrow_path.report() + "\n"
    assert arrow_path.report() == dict_path.report()


def test_columnar_and_json_lines_files_make_one_profile(env, tmp_path):
    table = sample_table(50)
    write_parquet(tmp_path / "a.parquet", table)
    (tmp_path / "b.jsonl").write_text('{"id": -1, "other": "x"}\n')
    done = command(env, "--json", "--seed", SEED, "a.parquet", "b.jsonl", cwd=tmp_path)
    assert done.returncode == 0, done.stderr.decode()
    want = Profile(SEED)
    want.observe_dicts(table.to_pylist() + [{"id": -1, "other": "x"}])
    assert done.stdout.decode() == want.report() + "\n"


def test_a_broken_columnar_file_is_exit_2(env, tmp_path):
    (tmp_path / "broken.parquet").write_bytes(b"PAR1" + bytes(64) + b"PAR1")
    done = command(env, "broken.parquet", cwd=tmp_path)
    assert done.returncode == 2
    assert done.stderr.decode().startswith("karvo-profile: cannot read 'broken.parquet' as parquet: ")
    assert done.stderr.decode().count("\n") == 1
    assert done.stdout == b""


def test_a_csv_whose_types_change_midway_is_exit_2(env, tmp_path):
    lines = ["n"] + [str(i) for i in range(200_000)] + ["not a number"]
    (tmp_path / "mixed.csv").write_text("\n".join(lines) + "\n")
    done = command(env, "--json", "mixed.csv", cwd=tmp_path)
    assert done.returncode == 2
    assert "karvo-profile: cannot read 'mixed.csv' as csv:" in done.stderr.decode()
    assert done.stdout == b""


def test_without_pyarrow_one_line_says_how_to_get_it(env, tmp_path):
    write_parquet(tmp_path / "data.parquet", sample_table(10))
    # A module that stands in for pyarrow and fails to import, as a missing one does.
    blocker = tmp_path / "blocker"
    blocker.mkdir()
    (blocker / "pyarrow.py").write_text("raise ImportError('No module named pyarrow')\n")
    env = {**env, "PYTHONPATH": os.pathsep.join([str(blocker), env["PYTHONPATH"]])}
    done = command(env, "data.parquet", cwd=tmp_path)
    assert done.returncode == 2
    assert done.stderr.decode() == (
        "karvo-profile: reading 'data.parquet' (parquet) needs pyarrow: "
        "pip install 'karvo[arrow]'\n")


def test_json_lines_alone_never_imports_pyarrow(env, tmp_path):
    blocker = tmp_path / "blocker"
    blocker.mkdir()
    (blocker / "pyarrow.py").write_text("raise SystemExit('pyarrow was imported')\n")
    (tmp_path / "a.jsonl").write_text('{"a": 1}\n')
    env = {**env, "PYTHONPATH": os.pathsep.join([str(blocker), env["PYTHONPATH"]])}
    done = command(env, "--json", "a.jsonl", cwd=tmp_path)
    assert done.returncode == 0, done.stderr.decode()
    assert json.loads(done.stdout)["a"]["total_count"] == 1


def test_observe_jsonl_still_refuses_parquet(tmp_path):
    write_parquet(tmp_path / "data.parquet", sample_table(10))
    with pytest.raises(karvo_dist.InputFormatError, match="Parquet file, not JSON Lines"):
        Profile().observe_jsonl(str(tmp_path / "data.parquet"))


# --- decoding a batch ahead ----------------------------------------------------------------

def corrupt_parquet(path, table):
    """A Parquet file whose footer reads but whose third row group's first data page is
    damaged: the failure comes midway, after batches were profiled."""
    pq.write_table(table, path, row_group_size=500, compression="snappy")
    column = pq.ParquetFile(path).metadata.row_group(2).column(1)
    data = bytearray(path.read_bytes())
    start = column.data_page_offset
    data[start:start + column.total_compressed_size] = b"\xa5" * column.total_compressed_size
    path.write_bytes(bytes(data))


def mixed_csv(path, table):
    lines = ["n"] + [str(i) for i in range(200_000)] + ["not a number"]
    path.write_text("\n".join(lines) + "\n")


@pytest.mark.parametrize("name,damage", [("midway.parquet", corrupt_parquet),
                                         ("mixed.csv", mixed_csv)])
def test_a_decoder_failure_midway_is_one_line_and_exit_2(env, tmp_path, name, damage):
    damage(tmp_path / name, sample_table())
    done = command(env, "--json", name, cwd=tmp_path)
    stderr = done.stderr.decode()
    assert done.returncode == 2, stderr
    kind = name.rsplit(".", 1)[1]
    assert stderr.startswith(f"karvo-profile: cannot read '{name}' as {kind}: ")
    assert stderr.count("\n") == 1 and "Traceback" not in stderr
    assert done.stdout == b""


# A child whose decoder gives one batch, then blocks for good inside its source, or
# raises the exception named by its first argument.
ODD_DECODER = r"""
import sys, threading
from karvo_dist import cli

opened = cli.arrow_batches
after_one = sys.argv.pop(1)

def odd(source):
    schema, batches = opened(source)
    def decoded():
        for batch in batches:
            yield batch
            if after_one != "block":
                raise getattr(__builtins__, after_one)()
            sys.stderr.write("decoding\n")
            sys.stderr.flush()
            threading.Event().wait()
    return schema, decoded()

cli.arrow_batches = odd
sys.exit(cli.main(sys.argv[1:]))
"""


def test_a_decoder_out_of_memory_is_told_as_such(env, tmp_path):
    write_parquet(tmp_path / "data.parquet", sample_table())
    done = subprocess.run([sys.executable, "-c", ODD_DECODER, "MemoryError", "-q",
                           "data.parquet"], env=env, cwd=tmp_path, capture_output=True,
                          timeout=120, preexec_fn=default_sigint)
    assert (done.returncode, done.stderr, done.stdout) == (
        2, b"karvo-profile: out of memory\n", b"")


def test_ctrl_c_while_the_decoder_is_stuck_exits_130(env, tmp_path):
    write_parquet(tmp_path / "data.parquet", sample_table())
    child = subprocess.Popen([sys.executable, "-c", ODD_DECODER, "block", "-q", "data.parquet"],
                             env=env, cwd=tmp_path, stdout=subprocess.PIPE,
                             stderr=subprocess.PIPE, preexec_fn=default_sigint)
    try:
        assert child.stderr.readline() == b"decoding\n"
        child.send_signal(signal.SIGINT)
        assert child.wait(timeout=60) == 130
    finally:
        if child.poll() is None:
            child.kill()
            child.wait()
    assert child.stderr.read() == b"karvo-profile: interrupted\n"
    assert child.stdout.read() == b""
