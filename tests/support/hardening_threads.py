"""Running one function on many Python threads at once, with a bound on how long they may take.

`run_threads(target, count)` starts `count` threads that wait at a barrier, so that they really
call at the same time, then calls `target(index)` on each. It fails if any thread raised (with
the first such exception) or has not finished within `timeout` seconds (a deadlock or a hang),
and returns the targets' results in thread order.
"""

from __future__ import annotations

import threading
import time
from collections.abc import Callable

from support.hardening_signals import block_alarms_in_this_thread


def run_threads(target: Callable[[int], object], count: int, timeout: float = 60.0) -> list:
    barrier = threading.Barrier(count)
    results: list = [None] * count
    errors: list[BaseException] = []

    def run(index: int) -> None:
        block_alarms_in_this_thread()
        try:
            barrier.wait(timeout)
            results[index] = target(index)
        except BaseException as error:  # noqa: BLE001 - reported below, in the calling thread
            errors.append(error)

    threads = [threading.Thread(target=run, args=(i,), daemon=True) for i in range(count)]
    for thread in threads:
        thread.start()
    deadline = time.monotonic() + timeout
    for thread in threads:
        thread.join(max(0.0, deadline - time.monotonic()))
    stuck = sum(thread.is_alive() for thread in threads)
    assert stuck == 0, f"{stuck} of {count} threads still running after {timeout} s"
    if errors:
        raise errors[0]
    return results
