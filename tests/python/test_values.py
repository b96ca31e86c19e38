"""The value rules: what each kind of Python value becomes in the profile.

A column's report tells the typed value apart: Null moves null_count; Int and Float set
the bounds (non-finite bounds print as null) and count as distinct values; Str counts as
a distinct value without bounds.
"""

import math

import pytest

import karvo
from conftest import profile_of, report
from value_hooks import Index, Real


def null():
    return {"total_count": 1, "null_count": 1, "min_val": None, "max_val": None,
            "estimated_cardinality": 0}


def number(x):
    bound = x if math.isfinite(x) else None
    return {"total_count": 1, "null_count": 0, "min_val": bound, "max_val": bound,
            "estimated_cardinality": 1}


def text():
    return {"total_count": 1, "null_count": 0, "min_val": None, "max_val": None,
            "estimated_cardinality": 1}


class Raises:
    def __init__(self, error, hooks=("__index__",)):
        for hook in hooks:
            setattr(self, "_" + hook, True)
        self.error = error

    def __index__(self):
        if getattr(self, "___index__", False):
            raise self.error
        return 1

    def __float__(self):
        if getattr(self, "___float__", False):
            raise self.error
        return 2.5


class IntSub(int):
    def __index__(self):
        return 99


class FloatSub(float):
    def __float__(self):
        return 99.0


class StrSub(str):
    def __str__(self):
        return "other"


class StrWithIndex(str):
    def __index__(self):
        return 7


class BytesSub(bytes):
    pass


CASES = [
    ("None", None, null()),
    ("True", True, number(1.0)),
    ("False", False, number(0.0)),
    ("minus one", -1, number(-1.0)),
    ("int64 max", 2**63 - 1, number(9223372036854775807.0)),
    ("int64 min", -(2**63), number(-9223372036854775808.0)),
    ("2**63", 2**63, number(9223372036854775808.0)),
    ("-2**63-1", -(2**63) - 1, number(-9223372036854775808.0)),
    ("2**70", 2**70, number(float(2**70))),
    ("2**1023 fits a double", 2**1023, number(float(2**1023))),
    ("2**1100", 2**1100, null()),
    ("-2**1100", -(2**1100), null()),
    ("float", 1.5, number(1.5)),
    ("nan", float("nan"), null()),
    ("negative nan", -float("nan"), null()),
    ("inf", float("inf"), number(math.inf)),
    ("-inf", float("-inf"), number(-math.inf)),
    ("str never parsed", "12", text()),
    ("str float text", "3.5", text()),
    ("empty str", "", text()),
    ("lone surrogate value", "\ud800", null()),
    ("bytes", b"x", null()),
    ("bytes subclass", BytesSub(b"1"), null()),
    ("bytearray", bytearray(b"1"), null()),
    ("list", [1], null()),
    ("tuple", (1,), null()),
    ("dict", {"a": 1}, null()),
    ("set", {1}, null()),
    ("object", object(), null()),
    ("complex", 1j, null()),
    ("__index__", Index(7), number(7.0)),
    ("__index__ beyond int64", Index(2**64), number(float(2**64))),
    ("__float__", Real(2.5), number(2.5)),
    ("__float__ nan", Real(float("nan")), null()),
    ("__float__ not a float", Real("x"), null()),
    ("__index__ raises ValueError", Raises(ValueError("no")), number(2.5)),
    ("both hooks raise", Raises(ValueError("no"), ("__index__", "__float__")), null()),
    ("hooks raise MemoryError", Raises(MemoryError, ("__index__", "__float__")), null()),
    ("int subclass reads its value", IntSub(5), number(5.0)),
    ("float subclass reads its value", FloatSub(0.25), number(0.25)),
    ("str subclass is text", StrSub("abc"), text()),
    ("str subclass with __index__ is an integer", StrWithIndex("abc"), number(7.0)),
]


@pytest.mark.parametrize("value, expected", [c[1:] for c in CASES], ids=[c[0] for c in CASES])
def test_value_rule(value, expected):
    assert profile_of(value) == expected


# The values the reader converts by type alone, some inline in the row walk (float, None,
# int within 64 bits), the rest out of line; beyond 64 bits an int takes a path of its own.
EXACT_TYPES = (type(None), bool, int, float, str, bytes, bytearray, list, tuple, dict, set)
EXACT_CASES = [c for c in CASES if type(c[1]) in EXACT_TYPES]


@pytest.mark.parametrize("lead", [{}, {"hook": Index(1)}], ids=["exact walk", "checked walk"])
@pytest.mark.parametrize("rows", [1, 5000], ids=["one row", "rows enough for a worker"])
def test_exact_values_read_alike_side_by_side(lead, rows):
    # Every exact value in one row, each in a column of its own, read as the value alone
    # is; behind a hook value the rest of the row goes through the checked walk.
    row = dict(lead, **{name: value for name, value, _ in EXACT_CASES})
    p = karvo.Profiler()
    p.observe_dicts([row] * rows)
    got = report(p)
    for name, _, expected in EXACT_CASES:
        want = dict(expected, total_count=rows, null_count=expected["null_count"] * rows)
        assert got[name] == want, name


def test_negative_zero_is_kept():
    column = profile_of(-0.0)
    assert math.copysign(1.0, column["min_val"]) == -1.0
    assert math.copysign(1.0, column["max_val"]) == -1.0


def test_int_and_equal_float_are_one_distinct_value():
    assert profile_of(1, 1.0, True)["estimated_cardinality"] == 1
    assert profile_of(0.0, -0.0)["estimated_cardinality"] == 2


def test_int64_edge_keeps_its_exact_value():
    # 2**53 + 1 as Int reaches the engine exactly: its bounds round to 2**53, but it counts
    # as a value of its own.
    column = profile_of(2**53 + 1, 2**53)
    assert column["min_val"] == column["max_val"] == 2.0**53
    assert column["estimated_cardinality"] == 2


@pytest.mark.parametrize(
    "values, distinct",
    [
        (["abc", StrSub("abc")], 1),  # a str subclass is read through its stored text
        (["other", StrSub("abc")], 2),  # ... not through __str__
        (["12", 12], 2),  # text is never a number
        (["x", "\ud800"], 1),  # the surrogate value is null, not text
    ],
)
def test_text_identity(values, distinct):
    assert profile_of(*values)["estimated_cardinality"] == distinct


def test_hooks_may_run_more_than_once_and_the_call_succeeds():
    calls = []

    class Big:
        def __index__(self):
            calls.append("index")
            return 2**80

    assert profile_of(Big()) == number(float(2**80))
    assert calls == ["index", "index"]  # once as an integer, once inside the real attempt
