"""The report text: whole JSON texts for small profiles, escaping, counts and estimates."""

import json
import random

import pytest

import karvo


def one_column_report(name, column):
    return "{" + json.dumps(name) + ":" + column + "}"


def test_empty_profiles_report_empty_object(profiler):
    assert profiler.flush() == "{}"
    profiler.observe_dicts([])
    profiler.observe_dicts([1, "x", None])
    profiler.observe_dict({})
    assert profiler.flush() == "{}"


@pytest.mark.parametrize(
    "rows, text",
    [
        ([{"a": 1}], '{"a":{"total_count":1,"null_count":0,"min_val":1.0,"max_val":1.0,'
                     '"estimated_cardinality":1}}'),
        ([{"a": 1}, {"a": None}, {"a": 2.5}, {"a": 1.0}],
         '{"a":{"total_count":4,"null_count":1,"min_val":1.0,"max_val":2.5,'
         '"estimated_cardinality":2}}'),
        ([{"t": "x"}, {"t": "y"}, {"t": "x"}, {"t": b"x"}],
         '{"t":{"total_count":4,"null_count":1,"min_val":null,"max_val":null,'
         '"estimated_cardinality":2}}'),
        ([{"n": None}, {"n": float("nan")}],
         '{"n":{"total_count":2,"null_count":2,"min_val":null,"max_val":null,'
         '"estimated_cardinality":0}}'),
        ([{"z": -0.0}, {"z": 0.0}],
         '{"z":{"total_count":2,"null_count":0,"min_val":-0.0,"max_val":-0.0,'
         '"estimated_cardinality":2}}'),
        ([{"i": float("inf")}],
         '{"i":{"total_count":1,"null_count":0,"min_val":null,"max_val":null,'
         '"estimated_cardinality":1}}'),
        ([{"big": 2**63}, {"big": 10**16}, {"big": 1e-6}],
         '{"big":{"total_count":3,"null_count":0,"min_val":1e-6,"max_val":9.223372036854776e+18,'
         '"estimated_cardinality":3}}'),
        ([{"": 0}], '{"":{"total_count":1,"null_count":0,"min_val":0.0,"max_val":0.0,'
                    '"estimated_cardinality":1}}'),
    ],
)
def test_whole_report_text(profiler, rows, text):
    profiler.observe_dicts(rows)
    assert profiler.flush() == text
    assert profiler.flush() == "{}"


def test_two_columns_in_any_order(profiler):
    profiler.observe_dicts([{"price": 1.0, "city": "Oslo"}, {"price": None, "city": "Lima"},
                            {"price": 2.5}])
    assert json.loads(profiler.flush()) == {
        "price": {"total_count": 3, "null_count": 1, "min_val": 1.0, "max_val": 2.5,
                  "estimated_cardinality": 2},
        "city": {"total_count": 2, "null_count": 0, "min_val": None, "max_val": None,
                 "estimated_cardinality": 2},
    }


@pytest.mark.parametrize(
    "name, written",
    [
        ('a"b', '"a\\"b"'),
        ("back\\slash", '"back\\\\slash"'),
        ("tab\there", '"tab\\there"'),
        ("\n\r\b\f", '"\\n\\r\\b\\f"'),
        ("\x00\x0b\x1f", '"\\u0000\\u000b\\u001f"'),
        ("slash/and\x7f", '"slash/and\x7f"'),
        ("Zürich ✓", '"Zürich ✓"'),
    ],
)
def test_column_names_are_escaped(profiler, name, written):
    profiler.observe_dict({name: None})
    text = profiler.flush()
    assert text == "{" + written + ':{"total_count":1,"null_count":1,"min_val":null,' \
                                   '"max_val":null,"estimated_cardinality":0}}'
    assert list(json.loads(text)) == [name]


def test_str_subclass_keys_of_equal_text_are_one_column(profiler):
    class Key(str):
        def __hash__(self):
            return 12345

        def __eq__(self, other):
            return self is other

    row = {"a": 1, Key("a"): 2, Key("a"): 3, "b": 4}
    assert len(row) == 4
    profiler.observe_dict(row)
    report = json.loads(profiler.flush())
    # one cell per column per row, the last value winning
    assert report["a"] == {"total_count": 1, "null_count": 0, "min_val": 3.0, "max_val": 3.0,
                           "estimated_cardinality": 1}
    assert report["b"]["total_count"] == 1


def test_subclasses_are_read_through_their_stored_contents(profiler):
    class Row(dict):
        def items(self):
            raise AssertionError("not called")

        def keys(self):
            raise AssertionError("not called")

        def __iter__(self):
            raise AssertionError("not called")

        def __getitem__(self, key):
            raise AssertionError("not called")

        def __len__(self):
            return 0

    class Rows(list):
        def __iter__(self):
            raise AssertionError("not called")

        def __getitem__(self, index):
            raise AssertionError("not called")

        def __len__(self):
            return 0

    profiler.observe_dicts(Rows([Row(a=1), 5, Row(a=2, b="x")]))
    profiler.observe_dict(Row(a=3))
    report = json.loads(profiler.flush())
    assert report["a"]["total_count"] == 3
    assert report["a"]["max_val"] == 3.0
    assert report["b"]["total_count"] == 1


def test_counts_accumulate_across_calls_until_flush(profiler):
    for i in range(10):
        profiler.observe_dict({"a": i % 4, "b": None if i % 2 else "x"})
    profiler.observe_dicts([{"a": 100}] * 5)
    report = json.loads(profiler.flush())
    assert report["a"] == {"total_count": 15, "null_count": 0, "min_val": 0.0, "max_val": 100.0,
                           "estimated_cardinality": 5}
    assert report["b"]["total_count"] == 10 and report["b"]["null_count"] == 5


@pytest.mark.parametrize("n", [1, 2, 10, 100, 1000])
@pytest.mark.parametrize("kind", ["int", "float", "str"])
def test_small_distinct_counts_are_exact(profiler, n, kind):
    make = {"int": int, "float": lambda i: i + 0.5, "str": lambda i: f"text-{i:06d}"}[kind]
    rows = [{"v": make(i % n)} for i in range(3 * n)]
    profiler.observe_dicts(rows)
    # Below a few thousand values the sketch keeps every hash position, so the count is
    # exact unless two values share a 25-bit position (about 1.5% of runs at n = 1000, and
    # then the count is one short).
    estimate = json.loads(profiler.flush())["v"]["estimated_cardinality"]
    assert n - (n >= 100) <= estimate <= n


@pytest.mark.scale
def test_estimate_within_three_percent_at_100000(profiler):
    n = 100_000
    rng = random.Random(7)
    values = rng.sample(range(10**12), n)
    for start in range(0, n, 10_000):
        profiler.observe_dicts([{"i": v, "s": str(v)} for v in values[start:start + 10_000]])
    report = json.loads(profiler.flush())
    for column in ("i", "s"):
        assert report[column]["total_count"] == n
        assert abs(report[column]["estimated_cardinality"] - n) <= 0.03 * n


def test_many_columns(profiler):
    profiler.observe_dicts([{f"c{j}": j for j in range(i % 300)} for i in range(600)])
    report = json.loads(profiler.flush())
    assert len(report) == 299
    assert report["c0"]["total_count"] == 598


def _bounds(text):
    return {name: (c["total_count"], c["min_val"], c["max_val"]) for name, c in json.loads(text).items()}


@pytest.mark.parametrize("parse", ["one document", "one per row"])
def test_rows_with_varying_key_order_and_key_objects(profiler, parse):
    rng = random.Random(3)
    names = [f"k{i}" for i in range(12)]
    rows = []
    for r in range(400):
        chosen = rng.sample(names, rng.randrange(1, 12))  # varying order and subsets
        rows.append({name: r * 100 + names.index(name) for name in chosen})
    text_rows = [json.dumps(row) for row in rows]
    if parse == "one document":  # rows share their key objects
        parsed = json.loads("[" + ",".join(text_rows) + "]")
    else:  # every row brings key objects of its own
        parsed = [json.loads(t) for t in text_rows]
    profiler.observe_dicts(parsed)
    expected = {}
    for row in rows:
        for name, value in row.items():
            count, low, high = expected.get(name, (0, float(value), float(value)))
            expected[name] = (count + 1, min(low, value), max(high, value))
    assert _bounds(profiler.flush()) == expected


def test_key_objects_of_one_text_in_one_call(profiler):
    class Key(str):
        pass

    a1, a2 = "".join(["a", "x"]), "".join(["a", "x"])
    assert a1 is not a2
    profiler.observe_dicts([{a1: 1, "b": 1}, {a2: 2, "b": 2}, {Key("ax"): 3}, {"b": 4, a1: 5}])
    assert _bounds(profiler.flush()) == {"ax": (4, 1.0, 5.0), "b": (3, 1.0, 4.0)}
