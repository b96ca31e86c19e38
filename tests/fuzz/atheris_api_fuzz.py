#!/usr/bin/env python3
"""Fuzz the Python API of karvo with atheris, checking every report against a model.

Each input becomes a fresh Profiler and a short sequence of calls: observe_dict and
observe_dicts with random rows, flush, and calls with bad arguments. Rows hold random keys
(non-str keys, lone surrogates, empty and very long names, str subclasses whose text equals
another key's) and random values (ints at and beyond the 64-bit edges, floats including NaN,
infinities, -0.0 and subnormals, text, bytes, containers, and objects whose __index__ or
__float__ hooks return values, raise anything, grow or shrink the dict being read, change
the list being walked, or call flush and observe_dict(s) on the same profiler).

A small pure-Python model applies the counting rules to the same rows:
  None -> null; an int in the signed 64-bit range -> a number (as float(x)); a larger int ->
  float(x) when that is finite-convertible, else null; NaN -> null; other floats -> numbers;
  bool -> an int; str (valid UTF-8) -> text; objects with hooks -> as their hooks say;
  anything else -> null. Keys of equal text (str subclasses) fold into one column, the last
  value winning.
The model knows each hook's behaviour from how it was built and never calls a hook itself.
Hooks that call back into the profiler update the model at the moment they run (a nested
flush checks its own report and empties the model), so the model always tracks what the
profiler holds. After each outer call the harness checks that it failed exactly when the
model says, with the expected exception, and that a failed call ingested nothing; every
report is parsed as JSON and compared with the model: totals, nulls and bounds exactly
(bounds bit for bit, so -0.0 and 0.0 differ), the distinct estimate within a small margin.

One more operation fuzzes karvo_dist.Profile: split rows merged against one profile of
them all, and its stored form read back and refused when changed.

Run: tests/fuzz/run_atheris.sh SECONDS (see there), or directly with libFuzzer flags:
  python3 tests/fuzz/atheris_api_fuzz.py -max_total_time=600 [corpus_dir]
"""

import json
import math
import operator
import struct
import sys

import atheris

import karvo
from karvo_dist import Profile as DistProfile

# ---------------------------------------------------------------------------------------
# Typed values as the model sees them.

NULL = ("null",)


def num(x, key=None):
    """A number: its double for the bounds and its key in the distinct count (by default the
    double's bits, so 1 and 1.0 are one value)."""
    return ("num", x, ("k", bits(x)) if key is None else key)


def text(b):
    return ("text", b)


class Panic:
    """The model's marker for a value whose conversion ends the call with PanicException."""

    def __init__(self, message):
        self.message = message


class Stopped:
    """The model's marker for a value whose hook raised an exception that is not an
    Exception (KeyboardInterrupt, SystemExit, ...): it ends the call as itself."""

    def __init__(self, exc_type):
        self.exc_type = exc_type


def _raised(kind):
    """What a hook raising `kind` makes of the conversion: None when it only fails the
    attempt (an Exception), else the marker of the end of the call."""
    if kind == "panic":
        return Panic(PANIC_TEXT)
    if not issubclass(kind, Exception):
        return Stopped(kind)
    return None


INT64_MIN, INT64_MAX = -(2**63), 2**63 - 1
UINT64_END = 2**64


def typed_int(i):
    if INT64_MIN <= i < UINT64_END:
        # An int of 64 bits, signed or not, that no double holds counts by its exact value.
        return num(float(i), None if float(i) == i else ("i", i))
    return typed_long_as_double(i)


def typed_long_as_double(i):
    try:
        return typed_float(float(i))
    except OverflowError:
        return NULL


def typed_float(x):
    return NULL if math.isnan(x) else num(x)


def typed_str(s):
    try:
        return text(str.encode(s, "utf-8"))
    except UnicodeEncodeError:
        return NULL


def typed_plain(v):
    """The model of a value that runs no Python code when converted."""
    if v is None:
        return NULL
    if isinstance(v, int):
        return typed_int(int(v))
    if isinstance(v, float):
        return typed_float(float(v))
    if isinstance(v, str):
        return typed_str(v)
    return NULL


# ---------------------------------------------------------------------------------------
# The model of one profile.


class Column:
    __slots__ = ("total", "nulls", "lo", "hi", "keys")

    def __init__(self):
        self.total = 0
        self.nulls = 0
        self.lo = math.inf
        self.hi = -math.inf
        self.keys = set()


def bits(x):
    return struct.unpack("<Q", struct.pack("<d", x))[0]


class Model:
    def __init__(self):
        self.cols = {}

    def apply(self, rows):
        for row in rows:
            for name, tv in row.items():
                col = self.cols.get(name)
                if col is None:
                    col = self.cols[name] = Column()
                col.total += 1
                if tv is NULL:
                    col.nulls += 1
                elif tv[0] == "text":
                    col.keys.add(("t", tv[1]))
                else:
                    x = tv[1]
                    if x < col.lo:
                        col.lo = x
                    if x > col.hi:
                        col.hi = x
                    col.keys.add(tv[2])
        # Numbers count by the double's bits (ints that no double holds by their value),
        # texts by their bytes: distinct keys in the engine up to 64-bit chance.

    def check(self, report_text):
        """Compare a flush's report with the model, then start the next profile."""
        try:
            check_report(report_text, self.cols)
        finally:
            self.cols = {}


FIELDS = ["total_count", "null_count", "min_val", "max_val", "estimated_cardinality"]


def _pairs_no_duplicates(pairs):
    keys = [k for k, _ in pairs]
    if len(set(keys)) != len(keys):
        raise AssertionError(f"duplicate member in report: {keys}")
    return pairs


def _bound(x):
    return x if math.isfinite(x) else None


def _same_number(got, want):
    if want is None:
        return got is None
    if isinstance(got, bool) or not isinstance(got, (int, float)):
        return False
    return bits(float(got)) == bits(want)


def check_report(report_text, cols):
    if not isinstance(report_text, str):
        raise AssertionError(f"flush returned {type(report_text).__name__}")
    if "\n" in report_text or "\r" in report_text:
        raise AssertionError("report is not compact")
    members = json.loads(report_text, object_pairs_hook=_pairs_no_duplicates)
    report = dict(members)
    want_names = {name.decode("utf-8") for name in cols}
    if set(report) != want_names:
        raise AssertionError(f"columns: report {sorted(report)[:5]} model {sorted(want_names)[:5]}"
                             f" (missing {sorted(want_names - set(report))[:3]},"
                             f" extra {sorted(set(report) - want_names)[:3]})")
    for name, col in cols.items():
        fields = report[name.decode("utf-8")]
        if [k for k, _ in fields] != FIELDS:
            raise AssertionError(f"fields of {name!r}: {fields}")
        got = dict(fields)
        for key, want in (("total_count", col.total), ("null_count", col.nulls)):
            if type(got[key]) is not int or got[key] != want:
                raise AssertionError(f"{name!r} {key}: report {got[key]!r} model {want}")
        for key, want in (("min_val", _bound(col.lo)), ("max_val", _bound(col.hi))):
            if not _same_number(got[key], want):
                raise AssertionError(f"{name!r} {key}: report {got[key]!r} model {want!r}")
        est, n = got["estimated_cardinality"], len(col.keys)
        if type(est) is not int or est < 0 or abs(est - n) > 1 + n // 50:
            raise AssertionError(f"{name!r} estimate {est!r} for {n} distinct values")


# ---------------------------------------------------------------------------------------
# Hostile objects. Everything they do to the profiler goes through the harness state, so
# that the model follows. Each side effect happens once per object (hooks may be called
# more than once for one value); what a hook returns or raises is the same every time.

class State:
    profiler = None
    model = None
    failures = []        # assertion failures found inside hooks (the module swallows those)
    list_mutated = None  # (index, list after the change) for the call in progress
    panic_type = None


class CustomBase(BaseException):
    pass


RAISABLE = [ValueError, TypeError, OverflowError, ArithmeticError, KeyboardInterrupt,
            SystemExit, MemoryError, RecursionError, GeneratorExit, StopIteration,
            UnicodeError, CustomBase, "panic"]

PANIC_TEXT = "panic raised by a fuzzed hook"


def _raise(kind):
    if kind == "panic":
        raise State.panic_type(PANIC_TEXT)
    raise kind("raised by a fuzzed hook")


class Hooked:
    """Base of the hook classes. `index`/`floatv` are ("ret", value) or ("raise", kind)."""

    def __init__(self, index, floatv, action):
        self.index = index
        self.floatv = floatv
        self.action = action
        self.action_taken = action  # what the first hook call does; kept for the model
        self.owner = None           # the dict this value sits in
        self.container = None       # (list, position) when that dict is an element of a list

    def _act(self):
        action, self.action = self.action, None
        if action is not None:
            try:
                action(self)
            except BaseException as exc:  # noqa: BLE001 - a fault of ours or of the module
                State.failures.append(f"side effect {action.__name__}: {exc!r}")

    def _answer(self, answer):
        self._act()
        if answer[0] == "raise":
            _raise(answer[1])
        return answer[1]


class IndexOnly(Hooked):
    def __index__(self):
        return self._answer(self.index)


class FloatOnly(Hooked):
    def __float__(self):
        return self._answer(self.floatv)


class Both(Hooked):
    def __index__(self):
        return self._answer(self.index)

    def __float__(self):
        return self._answer(self.floatv)


def typed_hooked(v):
    """What the value rules make of a hooked object, without calling its hooks."""
    has_index = isinstance(v, (IndexOnly, Both))
    has_float = isinstance(v, (FloatOnly, Both))
    wide = None  # an __index__ in [2**63, 2**64)
    if has_index:
        kind, r = v.index
        if kind == "raise" and _raised(r) is not None:
            return _raised(r)
        if kind == "ret" and type(r) is int and INT64_MIN <= r <= INT64_MAX:
            return typed_int(r)
        if kind == "ret" and type(r) is int and INT64_MAX < r < UINT64_END:
            wide = r
    if has_float:
        kind, r = v.floatv
        if kind == "raise":
            return _raised(r) or NULL
        if type(r) is not float:
            return NULL
        # A real reading that is the wide __index__'s nearest double counts by that int.
        return typed_int(wide) if wide is not None and r == float(wide) else typed_float(r)
    # No __float__: the real attempt falls back on __index__.
    kind, r = v.index
    if kind == "ret" and type(r) is int:
        return typed_int(r)
    return NULL


# Side effects.

def act_grow_dict(h):
    h.owner[f"grown by a hook {id(h)}"] = 1


def act_shrink_dict(h):
    for key in list(dict.keys(h.owner)):
        if dict.__getitem__(h.owner, key) is h:
            dict.__delitem__(h.owner, key)
            return


def act_clear_dict(h):
    dict.clear(h.owner)


def act_move_first_key(h):
    # Re-inserts the row's first key, which moves it last, then adds and deletes 50 keys,
    # which rebuilds the row at its old size. With two keys or more the order has changed.
    first = next(iter(dict.keys(h.owner)))
    dict.__setitem__(h.owner, first, dict.pop(h.owner, first))
    for i in range(50):
        dict.__setitem__(h.owner, f"churned by a hook {i}", 0)
    for i in range(50):
        dict.__delitem__(h.owner, f"churned by a hook {i}")


def act_replace_own_value(h):
    # Only outside lists: the model reads a list's rows as they were when the call began,
    # which a changed value of a row read again after a list change would contradict.
    if h.container is not None:
        return
    for key in list(dict.keys(h.owner)):
        if dict.__getitem__(h.owner, key) is h:
            dict.__setitem__(h.owner, key, "replaced")
            return


def _list_action(change):
    def act(h):
        if h.container is None or State.list_mutated is not None:
            return
        lst, pos = h.container
        change(lst, pos)
        State.list_mutated = (pos, list(lst))
    act.__name__ = change.__name__
    return act


def list_append(lst, pos):
    lst.append({"appended": 1})


def list_truncate_here(lst, pos):
    del lst[pos + 1:]


def list_clear(lst, pos):
    del lst[:]


def list_insert_front(lst, pos):
    lst.insert(0, {"inserted": 1})


def list_drop_next(lst, pos):
    del lst[pos + 1:pos + 2]


def list_replace_next(lst, pos):
    if pos + 1 < len(lst):
        lst[pos + 1] = {"replacement": 2.5}


def act_flush(h):
    State.model.check(State.profiler.flush())


def _nested_rows():
    return [{"nested": 1, "nested text": "t"}, {"nested": None, "": -0.0}]


def act_observe_dict(h):
    row = _nested_rows()[0]
    State.profiler.observe_dict(row)
    State.model.apply([model_row(row)])


def act_observe_dicts(h):
    rows = _nested_rows()
    State.profiler.observe_dicts(rows)
    State.model.apply([model_row(r) for r in rows])


def act_observe_bad_key(h):
    try:
        State.profiler.observe_dicts([{"nested": 1}, {3: 1}])
    except TypeError as exc:
        if str(exc) != "'int' object cannot be converted to 'PyString'":
            raise AssertionError(f"nested bad key: {exc}") from None
    else:
        raise AssertionError("nested bad key was accepted")


DICT_SIZE_ACTIONS = (act_grow_dict, act_shrink_dict, act_clear_dict)
ACTIONS = [None] * 6 + [act_grow_dict, act_shrink_dict, act_clear_dict, act_move_first_key,
                        act_replace_own_value,
                        act_flush, act_flush, act_observe_dict, act_observe_dicts,
                        act_observe_bad_key] + [
    _list_action(f) for f in (list_append, list_truncate_here, list_clear, list_insert_front,
                              list_drop_next, list_replace_next)]


# ---------------------------------------------------------------------------------------
# Generation.

EDGE_INTS = [0, 1, -1, 2**31, 2**53, 2**53 + 1, -(2**53) - 1, INT64_MAX, INT64_MIN,
             INT64_MAX + 1, INT64_MIN - 1, 2**64, -(2**64), 2**1023, 2**1024 - 2**970,
             2**1024 - 2**969, 2**1024, -(2**1100), 10**308, 10**309]
EDGE_FLOATS = [0.0, -0.0, math.nan, -math.nan, math.inf, -math.inf, 5e-324, -5e-324,
               2.2250738585072014e-308, 2.225073858507201e-308, 1.7976931348623157e308,
               -1.7976931348623157e308, 1.0, -1.0, 0.1, 2.5, 9007199254740993.0, 1e16]


class StrSub(str):
    pass


class DistinctKey(str):
    """A str subclass whose instances are distinct dict keys even when their text is equal."""

    def __hash__(self):
        return id(self)

    def __eq__(self, other):
        return self is other


class RowDict(dict):
    pass


class RowList(list):
    pass


class Unhashable:
    pass


def gen_int(fdp):
    if fdp.ConsumeBool():
        return fdp.PickValueInList(EDGE_INTS) + fdp.ConsumeIntInRange(-2, 2)
    return fdp.ConsumeIntInRange(INT64_MIN, INT64_MAX)


def gen_float(fdp):
    choice = fdp.ConsumeIntInRange(0, 2)
    if choice == 0:
        return fdp.PickValueInList(EDGE_FLOATS)
    if choice == 1:
        return struct.unpack("<d", fdp.ConsumeBytes(8).ljust(8, b"\0"))[0]
    return fdp.ConsumeRegularFloat()


def gen_text(fdp):
    choice = fdp.ConsumeIntInRange(0, 5)
    if choice == 0:
        return ""
    if choice == 1:
        return "x" * fdp.ConsumeIntInRange(0, 5000)
    if choice == 2:
        return "\ud800" + fdp.ConsumeUnicodeNoSurrogates(4)
    if choice == 3:
        return fdp.PickValueInList(["a", "b", "\"q\"\\", "\x00\x01\x1f\x7f", "é€😀", "12"])
    return fdp.ConsumeUnicode(fdp.ConsumeIntInRange(0, 24))


def gen_hook_answer(fdp, for_float):
    choice = fdp.ConsumeIntInRange(0, 5)
    if choice <= 1:
        return ("raise", fdp.PickValueInList(RAISABLE))
    if choice == 2:
        return ("ret", fdp.PickValueInList([1.5, "7", None, 3j]))  # not the type asked for
    if for_float:
        return ("ret", gen_float(fdp) if choice != 3 else 7)
    return ("ret", gen_int(fdp))


def gen_value(fdp, hooks_ok):
    kind = fdp.ConsumeIntInRange(0, 12 if hooks_ok else 9)
    if kind == 0:
        return None
    if kind == 1:
        return fdp.ConsumeBool()
    if kind in (2, 3):
        return gen_int(fdp)
    if kind in (4, 5):
        return gen_float(fdp)
    if kind in (6, 7):
        s = gen_text(fdp)
        return StrSub(s) if fdp.ConsumeBool() else s
    if kind == 8:
        return fdp.PickValueInList([b"", b"bytes", bytearray(b"x"), [1], (2.5,), {"k": 1},
                                    {1, 2}, frozenset(), object(), 1 + 2j, Unhashable()])
    if kind == 9:
        return float(fdp.ConsumeIntInRange(INT64_MIN, INT64_MAX))
    cls = fdp.PickValueInList([IndexOnly, FloatOnly, Both])
    index = gen_hook_answer(fdp, False)
    floatv = gen_hook_answer(fdp, True)
    return cls(index, floatv, fdp.PickValueInList(ACTIONS))


def gen_key(fdp, previous):
    choice = fdp.ConsumeIntInRange(0, 12)
    if choice == 0 and previous:
        # Equal text, a distinct key: the later one wins within the row.
        return DistinctKey(str(previous[fdp.ConsumeIntInRange(0, len(previous) - 1)]))
    if choice == 1:
        return fdp.PickValueInList([1, 2.5, None, b"k", (1,), True, frozenset()])
    if choice == 2:
        return "\udc80" + fdp.ConsumeUnicodeNoSurrogates(2)
    if choice == 3:
        return ""
    if choice == 4:
        return "n" * fdp.ConsumeIntInRange(1, 20000)
    if choice == 5:
        return StrSub(fdp.PickValueInList(["a", "b", "c"]))
    if choice <= 8:
        return fdp.PickValueInList(["a", "b", "c", "d", "\"", "\\", "\x00", "é"])
    return fdp.ConsumeUnicode(fdp.ConsumeIntInRange(0, 8))


def gen_row(fdp, hooks_ok, container=None):
    d = RowDict() if fdp.ConsumeProbability() < 0.1 else {}
    keys = []
    for _ in range(fdp.ConsumeIntInRange(0, 6)):
        key = gen_key(fdp, keys)
        value = gen_value(fdp, hooks_ok)
        if isinstance(value, Hooked):
            value.owner = d
        try:
            d[key] = value
        except TypeError:  # an unhashable key: not a dict entry at all
            continue
        keys.append(key)
    return d


def gen_list(fdp):
    lst = RowList() if fdp.ConsumeProbability() < 0.1 else []
    for _ in range(fdp.ConsumeIntInRange(0, 5)):
        if fdp.ConsumeProbability() < 0.15:
            lst.append(fdp.PickValueInList([5, "row", None, [{"a": 1}], ({"a": 1},)]))
        else:
            lst.append(gen_row(fdp, True))
    for pos, element in enumerate(lst):
        if isinstance(element, dict):
            for v in dict.values(element):
                if isinstance(v, Hooked):
                    v.container = (lst, pos)
    return lst


# ---------------------------------------------------------------------------------------
# The model's walk of one call, after the fact.

class Failure(Exception):
    def __init__(self, exc_type, message=None):
        super().__init__(exc_type, message)
        self.exc_type = exc_type
        self.message = message


def typed_any(v):
    return typed_hooked(v) if isinstance(v, Hooked) else typed_plain(v)


def model_row(d, items=None):
    """The model's row of one dict, or raises Failure with what the call must raise."""
    row = {}
    items = items if items is not None else list(dict.items(d))
    for key, value in items:
        if not isinstance(key, str):
            raise Failure(TypeError, f"'{type(key).__qualname__}' object cannot be converted "
                                     "to 'PyString'")
        try:
            name = str.encode(key, "utf-8")
        except UnicodeEncodeError:
            raise Failure(UnicodeEncodeError) from None
        tv = typed_any(value)
        if isinstance(tv, Panic):
            raise Failure(State.panic_type, tv.message)
        if isinstance(tv, Stopped):
            raise Failure(tv.exc_type, "raised by a fuzzed hook")
        if isinstance(value, Hooked) and value.action_taken in DICT_SIZE_ACTIONS:
            raise Failure(State.panic_type, "dictionary changed size during iteration")
        if isinstance(value, Hooked) and value.action_taken is act_move_first_key and len(
                items) >= 2:
            raise Failure(State.panic_type, "dictionary keys changed during iteration")
        row[name] = tv
    return row


def model_walk(snapshot):
    """Rows of an observe_dicts call. snapshot holds each element with its items as they
    were when the call started; hooks change no row of a list, so those items are what the
    module reads, also for a row read again after a hook changed the list. The list itself
    is read in its changed form once the change has happened."""
    items_at_start = {id(e): items for e, items in snapshot if isinstance(e, dict)}
    rows = []
    n = len(snapshot)
    current = [e for e, _ in snapshot]
    changed = False
    i = 0
    while i < min(n, len(current)):
        element = current[i]
        pos = i
        i += 1
        if not isinstance(element, dict):
            continue
        items = items_at_start.get(id(element))
        rows.append(model_row(element, items))
        if not changed and State.list_mutated is not None and State.list_mutated[0] == pos:
            current = State.list_mutated[1]
            changed = True
    return rows


# ---------------------------------------------------------------------------------------
# Running one call and comparing its outcome with the model.

def _remember_actions(objs):
    for d in objs:
        if isinstance(d, dict):
            for v in dict.values(d):
                if isinstance(v, Hooked):
                    v.action_taken = v.action


def run_call(call, expect):
    """`expect` computes the model's rows (or raises Failure); it runs after the call, since
    hooks decide during the call how the list is read."""
    State.failures = []
    State.list_mutated = None
    try:
        call()
        raised = None
    except BaseException as exc:  # noqa: BLE001 - compared with the model below
        raised = exc
    if State.failures:
        raise AssertionError("; ".join(State.failures))
    try:
        rows = expect()
        want = None
    except Failure as failure:
        want = failure
    if want is None:
        if raised is not None:
            raise AssertionError(f"call failed but the model accepts it: {raised!r}") from raised
        State.model.apply(rows)
        return
    if raised is None:
        raise AssertionError(f"call succeeded but the model expects {want.exc_type.__name__}"
                             f" {want.message!r}")
    if type(raised) is not want.exc_type:
        raise AssertionError(f"raised {raised!r}, model expects {want.exc_type.__name__}"
                             f" {want.message!r}") from raised
    if want.message is not None and str(raised) != want.message:
        raise AssertionError(f"message {str(raised)!r}, model expects {want.message!r}")
    # A failed call ingests nothing: the model is left as the hooks left it.


def op_observe_dict(fdp):
    d = gen_row(fdp, True)
    items = list(dict.items(d))
    _remember_actions([d])
    if fdp.ConsumeBool():
        call = lambda: State.profiler.observe_dict(d)  # noqa: E731
    else:
        call = lambda: State.profiler.observe_dict(py_dict=d)  # noqa: E731
    run_call(call, lambda: [model_row(d, items)])


def op_observe_dicts(fdp):
    lst = gen_list(fdp)
    snapshot = [(e, list(dict.items(e)) if isinstance(e, dict) else None) for e in lst]
    _remember_actions(lst)
    run_call(lambda: State.profiler.observe_dicts(lst), lambda: model_walk(snapshot))


BAD_ARGS = [[("a", 1)], ({"a": 1},), None, 5, "row", {"a": 1}]


def op_bad_call(fdp):
    arg = fdp.PickValueInList(BAD_ARGS)
    p = State.profiler
    which = fdp.ConsumeIntInRange(0, 5)
    qualname = type(arg).__qualname__
    if which == 0 and not isinstance(arg, dict):
        call = lambda: p.observe_dict(arg)  # noqa: E731
        text = f"argument 'py_dict': '{qualname}' object cannot be converted to 'PyDict'"
    elif which == 1 and not isinstance(arg, list):
        call = lambda: p.observe_dicts(arg)  # noqa: E731
        text = f"argument 'py_list': '{qualname}' object cannot be converted to 'PyList'"
    elif which == 2:
        call = lambda: p.observe_dict()  # noqa: E731
        text = "Profiler.observe_dict() missing 1 required positional argument: 'py_dict'"
    elif which == 3:
        call = lambda: p.observe_dicts([arg], arg)  # noqa: E731
        text = "Profiler.observe_dicts() takes 1 positional arguments but 2 were given"
    elif which == 4:
        call = lambda: p.observe_dict(arg, py_dict=arg)  # noqa: E731
        text = "Profiler.observe_dict() got multiple values for argument 'py_dict'"
    else:
        call = lambda: p.flush(arg)  # noqa: E731
        text = None  # the interpreter's own message for a method without arguments

    def expect():
        raise Failure(TypeError, text)

    run_call(call, expect)


def op_flush(fdp):
    State.model.check(State.profiler.flush())


def op_dist(fdp):
    """karvo_dist: rows split between two profiles and merged give what one profile of all
    of them gives, the stored form reads back equal, and other bytes (fuzzed, or a stored
    form with one byte changed) are refused with ValueError."""
    rows = []
    for _ in range(fdp.ConsumeIntInRange(0, 6)):
        row = gen_row(fdp, False)
        try:
            model_row(row)
        except Failure:
            continue  # karvo's own failures are the rest of the harness's business
        rows.append(row)
    split = fdp.ConsumeIntInRange(0, len(rows))
    seed = fdp.ConsumeIntInRange(0, 2**64 - 1) if fdp.ConsumeBool() else 0
    a, b, whole = DistProfile(seed), DistProfile(seed), DistProfile(seed)
    a.observe_dicts(rows[:split])
    b.observe_dicts(rows[split:])
    whole.observe_dicts(rows)
    a.merge(b)
    data = whole.to_bytes()
    if a.to_bytes() != data or a.report() != whole.report():
        raise AssertionError(f"karvo_dist: merge at row {split} differs from one profile")
    if DistProfile.from_bytes(data, seed) != whole:
        raise AssertionError("karvo_dist: stored form reads back different")
    at = fdp.ConsumeIntInRange(0, len(data) - 1)
    changed = data[:at] + bytes([data[at] ^ fdp.ConsumeIntInRange(1, 255)]) + data[at + 1:]
    for bad in (changed, fdp.ConsumeBytes(fdp.ConsumeIntInRange(0, 64))):
        try:
            DistProfile.from_bytes(bad, seed)
        except ValueError:
            continue
        if bad is changed:
            raise AssertionError(f"karvo_dist: a changed byte at {at} went unnoticed")


OPS = [op_observe_dict, op_observe_dict, op_observe_dicts, op_observe_dicts, op_observe_dicts,
       op_bad_call, op_flush, op_dist]


def _find_panic_type():
    p = karvo.Profiler()
    d = {}

    class Grow:
        def __index__(self):
            d["grown"] = 1
            return 0

    d["x"] = Grow()
    try:
        p.observe_dict(d)
    except BaseException as exc:  # noqa: BLE001
        return type(exc)
    raise AssertionError("growing a dict inside a hook went unnoticed")


def test_one_input(data):
    fdp = atheris.FuzzedDataProvider(data)
    State.profiler = karvo.Profiler()
    State.model = Model()
    for _ in range(fdp.ConsumeIntInRange(1, 8)):
        fdp.PickValueInList(OPS)(fdp)
    State.model.check(State.profiler.flush())
    if State.profiler.flush() != "{}":
        raise AssertionError("second flush in a row is not empty")


def main():
    State.panic_type = _find_panic_type()
    # The module swallows what hooks raise and writes a notice for a hook's PanicException
    # to stderr; keep the fuzzer's output readable.
    for fn in (test_one_input, gen_value, gen_key, gen_row, gen_list, model_row, model_walk,
               typed_hooked, run_call, op_bad_call):
        globals()[fn.__name__] = atheris.instrument_func(fn)
    atheris.Setup(sys.argv, test_one_input)
    atheris.Fuzz()


if __name__ == "__main__":
    main()
