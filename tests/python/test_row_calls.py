"""One observe_dict call per row (or observe_dicts calls of small lists, which a profile
takes the same way) gives what one observe_dicts call over the same rows gives:
the same counts, bounds, sketches and column order, whatever else the profile is asked
meanwhile (flushes and reads between rows or from a value's hook, nested calls, failed
rows)."""

import copy
import gc
import itertools
import json
import math
import pickle
import sys
import threading

import karvo
import pytest
from value_hooks import Acting, Index, Real

from karvo_dist import Profile

SEED = 7


def fresh(text):
    """Equal text in an object of its own (literals are shared)."""
    return "".join(list(text))


class Key(str):
    pass


FLUSH = object()  # in a stream: flush here


def stream():
    """Rows whose keys come and go and change order; some with str-subclass keys or hook
    values; shared key objects and fresh ones of equal text; flushes here and there. Long
    enough to fill and apply the per-profile row buffer several times."""
    shared = [f"c{i}" for i in range(40)]
    steps = []
    for i in range(30000):
        width = 3 + i % 9
        names = [shared[(i * 7 + j * 13) % 40] for j in range(width)]
        if i % 5 == 0:
            names = [fresh(name) for name in names]
        if i % 11 == 0:
            names.reverse()
        row = {name: value_for(i, j) for j, name in enumerate(names)}
        if i % 997 == 0:
            row[f"late{i}"] = i  # a column that appears once, late
        if i % 1201 == 0:
            row[Key("c1")] = -1.5  # the same text twice in one row
        if i % 1303 == 0:
            row["hook"] = Index(i) if i % 2 else Real(0.5 * i)
        steps.append(row)
        if i in (1, 4000, 4001, 17777):
            steps.append(FLUSH)
    steps.append({})
    return steps


def value_for(i, j):
    kind = (i + j) % 8
    return [i % 100, (i * 31) % 1000 / 4, f"t{i % 300}", None, 0.0 if i % 2 else -0.0,
            2**64 - 1 - i % 3, math.nan, True][kind]


# The two calls of one row each: observe_dict, and observe_dicts of a one-row list.
SINGLE = {
    "observe_dict": lambda profile, row: profile.observe_dict(row),
    "observe_dicts of one row": lambda profile, row: profile.observe_dicts([row]),
}


def run_per_row(profile, steps, single=SINGLE["observe_dict"]):
    flushed = []
    for step in steps:
        if step is FLUSH:
            flushed.append(profile.flush())
        else:
            single(profile, step)
    return flushed


def run_one_call(profile, steps):
    flushed, rows = [], []
    for step in steps:
        if step is FLUSH:
            profile.observe_dicts(rows)
            rows = []
            flushed.append(profile.flush())
        else:
            rows.append(step)
    profile.observe_dicts(rows)
    return flushed


def without_estimates(text):
    """A karvo.Profiler report with its estimates left out (they take keys at random), its
    columns in their order."""
    return [(name, {k: v for k, v in stats.items() if k != "estimated_cardinality"})
            for name, stats in json.loads(text).items()]


@pytest.mark.parametrize("single", SINGLE)
def test_profile_rows_one_by_one_equal_one_call(single):
    steps = stream()
    per_row, one_call = Profile(SEED), Profile(SEED)
    assert run_per_row(per_row, steps, SINGLE[single]) == run_one_call(one_call, steps)
    assert per_row.to_bytes() == one_call.to_bytes()
    assert per_row.flush() == one_call.flush()


# Sizes of successive observe_dicts calls: small lists, which may wait in the row buffer
# whole, and lists just past the largest that may (64 elements).
SMALL_CALLS = [2, 1, 3, 7, 64, 65, 10, 5, 63, 100]


def run_small_calls(profile, steps):
    flushed, rows, sizes = [], [], itertools.cycle(SMALL_CALLS)
    size = next(sizes)
    for step in steps:
        if step is FLUSH:
            profile.observe_dicts(rows)
            rows = []
            flushed.append(profile.flush())
            continue
        rows.append(step)
        if len(rows) == size:
            profile.observe_dicts(rows)
            rows, size = [], next(sizes)
    profile.observe_dicts(rows)
    return flushed


@pytest.mark.parametrize("make", [karvo.Profiler, lambda: Profile(SEED)],
                         ids=["Profiler", "Profile"])
def test_rows_in_small_lists_equal_one_call(make):
    steps = stream()
    for i in range(0, len(steps), 17):  # elements that are no row, skipped
        steps.insert(i, ["not a row"] if i % 2 else None)
    small, one_call = make(), make()
    flushed = zip(run_small_calls(small, steps), run_one_call(one_call, steps))
    for got, expected in flushed:
        assert without_estimates(got) == without_estimates(expected)
    if isinstance(small, Profile):
        assert small.to_bytes() == one_call.to_bytes()
    assert without_estimates(small.flush()) == without_estimates(one_call.flush())


@pytest.mark.parametrize("single", SINGLE)
def test_profiler_rows_one_by_one_equal_one_call(single):
    steps = stream()
    per_row, one_call = karvo.Profiler(), karvo.Profiler()
    flushed = zip(run_per_row(per_row, steps, SINGLE[single]) + [per_row.flush()],
                  run_one_call(one_call, steps) + [one_call.flush()])
    for got, expected in flushed:
        assert without_estimates(got) == without_estimates(expected)


# ---------------------------------------------------------------------------------------
# What a value's hook does to the profile in the middle of a call: it sees the rows
# before the call, and the call's own row comes after it.

BEFORE = [{"a": 1, "b": "x"}, {"b": "y", "c": 2.5}, {"a": -0.0}, {fresh("d"): 0.0}]
INNER = {"inner": 1, "a": 0.0}


def other_profile():
    other = Profile(SEED)
    other.observe_dicts([{"o": 1}, {"a": 9}])
    return other


HOOK_ACTIONS = {
    "flush": lambda p: p.flush(),
    "report": lambda p: p.report(),
    "length": len,
    "to_bytes": lambda p: p.to_bytes(),
    "nested observe_dict": lambda p: p.observe_dict(INNER),
    "nested observe_dicts": lambda p: p.observe_dicts([INNER, {"b": "z"}]),
    "nested row with a hook": lambda p: p.observe_dict({"h": Index(3), "inner": 2}),
    "merged into another": lambda p: other_profile().merge(p),
    "another merged in": lambda p: p.merge(other_profile()),
    "nested call that fails": lambda p: p.observe_dict({"e": 1, 5: 1}),
}


def acted(action, profile, seen):
    def act():
        try:
            seen.append(action(profile))
        except TypeError as error:
            seen.append(str(error))
    return act


OUTER_CALLS = {
    "observe_dict": lambda p, row: p.observe_dict(row),
    "observe_dicts of one row": lambda p, row: p.observe_dicts([row]),
    "observe_dicts": lambda p, row: p.observe_dicts([row, {"last": 1}]),
}


@pytest.mark.parametrize("outer", OUTER_CALLS)
@pytest.mark.parametrize("name", HOOK_ACTIONS)
def test_hook_inside_a_call(name, outer):
    action = HOOK_ACTIONS[name]
    p, seen = Profile(SEED), []
    for row in BEFORE:
        p.observe_dict(row)
    row = {"a": 5, "n": Acting(acted(action, p, seen), 4), "new": "w"}
    OUTER_CALLS[outer](p, row)

    ref, expected = Profile(SEED), []
    ref.observe_dicts(BEFORE)
    acted(action, ref, expected)()
    ref.observe_dicts([{"a": 5, "n": Index(4), "new": "w"}] +
                      ([{"last": 1}] if outer == "observe_dicts" else []))
    assert seen == expected
    assert p.to_bytes() == ref.to_bytes()


def test_flush_from_a_hook_leaves_the_row_to_the_fresh_profile():
    p = karvo.Profiler()
    for row in BEFORE:
        p.observe_dict(row)
    seen = []
    p.observe_dict({"late": Acting(lambda: seen.append(p.flush()), 3)})
    assert list(json.loads(seen[0])) == ["a", "b", "c", "d"]
    assert list(json.loads(p.flush())) == ["late"]


# ---------------------------------------------------------------------------------------
# A failing row ingests nothing, not even the columns it named before it failed; the rows
# before it and after it are all there, in order.

def interrupt():
    raise KeyboardInterrupt


def grow(row):
    def act():
        row["grown"] = 1
    return act


def failing_rows():
    changed = {"new_first": 1}
    changed["n"] = Acting(grow(changed))
    return {
        "a key that is not a str": ({"new_first": 1, 5: 2}, TypeError),
        "a key that is not valid text": ({"new_first": 1, "\udc80": 2}, UnicodeEncodeError),
        "a hook that interrupts": ({"new_first": 1, "n": Acting(interrupt)}, KeyboardInterrupt),
        "a row changed by its hook": (changed, BaseException),
    }


@pytest.mark.parametrize("single", SINGLE)
@pytest.mark.parametrize("name", failing_rows())
def test_failed_row_ingests_nothing(name, single):
    bad, error = failing_rows()[name]
    after = [{"new_second": 1, "new_first": 2.5}, {"a": 3}]
    p, witness = Profile(SEED), Profile(SEED)
    for row in BEFORE:
        SINGLE[single](p, row)
    with pytest.raises(error):
        SINGLE[single](p, bad)
    for row in after:
        SINGLE[single](p, row)
    witness.observe_dicts(BEFORE + after)
    assert p.columns == witness.columns
    assert p.to_bytes() == witness.to_bytes()


@pytest.mark.parametrize("at", [0, 1, 2])
@pytest.mark.parametrize("name", failing_rows())
def test_small_list_with_a_failing_row_ingests_nothing(name, at):
    # The rows around the failing one would wait in the row buffer; none of them may stay.
    bad, error = failing_rows()[name]
    good = [{"lead": 1, "new_first": 0.5}, {"trail": "t", "new_second": 2}]
    after = [{"new_second": 1, "new_first": 2.5}, {"a": 3}]
    p, witness = Profile(SEED), Profile(SEED)
    p.observe_dicts(BEFORE)
    with pytest.raises(error):
        p.observe_dicts(good[:at] + [bad] + good[at:])
    p.observe_dicts(after)
    witness.observe_dicts(BEFORE + after)
    assert p.columns == witness.columns
    assert p.to_bytes() == witness.to_bytes()


# ---------------------------------------------------------------------------------------
# Every way of reading or changing a profile sees the rows observed before it.

def merged_into_fresh(p):
    fresh_profile = Profile(SEED)
    fresh_profile.merge(p)
    return fresh_profile.to_bytes()


READS = {
    "len": len,
    "columns": lambda p: p.columns,
    "report": lambda p: p.report(),
    "to_bytes": lambda p: p.to_bytes(),
    "repr": repr,
    "copy": lambda p: copy.copy(p).to_bytes(),
    "pickle": lambda p: pickle.loads(pickle.dumps(p)).to_bytes(),
    "equality": lambda p: p == Profile.from_bytes(p.to_bytes(), SEED),
    "merged into another": merged_into_fresh,
    "another merged in": lambda p: p.merge(other_profile()),
    "observe_dicts after": lambda p: p.observe_dicts([{"z": 1}, {"a": 2}]),
    "observe_jsonl after": lambda p: p.observe_jsonl(b'{"j": 1, "a": 0.0}\n').rows,
    "observe_jsonl from chunks": lambda p: p.observe_jsonl([b'{"j": 1}\n{"a"', b": -1}\n"]).rows,
}


@pytest.mark.parametrize("name", READS)
def test_reads_see_the_rows_before_them(name):
    read = READS[name]
    p = Profile(SEED)
    for row in BEFORE:
        p.observe_dict(row)
    ref = Profile(SEED)
    ref.observe_dicts(BEFORE)
    assert read(p) == read(ref)
    p.observe_dict({"after": 1, "a": 7})
    ref.observe_dicts([{"after": 1, "a": 7}])
    assert p.to_bytes() == ref.to_bytes()


@pytest.mark.parametrize("make", [karvo.Profiler, lambda: Profile(SEED)],
                         ids=["Profiler", "Profile"])
def test_row_keys_are_released_with_the_profile(make):
    key = fresh("a key of its own")
    gc.collect()
    before = sys.getrefcount(key)
    p = make()
    p.observe_dict({key: 1})
    del p
    gc.collect()
    assert sys.getrefcount(key) == before


def test_rows_while_another_thread_reads_jsonl():
    """Single-row calls made while another thread's JSON Lines reader works without the
    GIL go to the engine on their own; every row is counted once."""
    p = Profile(SEED)
    data = b"".join(b'{"s": %d, "j": 1}\n' % i for i in range(200000))
    reader = threading.Thread(target=p.observe_jsonl, args=(data,), kwargs={"threads": 1})
    reader.start()
    for i in range(20000):
        p.observe_dict({"s": -i, "r": 1})
    reader.join()
    report = json.loads(p.flush())
    assert report["s"]["total_count"] == 220000
    assert (report["j"]["total_count"], report["r"]["total_count"]) == (200000, 20000)


# ---------------------------------------------------------------------------------------
# observe_dicts of a one-element list: a dict (or subclass) in a list (or subclass) is a
# row, anything else is skipped, as in any other list.

class Row(dict):
    pass


class Rows(list):
    pass


ONE_ELEMENT_LISTS = [
    [{"a": 1, "b": "x"}], [Row(a=2.5, c=None)], Rows([{"b": "y"}]), Rows([Row(d=1)]),
    ["not a dict"], [None], [[{"a": 1}]], [{}], [{"a": Index(7)}],
]


@pytest.mark.parametrize("make", [karvo.Profiler, lambda: Profile(SEED)],
                         ids=["Profiler", "Profile"])
def test_one_element_lists_as_one_call(make):
    p, ref = make(), make()
    for one in ONE_ELEMENT_LISTS:
        p.observe_dicts(one)
    ref.observe_dicts([row for one in ONE_ELEMENT_LISTS for row in one])
    assert without_estimates(p.flush()) == without_estimates(ref.flush())
