"""An exception that is not an Exception (Ctrl-C's KeyboardInterrupt, SystemExit, ...) asks
the program to stop: met in a conversion hook or in a signal handler during a call, it ends
the call as itself and nothing of the call is ingested. An Exception from a hook only fails
that conversion: the value is null."""

import json
import signal

import pytest

import karvo
from timed_interrupt import keyboard_interrupt_after


class Stop(BaseException):
    pass


class Failed(Exception):
    pass


def raising_index(error):
    class Value:
        def __index__(self):
            raise error

    return Value()


def raising_float_after_index(error):
    class Value:
        def __index__(self):
            raise ValueError("no integer")

        def __float__(self):
            raise error

    return Value()


def raising_float(error):
    class Value:
        def __float__(self):
            raise error

    return Value()


HOOKS = {"__index__": raising_index, "__float__ after __index__": raising_float_after_index,
         "__float__ alone": raising_float}

STOPPING = [KeyboardInterrupt, SystemExit, GeneratorExit, Stop]
FAILING = [ValueError, MemoryError, Failed]  # an Exception: the value is null

CASES = [(hook, error) for hook in HOOKS for error in STOPPING + FAILING]


def observe_one(p, row):
    p.observe_dict(row)


def observe_later_row(p, row):
    p.observe_dicts([{"earlier": 1}, row, {"later": 1}])


@pytest.mark.parametrize("observe", [observe_one, observe_later_row])
@pytest.mark.parametrize("hook, error", CASES, ids=[f"{h}-{e.__name__}" for h, e in CASES])
def test_exception_from_a_hook(primed, observe, hook, error):
    p, unchanged = primed
    row = {"a": 1, "v": HOOKS[hook](error("from a hook")), "c": 2.5}
    if error in STOPPING:
        with pytest.raises(error) as info:
            observe(p, row)
        assert type(info.value) is error and info.value.args == ("from a hook",)
        assert p.flush() == unchanged
    else:
        observe(p, row)
        assert json.loads(p.flush())["v"]["null_count"] == 1


def test_ctrl_c_in_a_hook_ends_the_call(primed, ctrl_c):
    p, unchanged = primed

    class Interrupted:
        def __index__(self):
            signal.raise_signal(signal.SIGINT)  # as if the user pressed Ctrl-C just now
            return 1

    with pytest.raises(KeyboardInterrupt):
        p.observe_dicts([{"earlier": 1}, {"v": Interrupted()}, {"later": 1}])
    assert p.flush() == unchanged


@pytest.mark.skipif(not hasattr(signal, "setitimer"), reason="needs interval timers")
def test_pending_signal_ends_a_long_hook_free_call(primed):
    # No Python code runs while a list of plain rows is read, so a signal that arrives
    # meanwhile is only pending; its handler must still be run during the call and its
    # exception end it. The timer fires a few milliseconds into a call that would take
    # seconds to finish.
    p, unchanged = primed
    row = {f"column {i}": i for i in range(100)}
    rows = [row] * 1_000_000

    with pytest.raises(KeyboardInterrupt), keyboard_interrupt_after(0.005):
        p.observe_dicts(rows)
    assert p.flush() == unchanged
