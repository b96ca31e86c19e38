"""Column names built to collide under an unseeded hash must still be kept apart.

FxHash and libstdc++'s std::hash have no secret, so anyone who feeds rows can choose names
that share a hash, or a shard and a bucket. These checks only care that the columns stay
distinct and exact; how the time grows with the number of crafted names is measured in
bench/hostile_names.py.
"""

import json

import pytest

import karvo
from crafted_names import bucket_count_for, bucket_sharing_names, std_hash, std_hash_names
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


_FAMILIES = {
    "one FxHash": lambda n: colliding_names(n, seed=11),
    "one shard and one FxHash bucket": lambda n: bucket_sharing_names(n, seed=11),
    "one std::hash": lambda n: std_hash_names(n, seed=11),
}


def test_crafted_families_collide_as_claimed():
    n = 3000
    fx_equal, bucketed, std_equal = (make(n) for make in _FAMILIES.values())
    assert len({fx_hash(s.encode()) for s in fx_equal}) == 1
    fx_values = [fx_hash(s.encode()) for s in bucketed]
    assert len(set(fx_values)) == n
    assert len({v % bucket_count_for(n) for v in fx_values}) == 1
    assert max(fx_values) < 1 << 50  # one shard of any map of up to 128 shards
    assert len({std_hash(s.encode()) for s in std_equal}) == 1
    assert all(len(set(family)) == n for family in (fx_equal, bucketed, std_equal))


@pytest.mark.parametrize("family", list(_FAMILIES))
@pytest.mark.parametrize("shape", ["one row", "one row per name", "one call per name"])
def test_crafted_names_are_exact_columns(family, shape):
    names = _FAMILIES[family](3000)
    p = karvo.Profiler()
    for repeat in range(2):  # the second pass finds the columns the first made
        if shape == "one row":
            p.observe_dict({name: i * (repeat + 1) for i, name in enumerate(names)})
        elif shape == "one row per name":
            p.observe_dicts([{name: i * (repeat + 1)} for i, name in enumerate(names)])
        else:
            for i, name in enumerate(names):
                p.observe_dict({name: i * (repeat + 1)})
    report = json.loads(p.flush())
    assert len(report) == len(names)
    for i, name in enumerate(names):
        col = report[name]
        assert (col["total_count"], col["min_val"], col["max_val"]) == (2, float(i), 2.0 * i)
        assert col["estimated_cardinality"] == (1 if i == 0 else 2)


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
