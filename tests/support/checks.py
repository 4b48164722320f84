"""What the tests check in many places: exact errors, QMP error objects, leaks over repeated
calls, the interpreter lock."""

import errno
import gc
import json
import os
import sys
import threading


def outcome(call):
    """What the call returned, or the exception it raised."""
    try:
        return call()
    except BaseException as error:  # PanicException derives from BaseException
        return error


def check_error(call, kind, text) -> BaseException:
    """The call raises exactly `kind` (a type, or a name for the panic exception, which cannot
    be imported) with the text `text` (None: any); an OSError carries its message alone."""
    error = outcome(call)
    assert (type(error).__name__ if isinstance(kind, str) else type(error)) == kind, repr(error)
    assert text is None or str(error) == text
    assert kind is not OSError or (error.args == (text,) and error.errno is None)
    return error


def open_descriptors() -> int:
    return len(os.listdir("/proc/self/fd"))


REPEAT = int(os.environ.get("BRINDLE_REPEAT", "0"))


def repeated(call):
    """Runs `call`, which checks its own outcome; with BRINDLE_REPEAT=N, N times more, leaving no
    descriptor, memory block or reference behind (a leak per run shows as N, caches settling as
    a handful)."""
    def usage():
        gc.collect()
        return open_descriptors(), sys.getallocatedblocks(), getattr(sys, "gettotalrefcount", int)()

    result = call()
    if REPEAT:
        before = usage()
        for _ in range(REPEAT):
            call()
        descriptors, blocks, references = (b - a for a, b in zip(before, usage()))
        assert descriptors == 0 and blocks < REPEAT // 2 + 20 and references < REPEAT // 2 + 20, (
            f"after {REPEAT} runs: {descriptors} descriptors, {blocks} blocks, {references} "
            "references more")
    return result


def os_text(code: int) -> str:
    return f"{os.strerror(code)} (os error {code})"


EAGAIN, EINTR = os_text(errno.EAGAIN), os_text(errno.EINTR)


def qmp_error(call) -> dict:
    """The object a QMP failure carries: RuntimeError(text) with exactly two members."""
    error = outcome(call)
    assert type(error) is RuntimeError and len(error.args) == 1, repr(error)
    value = json.loads(error.args[0])
    assert list(value) == ["context", "message"]
    return value


def assert_releases_gil(call, release, expected) -> None:
    """Runs `call` on another thread and `release()` on this one; `release` waits until the
    call blocks, then gives it what it waits for. Had the call kept the interpreter lock, this
    thread could not run until the call gave up on its own, with another outcome."""
    results = []
    worker = threading.Thread(target=lambda: results.append(outcome(call)))
    worker.start()
    release()
    worker.join(60)
    assert results == [expected]
