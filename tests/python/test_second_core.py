"""observe_dicts on a second thread: a large call hands the rows it has read to a worker
that keys and folds them, and lends that worker to the engine for the final apply. The
result must be the one-thread result byte for byte, whatever the chunk size; a failure or
an interrupt part way must leave the profile untouched with the worker running; and a
fork from a hook while the worker is alive must leave a child that finishes the call
right.

A test with a parameter `fold` (threads, chunk_cells) runs in a child process in which
every observe_dicts of karvo_dist folds that way (conftest.py): threads 1 on the calling
thread alone, 2 with the worker from the first row, 0 deciding as by default. Its reference
is the same rows given one by one (observe_dict), which folds on the calling thread
whatever the setting.
"""

import math
import os
import random
import signal
import subprocess
import sys
import time

import pytest

from conftest import FOLD_VARIABLE, forked_status
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


def observed(rows):
    """A profile given one row, then `rows` in one observe_dicts call, folded as this
    process's setting says."""
    profile = Profile(SEED)
    profile.observe_dict({"before": 1})
    profile.observe_dicts(rows)
    return profile


def one_by_one(rows, profile=None):
    """The profile of `observed` given the same rows one at a time: the reference, folded
    on the calling thread whatever the setting."""
    if profile is None:
        profile = Profile(SEED)
        profile.observe_dict({"before": 1})
    for row in rows:
        if isinstance(row, dict):
            profile.observe_dict(row)
    return profile


# (threads, chunk_cells): the calling thread alone; the worker with chunks of one cell,
# of a prime number of cells (rows straddle nothing: chunks hold whole rows), and large;
# the default choice.
WAYS = [(1, 16384), (2, 1), (2, 7), (2, 64), (2, 16384), (0, 16384)]


@pytest.mark.parametrize("fold", WAYS)
def test_two_threads_give_the_one_thread_profile(fold):
    for rows_count in [0, 1, 3, 400]:
        rows = mixed_rows(rows_count, random.Random(rows_count))
        alone = one_by_one(rows)
        shared = observed(rows)
        assert shared.to_bytes() == alone.to_bytes(), rows_count
        assert shared.report() == alone.report(), rows_count


def large_rows():
    rng = random.Random(3)
    return [{"id": i, "price": rng.randrange(10_000) / 100, "user": f"u{rng.randrange(5000)}",
             "word": rng.choice(["alpha", "beta", "gamma", "δέλτα"]),
             f"c{i % 300}": rng.random()} for i in range(60_000)]


@pytest.mark.parametrize("fold", [(1, 16384), (0, 16384), (2, 16384), (2, 1000)])
def test_large_call_equals_the_one_thread_profile(fold):
    # Enough cells that observe_dicts starts its worker on its own (when two CPUs may be
    # used) and that the engine's apply is split between the threads.
    rows = large_rows()
    assert observed(rows).to_bytes() == one_by_one(rows).to_bytes()


def test_large_call_by_default_equals_the_one_thread_profile():
    rows = large_rows()
    assert observed(rows).to_bytes() == one_by_one(rows).to_bytes()


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


@pytest.mark.parametrize("fold", [(1, 16384), (2, 16384), (2, 333)])
def test_large_call_equals_small_calls_merged(fold):
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
    large.observe_dicts(rows)
    assert_same_values(large, merged)
    assert large.report() == merged.report()


class CountsThreads:
    """An integer whose conversion records how many threads the process has."""

    seen = []

    def __index__(self):
        CountsThreads.seen.append(len(os.listdir("/proc/self/task")))
        return 1


@pytest.mark.skipif(not os.path.isdir("/proc/self/task"), reason="needs /proc/self/task")
@pytest.mark.parametrize("fold", [(1, 16384), (2, 1)])
def test_the_fold_setting_reaches_observe_dicts(fold):
    # Whether a worker folds beside the reading thread: two threads from the first row,
    # else the calling thread alone, however small the call.
    rows = [{"v": i} for i in range(50)] + [{"v": CountsThreads()}]
    CountsThreads.seen = []
    alone = len(os.listdir("/proc/self/task"))
    observed(rows)
    assert CountsThreads.seen == [alone + (1 if fold[0] == 2 else 0)]


@pytest.mark.parametrize("setting", ["", "2", "2,", ",7", "a,1", "1,0", "-1,5", "1,2,3",
                                     " 1,2", "1,99999999999999999999999"])
def test_a_malformed_fold_setting_fails_the_import(setting):
    env = dict(os.environ, **{FOLD_VARIABLE: setting})
    done = subprocess.run([sys.executable, "-c", "import karvo_dist"], env=env,
                          capture_output=True, text=True, timeout=120)
    assert done.returncode != 0
    assert f"ValueError: {FOLD_VARIABLE} must be 'threads,chunk_cells'" in done.stderr


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


SPOILS = [(bad_key_late, TypeError), (dictionary_changed_late, BaseException),
          (hook_stops_late, BaseException)]


@pytest.mark.parametrize("fold", [(2, 1), (2, 50), (2, 16384)])
def test_failure_late_in_the_call_ingests_nothing(fold, capfd):
    for spoil, error in SPOILS:
        rows = mixed_rows(300, random.Random(1))
        spoil(rows)
        rows.extend(mixed_rows(20, random.Random(2)))
        profile = observed([])
        before = profile.to_bytes()
        with pytest.raises(error):
            profile.observe_dicts(rows)
        assert profile.to_bytes() == before, spoil.__name__
        capfd.readouterr()  # a changed dictionary is reported on stderr
        # The profile takes rows as before after the failed call.
        profile.observe_dicts(rows[:10])
        assert profile.to_bytes() == one_by_one(rows[:10]).to_bytes(), spoil.__name__


@pytest.mark.skipif(not hasattr(signal, "setitimer"), reason="needs interval timers")
@pytest.mark.parametrize("fold", [(2, 4096)])
def test_signal_while_the_worker_runs_ingests_nothing(fold):
    profile = observed([])
    before = profile.to_bytes()
    rows = [{f"c{i}": f"v{i}" for i in range(50)}] * 400_000

    with pytest.raises(KeyboardInterrupt), keyboard_interrupt_after(0.01):
        profile.observe_dicts(rows)
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
    if observed(rows).to_bytes() != one_by_one(rows).to_bytes():
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
@pytest.mark.parametrize("fold", [(2, 1), (2, 64), (2, 16384)])
def test_fork_from_a_hook_leaves_a_child_that_finishes_the_call(fold):
    rows = mixed_rows(600, random.Random(4))
    rows[450]["hook"] = Index(5)  # well after the worker has started folding
    expected = one_by_one(rows).to_bytes()
    rows[450]["hook"] = Forking()
    Forking.pid = None
    profile = observed([])
    failure = None
    try:
        profile.observe_dicts(rows)
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
        self.inner.observe_dicts(self.rows)
        return 9


@pytest.mark.parametrize("fold", [(2, 5)])
def test_nested_calls_with_workers_of_their_own(fold):
    inner_rows = mixed_rows(50, random.Random(8))
    rows = mixed_rows(200, random.Random(9))
    rows[120]["hook"] = Index(9)
    expected = one_by_one(rows).to_bytes()
    inner = Profile(SEED)
    rows[120]["hook"] = Nesting(inner, inner_rows)
    assert observed(rows).to_bytes() == expected
    assert inner.to_bytes() == one_by_one(inner_rows, Profile(SEED)).to_bytes()


@pytest.mark.skipif(not hasattr(os, "fork"), reason="needs fork")
@pytest.mark.parametrize("fold", [(2, 5)])
def test_fork_inside_a_nested_call_leaves_both_calls_whole_in_the_child(fold):
    inner_rows = mixed_rows(80, random.Random(10))
    rows = mixed_rows(300, random.Random(11))
    inner_rows[60]["hook"], rows[200]["hook"] = Index(5), Index(9)
    expected_inner = one_by_one(inner_rows).to_bytes()
    expected = one_by_one(rows).to_bytes()
    inner_rows[60]["hook"] = Forking()
    inner = observed([])
    rows[200]["hook"] = Nesting(inner, inner_rows)
    Forking.pid = None
    outer = observed([])
    failure = None
    try:
        outer.observe_dicts(rows)
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
