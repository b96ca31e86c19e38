"""observe_dicts on a second thread: a large call hands the rows it has read to a worker
that keys and folds them, and lends that worker to the engine for the final apply. The
result must be the one-thread result byte for byte, whatever the chunk size; a failure or
an interrupt part way must leave the profile untouched with the worker running; and a
fork from a hook while the worker is alive must leave a child that finishes the call
right.

karvo_dist.Profile._observe_dicts_tuned(rows, threads, chunk_cells) is observe_dicts with
the choice forced: threads 1 folds on the calling thread alone, 2 starts the worker at the
first row, 0 decides as observe_dicts does.
"""

import math
import os
import random
import signal
import time

import pytest

from conftest import forked_status
from karvo_dist import Profile
from profile_checks import assert_same_values
from value_hooks import Index, Real
from timed_interrupt import keyboard_interrupt_after

SEED = 11


class Name(str):
    """A str-subclass key: may share its text with another key of the row."""


class Text(str):
    """A str-subclass value: text through the general rules."""


def mixed_rows(n, rng):
    """Rows of every kind of value the reader treats differently, with absent columns."""
    rows = []
    for i in range(n):
        row = {
            "int": rng.randrange(-50, 50),
            "big": rng.choice([2**53 + 1, -(2**63), 2**64 - 1, 2**63 + 12345, 2**70,
                               -(10**400)]),
            "real": rng.choice([0.0, -0.0, 1.5, math.nan, math.inf, -math.inf, 2.0]),
            "text": f"t{rng.randrange(40)}",
            "accented": rng.choice(["é", "naïve", "日本", "a\x00b", ""]),
            "long": "x" * rng.randrange(200, 700) + str(i % 9),
            "hooks": rng.choice([Index(i % 7), Real(i / 3), Text("sub"), Real(math.nan)]),
            "none": None,
            "bool": i % 3 == 0,
            "nested": {"a": 1} if i % 5 else [1, 2],
        }
        if i % 4 == 0:
            row[f"sparse{i % 13}"] = i  # columns absent from most rows, first seen late
        if i % 6 == 0:
            row[Name("text")] = "duplicate text key"  # the later cell of "text" wins
        rows.append(row)
        if i % 10 == 0:
            rows.append("not a dict")  # skipped
    return rows


def observed(rows, threads, chunk_cells):
    profile = Profile(SEED)
    profile.observe_dict({"before": 1})
    profile._observe_dicts_tuned(rows, threads, chunk_cells)
    return profile


# (threads, chunk_cells): the calling thread alone; the worker with chunks of one cell,
# of a prime number of cells (rows straddle nothing: chunks hold whole rows), and large.
WAYS = [(2, 1), (2, 7), (2, 64), (2, 16384), (0, 16384)]


@pytest.mark.parametrize("rows_count", [0, 1, 3, 400])
@pytest.mark.parametrize("threads, chunk_cells", WAYS)
def test_two_threads_give_the_one_thread_profile(rows_count, threads, chunk_cells):
    rows = mixed_rows(rows_count, random.Random(rows_count))
    alone = observed(rows, 1, 16384)
    shared = observed(rows, threads, chunk_cells)
    assert shared.to_bytes() == alone.to_bytes()
    assert shared.report() == alone.report()


def test_large_call_equals_the_one_thread_profile():
    # Enough cells that observe_dicts starts its worker on its own (when two CPUs may be
    # used) and that the engine's apply is split between the threads.
    rng = random.Random(3)
    rows = [{"id": i, "price": rng.randrange(10_000) / 100, "user": f"u{rng.randrange(5000)}",
             "word": rng.choice(["alpha", "beta", "gamma", "δέλτα"]),
             f"c{i % 300}": rng.random()} for i in range(60_000)]
    alone = observed(rows, 1, 16384)
    for threads, chunk_cells in [(0, 16384), (2, 16384), (2, 1000)]:
        assert observed(rows, threads, chunk_cells).to_bytes() == alone.to_bytes()
    plain = Profile(SEED)
    plain.observe_dict({"before": 1})
    plain.observe_dicts(rows)
    assert plain.to_bytes() == alone.to_bytes()


def low_cardinality_rows(n, rng):
    """Columns whose values repeat, from a few to a few thousand distinct ones, one of
    distinct values, and one whose new values come last: the parts of a large call list a
    repeated key once in a while only."""
    return [{"flag": rng.random() < 0.5, "status": rng.randrange(10),
             "store": rng.randrange(-500, 500), "price": rng.randrange(3000) / 100,
             "country": rng.choice(["de", "fr", "é", "日本", ""]), "user": f"u{rng.randrange(4000)}",
             "id": i, "maybe": None if i % 7 else rng.randrange(5),
             # 0 (whose key is the word 0), -0.0 and new values first seen late in the call
             "late": i % 9 + 1 if i < n - 300 else rng.choice([0, -0.0, 10, i])}
            for i in range(n)]


@pytest.mark.parametrize("threads, chunk_cells", [(1, 16384), (2, 16384), (2, 333)])
def test_large_call_equals_small_calls_merged(threads, chunk_cells):
    # Calls of 50 rows give parts too short to drop any repeated key; their merge is the
    # profile of every key as received. One large call, on one thread or two, drops most
    # repeats of its columns' keys before the sketches see them, and must give the same
    # profile byte for byte.
    rows = low_cardinality_rows(40_000, random.Random(5))
    small = []
    for start in range(0, len(rows), 50):
        profile = Profile(SEED)
        profile.observe_dicts(rows[start:start + 50])
        small.append(profile)
    merged = Profile.merged(small, SEED)
    large = Profile(SEED)
    large._observe_dicts_tuned(rows, threads, chunk_cells)
    assert_same_values(large, merged)
    assert large.report() == merged.report()


@pytest.mark.parametrize("arguments, error", [
    ((None, 1, 1), TypeError),
    (([], -1, 1), ValueError),
    (([], 1, 0), ValueError),
    (([], "2", 1), TypeError),
])
def test_tuned_call_checks_its_arguments(arguments, error):
    with pytest.raises(error):
        Profile()._observe_dicts_tuned(*arguments)


# ---- failures with the worker running: nothing of the call reaches the profile


def bad_key_late(rows):
    rows.append({1: "a key that is not a str"})


def dictionary_changed_late(rows):
    row = {"a": 1, "b": 2}

    def grow():
        row["c"] = 3

    row["a"] = _Acting(grow)
    rows.append(row)


class _Acting:
    def __init__(self, action):
        self.action = action

    def __index__(self):
        self.action()
        return 1


def hook_stops_late(rows):
    class Stop(BaseException):
        pass

    class Stopping:
        def __index__(self):
            raise Stop

    rows.append({"v": Stopping()})


@pytest.mark.parametrize("spoil, error", [
    (bad_key_late, TypeError),
    (dictionary_changed_late, BaseException),
    (hook_stops_late, BaseException),
])
@pytest.mark.parametrize("chunk_cells", [1, 50, 16384])
def test_failure_late_in_the_call_ingests_nothing(spoil, error, chunk_cells, capfd):
    rows = mixed_rows(300, random.Random(1))
    spoil(rows)
    rows.extend(mixed_rows(20, random.Random(2)))
    profile = observed([], 1, 1)
    before = profile.to_bytes()
    with pytest.raises(error):
        profile._observe_dicts_tuned(rows, 2, chunk_cells)
    assert profile.to_bytes() == before
    capfd.readouterr()  # a changed dictionary is reported on stderr
    # The profile takes rows as before after the failed call.
    profile._observe_dicts_tuned(rows[:10], 2, 3)
    assert profile.to_bytes() == observed(rows[:10], 1, 16384).to_bytes()


@pytest.mark.skipif(not hasattr(signal, "setitimer"), reason="needs interval timers")
def test_signal_while_the_worker_runs_ingests_nothing():
    profile = observed([], 1, 1)
    before = profile.to_bytes()
    rows = [{f"c{i}": f"v{i}" for i in range(50)}] * 400_000

    with pytest.raises(KeyboardInterrupt), keyboard_interrupt_after(0.01):
        profile._observe_dicts_tuned(rows, 2, 4096)
    assert profile.to_bytes() == before


# ---- fork from a hook while the worker is alive


class Forking:
    """An integer whose first conversion forks; the pid of the child is kept (0 in it)."""

    pid = None

    def __index__(self):
        if Forking.pid is None:
            Forking.pid = os.fork()
        return 5


def child_status(profile, failure, expected, rows):
    """What the forked child reports through its exit status: 0 when its call succeeded
    with the whole call's profile and a later call with a worker of its own is right."""
    if failure is not None:
        return 1
    if profile.to_bytes() != expected:
        return 2
    if observed(rows, 2, 5).to_bytes() != observed(rows, 1, 99).to_bytes():
        return 3
    return 0


def wait_for_child(pid, seconds=60):
    """The child's wait status; a child that hangs (waiting for a worker it does not have)
    is killed and fails the test."""
    status = forked_status(pid, seconds)
    if status is None:
        pytest.fail("the forked child hung")
    return status


@pytest.mark.skipif(not hasattr(os, "fork"), reason="needs fork")
@pytest.mark.parametrize("chunk_cells", [1, 64, 16384])
def test_fork_from_a_hook_leaves_a_child_that_finishes_the_call(chunk_cells):
    rows = mixed_rows(600, random.Random(4))
    rows[450]["hook"] = Index(5)  # well after the worker has started folding
    expected = observed(rows, 1, 16384).to_bytes()
    rows[450]["hook"] = Forking()
    Forking.pid = None
    profile = observed([], 1, 1)
    failure = None
    try:
        profile._observe_dicts_tuned(rows, 2, chunk_cells)
    except BaseException as error:  # in the child, nothing may escape past os._exit
        failure = error
    if Forking.pid == 0:
        status = 4
        try:
            status = child_status(profile, failure, expected, rows[:100])
        finally:
            os._exit(status)
    status = wait_for_child(Forking.pid)
    assert failure is None
    assert os.WIFEXITED(status) and os.WEXITSTATUS(status) == 0, status
    assert profile.to_bytes() == expected


class Nesting:
    """An integer whose conversion first runs a call with a worker of its own, into another
    profile, while the outer call's worker is alive."""

    def __init__(self, inner, rows):
        self.inner, self.rows = inner, rows

    def __index__(self):
        self.inner._observe_dicts_tuned(self.rows, 2, 3)
        return 9


def test_nested_calls_with_workers_of_their_own():
    inner_rows = mixed_rows(50, random.Random(8))
    rows = mixed_rows(200, random.Random(9))
    rows[120]["hook"] = Index(9)
    expected = observed(rows, 1, 16384).to_bytes()
    inner = Profile(SEED)
    rows[120]["hook"] = Nesting(inner, inner_rows)
    assert observed(rows, 2, 5).to_bytes() == expected
    alone = Profile(SEED)
    alone._observe_dicts_tuned(inner_rows, 1, 16384)
    assert inner.to_bytes() == alone.to_bytes()


@pytest.mark.skipif(not hasattr(os, "fork"), reason="needs fork")
def test_fork_inside_a_nested_call_leaves_both_calls_whole_in_the_child():
    inner_rows = mixed_rows(80, random.Random(10))
    rows = mixed_rows(300, random.Random(11))
    inner_rows[60]["hook"], rows[200]["hook"] = Index(5), Index(9)
    expected_inner = observed(inner_rows, 1, 16384).to_bytes()
    expected = observed(rows, 1, 16384).to_bytes()
    inner_rows[60]["hook"] = Forking()
    inner = observed([], 1, 1)
    rows[200]["hook"] = Nesting(inner, inner_rows)
    Forking.pid = None
    outer = observed([], 1, 1)
    failure = None
    try:
        outer._observe_dicts_tuned(rows, 2, 5)
    except BaseException as error:  # in the child, nothing may escape past os._exit
        failure = error
    if Forking.pid == 0:
        status = 4
        try:
            status = 0 if (failure is None and outer.to_bytes() == expected
                           and inner.to_bytes() == expected_inner) else 1
        finally:
            os._exit(status)
    status = wait_for_child(Forking.pid)
    assert failure is None
    assert os.WIFEXITED(status) and os.WEXITSTATUS(status) == 0, status
    assert (outer.to_bytes(), inner.to_bytes()) == (expected, expected_inner)
