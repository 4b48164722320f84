"""firecracker_request and firecracker_wait_for_socket against scripted peers and nginx: what
only the socket shows (request bytes, receive boundaries, time-outs, signals, the interpreter
lock). The head grammar itself is checked in the C++ tables."""

import errno
import os
import signal
import socket
import subprocess
import sys
import time

import pytest
from support.checks import (EAGAIN, EINTR, assert_releases_gil, check_error, os_text, raised,
                            repeated)
from support.peer import AWAIT, HANG, OK

HEAD = b"HTTP/1.1 200 OK\r\n"
TOO_LARGE = "HTTP response headers are too large"
TIMED_OUT = "wait_for_socket timed out"
BAD_REQUEST = b"HTTP/1.1 400 Bad Request\r\nContent-Length: 0\r\n\r\n"


def request(method: str, path: str, body: bytes) -> bytes:
    return (f"{method} {path} HTTP/1.1\r\nHost: localhost\r\nAccept: application/json\r\n"
            f"Content-Type: application/json\r\nContent-Length: {len(body)}\r\n"
            "Connection: close\r\n\r\n").encode() + body


PROBE = request("GET", "/", b"")


def outcome(ffi, path, timeout=2.0):
    """The call's result, or the message of the OSError it raised (checked to be exact)."""
    try:
        return ffi.firecracker_request(path, "GET", "/", None, timeout)
    except OSError as error:
        assert type(error) is OSError and error.errno is None and len(error.args) == 1
        return error.args[0]


@pytest.mark.parametrize(("method", "path", "body", "sent"), [
    ("GET", "/", None, b""),
    ("GET", "/", "", b""),
    ("PATCH", "/vm", '{"note":"é€"}', '{"note":"é€"}'.encode()),
    ("GET /x", "/a b\r\nX-Extra: 1", None, b""),
])
def test_request_bytes(ffi, peer, method, path, body, sent):
    server = peer()
    assert ffi.firecracker_request(server.path, method, path, body, 2.0) == (200, "{}")
    assert server.received == [request(method, path, sent)]


@pytest.mark.storm
def test_a_large_body_is_sent_whole(ffi, peer):
    # Far more than the socket buffer takes: the send is partial and, in a storm, interrupted.
    body = '{"data":"' + "é" * 1_500_000 + '"}'
    server = peer([HANG])
    assert str(raised(lambda: ffi.firecracker_request(server.path, "PUT", "/", body, 0.3))) in (
        EAGAIN, EINTR)
    server.wait_for(lambda: server.received)
    assert server.received == [request("PUT", "/", body.encode())]


# The receive boundaries: the head limit counts received bytes, a terminator may be split.
FILLER = b"X: " + b"a" * (65536 - len(HEAD) - 7) + b"\r\n\r\n"
RESPONSES = [
    ([b"HTTP/1.1 204 No Content\r\n\r\n"], (204, None)),
    ([HEAD + b"Content-Length: 0\r\n\r\n"], (200, None)),
    ([b"HTTP/1.1 204 No Content\r\nContent-Length: 3\r\n\r\na", 0.05, b"bc"], (204, None)),
    ([HEAD + b"Content-Length: 2\r\n\r\nabcdef"], (200, "ab")),
    ([HEAD + b"Content-Length: 6\r\n\r\na", 0.05, b"bc", 0.05, b"def"], (200, "abcdef")),
    ([HEAD + b"\r\nabc", 0.2, b"def"], (200, "abc")),
    ([HEAD + b"\r\n", 0.2, b"def"], (200, None)),
    ([HEAD + b"\r", 0.1, b"\nxyz"], (200, "xyz")),
    ([HEAD + b"Content-Length: 8\r\n\r\na\xffb\xe2\x82c\xed\xa0"],
     (200, "a\ufffdb\ufffdc\ufffd\ufffd")),
    ([b"HTTP/1.1\xc2\xa0201\xe3\x80\x80Created\r\nX: \xff\r\n\r\n"], (201, None)),
    ([b"HTTP/1.1 70000 OK\r\n\r\n"], "invalid HTTP status: number too large to fit in target type"),
    ([], "malformed HTTP response"),
    ([b"HTTP/1.1 200 OK\nContent-Length: 0\n\n"], "malformed HTTP response"),
    ([HEAD + b"Content-Length: 10\r\n\r\nabc"], "failed to fill whole buffer"),
    ([b"HTTP/1.1 204 No Content\r\nContent-Length: 10\r\n\r\nabc"], "failed to fill whole buffer"),
    ([HEAD + b"Content-Length: 18446744073709551615\r\n\r\nabc"], "failed to fill whole buffer"),
    ([HEAD + FILLER], (200, None)),
    ([HEAD + b"X" + FILLER], TOO_LARGE),
    ([HEAD + FILLER[:-4], 0.1, b"\r\n\r\nb"], TOO_LARGE),
    ([HEAD + FILLER[:-1004], 0.1, b"\r\n\r\n" + b"b" * 1000], (200, "b" * 1000)),
]


@pytest.mark.parametrize(("script", "expected"), RESPONSES)
def test_responses(ffi, peer, script, expected):
    server = peer(script)

    def exchange():
        assert outcome(ffi, server.path) == expected

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
limit = (size + 160 * 1024) * 1024
resource.setrlimit(resource.RLIMIT_AS, (limit, limit))
try:
    ffi.firecracker_request(sys.argv[1], "GET", "/", None, 10.0)
except OSError as error:
    print(type(error).__name__, error.args)
server.close()
"""


def test_a_body_that_cannot_be_allocated_is_an_os_error(sock_dir):
    # A body declared at 2^40 bytes that keeps coming, under an address-space limit.
    done = subprocess.run([sys.executable, "-c", ALLOCATION, os.path.join(sock_dir, "a.sock"),
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
def test_time_outs(ffi, peer, script, timeout, expected, least, most):
    server = peer(script)
    started = time.monotonic()
    assert outcome(ffi, server.path, timeout) == expected
    assert least <= time.monotonic() - started < most


def test_refused_calls_make_no_connection(ffi, peer):
    server = peer()
    check_error(lambda: ffi.firecracker_request(server.path, "GET", "/", None, float("inf")),
                "PanicException", None)
    check_error(lambda: ffi.firecracker_request(server.path, "GET", "/", 5, 1.0), TypeError, None)
    time.sleep(0.1)
    assert server.accepted == 0


def test_connection_errors(ffi, sock_dir):
    regular, unbound = os.path.join(sock_dir, "file"), os.path.join(sock_dir, "unbound")
    open(regular, "w").close()
    longest = "/" + "x" * 106  # with its terminating NUL, exactly the size of sun_path
    with socket.socket(socket.AF_UNIX) as bound:
        bound.bind(unbound)  # bound, not listening
        cases = {
            os.path.join(sock_dir, "missing"): os_text(errno.ENOENT),
            regular: os_text(errno.ECONNREFUSED),
            unbound: os_text(errno.ECONNREFUSED),
            longest: os_text(errno.ENOENT),
            longest + "x": "path must be shorter than SUN_LEN",
            sock_dir + "/a\0b": "paths must not contain interior null bytes",
        }

        def connect_all():
            assert {path: outcome(ffi, path) for path in cases} == cases

        repeated(connect_all)


@pytest.mark.parametrize(("script", "expected"), [
    ([0.5, OK], EINTR),  # the head's receive is not repeated
    ([HEAD + b"Content-Length: 4\r\n\r\nab", 0.5, b"cd"], (200, "abcd")),
    ([b"HTTP/1.1 204 No Content\r\nContent-Length: 4\r\n\r\nab", 0.5, b"cd"], (204, None)),
])
def test_one_signal_during_a_receive(ffi, peer, script, expected):
    server = peer(script)
    previous = signal.signal(signal.SIGALRM, lambda *_: None)
    signal.setitimer(signal.ITIMER_REAL, 0.2)
    try:
        assert outcome(ffi, server.path, 5.0) == expected
    finally:
        signal.signal(signal.SIGALRM, previous)


def test_the_exchange_runs_without_the_interpreter_lock(ffi, peer):
    server = peer([AWAIT, OK])

    def release():
        server.wait_for(lambda: server.received)
        server.release()

    assert_releases_gil(lambda: ffi.firecracker_request(server.path, "GET", "/", None, 5.0),
                        release, (200, "{}"))


def test_the_wait_returns_once_the_socket_answers(ffi, peer, sock_dir):
    path, started = os.path.join(sock_dir, "late.sock"), []

    def release():
        time.sleep(0.3)
        started.append(peer(path=path))

    assert_releases_gil(lambda: ffi.firecracker_wait_for_socket(path, 10.0), release, None)
    assert started[0].received == [PROBE]


def timed_wait(ffi, path, timeout):
    started = time.monotonic()
    error = raised(lambda: ffi.firecracker_wait_for_socket(path, timeout))
    assert type(error) is OSError and error.args == (TIMED_OUT,)
    return time.monotonic() - started


@pytest.mark.storm
def test_the_wait_probes_about_every_25_ms(ffi, peer):
    # Failed probes are silent retries; a pause cut short by a signal would probe far more.
    server = peer([], [BAD_REQUEST], [b"garbage\r\n\r\n"])
    assert timed_wait(ffi, server.path, 0.5) >= 0.5
    assert 5 <= server.accepted <= 0.5 / 0.025 + 5


@pytest.mark.storm
@pytest.mark.parametrize("suffix", ["-missing", "\0x"])
def test_the_wait_does_not_probe_paths_that_name_nothing(ffi, peer, suffix):
    server = peer()  # a live socket at the path before the NUL
    assert 0.3 <= timed_wait(ffi, server.path + suffix, 0.3) < 3
    assert server.accepted == 0


@pytest.mark.parametrize("timeout", [0, -1, float("nan")])
def test_a_tiny_wait_makes_one_attempt(ffi, peer, timeout):
    server = peer()
    assert ffi.firecracker_wait_for_socket(server.path, timeout) is None
    assert server.accepted == 1


def test_a_hung_probe_ends_a_second_past_the_deadline(ffi, peer):
    server = peer([HANG])
    assert 0.9 <= timed_wait(ffi, server.path, 0.1) < 3
    assert server.accepted == 1


def test_nginx(ffi, nginx):
    assert ffi.firecracker_request(nginx.socket_path, "GET", "/", None, 2.0) == (200, nginx.body)
    assert ffi.firecracker_request(nginx.socket_path, "PUT", "/actions", '{"a":"é"}', 2.0) == (
        204, None)
    status, body = ffi.firecracker_request(nginx.socket_path, "GET", "/missing", None, 2.0)
    assert status == 404 and "404 Not Found" in body
    assert ffi.firecracker_wait_for_socket(nginx.socket_path, 5.0) is None
