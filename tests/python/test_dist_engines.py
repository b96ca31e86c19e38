"""Profiles built piecewise on real engines (Dask, Spark, a process pool) against one process.

Every piece uses the same seed, so a merged profile must equal the profile of all rows
read in one process: counts, bounds and distinct estimates exactly, and the column order
wherever the engine keeps the pieces in order. The engines are test tools installed by
tests/install_engines.sh; without them these tests skip and say so.
"""

import datetime
import decimal
import json
import os
import shutil
import subprocess
import sys
from pathlib import Path

import pytest

import karvo_dist
from profile_checks import assert_same_values
from karvo_dist import Profile

ROOT = Path(__file__).resolve().parents[2]
SEED = 20261210


def one_process(rows, seed=SEED):
    profile = Profile(seed=seed)
    profile.observe_dicts(rows)
    return profile.report()


def varied_rows(n=12_000):
    """Rows whose columns first appear at different depths, so a piecewise profile meets
    new columns in later pieces, where they come first in each row: a merge that took
    a later piece first would list the columns in another order. "id" is unique, so its
    sketch goes dense; the others stay sparse."""
    rows = []
    for i in range(n):
        row = {"id": i, "city": f"city {i % 37}", "price": None if i % 11 == 0 else i * 0.25}
        if i % 5 == 0:
            row["ratio"] = float("nan") if i % 3 == 0 else -i / 7
        if i >= n // 2:
            row = {"late": i % 3 == 0, **row}
        if i >= n - n // 8:
            row = {"tail": [i], **row}
        rows.append(row)
    return rows


@pytest.fixture(scope="module")
def engine_env():
    """Worker processes import karvo and karvo_dist as this process does, even when they
    come from a build directory rather than an installation."""
    import karvo

    paths = {str(Path(karvo.__file__).resolve().parent),
             str(Path(karvo_dist.__file__).resolve().parent.parent)}
    saved = {name: os.environ.get(name) for name in ("PYTHONPATH", "PYSPARK_PYTHON")}
    os.environ["PYTHONPATH"] = os.pathsep.join(sorted(paths) + [saved["PYTHONPATH"] or ""])
    os.environ["PYSPARK_PYTHON"] = sys.executable
    yield
    for name, value in saved.items():
        if value is None:
            os.environ.pop(name, None)
        else:
            os.environ[name] = value


# --------------------------------------------------------------------------
# Dask


@pytest.fixture(scope="module")
def dask_client(engine_env):
    distributed = pytest.importorskip(
        "distributed", reason="Dask's distributed scheduler is not installed "
        "(tests/install_engines.sh installs it)")
    with (distributed.LocalCluster(n_workers=2, threads_per_worker=1, processes=True,
                                   dashboard_address=None) as cluster,
          distributed.Client(cluster) as client):
        yield client


def test_dask_profile_of_json_lines_equals_one_process(dask_client, tmp_path):
    import dask.bag as db

    from karvo_dist.dask import profile_bag

    rows = varied_rows()
    files = []
    for i in range(5):  # consecutive slices, so the later files bring the later columns
        path = tmp_path / f"part{i}.jsonl"
        piece = rows[i * len(rows) // 5:(i + 1) * len(rows) // 5]
        path.write_text("".join(json.dumps(row) + "\n" for row in piece))
        files.append(str(path))
    bag = db.read_text(files).map(json.loads)  # floats and NaN read back as written

    # 5 partitions merged 2 at a time: a tree three levels deep.
    merged = profile_bag(bag, seed=SEED, split_every=2)
    assert merged.report() == one_process(rows)
    assert merged.seed == SEED
    # Dask drops empty partitions before the merge; with every one empty, the result
    # is still a profile, an empty one.
    assert profile_bag(bag.filter(lambda row: row["id"] < 0), seed=SEED).report() == "{}"


def test_dask_files_read_natively_equal_one_process(dask_client, tmp_path):
    """Files read in byte ranges on the worker processes: a large file split at line
    ends, small ones packed, a gzip file whole, bad lines numbered in their file."""
    import gzip

    from karvo_dist.dask import read_files

    rows = varied_rows()
    lines = [json.dumps(row) for row in rows]
    lines[777] = "{not json"
    big = tmp_path / "big.jsonl"
    big.write_text("\ufeff" + "\r\n".join(lines[:8_000]))
    small = []
    for i in range(3):
        path = tmp_path / f"small{i}.jsonl"
        path.write_text("\n".join(lines[8_000 + i * 1_000:9_000 + i * 1_000]) + "\n")
        small.append(str(path))
    packed = tmp_path / "rest.jsonl.gz"
    packed.write_bytes(gzip.compress(("\n".join(lines[11_000:]) + "\n").encode()))
    paths = [str(big)] + small + [str(packed)]

    want = Profile(seed=SEED)
    results = [want.observe_jsonl(path) for path in paths]
    for blocksize in (50_000, "auto", None):
        got = read_files(paths, seed=SEED, blocksize=blocksize, split_every=2)
        assert_same_values(got.profile, want)
        assert got.rows == len(rows) - 1 == sum(result.rows for result in results)
        assert got.bytes == sum(result.bytes for result in results)
        assert got.first_bad == [(str(big), 778, results[0].first_bad[0][1])]

    with pytest.raises(karvo_dist.BadLineError, match=r"big\.jsonl:778: not JSON"):
        read_files(paths, seed=SEED, blocksize=50_000, strict=True)


def mixed_frame(n=6_000):
    """A pandas frame of the column kinds a Dask DataFrame meets: ints, floats with NaN
    and nulls, texts with None, bools, nullable ints, a categorical, timestamps, and an
    object column mixing ints and texts, which Arrow cannot type."""
    import numpy as np
    import pandas as pd

    rng = np.random.default_rng(7)
    price = rng.normal(100, 30, n)
    price[rng.random(n) < 0.05] = np.nan
    return pd.DataFrame({
        "id": np.arange(n, dtype=np.int64) * 7919,
        "price": price,
        "name": [None if i % 13 == 0 else f"name {i % 400}" for i in range(n)],
        "active": rng.random(n) < 0.5,
        "count": pd.array([None if i % 5 == 0 else i % 300 for i in range(n)], dtype="Int64"),
        "kind": pd.Categorical([f"k{i % 6}" for i in range(n)]),
        "when": pd.date_range("2024-01-01", periods=n, freq="min"),
        "mixed": pd.Series([i if i % 2 else f"t{i % 50}" for i in range(n)], dtype=object),
    })


def test_dask_frame_profile_equals_one_process_and_the_bag_path(dask_client):
    pa = pytest.importorskip("pyarrow")  # first: dask.dataframe itself needs it
    import dask.dataframe as dd

    from karvo_dist.dask import profile_bag, profile_frame

    import dask

    with dask.config.set({"dataframe.convert-string": False}):  # "mixed" stays mixed
        frame = dd.from_pandas(mixed_frame(), npartitions=6)
    assert frame.dtypes["mixed"] == object
    # The second partition loses every row: an empty piece amid the others.
    frame = frame[(frame.id < 7919 * 1_000) | (frame.id >= 7919 * 2_000)]
    assert 0 in frame.map_partitions(len).compute().tolist()

    merged = profile_frame(frame, seed=SEED, split_every=2)  # 6 pieces: three levels
    whole = Profile(seed=SEED)
    whole.observe_arrow(pa.Table.from_pandas(frame.drop(columns="mixed").compute(),
                                             preserve_index=False))
    without_mixed = profile_frame(frame.drop(columns="mixed"), seed=SEED, split_every=2)
    assert_same_values(without_mixed, whole)

    # The same rows as dicts, through the bag: the mixed column included, which Arrow
    # cannot type and which is read from the partition's rows instead.
    rows = profile_bag(frame.to_bag(format="dict"), seed=SEED)
    assert_same_values(merged, rows)
    assert list(json.loads(merged.report())) == list(frame.columns)

    nothing = profile_frame(frame[frame.id < 0], seed=SEED)
    assert nothing.report() == "{}"


@pytest.mark.filterwarnings("ignore:DataFrame columns are not unique")
def test_a_partition_arrow_cannot_type_counts_as_its_row_dicts():
    pytest.importorskip("pyarrow")
    pd = pytest.importorskip("pandas")
    from karvo_dist.dask import profile_partition

    frame = mixed_frame(500)
    frame["huge"] = pd.Series([2**70 + i for i in range(len(frame))], dtype=object)
    repeated = pd.concat([frame[["id", "name"]], frame[["price"]].set_axis(["name"], axis=1)],
                         axis=1)  # "name" twice: a row dict keeps the second
    pieces = (frame, frame.drop(columns="mixed"), frame.drop(columns="huge"),
              frame.drop(columns=["mixed", "huge"]), frame["name"], repeated)
    for piece in pieces:
        rows = piece.to_frame() if isinstance(piece, pd.Series) else piece
        want = Profile(seed=SEED)
        want.observe_dicts(rows.to_dict(orient="records"))
        got = Profile.from_bytes(profile_partition(piece, SEED), SEED)
        # Counts, bounds and sketches alike. The summaries' types may differ: pandas marks
        # a missing float as NaN, which its row dicts give as a float and Arrow as a null.
        assert got.to_bytes(version=1) == want.to_bytes(version=1)


@pytest.mark.parametrize("split_every", [1, 0, True, 2.0])
def test_dask_frame_split_every_below_two_is_refused(split_every):
    pytest.importorskip("dask.dataframe")
    from karvo_dist.dask import profile_frame

    with pytest.raises(ValueError, match="split_every"):
        profile_frame(object(), split_every=split_every)


# --------------------------------------------------------------------------
# Spark


@pytest.fixture(scope="module")
def spark(engine_env):
    pytest.importorskip("pyspark", reason="PySpark is not installed "
                        "(tests/install_engines.sh installs it)")
    if not (shutil.which("java") or os.environ.get("JAVA_HOME")):
        pytest.skip("Spark needs a Java runtime (tests/install_engines.sh installs one)")
    from pyspark.sql import SparkSession

    session = (SparkSession.builder.master("local[2]").appName("karvo-dist-test")
               .config("spark.ui.enabled", "false")
               .config("spark.sql.session.timeZone", "UTC")
               .getOrCreate())
    yield session
    session.stop()


def test_spark_dataframe_profile_equals_one_process(spark):
    from pyspark.sql import types as T

    from karvo_dist.spark import profile

    schema = T.StructType([
        T.StructField("id", T.LongType()),
        T.StructField("name", T.StringType()),
        T.StructField("price", T.DoubleType()),
        T.StructField("amount", T.DecimalType(10, 2)),
        T.StructField("active", T.BooleanType()),
        T.StructField("day", T.DateType()),
        T.StructField("tags", T.ArrayType(T.StringType())),
    ])
    start = datetime.date(2024, 1, 1)
    rows = [{
        "id": i,
        "name": None if i % 13 == 0 else f"name {i % 400}",
        "price": float("nan") if i % 17 == 0 else i / 8,
        "amount": decimal.Decimal(i % 1000) / 4,
        "active": i % 3 == 0,
        "day": start + datetime.timedelta(days=i % 90),
        "tags": ["a"] if i % 2 else None,
    } for i in range(3_000)]
    df = spark.createDataFrame(spark.sparkContext.parallelize(rows, 4), schema)

    report = profile(df, seed=SEED).report()
    # Every row carries every field, so any merge order gives the schema's order.
    assert report == one_process(rows)
    columns = json.loads(report)
    assert columns["amount"]["max_val"] == 249.75  # decimals are numbers
    assert columns["day"]["null_count"] == len(rows)  # dates are not


def test_spark_rdd_of_dicts_profile_equals_one_process(spark):
    from karvo_dist.spark import profile

    rows = varied_rows()
    # 8 partitions at depth 2 go through a shuffle, which fixes no order of the pieces:
    # the columns must all be there with the same figures, in some order.
    merged = profile(spark.sparkContext.parallelize(rows, 8), seed=SEED)
    expected = json.loads(one_process(rows))
    assert json.loads(merged.report()) == expected
    assert sorted(merged.columns) == sorted(expected)


def spark_frame_of_every_kind(spark):
    """A DataFrame of ints, doubles, texts, bools and nulls, and of the types that Arrow
    and Spark's Rows hand out differently (decimals, float, dates, timestamps, intervals,
    binary, nested values), text that is not UTF-8 and a name that occurs twice."""
    return spark.range(0, 3_000, numPartitions=4).selectExpr(
        "id", "cast(id % 100 as int) as small", "cast(id % 7 as tinyint) as tiny",
        "if(id % 11 = 0, null, id / 8.0d) as price", "cast(id / 3.0 as float) as ratio",
        "if(id % 17 = 0, double('NaN'), id * 1.5d) as score",
        "if(id % 13 = 0, null, concat('name ', id % 400)) as name",
        "id % 3 = 0 as active", "cast(id % 1000 as decimal(10,2)) / 4 as amount",
        "cast(id as decimal(38,18)) * 1.1 as wide",
        "date_add(date'2024-01-01', cast(id % 90 as int)) as day",
        "timestamp_seconds(id) as moment", "cast(timestamp_seconds(id) as timestamp_ntz) as local",
        "make_dt_interval(0, 0, 0, id) as span", "if(id % 2 = 0, array('a'), null) as tags",
        "map('k', id) as pairs", "named_struct('x', id) as nested",
        "cast(null as string) as nothing", "unhex(hex(id)) as raw",
        "cast(if(id % 5 = 0, X'61FF62E282', X'6869') as string) as broken",
        "id % 4 as small")  # the last "small" is the one a Row's asDict() keeps


def test_spark_arrow_path_equals_the_row_path(spark):
    from karvo_dist.spark import profile

    df = spark_frame_of_every_kind(spark)
    through_rows = profile(df, seed=SEED, arrow=False)
    through_arrow = profile(df, seed=SEED, arrow=True)
    assert through_arrow.report() == through_rows.report()
    assert through_arrow.to_bytes() == through_rows.to_bytes()
    assert profile(df, seed=SEED) == through_arrow  # Arrow is chosen when it can be
    columns = json.loads(through_arrow.report())
    assert columns["small"]["max_val"] == 3.0  # the name's last value, in its first place
    assert list(columns)[:3] == ["id", "small", "tiny"]
    assert columns["broken"]["estimated_cardinality"] == 2  # "hi" and "a\ufffdb\ufffd"
    assert columns["amount"]["max_val"] == 249.75
    for name in ("day", "moment", "local", "span", "tags", "pairs", "nested", "raw"):
        assert columns[name]["null_count"] == 3_000


def test_spark_without_arrow_takes_the_row_path(spark, monkeypatch):
    from karvo_dist.spark import profile

    df = spark_frame_of_every_kind(spark)
    expected = profile(df, seed=SEED, arrow=False)
    monkeypatch.setitem(sys.modules, "pyarrow", None)  # import pyarrow fails
    assert profile(df, seed=SEED) == expected
    with pytest.raises(RuntimeError, match="cannot read this DataFrame through Arrow"):
        profile(df, seed=SEED, arrow=True)
    with pytest.raises(RuntimeError, match="reads DataFrames, not RDDs"):
        profile(spark.sparkContext.parallelize([{"a": 1}], 1), arrow=True)


def python_without(module, spark, tmp_path):
    """Makes Spark's workers run an interpreter that cannot import `module` (a shadow
    package that raises as a missing one would); yields its path and restores the
    context's own interpreter after the test."""
    shadow = tmp_path / "shadow" / module
    shadow.mkdir(parents=True)
    (shadow / "__init__.py").write_text(
        f"raise ModuleNotFoundError(\"No module named '{module}'\", name='{module}')\n")
    wrapper = tmp_path / f"python-without-{module}"
    wrapper.write_text(f'#!/bin/sh\nPYTHONPATH="{shadow.parent}:$PYTHONPATH" '
                       f'exec "{sys.executable}" "$@"\n')
    wrapper.chmod(0o755)
    context = spark.sparkContext
    saved = context.pythonExec
    context.pythonExec = str(wrapper)
    yield str(wrapper)
    context.pythonExec = saved


@pytest.fixture
def python_without_pyarrow(spark, tmp_path):
    """Workers that have karvo_dist but cannot import pyarrow."""
    yield from python_without("pyarrow", spark, tmp_path)


def test_spark_workers_without_pyarrow_take_the_row_path(spark, python_without_pyarrow,
                                                         monkeypatch):
    monkeypatch.setenv("PYSPARK_PYTHON", python_without_pyarrow)
    from karvo_dist.spark import profile

    df = spark.range(0, 500, numPartitions=2).selectExpr("id", "id % 3 = 0 as flag")
    rows = [{"id": i, "flag": i % 3 == 0} for i in range(500)]
    assert profile(df, seed=SEED).report() == one_process(rows)
    with pytest.raises(Exception, match="No module named 'pyarrow'"):
        profile(df, seed=SEED, arrow=True)


@pytest.fixture
def python_without_karvo_dist(spark, tmp_path):
    """An interpreter for Spark's workers that has PySpark but cannot import karvo_dist,
    as a system `python3` beside a virtual environment."""
    yield from python_without("karvo_dist", spark, tmp_path)


def test_a_local_master_without_pyspark_python_runs_on_this_interpreter(
        spark, python_without_karvo_dist, monkeypatch):
    context = spark.sparkContext
    # The interpreter the context would run cannot import karvo_dist ...
    with pytest.raises(Exception, match="No module named 'karvo_dist'"):
        context.parallelize([0], 1).map(lambda _: __import__("karvo_dist")).collect()
    # ... but with PYSPARK_PYTHON unset, the profile's own job runs on this one.
    monkeypatch.delenv("PYSPARK_PYTHON", raising=False)
    from karvo_dist.spark import profile

    rows = varied_rows(3_000)
    merged = profile(context.parallelize(rows, 3), seed=SEED)
    assert json.loads(merged.report()) == json.loads(one_process(rows))
    assert context.pythonExec == python_without_karvo_dist  # and no later job's


def test_workers_that_cannot_import_karvo_dist_fail_with_what_to_set(
        spark, python_without_karvo_dist, monkeypatch):
    monkeypatch.setenv("PYSPARK_PYTHON", python_without_karvo_dist)  # the user's choice
    from karvo_dist.spark import profile

    with pytest.raises(RuntimeError) as info:
        profile(spark.sparkContext.parallelize([{"a": 1}], 1))
    message = str(info.value)
    assert "cannot import karvo_dist" in message
    assert f"PYSPARK_PYTHON={sys.executable}" in message
    assert python_without_karvo_dist in message


# --------------------------------------------------------------------------
# multiprocessing


def test_multiprocessing_example_equals_one_process(engine_env):
    sample = ROOT / "examples" / "sample.jsonl"
    result = subprocess.run(
        [sys.executable, str(ROOT / "examples" / "multiprocessing_profile.py"), str(sample),
         "--processes", "2", "--pieces", "7", "--compact"],
        capture_output=True, text=True, check=True, timeout=120)
    rows = [json.loads(line) for line in sample.read_text(encoding="utf-8").splitlines()]
    assert result.stdout.strip() == one_process(rows, seed=0)
