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


@pytest.fixture
def python_without_karvo_dist(spark, tmp_path):
    """An interpreter for Spark's workers that has PySpark but cannot import karvo_dist,
    as a system `python3` beside a virtual environment; the context's own interpreter
    is restored after the test."""
    shadow = tmp_path / "shadow" / "karvo_dist"
    shadow.mkdir(parents=True)
    (shadow / "__init__.py").write_text(
        "raise ModuleNotFoundError(\"No module named 'karvo_dist'\", name='karvo_dist')\n")
    wrapper = tmp_path / "python-without-karvo-dist"
    wrapper.write_text(f'#!/bin/sh\nPYTHONPATH="{shadow.parent}:$PYTHONPATH" '
                       f'exec "{sys.executable}" "$@"\n')
    wrapper.chmod(0o755)
    context = spark.sparkContext
    saved = context.pythonExec
    context.pythonExec = str(wrapper)
    yield str(wrapper)
    context.pythonExec = saved


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
