import os
import shutil
import threading
import time

import pytest
from support.firecracker_server import HANG, FakeApiServer, short_socket_dir
from support.system import open_descriptor_count

OK = (b"HTTP/1.1 200 OK\r\nContent-Length: 2\r\n\r\n{}",)
BAD_REQUEST = (b"HTTP/1.1 400 Bad Request\r\nContent-Length: 2\r\n\r\n{}",)
PROBE = (
    b"GET / HTTP/1.1\r\nHost: localhost\r\nAccept: application/json\r\n"
    b"Content-Type: application/json\r\nContent-Length: 0\r\nConnection: close\r\n\r\n"
)


@pytest.fixture
def socket_path():
    directory = short_socket_dir()
    yield os.path.join(directory, "api.sock")
    shutil.rmtree(directory, ignore_errors=True)


def timed_wait(ffi, path, timeout):
    started = time.monotonic()
    try:
        result = ffi.firecracker_wait_for_socket(path, timeout)
    except OSError as error:
        result = error
    return result, time.monotonic() - started


def assert_timed_out(result):
    assert type(result) is OSError and result.args == ("wait_for_socket timed out",)


def test_returns_once_the_socket_appears_and_answers(ffi, socket_path):
    servers = []
    timer = threading.Timer(0.4, lambda: servers.append(FakeApiServer(socket_path, (OK,))))
    timer.start()
    try:
        result, elapsed = timed_wait(ffi, socket_path, 10.0)
    finally:
        timer.join()
        for server in servers:
            server.close()
    assert result is None
    assert 0.35 <= elapsed < 3.0
    assert servers[0].requests == [PROBE]


def test_keeps_polling_through_failed_probes(ffi, socket_path):
    # Refused, malformed and non-200 answers are all silent retries.
    with FakeApiServer(socket_path, ([], BAD_REQUEST, (b"garbage\r\n\r\n",), OK)) as server:
        result, _ = timed_wait(ffi, socket_path, 10.0)
        assert result is None
        assert server.connections == 4


def test_non_200_answers_poll_until_the_time_out(ffi, socket_path):
    with FakeApiServer(socket_path, (BAD_REQUEST,)) as server:
        result, elapsed = timed_wait(ffi, socket_path, 0.5)
        assert_timed_out(result)
        assert 0.5 <= elapsed < 2.5
        # A probe every 25 ms or so.
        assert server.connections >= 5
        assert set(server.requests) == {PROBE}


@pytest.mark.parametrize("kind", ["missing", "regular-file", "nul-byte"])
def test_paths_that_never_answer_time_out(ffi, socket_path, kind):
    path = socket_path
    server = None
    if kind == "regular-file":
        open(socket_path, "w").close()
    elif kind == "nul-byte":
        # The part before the NUL is a live server; the path as a whole names nothing.
        server = FakeApiServer(socket_path, (OK,))
        path = socket_path + "\0x"
    try:
        result, elapsed = timed_wait(ffi, path, 0.3)
    finally:
        if server:
            server.close()
    assert_timed_out(result)
    assert 0.3 <= elapsed < 2.0
    if server:
        assert server.connections == 0


@pytest.mark.parametrize("timeout", [0, -1, float("nan"), float("-inf")])
def test_tiny_time_outs_still_make_one_attempt(ffi, socket_path, timeout):
    with FakeApiServer(socket_path, (OK,)) as server:
        result, _ = timed_wait(ffi, socket_path, timeout)
        assert result is None
        assert server.connections == 1


def test_a_started_probe_runs_past_the_deadline(ffi, socket_path):
    # The probe's own time-out is 1 s, whatever is left of the caller's.
    with FakeApiServer(socket_path, ([HANG],)) as server:
        result, elapsed = timed_wait(ffi, socket_path, 0.1)
        assert_timed_out(result)
        assert 0.9 <= elapsed < 3.0
        assert server.connections == 1


@pytest.mark.parametrize(
    "timeout, message",
    [
        (float("inf"), "cannot convert float seconds to Duration: value is either too big or NaN"),
        (2.0**64, "cannot convert float seconds to Duration: value is either too big or NaN"),
        (2.0**63, "overflow when adding duration to instant"),
    ],
)
def test_unusable_time_outs_panic_before_any_attempt(ffi, socket_path, timeout, message):
    with FakeApiServer(socket_path, (OK,)) as server:
        with pytest.raises(BaseException) as raised:
            ffi.firecracker_wait_for_socket(socket_path, timeout)
        assert type(raised.value).__name__ == "PanicException"
        assert raised.value.args == (message,)
        time.sleep(0.05)
        assert server.connections == 0


def test_argument_errors(ffi, socket_path):
    with pytest.raises(TypeError) as raised:
        ffi.firecracker_wait_for_socket(socket_path, "1")
    assert str(raised.value) == "argument 'timeout': must be real number, not str"
    with pytest.raises(TypeError) as raised:
        ffi.firecracker_wait_for_socket(None, 1.0)
    assert str(raised.value) == "argument 'socket_path': 'None' is not an instance of 'str'"


def test_waits_run_in_parallel_and_leave_no_descriptors(ffi, socket_path):
    timed_wait(ffi, socket_path, 0.01)
    before = open_descriptor_count()
    results = []

    def wait():
        results.append(timed_wait(ffi, socket_path, 0.6))

    threads = [threading.Thread(target=wait) for _ in range(4)]
    for thread in threads:
        thread.start()
    # The socket appears while all four wait; each returns at its next attempt.
    time.sleep(0.2)
    with FakeApiServer(socket_path, (OK,)):
        for thread in threads:
            thread.join()
    assert [result for result, _ in results] == [None] * 4
    assert open_descriptor_count() == before
