"""Record batches decoded on a thread of their own, a batch ahead of whoever profiles them.

pyarrow's decoders (Parquet pages, CSV blocks, IPC messages) release the GIL while they
work, and so does Profile.observe_arrow while it folds a batch. Done one after the other,
each waits for the other; with the decoding on a second thread, batch k+1 is decoded
while batch k is profiled.

Invariants:
- items come out in the order the source gives them, each once;
- at most `depth + 1` items are alive at a time: the one the consumer holds (from one
  call of `next` to the next) and up to `depth` decoded or being decoded. The decoder
  takes a slot before it asks the source for an item, so memory stays that of
  `depth + 1` batches whatever the file's size;
- a failure of the source (any exception, BaseException included) is raised by `next`
  on the consumer's thread, as the same object, after every item decoded before it;
- `close` (also on leaving a `with` block) stops the decoder before its next item,
  drops the items not yet taken and waits a bounded time for the thread; a source that
  blocks forever cannot hold up the caller, as the thread is a daemon.

Thread safety: one consumer thread calls `next` and `close`; the decoder thread is this
object's own. Every shared field is guarded by `_changed`'s lock; no other lock is
taken while it is held, and the source is only ever called without it.
"""

from __future__ import annotations

import threading
from collections import deque
from typing import Any, Iterable, Iterator

# How long one wait lasts before it is taken up again: a bound on how late a waiting
# consumer notices a signal (Ctrl-C on the main thread) or a waiting decoder a stop.
_TICK = 0.1
# How long close() waits for the decoder to end before leaving it to end on its own.
_JOIN_SECONDS = 1.0


class ReadAhead:
    """Iterates over `source` while a thread of its own decodes up to `depth` items
    ahead. Use as ``with ReadAhead(batches).start() as ahead: for batch in ahead: ...``.
    """

    def __init__(self, source: Iterable[Any], depth: int = 1, name: str = "read-ahead") -> None:
        if depth < 1:
            raise ValueError(f"depth must be at least 1, not {depth}")
        self._source = source
        self._limit = depth + 1  # items alive at once, the consumer's own included
        self._changed = threading.Condition()
        self._ready: deque[Any] = deque()
        self._alive = 0  # items decoded or being decoded and not yet given back
        self._holding = False  # the consumer holds an item from its last next()
        self._stopping = False
        self._finished = False  # the decoder has left: the source ended, failed or stopped
        self._error: BaseException | None = None
        self._raised = False  # next() has raised _error
        self._thread = threading.Thread(target=self._decode, name=name, daemon=True)

    def start(self) -> ReadAhead:
        self._thread.start()
        return self

    def __enter__(self) -> ReadAhead:
        return self

    def __exit__(self, *exc: object) -> None:
        self.close()

    def __iter__(self) -> Iterator[Any]:
        return self

    def __next__(self) -> Any:
        with self._changed:
            self._give_back()
            while not self._ready and not self._finished:
                self._changed.wait(_TICK)
            if self._ready:
                self._holding = True
                return self._ready.popleft()
            if self._error is not None:
                self._raised = True
                raise self._error
            raise StopIteration

    def close(self) -> None:
        """Stops the decoder and drops what it decoded; safe to call more than once."""
        with self._changed:
            self._stopping = True
            self._ready.clear()
            self._changed.notify_all()
        if self._thread.ident is not None and self._thread is not threading.current_thread():
            self._thread.join(_JOIN_SECONDS)

    @property
    def decoder(self) -> threading.Thread:
        return self._thread

    @property
    def failure(self) -> BaseException | None:
        """The source's exception once `next` has raised it; None before, and when the
        source did not fail."""
        with self._changed:
            return self._error if self._raised else None

    # --- the decoder thread -------------------------------------------------------------

    def _decode(self) -> None:
        items = iter(self._source)
        try:
            while self._take_slot():
                try:
                    item = next(items)
                except StopIteration:
                    return
                with self._changed:
                    self._ready.append(item)
                    self._changed.notify_all()
                del item  # the queue's reference is the only one
        except BaseException as error:  # noqa: B036 - raised on the consumer's thread
            with self._changed:
                self._error = error
        finally:
            self._close_source(items)
            with self._changed:
                self._finished = True
                self._changed.notify_all()

    def _take_slot(self) -> bool:
        """Waits until one more item may be alive; False once the consumer has stopped."""
        with self._changed:
            while not self._stopping and self._alive >= self._limit:
                self._changed.wait(_TICK)
            if self._stopping:
                return False
            self._alive += 1
            return True

    def _give_back(self) -> None:
        """The consumer is done with the item it took last: its slot is free again."""
        if self._holding:
            self._holding = False
            self._alive -= 1
            self._changed.notify_all()

    @staticmethod
    def _close_source(items: Iterator[Any]) -> None:
        # A generator stopped early runs its cleanup (closing its file) now, on this
        # thread, rather than whenever it is collected.
        close = getattr(items, "close", None)
        if close is not None:
            try:
                close()
            except Exception:  # noqa: BLE001 - a failing cleanup is not the read's failure
                pass
