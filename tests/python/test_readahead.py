"""The read-ahead that decodes the command's record batches on a thread of its own: the
same items in the same order, a bounded number alive, a source's failure raised on the
consumer's thread after everything before it, and a stop (close, Ctrl-C) that ends the
decoder without waiting on a source that blocks. Every wait here has a timeout."""

import threading
import time

import pytest

from karvo_dist import Profile
from karvo_dist._readahead import ReadAhead
from timed_interrupt import keyboard_interrupt_after

WAIT = 10.0  # seconds any wait in these tests may take before it fails the test


class Boom(Exception):
    pass


class Halt(BaseException):
    pass


class Source:
    """A generator of 0, 1, 2, ... that counts what it gave, can fail after `fail_after`
    items, can block before item `block_at` until released, and notes that it was
    closed."""

    def __init__(self, count=None, fail_after=None, error=None, block_at=None):
        self.count = count
        self.fail_after = fail_after
        self.error = error
        self.block_at = block_at
        self.given = 0
        self.blocked = threading.Event()
        self.release = threading.Event()
        self.closed = threading.Event()

    def __iter__(self):
        try:
            while self.count is None or self.given < self.count:
                if self.given == self.fail_after:
                    raise self.error
                if self.given == self.block_at:
                    self.blocked.set()
                    assert self.release.wait(WAIT), "never released"
                self.given += 1
                yield self.given - 1
        finally:
            self.closed.set()


def until(condition):
    deadline = time.monotonic() + WAIT
    while not condition():
        assert time.monotonic() < deadline, "waited too long"
        time.sleep(0.005)


def ended(ahead):
    ahead.decoder.join(WAIT)
    return not ahead.decoder.is_alive()


@pytest.mark.parametrize("depth", [1, 2, 5])
@pytest.mark.parametrize("count", [0, 1, 2, 50])
def test_every_item_in_order_once(depth, count):
    source = Source(count)
    with ReadAhead(source, depth).start() as ahead:
        assert list(ahead) == list(range(count))
        assert next(ahead, "end") == "end"
    assert ended(ahead) and source.closed.is_set() and ahead.failure is None


@pytest.mark.parametrize("depth", [1, 2])
def test_at_most_depth_items_ahead_of_the_one_held(depth):
    source = Source(20)
    with ReadAhead(source, depth).start() as ahead:
        for held in range(20):
            assert next(ahead) == held
            # The decoder goes as far as it may; give it a moment to go further.
            until(lambda: source.given >= min(20, held + 1 + depth))
            time.sleep(0.02)
            assert source.given <= held + 1 + depth


@pytest.mark.parametrize("error", [Boom("midway"), OSError(5, "corrupt page"), Halt()],
                         ids=["Exception", "OSError", "BaseException"])
@pytest.mark.parametrize("depth", [1, 3])
def test_a_failure_midway_comes_after_the_items_before_it(error, depth):
    source = Source(fail_after=3, error=error)
    with ReadAhead(source, depth).start() as ahead:
        got = []
        with pytest.raises(type(error)) as raised:
            for item in ahead:
                assert ahead.failure is None
                got.append(item)
        assert raised.value is error and ahead.failure is error
        assert got == [0, 1, 2]
        with pytest.raises(type(error)):  # and again, if asked again
            next(ahead)
    assert ended(ahead)


def test_a_failure_at_the_first_item():
    source = Source(fail_after=0, error=Boom("at once"))
    with ReadAhead(source).start() as ahead, pytest.raises(Boom, match="at once"):
        next(ahead)


@pytest.mark.parametrize("taken", [0, 1, 3])
def test_an_early_stop_ends_the_decoder_and_closes_the_source(taken):
    source = Source()  # endless
    with ReadAhead(source, 2).start() as ahead:
        for _ in range(taken):
            next(ahead)
        until(lambda: source.given >= taken + 2)  # the decoder waits for a free slot
    assert ended(ahead) and source.closed.is_set()
    given = source.given
    assert given <= taken + 3
    with pytest.raises(StopIteration):  # a closed read-ahead gives nothing more
        next(ahead)
    assert source.given == given


def test_close_twice_and_before_start():
    ReadAhead(Source(3)).close()  # never started: nothing to stop
    ahead = ReadAhead(Source(3)).start()
    ahead.close()
    ahead.close()
    assert ended(ahead)


def test_ctrl_c_while_the_source_blocks(ctrl_c):
    """The consumer waits on a decoder that is stuck in its source: Ctrl-C reaches the
    consumer, and once the source comes back the decoder stops before asking again."""
    source = Source(block_at=2)
    ahead = ReadAhead(source, 1).start()
    assert [next(ahead), next(ahead)] == [0, 1]
    assert source.blocked.wait(WAIT)
    with pytest.raises(KeyboardInterrupt), keyboard_interrupt_after(0.2):
        next(ahead)
    started = time.monotonic()
    ahead.close()  # leaves the stuck decoder to end on its own, after a bounded wait
    assert time.monotonic() - started < WAIT
    source.release.set()
    assert ended(ahead) and source.closed.is_set()
    assert source.given == 3  # the blocked item finished; no other was asked for


def test_consumers_on_threads_side_by_side():
    results = {}

    def consume(key):
        with ReadAhead(Source(200), 1 + key % 3).start() as ahead:
            results[key] = list(ahead)

    threads = [threading.Thread(target=consume, args=(key,)) for key in range(8)]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join(WAIT)
        assert not thread.is_alive()
    assert results == {key: list(range(200)) for key in range(8)}


def test_depth_below_one_is_refused():
    with pytest.raises(ValueError, match="at least 1"):
        ReadAhead([], 0)


# --- through observe_arrow, as the command uses it --------------------------------------

pa = pytest.importorskip("pyarrow")


def batches(rows=5000, size=700):
    table = pa.table({
        "id": pa.array(range(rows), pa.int64()),
        "text": pa.array([f"t{i % 311}" if i % 7 else None for i in range(rows)]),
        "x": pa.array([i / 3 if i % 5 else None for i in range(rows)]),
    })
    return table, table.to_batches(max_chunksize=size)


def test_observe_arrow_through_the_read_ahead_equals_the_table():
    table, parts = batches()
    direct = Profile(3)
    direct.observe_arrow(table)
    ahead_profile = Profile(3)
    with ReadAhead(iter(parts), 2).start() as ahead:
        rows = ahead_profile.observe_arrow(pa.RecordBatchReader.from_batches(table.schema, ahead))
    assert rows == table.num_rows
    assert ahead_profile.report() == direct.report()


def test_a_source_failing_midway_adds_nothing_and_is_kept():
    table, parts = batches()
    error = OSError("corrupt page")

    def failing():
        yield from parts[:3]
        raise error

    profile = Profile(3)
    profile.observe_dicts([{"before": 1}])
    unchanged = profile.report()
    with ReadAhead(failing()).start() as ahead, pytest.raises(ValueError, match="corrupt page"):
        profile.observe_arrow(pa.RecordBatchReader.from_batches(table.schema, ahead))
    assert ahead.failure is error
    assert profile.report() == unchanged
