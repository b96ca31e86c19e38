"""Profile.observe_arrow: columnar input through the Arrow C stream interface counts
every value as observe_dicts(table.to_pylist()) counts it, whatever the source (pyarrow,
polars, pandas, DuckDB), the slicing, the chunking or the batch sizes; a failing stream
or an invalid batch adds nothing."""

import datetime
import decimal
import math

import pytest

from karvo_dist import Profile

pa = pytest.importorskip("pyarrow")
np = pytest.importorskip("numpy")

SEED = 11


def through_dicts(table):
    profile = Profile(SEED)
    profile.observe_dicts(table.to_pylist())
    return profile


def through_arrow(source):
    profile = Profile(SEED)
    rows = profile.observe_arrow(source)
    return profile, rows


def assert_same(got, want):
    assert got.report() == want.report()
    assert got.summary_json() == want.summary_json()  # kinds as to_pylist makes them
    assert got.to_bytes() == want.to_bytes()


def columns():
    """One column per Arrow type, five rows each, with nulls."""
    D = decimal.Decimal
    day = datetime.date(2024, 2, 29)
    moment = datetime.datetime(2024, 2, 29, 12, 30, 5, 123456)
    big = 2**63
    return {
        "int8": pa.array([1, None, -128, 127, 0], pa.int8()),
        "int16": pa.array([-32768, 5, None, 32767, 5], pa.int16()),
        "int32": pa.array([2**31 - 1, -(2**31), None, 0, 7], pa.int32()),
        "int64": pa.array([2**63 - 1, -(2**63), 2**53 + 1, None, 2**53], pa.int64()),
        "uint8": pa.array([255, 0, None, 1, 1], pa.uint8()),
        "uint16": pa.array([65535, None, 0, 2, 3], pa.uint16()),
        "uint32": pa.array([2**32 - 1, None, 0, 4, 4], pa.uint32()),
        "uint64": pa.array([big, 2**64 - 1, None, big - 1, big + 1], pa.uint64()),
        "bool": pa.array([True, False, None, True, True]),
        "float16": pa.array(np.array([1.5, -0.0, np.nan, np.inf, 65504], dtype=np.float16)),
        "float32": pa.array([0.1, None, float("nan"), -3.25, float("-inf")], pa.float32()),
        "float64": pa.array([0.1, -0.0, float("nan"), None, 1e308], pa.float64()),
        "decimal32": pa.array([D("1.25"), None, D("-99999.99"), D("0.00"), D("3")], pa.decimal32(7, 2)),
        "decimal64": pa.array([D("123456789012.345678"), None, D("-0.000001"), D("1"), D("2")],
                              pa.decimal64(18, 6)),
        "decimal128": pa.array([D("0.1"), D("-12345678901234567890.123456789012345678"), None,
                                D("99999999999999999999.999999999999999999"), D("1e-18")],
                               pa.decimal128(38, 18)),
        "decimal256": pa.array([D("1" * 70 + ".5"), D("-3.14159"), None, D("0"),
                                D("9007199254740993")], pa.decimal256(76, 5)),
        "decimal_negative_scale": pa.array([D("1E+3"), D("-12E+3"), None, D("0"), D("5E+3")],
                                           pa.decimal128(5, -3)),
        "string": pa.array(["a", None, "", "Ωmega", "a"]),
        "large_string": pa.array(["x", "y", None, "é", "x"], pa.large_string()),
        "string_view": pa.array(["short", None, "a text longer than twelve bytes", "", "short"],
                                pa.string_view()),
        "dictionary": pa.array(["lo", "hi", None, "hi", "lo"]).dictionary_encode(),
        "dictionary_numbers": pa.DictionaryArray.from_arrays(
            pa.array([0, 1, None, 1, 2], pa.int16()), pa.array([2.5, float("nan"), None])),
        "binary": pa.array([b"a", None, b"", b"\xff", b"a"]),
        "large_binary": pa.array([b"a", None, b"b", b"c", b"d"], pa.large_binary()),
        "binary_view": pa.array([b"a", b"a long binary value here", None, b"", b"b"],
                                pa.binary_view()),
        "fixed_size_binary": pa.array([b"ab", b"cd", None, b"ef", b"gh"], pa.binary(2)),
        "date32": pa.array([day, None, day, day, day], pa.date32()),
        "date64": pa.array([day, day, None, day, day], pa.date64()),
        "time32": pa.array([datetime.time(1, 2, 3), None, datetime.time(0), datetime.time(1),
                            datetime.time(2)], pa.time32("s")),
        "time64": pa.array([datetime.time(1, 2, 3, 4), None, datetime.time(0), datetime.time(1),
                            datetime.time(2)], pa.time64("us")),
        "timestamp": pa.array([moment, None, moment, moment, moment], pa.timestamp("us")),
        "timestamp_ns_tz": pa.array([1, None, 2, 3, 4], pa.timestamp("ns", tz="Europe/Oslo")),
        "duration": pa.array([1, None, 2, 3, 4], pa.duration("ms")),
        "interval": pa.array([pa.MonthDayNano([1, 2, 3]), None, pa.MonthDayNano([0, 0, 0]),
                              pa.MonthDayNano([1, 1, 1]), pa.MonthDayNano([2, 2, 2])],
                             pa.month_day_nano_interval()),
        "list": pa.array([[1, 2], None, [], [3], [1, 2]]),
        "large_list": pa.array([["a"], None, [], ["b"], ["a"]], pa.large_list(pa.string())),
        "fixed_size_list": pa.array([[1, 2], None, [3, 4], [5, 6], [1, 2]], pa.list_(pa.int8(), 2)),
        "list_view": pa.array([[1], None, [2, 3], [], [1]], pa.list_view(pa.int32())),
        "struct": pa.array([{"x": 1}, None, {"x": 2}, {"x": None}, {"x": 1}]),
        "map": pa.array([[("k", 1)], None, [], [("j", 2)], [("k", 1)]], pa.map_(pa.string(), pa.int64())),
        "null": pa.nulls(5),
        "run_end_encoded": pa.RunEndEncodedArray.from_arrays(
            pa.array([2, 3, 5], pa.int32()), pa.array([1.5, None, 7.0])),
        "run_end_text": pa.RunEndEncodedArray.from_arrays(
            pa.array([1, 4, 5], pa.int64()), pa.array(["a", "b", None])),
        "sparse_union": pa.UnionArray.from_sparse(
            pa.array([0, 1, 0, 1, 2], pa.int8()),
            [pa.array([1, 2, None, 4, 5]), pa.array(["a", "b", "c", None, "e"]),
             pa.array([b"x"] * 5)]),
        "dense_union": pa.UnionArray.from_dense(
            pa.array([0, 1, 0, 1, 0], pa.int8()), pa.array([0, 0, 1, 1, 1], pa.int32()),
            [pa.array([7.5, None]), pa.array(["p", "q"])]),
    }


def full_table():
    return pa.table(columns())


def one_batch(table):
    return table.combine_chunks().to_batches()[0]


# Each way of giving the same rows: (name, make a source from a table).
SHAPES = [
    ("table", lambda t: t),
    ("sliced", lambda t: t.slice(1, 3)),
    ("sliced to nothing", lambda t: t.slice(2, 0)),
    ("chunked", lambda t: pa.concat_tables([t.slice(0, 2), t.slice(2, 1), t.slice(3)])),
    ("chunked and sliced", lambda t: pa.concat_tables([t.slice(0, 3), t.slice(3)]).slice(1, 3)),
    ("empty", lambda t: pa.Table.from_batches([], schema=t.schema)),
    ("reader of one-row batches",
     lambda t: pa.RecordBatchReader.from_batches(t.schema, t.to_batches(max_chunksize=1))),
    ("reader with empty batches",
     lambda t: pa.RecordBatchReader.from_batches(
         t.schema, [one_batch(t).slice(0, 0)] + t.to_batches(max_chunksize=2)
         + [one_batch(t).slice(5, 0)])),
    ("record batch", lambda t: one_batch(t)),
    ("sliced record batch", lambda t: one_batch(t).slice(2, 2)),
]


def table_of(source):
    """The rows a source holds, as pyarrow reads them."""
    if isinstance(source, pa.RecordBatchReader):
        raise AssertionError("a reader is read once")
    if isinstance(source, pa.RecordBatch):
        return pa.Table.from_batches([source])
    return source


@pytest.mark.parametrize("column", sorted(columns()))
@pytest.mark.parametrize("shape", SHAPES, ids=[name for name, _ in SHAPES])
def test_each_type_counts_as_its_python_values(column, shape):
    name, make = shape
    table = pa.table({column: columns()[column], "n": pa.array(range(5))})
    if name.startswith("reader"):
        want = through_dicts(pa.Table.from_batches(list(make(table))))
    else:
        want = through_dicts(table_of(make(table)))
    got, rows = through_arrow(make(table))
    assert_same(got, want)
    assert rows == want_rows(make(table))


def want_rows(source):
    if isinstance(source, pa.RecordBatchReader):
        return source.read_all().num_rows
    return source.num_rows


def test_every_type_at_once_in_every_shape():
    table = full_table()
    for name, make in SHAPES:
        source = make(table)
        want = through_dicts(pa.Table.from_batches(list(make(table))) if name.startswith("reader")
                             else table_of(source))
        got, _ = through_arrow(source)
        assert_same(got, want)


def test_repeated_names_keep_the_first_place_and_the_last_values():
    table = pa.Table.from_arrays([pa.array([1, 2]), pa.array(["a", "b"]), pa.array([None, 9])],
                                 names=["x", "y", "x"])
    got, _ = through_arrow(table)
    assert_same(got, through_dicts(table))


def test_adds_to_what_the_profile_holds():
    table = full_table()
    got = Profile(SEED)
    got.observe_dicts([{"int8": 5, "extra": "t"}])
    got.observe_arrow(table)
    want = Profile(SEED)
    want.observe_dicts([{"int8": 5, "extra": "t"}] + table.to_pylist())
    assert_same(got, want)


def test_a_large_table_in_many_batches():
    rng = np.random.default_rng(4)
    n = 200_000
    table = pa.table({
        "i": pa.array(rng.integers(-1000, 1000, n)),
        "f": pa.array(rng.normal(size=n)),
        "s": pa.array([f"v{k}" for k in rng.integers(0, 5000, n)]),
        "d": pa.array([f"c{k}" for k in rng.integers(0, 10, n)]).dictionary_encode(),
    })
    reader = pa.RecordBatchReader.from_batches(table.schema, table.to_batches(max_chunksize=7_777))
    got, rows = through_arrow(reader)
    assert rows == n
    assert_same(got, through_dicts(table))


# ---- other producers


def test_polars_frames():
    pl = pytest.importorskip("polars")
    frame = pl.DataFrame({
        "i": [1, None, 3],
        "u": pl.Series([2**64 - 1, 0, None], dtype=pl.UInt64),
        "f": [0.5, float("nan"), None],
        "s": ["a", None, "a longer text than twelve"],
        "b": [True, False, None],
        "c": pl.Series(["x", "y", "x"], dtype=pl.Categorical),
        "e": pl.Series(["p", None, "q"], dtype=pl.Enum(["p", "q"])),
        "dec": pl.Series([decimal.Decimal("1.5"), None, decimal.Decimal("-2.25")],
                         dtype=pl.Decimal(10, 2)),
        "dt": [datetime.datetime(2024, 1, 1), None, datetime.datetime(2024, 1, 2)],
        "l": [[1], None, [2, 3]],
    })
    for source in (frame, frame.slice(1, 2), pl.concat([frame, frame], rechunk=False)):
        got, rows = through_arrow(source)
        assert rows == source.height
        assert_same(got, through_dicts(pa.table(source)))
        # polars' own reading of its values agrees too, where its objects are ours
        plain = Profile(SEED)
        plain.observe_dicts(source.select("i", "u", "s", "b").to_dicts())
        only = Profile(SEED)
        only.observe_arrow(source.select("i", "u", "s", "b"))
        assert_same(only, plain)


def test_pandas_frames():
    pd = pytest.importorskip("pandas")
    frame = pd.DataFrame({
        "i": [1, 2, 3],
        "f": [0.5, float("nan"), None],
        "s": ["a", None, "b"],
        "n": pd.array([1, None, 3], dtype="Int64"),
        "t": pd.to_datetime(["2024-01-01", None, "2024-01-03"]),
        "c": pd.Categorical(["x", "y", "x"]),
    })
    got, rows = through_arrow(frame)
    assert rows == 3
    assert_same(got, through_dicts(pa.table(frame)))


def test_duckdb_relations():
    duckdb = pytest.importorskip("duckdb")
    con = duckdb.connect()
    relation = con.sql(
        "select i, i * 0.5 as f, 'v' || (i % 7) as s, i % 3 = 0 as b, "
        "case when i % 5 = 0 then null else i::decimal(12, 3) / 7 end as d, "
        "date '2024-01-01' + i::int as day "
        "from range(5000) t(i)")
    got, rows = through_arrow(relation)
    assert rows == 5000
    assert_same(got, through_dicts(con.sql(relation.sql_query()).arrow().read_all()
                                   if hasattr(con.sql("select 1").arrow(), "read_all")
                                   else con.sql(relation.sql_query()).arrow()))


# ---- refusals and failures


def test_neither_interface_is_a_type_error():
    profile = Profile(SEED)
    with pytest.raises(TypeError, match="__arrow_c_stream__ or __arrow_c_array__.*'list'"):
        profile.observe_arrow([{"a": 1}])
    assert len(profile) == 0


def test_a_capsule_of_another_name_is_a_type_error():
    class Wrong:
        def __arrow_c_stream__(self, requested_schema=None):
            return pa.array([1]).__arrow_c_array__()[0]  # an 'arrow_schema' capsule

    with pytest.raises(TypeError, match="'arrow_array_stream'"):
        Profile(SEED).observe_arrow(Wrong())


def test_a_non_struct_batch_is_refused():
    profile = Profile(SEED)
    with pytest.raises(ValueError, match="not a struct"):
        profile.observe_arrow(pa.array([1, 2, 3]))
    assert len(profile) == 0


def test_a_stream_that_fails_midway_adds_nothing():
    schema = pa.schema([("a", pa.int64()), ("s", pa.string())])

    def batches():
        yield pa.record_batch([pa.array([1, 2]), pa.array(["x", "y"])], schema=schema)
        yield pa.record_batch([pa.array([3]), pa.array(["z"])], schema=schema)
        raise RuntimeError("the source broke at batch 3")

    profile = Profile(SEED)
    profile.observe_dicts([{"a": 0}])
    before = profile.to_bytes()
    reader = pa.RecordBatchReader.from_batches(schema, batches())
    with pytest.raises(ValueError, match="the source broke at batch 3"):
        profile.observe_arrow(reader)
    assert profile.to_bytes() == before


def test_ctrl_c_inside_a_python_producer_stays_keyboard_interrupt(ctrl_c):
    # The generator runs inside the stream's get_next, where the SIGINT handler raises;
    # the producer hands back only text, yet the call must end as Ctrl-C, adding nothing.
    import os
    import signal

    schema = pa.schema([("a", pa.int64())])

    def batches():
        for i in range(100):
            if i == 3:
                os.kill(os.getpid(), signal.SIGINT)
            yield pa.record_batch([pa.array([i])], schema=schema)

    profile = Profile(SEED)
    with pytest.raises(KeyboardInterrupt):
        profile.observe_arrow(pa.RecordBatchReader.from_batches(schema, batches()))
    assert len(profile) == 0


def test_text_that_is_not_utf8_is_refused():
    data = pa.array([b"ok", b"\xff"]).view(pa.string())
    table = pa.table({"t": data})
    profile = Profile(SEED)
    with pytest.raises(ValueError, match="column 't': item 1 is not valid UTF-8"):
        profile.observe_arrow(table)
    assert len(profile) == 0


def test_every_capsule_is_released(monkeypatch):
    # A reader whose batches come from Python: when the stream is released, pyarrow
    # drops the generator, which runs its finally block.
    schema = pa.schema([("a", pa.int64())])
    closed = []

    def batches(fail):
        try:
            yield pa.record_batch([pa.array([1])], schema=schema)
            if fail:
                raise RuntimeError("broken")
            yield pa.record_batch([pa.array([2])], schema=schema)
        finally:
            closed.append(fail)

    Profile(SEED).observe_arrow(pa.RecordBatchReader.from_batches(schema, batches(False)))
    with pytest.raises(ValueError):
        Profile(SEED).observe_arrow(pa.RecordBatchReader.from_batches(schema, batches(True)))
    import gc
    gc.collect()
    assert sorted(closed) == [False, True]


def test_threads_beside_the_reading():
    import threading

    table = full_table()
    profile = Profile(SEED)
    errors = []

    def work():
        try:
            for _ in range(20):
                profile.observe_arrow(table)
                profile.report()
        except Exception as error:  # pragma: no cover - reported below
            errors.append(error)

    threads = [threading.Thread(target=work) for _ in range(4)]
    for t in threads:
        t.start()
    for t in threads:
        t.join(timeout=120)
    assert not errors and not any(t.is_alive() for t in threads)
    want = Profile(SEED)
    want.observe_dicts(table.to_pylist() * 80)
    assert_same(profile, want)


@pytest.mark.parametrize("example, flags", [("profile_arrow.py", ["--epoch"]),
                                            ("profile_polars.py", [])])
def test_the_columnar_examples_report_the_file_with_datetimes_as_epoch(tmp_path, example,
                                                                       flags):
    import subprocess
    import sys
    from pathlib import Path

    pq = pytest.importorskip("pyarrow.parquet")
    if example == "profile_polars.py":
        pytest.importorskip("polars")
    moments = [datetime.datetime(2024, 1, 1) + datetime.timedelta(hours=h) for h in range(50)]
    table = pa.table({
        "id": pa.array(range(50), pa.int64()),
        "city": pa.array([None if i % 7 == 0 else f"c{i % 5}" for i in range(50)]),
        "when": pa.array(moments, pa.timestamp("us")),
    })
    path = tmp_path / "sales.parquet"
    pq.write_table(table, path, row_group_size=16)  # several batches
    script = Path(__file__).resolve().parents[2] / "examples" / example
    out = subprocess.run([sys.executable, str(script), *flags, str(path)], check=True,
                         capture_output=True, text=True, timeout=120).stdout.splitlines()
    epoch = datetime.datetime(1970, 1, 1)
    rows = [{**row, "when": (row["when"] - epoch) // datetime.timedelta(microseconds=1)}
            for row in table.to_pylist()]
    want = Profile()
    want.observe_dicts(rows)
    assert out == ["50 rows", want.report()]
