"""Every method, on success and on each failure path, must leave the reference counts of
the objects handed to it as they were, and native memory must not grow over many
observe/flush cycles (tracemalloc cannot see the engine's allocations, so RSS is read).
"""

import gc
import json
import os
import sys
import weakref

import pytest

import karvo
from conftest import panic_exception_type
from sanitizers import UNDER_ASAN
from value_hooks import Index, Real

REPEAT = 200


def fresh(text):
    """A str object of its own (not interned), so its reference count is ours alone."""
    return "".join(list(text))


class Raising:
    """A number whose every hook raises `exc_type`: converted to null, the call goes on."""

    def __init__(self, exc_type):
        self.exc_type = exc_type

    def __index__(self):
        raise self.exc_type("from __index__")

    def __float__(self):
        raise self.exc_type("from __float__")


class Custom(BaseException):
    pass


class Key(str):
    pass


class Row(dict):
    pass


class Rows(list):
    pass


PANIC = panic_exception_type()


def _values():
    return [None, True, fresh("text"), 2**70 + 7, -(2**63), 2**63, 2**1100, 1.5 * 3, float("nan"),
            -0.0, float("inf"), b"bytes", [1, 2], (3,), {"k": 1}, object(), Index(7),
            Index(2**80), Real(2.5), Real(fresh("not a float")), Raising(ValueError),
            Raising(MemoryError),
            fresh("\ud800 lone surrogate value"), Key(fresh("str subclass value"))]


def _row(values):
    return {fresh(f"col{i}"): v for i, v in enumerate(values)}


# Each case builds (call, watched objects, expected exception type or None) for a profiler.
def case_observe_dict(p):
    values = _values()
    d = _row(values)
    return (lambda: p.observe_dict(d)), [d, *d.keys(), *values], None


def case_observe_dict_keyword(p):
    values = _values()
    d = Row(_row(values))
    return (lambda: p.observe_dict(py_dict=d)), [d, *d.keys(), *values], None


def case_observe_dicts(p):
    values = _values()
    d1, d2 = _row(values), Row(_row(values[::-1]))
    skipped = fresh("not a row")
    rows = Rows([d1, 5, skipped, None, d2])
    return (lambda: p.observe_dicts(py_list=rows)), [rows, d1, d2, skipped, *d1.keys(), *values], None


def case_equal_text_keys(p):
    k1, k2 = fresh("same"), Key(fresh("same"))
    v1, v2 = 2**70, fresh("later")
    d = {k1: v1, k2: v2}
    return (lambda: p.observe_dict(d)), [d, k1, k2, v1, v2], None


def case_nested_calls_from_hook(p):
    inner = {fresh("inner"): 2**70}

    class Reentrant:
        def __index__(self):
            p.observe_dict(inner)
            p.flush()
            p.observe_dicts([inner])
            return 1

    hook = Reentrant()
    d = {fresh("outer"): hook}
    return (lambda: p.observe_dict(d)), [d, hook, inner, *inner.keys(), *inner.values()], None


def case_list_mutated_by_hook(p):
    extra = {fresh("extra"): 1}
    rows = []

    class Appends:
        def __index__(self):
            rows.append(extra)
            del rows[1:]
            return 1

    hook = Appends()
    first = {fresh("a"): hook}
    rows.append(first)
    def call():
        rows[:] = [first, extra]
        p.observe_dicts(rows)

    return call, [rows, first, extra, hook], None


def case_dict_not_a_dict(p):
    arg = [(fresh("a"), 1)]
    return (lambda: p.observe_dict(arg)), [arg, arg[0]], TypeError


def case_list_not_a_list(p):
    d = {fresh("a"): 1}
    arg = (d,)
    return (lambda: p.observe_dicts(arg)), [arg, d], TypeError


def case_non_str_key(p):
    key, value = 2**70, fresh("v")
    d = {fresh("ok"): 1.5, key: value}
    return (lambda: p.observe_dict(d)), [d, key, value], TypeError


def case_bad_key_in_later_row(p):
    values = _values()
    good, bad_key = _row(values), (fresh("tuple key"),)
    bad = {bad_key: 1}
    rows = [good, bad]
    return (lambda: p.observe_dicts(rows)), [rows, good, bad, bad_key, *values], TypeError


def case_lone_surrogate_key(p):
    key, value = fresh("\udcff"), 2**70
    d = {fresh("ok"): 1, key: value}
    return (lambda: p.observe_dict(d)), [d, key, value], UnicodeEncodeError


def case_dict_grown_by_hook(p):
    d = {}

    class Grows:
        def __index__(self):
            d[fresh("grown")] = 1
            return 1

    hook = Grows()
    d[fresh("a")] = hook
    key_b, value_b = fresh("b"), 2**70
    d[key_b] = value_b

    def call():
        try:
            p.observe_dict(d)
        finally:
            d.pop("grown", None)

    return call, [d, hook, key_b, value_b], PANIC


def case_dict_shrunk_by_hook(p):
    key_b, value_b = fresh("b"), 2**70
    d = {}

    class Shrinks:
        def __index__(self):
            d.pop(key_b, None)
            return 1

    hook = Shrinks()
    d[fresh("a")] = hook

    def call():
        d[key_b] = value_b
        p.observe_dict(d)

    return call, [d, hook, key_b, value_b], PANIC


def case_panic_raised_by_hook(p):
    class Panics:
        def __index__(self):
            raise PANIC("raised by a hook")

    hook = Panics()
    d = {fresh("a"): hook}
    return (lambda: p.observe_dict(d)), [d, hook], PANIC


def _stopped_by_hook(p, exc_type):
    values = _values()
    earlier = _row(values)
    d = _row(values[::-1] + [Raising(exc_type)])
    rows = [earlier, d]
    return (lambda: p.observe_dicts(rows)), [rows, earlier, d, *d.keys(), *values], exc_type


def case_keyboard_interrupt_raised_by_hook(p):
    return _stopped_by_hook(p, KeyboardInterrupt)


def case_base_exception_raised_by_hook(p):
    return _stopped_by_hook(p, Custom)


def case_dict_keys_moved_by_hook(p):
    # The row's keys are held while hooks run; a fault must release them all the same.
    values = _values()
    d = _row(values)
    key = fresh("moves")

    class Moves:
        def __index__(self):
            d[key] = d.pop(key)
            return 1

    hook = Moves()
    d[key] = hook
    d[fresh("after")] = 1

    return (lambda: p.observe_dict(d)), [d, key, hook, *d.keys(), *values], PANIC


def case_missing_argument(p):
    return (lambda: p.observe_dict()), [], TypeError


def case_extra_positional(p):
    d = {fresh("a"): 1}
    return (lambda: p.observe_dict(d, d)), [d], TypeError


def case_multiple_values(p):
    d = {fresh("a"): 1}
    return (lambda: p.observe_dicts([d], py_list=[d])), [d], TypeError


def case_unexpected_keyword(p):
    d = {fresh("a"): 1}
    return (lambda: p.observe_dict(rows=d)), [d], TypeError


def case_constructor_arguments(p):
    arg = fresh("arg")
    return (lambda: karvo.Profiler(arg, x=arg)), [arg], TypeError


def case_flush_with_argument(p):
    arg = fresh("arg")
    return (lambda: p.flush(arg)), [arg], TypeError


CASES = [v for k, v in sorted(globals().items()) if k.startswith("case_")]


def _run(call, expected):
    try:
        call()
    except BaseException as exc:  # noqa: BLE001 - compared below, then dropped
        if expected is None or type(exc) is not expected:
            raise
    else:
        assert expected is None, f"expected {expected.__name__}"


@pytest.mark.parametrize("case", CASES, ids=lambda c: c.__name__[5:])
def test_reference_counts_unchanged(case, capfd):
    p = karvo.Profiler()
    call, watched, expected = case(p)
    # None and the bools are shared by the whole interpreter: their counts drift.
    watched = [o for o in watched if o is not None and not isinstance(o, bool)]
    _run(call, expected)  # first call warms up whatever is cached once per process
    p.flush()
    gc.collect()
    before = [sys.getrefcount(o) for o in watched]
    for _ in range(REPEAT):
        _run(call, expected)
        p.flush()
    gc.collect()
    after = [sys.getrefcount(o) for o in watched]
    changed = [(repr(o)[:60], b, a) for o, b, a in zip(watched, before, after) if a != b]
    assert not changed
    assert p.flush() == "{}"
    capfd.readouterr()  # a hook's PanicException prints a notice; not under test here


class DropsItself:
    """A value whose __index__ removes the dict's reference to it (the only one) and then
    fails, so that its __float__ still has to be called: the module must hold the value
    itself. `how` says what the hook does to the dict."""

    def __init__(self, row, key, how):
        self.row, self.key, self.how = row, key, how

    def __index__(self):
        row, key, how = self.row, self.key, self.how
        del self.row  # no cycle: after the hook, only the module holds this object
        if how == "replace value":
            row[key] = fresh("replacement")
        elif how == "delete key":
            del row[key]
        else:
            row.clear()
        raise ValueError("dropped")

    def __float__(self):
        return 2.5


@pytest.mark.parametrize("how", ["replace value", "delete key", "clear"])
def test_value_dropped_by_its_own_hook_is_held_then_freed(how):
    p = karvo.Profiler()
    for _ in range(50):
        row = {}
        key = fresh("k")
        row[key] = DropsItself(row, key, how)
        row[fresh("later")] = 1.0
        value = weakref.ref(row[key])
        del key
        try:
            p.observe_dict(row)
        except BaseException as exc:  # noqa: BLE001
            assert how != "replace value" and type(exc) is PANIC, exc
        else:
            assert how == "replace value"
        assert value() is None, "the value outlived the call"
    report = json.loads(p.flush())
    if how == "replace value":
        assert report["k"]["total_count"] == 50 and report["k"]["min_val"] == 2.5
    else:
        assert report == {}


def _rss_bytes():
    with open("/proc/self/statm") as statm:
        return int(statm.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")


@pytest.mark.skipif(UNDER_ASAN, reason="ASan keeps freed memory in quarantine; "
                    "LeakSanitizer checks this run for leaks instead")
def test_rss_flat_over_many_cycles():
    p = karvo.Profiler()
    names = [f"column {i}" for i in range(50)]
    rows = [{n: (v * 31 + i) % 97 if i % 3 else fresh(f"t{v}") for i, n in enumerate(names)}
            for v in range(20)]
    rows[3][names[0]] = None
    wide = [{"wide": i} for i in range(8000)]  # enough distinct values to turn dense
    bad = [rows[0], {1: 1}]

    def cycle(k):
        p.observe_dicts(rows)
        for row in rows[k % 2::2]:  # many small calls: a per-call leak adds up quickly
            p.observe_dict(row)
        if k % 25 == 0:
            p.observe_dicts(wide)
        try:
            p.observe_dicts(bad)
        except TypeError:
            pass
        p.flush()

    for k in range(500):
        cycle(k)
    start = _rss_bytes()
    for k in range(5000):
        cycle(k)
    grown = _rss_bytes() - start
    assert grown < 1024 * 1024, f"RSS grew by {grown} bytes over 5000 cycles"
