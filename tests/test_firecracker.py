"""firecracker_request and firecracker_wait_for_socket against scripted peers and nginx: what
only the socket shows (request bytes, receive boundaries, time-outs, signals, the interpreter
lock). The head grammar itself is checked in the C++ tables."""

import errno
import os
import signal
import subprocess
import sys
import time

import brindle_core._ffi as ffi
import pytest
from support.checks import EAGAIN, EINTR, assert_releases_gil, os_text, raised, repeated
from support.peer import AWAIT, HANG, OK

HEAD = b"HTTP/1.1 200 OK\r\n"
NO_CONTENT = b"HTTP/1.1 204 No Content\r\n"
TOO_LARGE = "HTTP response headers are too large"
TIMED_OUT = "wait_for_socket timed out"


def request(method: str, path: str, body: bytes) -> bytes:
    return (f"{method} {path} HTTP/1.1\r\nHost: localhost\r\nAccept: application/json\r\n"
            f"Content-Type: application/json\r\nContent-Length: {len(body)}\r\n"
            "Connection: close\r\n\r\n").encode() + body


def outcome(call):
    """The call's result, or the message of the OSError it raised (checked to be exact)."""
    try:
        return call()
    except OSError as error:
        assert type(error) is OSError and error.errno is None and len(error.args) == 1
        return error.args[0]


def get(path: str, timeout: float = 2.0):
    return outcome(lambda: ffi.firecracker_request(path, "GET", "/", None, timeout))


@pytest.mark.parametrize(("method", "path", "body", "sent"), [
    ("GET", "/", None, b""),
    ("GET", "/", "", b""),
    ("PATCH /x", "/a b\r\nX: 1", '{"note":"é€"}', '{"note":"é€"}'.encode()),
])
def test_request_bytes(peer, method, path, body, sent):
    server = peer()
    assert ffi.firecracker_request(server.path, method, path, body, 2.0) == (200, "{}")
    assert server.received == [request(method, path, sent)]


@pytest.mark.storm
def test_a_large_body_is_sent_whole(peer):
    # Far more than the socket buffer takes: the send is partial and, in a storm, interrupted.
    body, server = '{"data":"' + "é" * 1_500_000 + '"}', peer([HANG])
    assert outcome(lambda: ffi.firecracker_request(server.path, "PUT", "/", body, 0.3)) in (
        EAGAIN, EINTR)
    server.wait_for(lambda: server.received)
    assert server.received == [request("PUT", "/", body.encode())]


# The receive boundaries: the head limit counts received bytes, a terminator may be split.
FILLER = b"X: " + b"a" * (65536 - len(HEAD) - 7) + b"\r\n\r\n"
RESPONSES = [
    ([NO_CONTENT + b"Content-Length: 3\r\n\r\na", 0.05, b"bc"], (204, None)),
    ([HEAD + b"Content-Length: 2\r\n\r\nabcdef"], (200, "ab")),
    ([HEAD + b"Content-Length: 6\r\n\r\na", 0.05, b"bc", 0.05, b"def"], (200, "abcdef")),
    ([HEAD + b"\r\nabc", 0.2, b"def"], (200, "abc")),
    ([HEAD + b"\r\n", 0.2, b"def"], (200, None)),
    ([HEAD + b"\r", 0.1, b"\nxyz"], (200, "xyz")),
    ([HEAD + b"Content-Length: 8\r\n\r\na\xffb\xe2\x82c\xed\xa0"],
     (200, "a\ufffdb\ufffdc\ufffd\ufffd")),
    ([b"HTTP/1.1\xc2\xa0201 \xff\r\n\r\n"], (201, None)),
    ([b"HTTP/1.1 200 OK\nContent-Length: 0\n\n"], "malformed HTTP response"),
    ([HEAD + b"Content-Length: 10\r\n\r\nabc"], "failed to fill whole buffer"),
    ([NO_CONTENT + b"Content-Length: 10\r\n\r\nabc"], "failed to fill whole buffer"),
    ([HEAD + b"Content-Length: 18446744073709551615\r\n\r\nabc"], "failed to fill whole buffer"),
    ([HEAD + FILLER], (200, None)),
    ([HEAD + b"X" + FILLER], TOO_LARGE),
    ([HEAD + FILLER[:-4], 0.1, b"\r\n\r\nb"], TOO_LARGE),
    ([HEAD + FILLER[:-1004], 0.1, b"\r\n\r\n" + b"b" * 1000], (200, "b" * 1000)),
]


@pytest.mark.parametrize(("script", "expected"), RESPONSES)
def test_responses(peer, script, expected):
    server = peer(script)

    def exchange():
        assert get(server.path) == expected

    repeated(exchange)


ALLOCATION = """
import resource, sys
sys.path.insert(0, sys.argv[2])
from support.peer import Peer
import brindle_core._ffi as ffi
head = b"HTTP/1.1 200 OK\\r\\nContent-Length: 1099511627776\\r\\n\\r\\n"
server = Peer(sys.argv[1], [head, ("repeat", b"x" * (1 << 20), 0)])
with open("/proc/self/status") as status:
    size = next(int(line.split()[1]) for line in status if line.startswith("VmSize:"))
resource.setrlimit(resource.RLIMIT_AS, ((size + 160 * 1024) * 1024,) * 2)
try:
    ffi.firecracker_request(sys.argv[1], "GET", "/", None, 10.0)
except OSError as error:
    print(type(error).__name__, error.args)
server.close()
"""


def test_a_body_that_cannot_be_allocated_is_an_os_error(tmp_path):
    # A body declared at 2^40 bytes that keeps coming, under an address-space limit.
    done = subprocess.run([sys.executable, "-c", ALLOCATION, str(tmp_path / "a.sock"),
                           os.path.dirname(__file__)], capture_output=True, text=True, timeout=120)
    assert done.stdout.strip() == (
        "OSError ('cannot allocate memory for a response body of 1099511627776 bytes',)"), done.stderr


@pytest.mark.parametrize(("script", "timeout", "expected", "least", "most"), [
    ([HANG], 0.3, EAGAIN, 0.25, 3),
    ([HEAD + b"Content-Length: 10\r\n\r\nabc", HANG], 0.3, EAGAIN, 0.25, 3),
    *[([HANG], timeout, EAGAIN, 0, 0.5) for timeout in (0, -1.0, float("nan"))],
    # Each receive has its own time-out: a trickle that never waits that long gets through.
    ([HEAD + b"Content-Length: 4\r\n\r\n", *[s for c in b"abcd" for s in (0.2, bytes([c]))]], 0.4,
     (200, "abcd"), 0.75, 5),
])
def test_time_outs(peer, script, timeout, expected, least, most):
    server, started = peer(script), time.monotonic()
    assert get(server.path, timeout) == expected
    assert least <= time.monotonic() - started < most


def test_refused_calls_make_no_connection(peer):
    server = peer()
    panic = raised(lambda: ffi.firecracker_request(server.path, "GET", "/", None, float("inf")))
    assert type(panic).__name__ == "PanicException"
    assert type(raised(lambda: ffi.firecracker_request(server.path, "GET", "/", 5, 1.0))) is (
        TypeError)
    time.sleep(0.1)
    assert server.accepted == 0


def test_connection_errors(tmp_path):
    regular, longest = tmp_path / "file", "/" + "x" * 106
    regular.touch()
    cases = {str(tmp_path / "missing"): os_text(errno.ENOENT),
             str(regular): os_text(errno.ECONNREFUSED),
             longest: os_text(errno.ENOENT),  # with its NUL, exactly the size of sun_path
             longest + "x": "path must be shorter than SUN_LEN",
             str(tmp_path) + "/a\0b": "paths must not contain interior null bytes"}

    def connect_all():
        assert {path: get(path) for path in cases} == cases

    repeated(connect_all)


@pytest.mark.parametrize(("script", "expected"), [
    ([0.5, OK], EINTR),  # the head's receive is not repeated
    ([HEAD + b"Content-Length: 4\r\n\r\nab", 0.5, b"cd"], (200, "abcd")),
    ([NO_CONTENT + b"Content-Length: 4\r\n\r\nab", 0.5, b"cd"], (204, None)),
])
def test_one_signal_during_a_receive(peer, script, expected):
    server = peer(script)
    previous = signal.signal(signal.SIGALRM, lambda *_: None)
    signal.setitimer(signal.ITIMER_REAL, 0.2)
    try:
        assert get(server.path, 5.0) == expected
    finally:
        signal.signal(signal.SIGALRM, previous)


def test_calls_run_without_the_interpreter_lock(peer, tmp_path):
    server, path, late = peer([AWAIT, OK]), str(tmp_path / "late.sock"), []

    def release():
        server.wait_for(lambda: server.received)
        server.release()

    def start_late():
        time.sleep(0.3)
        late.append(peer(path=path))

    assert_releases_gil(lambda: ffi.firecracker_request(server.path, "GET", "/", None, 5.0),
                        release, (200, "{}"))
    # The wait returns once the socket exists and answers.
    assert_releases_gil(lambda: ffi.firecracker_wait_for_socket(path, 10.0), start_late, None)
    assert late[0].received == [request("GET", "/", b"")]


@pytest.mark.storm
@pytest.mark.parametrize(("scripts", "suffix", "timeout", "accepted"), [
    # Failed probes are silent retries about every 25 ms; pauses cut short would probe far more.
    (([], [b"HTTP/1.1 400 Bad\r\n\r\n"], [b"garbage\r\n\r\n"]), "", 0.5, range(5, 26)),
    # No probe of a path that names nothing, even where the part before a NUL is a live socket.
    ((), "-missing", 0.3, range(1)),
    ((), "\0x", 0.3, range(1)),
])
def test_the_wait_polls_until_its_deadline(peer, scripts, suffix, timeout, accepted):
    server, started = peer(*scripts), time.monotonic()
    assert outcome(lambda: ffi.firecracker_wait_for_socket(server.path + suffix, timeout)) == (
        TIMED_OUT)
    assert timeout <= time.monotonic() - started < timeout + 3
    assert server.accepted in accepted


@pytest.mark.parametrize(("script", "timeout", "expected", "least"), [
    *[([OK], timeout, None, 0) for timeout in (0, -1, float("nan"))],  # a tiny time-out
    ([HANG], 0.1, TIMED_OUT, 0.9),  # a started probe runs on, its 1 s past the deadline
])
def test_the_wait_makes_at_least_one_attempt(peer, script, timeout, expected, least):
    server, started = peer(script), time.monotonic()
    assert outcome(lambda: ffi.firecracker_wait_for_socket(server.path, timeout)) == expected
    assert least <= time.monotonic() - started < least + 3
    assert server.accepted == 1


def test_nginx(nginx):
    assert ffi.firecracker_request(nginx.socket_path, "GET", "/", None, 2.0) == (200, nginx.body)
    assert ffi.firecracker_request(nginx.socket_path, "PUT", "/actions", '{"a":"é"}', 2.0) == (
        204, None)
    status, body = ffi.firecracker_request(nginx.socket_path, "GET", "/missing", None, 2.0)
    assert status == 404 and "404 Not Found" in body
    assert ffi.firecracker_wait_for_socket(nginx.socket_path, 5.0) is None
