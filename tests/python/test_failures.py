"""A failed call ingests nothing, whatever made it fail, and the profiler stays usable."""

import json

import pytest

import karvo
from conftest import panic_exception_type
from value_hooks import Acting, growing


class Key(str):
    pass


@pytest.mark.parametrize(
    "call, error, message",
    [
        (lambda p: p.observe_dict({"a": 1, 2: 1}), TypeError,
         "'int' object cannot be converted to 'PyString'"),
        (lambda p: p.observe_dict({"a": 1, (1,): 1}), TypeError,
         "'tuple' object cannot be converted to 'PyString'"),
        (lambda p: p.observe_dict({"a": 1, b"a": 1}), TypeError,
         "'bytes' object cannot be converted to 'PyString'"),
        (lambda p: p.observe_dicts([{"a": 1}, {2: 1}]), TypeError,
         "'int' object cannot be converted to 'PyString'"),
        (lambda p: p.observe_dicts([{"a": 1}] * 1000 + [{"b": 2, None: 1}]), TypeError,
         "'NoneType' object cannot be converted to 'PyString'"),
        (lambda p: p.observe_dict({"a": 1, "\ud800": 1}), UnicodeEncodeError, None),
        (lambda p: p.observe_dict({"a": 1, Key("\udfff"): 1}), UnicodeEncodeError, None),
        (lambda p: p.observe_dicts([{"a": 1}, {"\ud800x": 1}]), UnicodeEncodeError, None),
    ],
)
def test_bad_key_fails_the_whole_call(primed, call, error, message):
    p, unchanged = primed
    with pytest.raises(error) as info:
        call(p)
    assert type(info.value) is error
    if message is not None:
        assert str(info.value) == message  # not wrapped: the key is no argument
    assert p.flush() == unchanged


def test_profiler_is_usable_after_a_failure(primed):
    p, _ = primed
    with pytest.raises(TypeError):
        p.observe_dict({1: 1})
    p.observe_dict({"kept": 2})
    assert json.loads(p.flush())["kept"]["total_count"] == 2


def test_grown_dictionary_panics_and_ingests_nothing(primed, capfd):
    p, unchanged = primed
    row = {}
    row["a"] = 1
    row["b"] = growing(row)
    row["c"] = 3
    panic = panic_exception_type()
    with pytest.raises(panic) as info:
        p.observe_dicts([{"earlier": 1}, row])
    assert info.value.args == ("dictionary changed size during iteration",)
    assert p.flush() == unchanged


def test_shrunk_dictionary_panics(primed):
    p, unchanged = primed
    row = {}

    class Shrink:
        def __index__(self):
            del row["a"]
            return 1

    row["a"] = 1
    row["b"] = Shrink()
    with pytest.raises(panic_exception_type()) as info:
        p.observe_dict(row)
    assert str(info.value) == "dictionary changed size during iteration"
    assert p.flush() == unchanged


# The swapping value first, or after plain values that are read before any hook runs.
@pytest.mark.parametrize("lead", [{}, {"x": 1, "y": "text"}])
def test_replaced_keys_of_equal_count_panic(primed, lead):
    p, unchanged = primed
    row = dict(lead)

    class Swap:
        def __index__(self):
            # same size, but an entry already read is gone and a new one follows: the
            # walk would yield more entries than the dictionary had
            del row["a"]
            row["c"] = 1
            return 1

    row["a"] = Swap()
    row["b"] = 2
    with pytest.raises(panic_exception_type()) as info:
        p.observe_dict(row)
    assert str(info.value) == "dictionary keys changed during iteration"
    assert p.flush() == unchanged


# Key changes that a hook makes at equal size. The size alone cannot show them; read on
# regardless, a rebuild (which packs the dictionary's entries, so later ones move to
# earlier places) would skip keys or read one twice. Each fixture row has plain values
# before and after the hook; "hole" rows had a key deleted before the call, so a rebuild
# moves every entry after the hole.
def churn(row):
    """Adds 50 keys and deletes them again: the dictionary is rebuilt at its old size."""
    for i in range(50):
        row[f"churn {i}"] = 0
    for i in range(50):
        del row[f"churn {i}"]


def reinsert(key):
    def act(row):
        row[key] = row.pop(key)
    return act


def then(*actions):
    def act(row):
        for action in actions:
            action(row)
    return act


def refill_reversed(row):
    items = list(row.items())
    row.clear()
    row.update(reversed(items))


def swap_read_key(row):
    del row["x"]
    row["new"] = 1


KEY_CHANGES = [
    # (id, hole, hook's action)
    ("adds and deletes 50 keys", True, churn),
    ("re-inserts its own key", False, reinsert("hook")),
    ("re-inserts its own key, adds and deletes 50", False, then(reinsert("hook"), churn)),
    ("re-inserts a key already read", False, reinsert("x")),
    ("re-inserts a key already read, adds and deletes 50", False, then(reinsert("x"), churn)),
    ("re-inserts a key still to come", False, reinsert("b")),
    ("re-inserts a key still to come, adds and deletes 50", True,
     then(reinsert("b"), churn)),
    ("refills the row in reverse order", False, refill_reversed),
    ("replaces a key already read by a new one", False, swap_read_key),
]


def row_with_hook(action, hole):
    row = {"gone": 0} if hole else {}
    row.update(x=1, y="text")
    row["hook"] = Acting(lambda: action(row))
    row.update(b=2, c=3.5)
    if hole:
        del row["gone"]
    return row


@pytest.mark.parametrize("hole, action", [c[1:] for c in KEY_CHANGES],
                         ids=[c[0] for c in KEY_CHANGES])
def test_keys_changed_at_equal_size_panic(primed, hole, action):
    p, unchanged = primed
    row = row_with_hook(action, hole)
    with pytest.raises(panic_exception_type()) as info:
        p.observe_dicts([{"earlier": 1}, row])
    assert info.value.args == ("dictionary keys changed during iteration",)
    assert p.flush() == unchanged


def replace_value(key, value):
    def act(row):
        row[key] = value
    return act


def add_and_delete(row):
    row["passing"] = 1
    del row["passing"]


# Changes that leave every key at its place: values replaced at unchanged keys are read as
# they stand when their entry comes, and a key added and deleted again (even through a
# rebuild that moves no entry) leaves no trace, so the row reads as the dictionary holds it.
# Each case gives the row that the call must count.
KEPT = [
    ("replaces a value still to come", replace_value("b", 7),
     {"x": 1, "y": "text", "hook": 1, "b": 7, "c": 3.5}),
    ("replaces a value already read", replace_value("x", None),
     {"x": 1, "y": "text", "hook": 1, "b": 2, "c": 3.5}),
    ("replaces its own value", replace_value("hook", "text"),
     {"x": 1, "y": "text", "hook": 1, "b": 2, "c": 3.5}),
    ("adds and deletes a key", add_and_delete,
     {"x": 1, "y": "text", "hook": 1, "b": 2, "c": 3.5}),
    ("adds and deletes 50 keys in a row without holes", churn,
     {"x": 1, "y": "text", "hook": 1, "b": 2, "c": 3.5}),
]


@pytest.mark.parametrize("action, counted", [c[1:] for c in KEPT], ids=[c[0] for c in KEPT])
def test_changes_that_keep_the_keys_read_on(action, counted):
    p, witness = karvo.Profiler(), karvo.Profiler()
    p.observe_dicts([{"earlier": 1}, row_with_hook(action, False)])
    witness.observe_dicts([{"earlier": 1}, counted])
    assert p.flush() == witness.flush()


def test_panic_is_not_caught_by_except_exception():
    p = karvo.Profiler()
    row = {}
    row["x"] = growing(row)
    caught = None
    try:
        try:
            p.observe_dict(row)
        except Exception:  # noqa: BLE001 - must not catch it
            caught = "Exception"
    except BaseException as error:  # noqa: B036
        caught = type(error).__name__
    assert caught == "PanicException"


def test_panic_raised_by_a_hook_is_never_swallowed(primed, capfd):
    p, unchanged = primed
    panic = panic_exception_type()

    class Hook:
        def __index__(self):
            raise panic("raised in a hook")

    capfd.readouterr()
    with pytest.raises(panic) as info:
        p.observe_dicts([{"a": 1}, {"b": Hook()}])
    assert info.value.args == ("raised in a hook",)
    err = capfd.readouterr().err
    assert "PanicException" in err
    assert "raised in a hook" in err
    assert "in __index__" in err  # the hook's traceback
    assert p.flush() == unchanged


@pytest.mark.parametrize(
    "argument, text",
    [
        ((), ""),  # str() of the value is empty text, which is carried on as it is
        (("caf\udce9",), "caf?"),
    ],
)
def test_panic_from_a_hook_keeps_its_text(capfd, argument, text):
    panic = panic_exception_type()

    class Hook:
        def __float__(self):
            raise panic(*argument)

    with pytest.raises(panic) as info:
        karvo.Profiler().observe_dict({"a": Hook()})
    assert info.value.args == (text,)


def test_panic_subclass_from_a_hook_ends_the_call_as_itself(primed):
    # Not the PanicException itself, so not made a panic; but no Exception either, so it
    # is not a failed conversion to drop: it ends the call unchanged.
    p, unchanged = primed

    class Sub(panic_exception_type()):
        pass

    class Hook:
        def __index__(self):
            raise Sub("kept")

    with pytest.raises(Sub) as info:
        p.observe_dict({"a": Hook()})
    assert type(info.value) is Sub and info.value.args == ("kept",)
    assert p.flush() == unchanged
