"""Python code run by a conversion hook may call back into the same profiler or change the
list being walked; the outer call goes on safely."""

import json

import karvo
from value_hooks import Acting


def columns(p):
    return {name: c["total_count"] for name, c in json.loads(p.flush()).items()}


def test_hook_flushes_the_same_profiler():
    p = karvo.Profiler()
    p.observe_dict({"before": 1})
    inner = []
    p.observe_dicts([{"a": 1}, {"b": Acting(lambda: inner.append(p.flush()))}, {"c": 1}])
    # the nested flush took what was there before the outer call; the outer call's rows
    # reach the engine only afterwards, in the profile that follows that flush
    assert list(json.loads(inner[0])) == ["before"]
    assert columns(p) == {"a": 1, "b": 1, "c": 1}


def test_hook_observes_into_the_same_profiler():
    p = karvo.Profiler()
    p.observe_dict({"a": Acting(lambda: p.observe_dicts([{"a": 5}, {"nested": 1}]))})
    assert columns(p) == {"a": 2, "nested": 1}


def test_hook_makes_a_nested_call_fail():
    p = karvo.Profiler()

    def nested():
        try:
            p.observe_dict({1: 1})
        except TypeError:
            pass

    p.observe_dict({"a": Acting(nested)})
    assert columns(p) == {"a": 1}


def test_hook_shrinks_the_list_being_walked():
    p = karvo.Profiler()
    rows = []
    rows.extend([{"a": 1}, {"b": Acting(lambda: rows.clear())}, {"c": 1}, {"d": 1}])
    p.observe_dicts(rows)
    # the row being read survives its removal; the walk ends at the new length
    assert columns(p) == {"a": 1, "b": 1}


def test_hook_grows_the_list_being_walked():
    p = karvo.Profiler()
    rows = []
    rows.extend([{"a": Acting(lambda: rows.extend([{"late": 1}] * 3))}, {"b": 1}])
    p.observe_dicts(rows)
    assert columns(p) == {"a": 1, "b": 1}  # appended rows are not visited
    assert len(rows) == 5


def test_hook_replaces_list_items():
    p = karvo.Profiler()
    rows = []

    def replace():
        rows[0] = None  # drops the row being read
        rows[1] = {"replaced": 1}

    rows.extend([{"a": Acting(replace)}, {"b": 1}])
    p.observe_dicts(rows)
    assert columns(p) == {"a": 1, "replaced": 1}


def test_hook_deletes_the_value_being_converted():
    p = karvo.Profiler()
    row = {}

    class Drop:
        def __index__(self):
            row["a"] = 0  # replaces this object: same size, same keys
            return 7

    row["a"] = Drop()
    p.observe_dict(row)
    report = json.loads(p.flush())
    assert report["a"]["min_val"] == 7.0


def test_hook_deletes_the_profiler_reference():
    holder = {"p": karvo.Profiler()}
    p = holder["p"]

    def drop():
        del holder["p"]

    p.observe_dict({"a": Acting(drop)})
    assert columns(p) == {"a": 1}


def test_hook_replaces_a_later_value_of_its_row():
    # Values after the hook's are read as the dictionary holds them once it returns, even
    # though plain values before it were read without looking back at the dictionary.
    p = karvo.Profiler()
    row = {"a": 1}
    later = object()  # null as it stands

    def replace():
        row["c"] = 100

    row["b"] = Acting(replace, 5)
    row["c"] = later
    p.observe_dict(row)
    report = json.loads(p.flush())
    assert report["c"]["min_val"] == 100.0
    assert report["a"]["min_val"] == 1.0 and report["b"]["min_val"] == 5.0
