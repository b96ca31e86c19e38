import faulthandler
import json
import os
import signal
import subprocess
import sys
import time

import pytest

import karvo
from value_hooks import growing


# Seconds any one test may take before the run is ended with every thread's traceback:
# a test that waits on a signal, a thread or a child that never comes fails the run
# instead of hanging it. Generous, since sanitised builds run the same suite.
TEST_LIMIT = float(os.environ.get("KARVO_TEST_LIMIT", "900"))


# The terminal's stderr, kept before output capture starts: the run ends by _exit, which
# would drop a traceback written into the capture.
_stderr = None


def pytest_configure(config):
    global _stderr
    _stderr = os.dup(2)


@pytest.fixture(autouse=True)
def hang_limit():
    faulthandler.dump_traceback_later(TEST_LIMIT, exit=True, file=_stderr)
    yield
    faulthandler.cancel_dump_traceback_later()


@pytest.fixture
def ctrl_c():
    """Ctrl-C as the interpreter handles it by default, whatever the test runner set: a
    runner started with SIGINT ignored (a background job) leaves it ignored otherwise."""
    previous = signal.signal(signal.SIGINT, signal.default_int_handler)
    yield
    signal.signal(signal.SIGINT, previous)


# How karvo_dist's observe_dicts folds its rows: "threads,chunk_cells", read once when
# karvo_dist._native is imported (no setting changes a result).
FOLD_VARIABLE = "KARVO_DIST_TEST_FOLD"
# Seconds a test run in a child process may take.
FOLD_CHILD_LIMIT = 600


def pytest_make_parametrize_id(config, val, argname):
    if argname == "fold":
        return "threads%d-chunk%d" % val
    return None


@pytest.hookimpl(tryfirst=True)
def pytest_pyfunc_call(pyfuncitem):
    """A test with a parameter `fold` (threads, chunk_cells) runs in a child process of its
    own, in which karvo_dist's observe_dicts folds that way; this process only waits for
    it. The setting is read once per process, so a test that compares two settings
    compares one of them with a path that no setting touches (rows one by one)."""
    callspec = getattr(pyfuncitem, "callspec", None)
    if callspec is None or "fold" not in callspec.params:
        return None
    setting = "%d,%d" % callspec.params["fold"]
    if os.environ.get(FOLD_VARIABLE) == setting:
        return None  # the child: run the test here
    env = dict(os.environ, **{FOLD_VARIABLE: setting})
    config = pyfuncitem.config
    try:
        done = subprocess.run(
            [sys.executable, "-m", "pytest", "-q", "-p", "no:cacheprovider", pyfuncitem.nodeid],
            cwd=config.rootpath, env=env, capture_output=True, text=True,
            timeout=FOLD_CHILD_LIMIT, preexec_fn=default_sigint)
    except subprocess.TimeoutExpired:
        pytest.fail(f"the test did not end within {FOLD_CHILD_LIMIT} s in its child process")
    if done.returncode != 0 or " passed" not in done.stdout:
        pytest.fail(f"in a child process with {FOLD_VARIABLE}={setting}:\n"
                    f"{done.stdout}\n{done.stderr}", pytrace=False)
    return True


def default_sigint():
    """For preexec_fn: the child starts with SIGINT at its default, so that its interpreter
    installs its Ctrl-C handler even when this process ignores SIGINT (an ignored signal
    stays ignored across exec, and subprocess's restore_signals leaves SIGINT as it is)."""
    signal.signal(signal.SIGINT, signal.SIG_DFL)


def finished(child, seconds=120):
    """The child's exit status once it ends; a child still running after `seconds` is
    killed and fails the test, so that no wait can hang."""
    try:
        return child.wait(timeout=seconds)
    except subprocess.TimeoutExpired:
        child.kill()
        child.wait()
        pytest.fail(f"the child process did not end within {seconds} s")


def forked_status(pid, seconds):
    """A forked child's wait status, or None for a child still running after `seconds`
    (hung), which is then killed, so that no wait can hang."""
    deadline = time.monotonic() + seconds
    while time.monotonic() < deadline:
        done, status = os.waitpid(pid, os.WNOHANG)
        if done:
            return status
        time.sleep(0.005)
    os.kill(pid, signal.SIGKILL)
    os.waitpid(pid, 0)
    return None


# The one row a primed profiler holds before a call that must leave it as it was.
BEFORE = {"kept": 1}


@pytest.fixture
def primed():
    """A profiler holding one row, and its report text as it must stay."""
    p = karvo.Profiler()
    p.observe_dict(BEFORE)
    witness = karvo.Profiler()
    witness.observe_dict(BEFORE)
    return p, witness.flush()


@pytest.fixture
def profiler():
    return karvo.Profiler()


def report(profiler):
    """The profiler's report, parsed; flushes it."""
    return json.loads(profiler.flush())


def profile_of(*values):
    """The report entry of a column "v" that received the values, one row each."""
    p = karvo.Profiler()
    p.observe_dicts([{"v": value} for value in values])
    return report(p)["v"]


def panic_exception_type():
    """native_runtime.PanicException, as Python code meets it: caught from a failed call."""
    p = karvo.Profiler()
    row = {}
    row["x"] = growing(row)
    try:
        p.observe_dict(row)
    except BaseException as error:  # noqa: B036 - the type under test is a BaseException
        return type(error)
    raise AssertionError("a dictionary that grows while read must end the call")

