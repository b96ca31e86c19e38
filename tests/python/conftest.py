import json

import pytest

import karvo


# The one row a primed profiler holds before a call that must leave it as it was.
BEFORE = {"kept": 1}


@pytest.fixture
def primed():
    """A profiler holding one row, and its report text as it must stay."""
    p = karvo.Profiler()
    p.observe_dict(BEFORE)
    witness = karvo.Profiler()
    witness.observe_dict(BEFORE)
    return p, witness.flush()


@pytest.fixture
def profiler():
    return karvo.Profiler()


def report(profiler):
    """The profiler's report, parsed; flushes it."""
    return json.loads(profiler.flush())


def profile_of(*values):
    """The report entry of a column "v" that received the values, one row each."""
    p = karvo.Profiler()
    p.observe_dicts([{"v": value} for value in values])
    return report(p)["v"]


def panic_exception_type():
    """native_runtime.PanicException, as Python code meets it: caught from a failed call."""
    p = karvo.Profiler()
    row = {}

    class Grow:
        def __index__(self):
            row["grown"] = 1
            return 1

    row["x"] = Grow()
    try:
        p.observe_dict(row)
    except BaseException as error:  # noqa: B036 - the type under test is a BaseException
        return type(error)
    raise AssertionError("a dictionary that grows while read must end the call")

