"""The objects handed to a call keep their reference counts, whether it succeeds or fails."""

import gc
import sys

import pytest

import karvo


def fresh(text):
    return "".join(list(text))


class Index:
    def __index__(self):
        return 3


class Key(str):
    pass


def objects():
    """Row parts that only this test refers to (no None, no small ints, no interned text)."""
    keys = [fresh("alpha"), fresh("beta"), Key(fresh("gamma")), fresh("delta"), fresh("eps")]
    values = [2**70, 1.25, fresh("text value"), Index(), fresh("\ud800 surrogate")]
    return keys, values


@pytest.mark.parametrize(
    "failing_tail, error",
    [
        (None, None),
        ({(1, 2): 1}, TypeError),
        ({fresh("\udc80"): 1}, UnicodeEncodeError),
    ],
    ids=["success", "bad key", "unencodable key"],
)
def test_reference_counts_unchanged(failing_tail, error):
    p = karvo.Profiler()
    keys, values = objects()
    row = dict(zip(keys, values))
    rows = [row, 7, dict(zip(keys[::-1], values))]
    if failing_tail is not None:
        rows.append(failing_tail)
    watched = [row, rows, *keys, *values]
    gc.collect()
    before = [sys.getrefcount(o) for o in watched]
    for _ in range(50):
        for call in (lambda: p.observe_dicts(rows), lambda: p.observe_dict(row),
                     lambda: p.observe_dict(rows[-1])):
            try:
                call()
            except BaseException as caught:  # noqa: B036
                assert type(caught) is error
        p.flush()
    gc.collect()
    assert [sys.getrefcount(o) for o in watched] == before
