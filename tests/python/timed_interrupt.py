"""A KeyboardInterrupt raised by a timer signal's handler, a set time into a call."""

import contextlib
import signal


@contextlib.contextmanager
def keyboard_interrupt_after(seconds):
    """Within the block, SIGALRM fires after `seconds` and its handler raises
    KeyboardInterrupt; on leaving, the timer is cancelled and the handler restored."""

    def handler(signum, frame):
        raise KeyboardInterrupt

    previous = signal.signal(signal.SIGALRM, handler)
    try:
        signal.setitimer(signal.ITIMER_REAL, seconds)
        yield
    finally:
        signal.setitimer(signal.ITIMER_REAL, 0)
        signal.signal(signal.SIGALRM, previous)
