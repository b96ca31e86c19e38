"""Column names built to share one FxHash value must still be kept apart.

Names are hashed without a seed, so anyone who feeds rows can choose names that collide.
These checks only care that the columns stay distinct and exact; how the time grows with
the number of colliding names is measured in bench/hostile_names.py.
"""

import json

import pytest

import karvo
from fx_collide import COLLIDING_HASH, colliding_names, fx_hash

N = 5000


@pytest.fixture(scope="module")
def names():
    names = colliding_names(N, seed=5)
    # The empty name also hashes to the shared value (its state before the closing step is
    # 0, like the names'), so it belongs in the same chain.
    assert fx_hash(b"") == COLLIDING_HASH
    return names + [""]


def _assert_each_once(report, names):
    assert len(report) == len(names)
    for name in names:
        col = report[name]
        assert (col["total_count"], col["null_count"]) == (1, 0)
        assert col["estimated_cardinality"] == 1


@pytest.mark.parametrize("shape", ["one row", "one row per name", "one call per name"])
def test_colliding_names_stay_distinct_columns(names, shape):
    p = karvo.Profiler()
    if shape == "one row":
        p.observe_dict({name: i for i, name in enumerate(names)})
    elif shape == "one row per name":
        p.observe_dicts([{name: i} for i, name in enumerate(names)])
    else:
        for i, name in enumerate(names):
            p.observe_dict({name: i})
    report = json.loads(p.flush())
    _assert_each_once(report, names)
    assert report[names[0]]["min_val"] == 0.0
    assert report[names[-1]]["max_val"] == float(len(names) - 1)


def test_colliding_names_repeated_count_into_their_own_columns(names):
    subset = names[:500]
    p = karvo.Profiler()
    for _ in range(3):
        p.observe_dicts([{name: None} for name in subset])
    report = json.loads(p.flush())
    assert len(report) == len(subset)
    assert all(report[n]["total_count"] == 3 and report[n]["null_count"] == 3 for n in subset)


class _DistinctKey(str):
    """A str whose instances are never equal, so one dict holds many keys of one text."""

    def __hash__(self):
        return id(self)

    def __eq__(self, other):
        return self is other


def test_many_equal_subclass_keys_in_rows_keep_the_last_value_per_column():
    # Each row holds every text three times (values i, i + 1000, i + 2000 in that order)
    # plus plain-str names; only the last entry of each text counts, in every row.
    texts = [f"k{i}" for i in range(1000)]
    rows = []
    for r in range(3):
        row = {f"plain{r}": r}
        for shift in (0, 1000, 2000):
            row.update({_DistinctKey(t): i + shift + r for i, t in enumerate(texts)})
        rows.append(row)
    p = karvo.Profiler()
    p.observe_dicts(rows)
    report = json.loads(p.flush())
    assert len(report) == len(texts) + 3
    for i, t in enumerate(texts):
        col = report[t]
        assert (col["total_count"], col["null_count"]) == (3, 0)
        assert (col["min_val"], col["max_val"]) == (i + 2000.0, i + 2002.0)
    assert all(report[f"plain{r}"]["total_count"] == 1 for r in range(3))
