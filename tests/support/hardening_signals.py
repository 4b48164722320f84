"""Signal storms for tests of blocking calls.

A storm is SIGALRM on a short interval timer with a Python handler. The handler itself runs only
when the native call returns to the interpreter, so what a storm does to a blocking call is
interrupt its system calls (EINTR), over and over.

Tests that use a storm must not let pytest-timeout use SIGALRM as well: mark them
`pytest.mark.timeout(..., method="thread")`.
"""

from __future__ import annotations

import signal
import threading
from collections.abc import Iterator
from contextlib import contextmanager

INTERVAL = 0.001


class Storm:
    def __init__(self) -> None:
        self.handled = 0

    def _handler(self, signum: int, frame: object) -> None:
        self.handled += 1


def block_alarms_in_this_thread() -> None:
    """Leaves SIGALRM to the other threads (above all the main one, where calls are made)."""
    signal.pthread_sigmask(signal.SIG_BLOCK, {signal.SIGALRM})


@contextmanager
def alarm_storm(interval: float = INTERVAL, start: threading.Event | None = None
                ) -> Iterator[Storm]:
    """SIGALRM every `interval` seconds while the block runs, handled by a counting Python handler.

    With `start`, the timer is armed only once the event is set (by another thread, so that a
    storm can begin in the middle of a blocking call); otherwise at once.
    """
    storm = Storm()
    previous = signal.signal(signal.SIGALRM, storm._handler)
    arming = None
    stop = threading.Event()
    if start is None:
        signal.setitimer(signal.ITIMER_REAL, interval, interval)
    else:

        def arm() -> None:
            block_alarms_in_this_thread()
            while not stop.is_set():
                if start.wait(0.05):
                    signal.setitimer(signal.ITIMER_REAL, interval, interval)
                    return

        arming = threading.Thread(target=arm, daemon=True)
        arming.start()
    try:
        yield storm
    finally:
        stop.set()
        if arming is not None:
            arming.join()
        signal.setitimer(signal.ITIMER_REAL, 0)
        signal.signal(signal.SIGALRM, previous)
