import errno
import os
import socket
import subprocess
import sys
import textwrap
import threading
import time

import pytest
from support.firecracker_server import HANG, FakeApiServer
from support.system import open_descriptor_count, os_error_text

HEAD_200 = b"HTTP/1.1 200 OK\r\n"
EAGAIN_TEXT = os_error_text(errno.EAGAIN)
BAD_DIGIT = "invalid digit found in string"
TOO_LARGE = "number too large to fit in target type"
TOO_LARGE_HEAD = "HTTP response headers are too large"


@pytest.fixture
def serve(sock_dir):
    """Starts fake servers in the test's socket directory; all are stopped afterwards."""
    servers = []

    def start(*scripts, **options) -> FakeApiServer:
        path = os.path.join(sock_dir, f"api{len(servers)}.sock")
        server = FakeApiServer(path, scripts or FakeApiServer.scripts, **options)
        servers.append(server)
        return server

    yield start
    for server in servers:
        server.close()


def request_bytes(method: str, path: str, body: bytes) -> bytes:
    return (
        f"{method} {path} HTTP/1.1\r\nHost: localhost\r\nAccept: application/json\r\n"
        f"Content-Type: application/json\r\nContent-Length: {len(body)}\r\n"
        "Connection: close\r\n\r\n"
    ).encode() + body


@pytest.mark.parametrize(
    "method, path, body, sent_body",
    [
        ("GET", "/", None, b""),
        ("GET", "/", "", b""),
        ("PUT", "/machine-config", '{"vcpu_count":2}', b'{"vcpu_count":2}'),
        ("PATCH", "/vm", '{"note":"é€"}', '{"note":"é€"}'.encode()),
        ("GET /x", "/a b\r\nX-Extra: 1", None, b""),
    ],
    ids=["no-body", "empty-body", "json-body", "non-ascii-body", "unescaped-method-and-path"],
)
def test_request_bytes(ffi, serve, method, path, body, sent_body):
    server = serve()
    assert ffi.firecracker_request(server.path, method, path, body, 2.0) == (200, "{}")
    assert server.requests == [request_bytes(method, path, sent_body)]


def test_large_body_is_sent_whole(ffi, serve):
    # Larger than the socket buffer, so the send is split by the kernel and must be completed.
    body = '{"data":"' + "x" * 3_000_000 + '"}'
    server = serve()
    assert ffi.firecracker_request(server.path, "PUT", "/big", body, 5.0) == (200, "{}")
    assert server.requests == [request_bytes("PUT", "/big", body.encode())]


def exchange(ffi, path, timeout=2.0):
    """The call's result, or the message of the OSError it raised."""
    try:
        return ffi.firecracker_request(path, "GET", "/", None, timeout)
    except OSError as error:
        # Exactly OSError(message): no subclass, no errno.
        assert type(error) is OSError and error.errno is None and len(error.args) == 1
        return error.args[0]


# The head grammar in detail is unit-tested in C++; these cases are about what crosses the
# socket: pieces, closes, the body's length and its decoding.
@pytest.mark.parametrize(
    "pieces, expected",
    [
        ([b"HTTP/1.1 204 No Content\r\n\r\n"], (204, None)),
        ([HEAD_200 + b"Content-Length: 0\r\n\r\n"], (200, None)),
        ([b"HTTP/1.1 999\r\nContent-Length: 2\r\n\r\nok"], (999, "ok")),
        # The declared bytes of a 204 are still read, then dropped.
        ([b"HTTP/1.1 204 No Content\r\nContent-Length: 3\r\n\r\na", 0.05, b"bc"], (204, None)),
        ([HEAD_200 + b"CoNtEnT-lEnGtH: +3\r\nContent-Length: x\r\n\r\nabc"], (200, "abc")),
        # A space before the colon is another name: no declared length, the leftover is the body.
        ([HEAD_200 + b"Content-Length : 2\r\n\r\nabcdef"], (200, "abcdef")),
        ([HEAD_200 + b"Content-Length: 2\r\n\r\nabcdef"], (200, "ab")),
        ([HEAD_200 + b"Content-Length: 6\r\n\r\na", 0.05, b"bc", 0.05, b"def"], (200, "abcdef")),
        # Without a length only what came with the head counts; later bytes are not read.
        ([HEAD_200 + b"\r\nabc", 0.2, b"def"], (200, "abc")),
        ([HEAD_200 + b"\r\n", 0.2, b"def"], (200, None)),
        ([HEAD_200 + b"\r", 0.1, b"\nxyz"], (200, "xyz")),  # terminator split between receives
        ([HEAD_200 + b"Transfer-Encoding: chunked\r\n\r\n3\r\nabc\r\n0\r\n\r\n"],
         (200, "3\r\nabc\r\n0\r\n\r\n")),
        ([HEAD_200 + b"Content-Length: 8\r\n\r\na\xffb\xe2\x82c\xed\xa0"],
         (200, "a\ufffdb\ufffdc\ufffd\ufffd")),
        # The head is decoded before it is split, so U+00A0 and U+3000 separate tokens.
        ([b"HTTP/1.1\xc2\xa0201\xe3\x80\x80Created\r\nX: \xff\r\n\r\n"], (201, None)),
        ([b"HTTP/1.1 \xff200 \xe2\x82\r\n\r\n"], f"invalid HTTP status: {BAD_DIGIT}"),
        ([b"\r\n\r\nHTTP/1.1 200 OK\r\n\r\n"], "missing HTTP status"),
        ([b"HTTP/1.1\r\n\r\n"], "missing HTTP status code"),
        ([b"HTTP/1.1 70000 OK\r\n\r\n"], f"invalid HTTP status: {TOO_LARGE}"),
        ([HEAD_200 + b"Content-Length: 5 5\r\n\r\n"], f"invalid Content-Length: {BAD_DIGIT}"),
        ([], "malformed HTTP response"),
        ([b"HTTP/1.1 200 OK\nContent-Length: 0\n\n"], "malformed HTTP response"),
        ([HEAD_200 + b"Content-Length: 10\r\n\r\nabc"], "failed to fill whole buffer"),
        ([b"HTTP/1.1 204 No Content\r\nContent-Length: 10\r\n\r\nabc"],
         "failed to fill whole buffer"),
        # A declared length far beyond memory costs nothing until bytes arrive.
        ([HEAD_200 + b"Content-Length: 18446744073709551615\r\n\r\nabc"],
         "failed to fill whole buffer"),
        # The head limit counts received bytes; exactly 65,536 are still accepted.
        ([HEAD_200 + b"X: " + b"a" * (65536 - len(HEAD_200) - 7) + b"\r\n\r\n"], (200, None)),
        ([HEAD_200 + b"X: " + b"a" * (65537 - len(HEAD_200) - 7) + b"\r\n\r\n"], TOO_LARGE_HEAD),
        ([b"HTTP/1.1 200 OK\n" + b"X: a\n" * 20000], TOO_LARGE_HEAD),
        # The receive that brings the terminator also brings body bytes past the limit.
        ([HEAD_200 + b"X: " + b"a" * 63000, 0.2, b"\r\n\r\n" + b"b" * 3000], TOO_LARGE_HEAD),
        ([HEAD_200 + b"X: " + b"a" * 63000, 0.2, b"\r\n\r\n" + b"b" * 1000], (200, "b" * 1000)),
    ],
)
def test_response_handling(ffi, serve, pieces, expected):
    assert exchange(ffi, serve(pieces).path) == expected


def test_body_beyond_the_first_allocation_arrives_intact(ffi, serve):
    # Several megabytes in uneven pieces: the buffer grows past its first reservation while
    # every byte lands in place.
    body = bytes(range(256)) * (6 * 4096 + 3)
    pieces = [HEAD_200 + b"Content-Length: %d\r\n\r\n" % len(body) + body[:1000]]
    pieces += [body[i : i + 700_001] for i in range(1000, len(body), 700_001)]
    server = serve(pieces)
    status, text = ffi.firecracker_request(server.path, "GET", "/", None, 5.0)
    assert status == 200
    assert text == body.decode("utf-8", errors="replace")


def test_allocation_failure_is_an_os_error(sock_dir):
    # Under an address-space limit, a peer that keeps sending a body declared at 2^40 bytes
    # makes the growing buffer fail to allocate; that must be an OSError, not a crash.
    script = textwrap.dedent(
        """
        import resource, sys, threading
        sys.path.insert(0, sys.argv[2])
        from support.firecracker_server import FakeApiServer
        import brindle_core._ffi as ffi

        chunk = b"x" * (1 << 20)
        head = b"HTTP/1.1 200 OK\\r\\nContent-Length: 1099511627776\\r\\n\\r\\n"
        server = FakeApiServer(sys.argv[1], ((head,) + (chunk,) * 1024,))
        with open("/proc/self/status") as f:
            vm = next(int(l.split()[1]) for l in f if l.startswith("VmSize:"))
        limit = (vm + 160 * 1024) * 1024
        resource.setrlimit(resource.RLIMIT_AS, (limit, limit))
        try:
            ffi.firecracker_request(sys.argv[1], "GET", "/", None, 10.0)
        except OSError as e:
            print(type(e).__name__, e.args)
        server.close()
        """
    )
    tests_dir = os.path.dirname(__file__)
    result = subprocess.run(
        [sys.executable, "-c", script, os.path.join(sock_dir, "a.sock"), tests_dir],
        capture_output=True, text=True, timeout=120,
    )
    assert result.returncode == 0, result.stderr
    assert result.stdout.strip() == (
        "OSError ('cannot allocate memory for a response body of 1099511627776 bytes',)"
    )


@pytest.mark.parametrize(
    "pieces, timeout, bounds",
    [
        ([HANG], 0.3, (0.25, 2.0)),
        ([HEAD_200, HANG], 0.3, (0.25, 2.0)),
        ([HEAD_200 + b"Content-Length: 10\r\n\r\nabc", HANG], 0.3, (0.25, 2.0)),
        # Zero, negative and NaN time-outs act as 1 ms: never as "no time-out".
        *[([HANG], timeout, (0.0, 0.5)) for timeout in (0, -1.0, float("nan"), float("-inf"))],
    ],
    ids=["no-answer", "head-stalls", "body-stalls", "zero", "negative", "nan", "minus-infinity"],
)
def test_receive_time_out_is_eagain(ffi, serve, pieces, timeout, bounds):
    server = serve(pieces)
    started = time.monotonic()
    assert exchange(ffi, server.path, timeout) == EAGAIN_TEXT
    assert bounds[0] <= time.monotonic() - started < bounds[1]


def test_time_out_bounds_each_receive_not_the_exchange(ffi, serve):
    pieces = [HEAD_200 + b"Content-Length: 4\r\n\r\n"]
    for letter in b"abcd":
        pieces += [0.15, bytes([letter])]
    server = serve(pieces)
    started = time.monotonic()
    assert exchange(ffi, server.path, 0.4) == (200, "abcd")
    assert time.monotonic() - started >= 0.5


@pytest.mark.parametrize("timeout", [float("inf"), 2.0**64, 1e300])
def test_unconvertible_time_out_panics_before_connecting(ffi, serve, timeout):
    server = serve()
    with pytest.raises(BaseException) as raised:
        ffi.firecracker_request(server.path, "GET", "/", None, timeout)
    assert type(raised.value).__name__ == "PanicException"
    assert raised.value.args == (
        "cannot convert float seconds to Duration: value is either too big or NaN",
    )
    time.sleep(0.1)
    assert server.connections == 0


def test_largest_convertible_time_out_is_accepted(ffi, serve):
    # Just below 2^64 s converts; the socket option saturates instead of failing.
    assert exchange(ffi, serve().path, 2.0**64 - 2048) == (200, "{}")


def test_connection_failures(ffi, sock_dir):
    missing = os.path.join(sock_dir, "missing.sock")
    regular = os.path.join(sock_dir, "file")
    open(regular, "w").close()
    unbound = os.path.join(sock_dir, "bound.sock")
    bound = socket.socket(socket.AF_UNIX)
    bound.bind(unbound)  # bound but not listening
    longest = "/" + "x" * 106  # 107 bytes plus the terminating NUL fill sun_path exactly
    cases = {
        missing: os_error_text(errno.ENOENT),
        regular: os_error_text(errno.ECONNREFUSED),
        unbound: os_error_text(errno.ECONNREFUSED),
        longest: os_error_text(errno.ENOENT),
        longest + "x": "path must be shorter than SUN_LEN",
        sock_dir + "/a\0b": "paths must not contain interior null bytes",
    }
    try:
        assert {path: exchange(ffi, path) for path in cases} == cases
    finally:
        bound.close()


def test_peer_closing_after_the_request(ffi, serve):
    server = serve([])
    for _ in range(3):
        with pytest.raises(OSError, match="^malformed HTTP response$"):
            ffi.firecracker_request(server.path, "PUT", "/actions", '{"a":1}', 1.0)
    assert len(server.requests) == 3


def test_argument_errors_make_no_connection(ffi, serve):
    server = serve()
    with pytest.raises(TypeError) as raised:
        ffi.firecracker_request(server.path, "GET", "/", 5, 1.0)
    assert str(raised.value) == "argument 'body_json': 'int' object is not an instance of 'str'"
    with pytest.raises(TypeError, match="^argument 'timeout': "):
        ffi.firecracker_request(server.path, "GET", "/", None, "1")
    with pytest.raises(TypeError, match="missing 1 required positional argument: 'timeout'"):
        ffi.firecracker_request(server.path, "GET", "/", None)
    time.sleep(0.1)
    assert server.connections == 0
    # An int time-out and keyword arguments are fine.
    assert ffi.firecracker_request(
        socket_path=server.path, method="GET", path="/", body_json=None, timeout=1
    ) == (200, "{}")


def test_interpreter_lock_is_released_during_the_exchange(ffi, serve):
    server = serve([0.6, b"HTTP/1.1 204 No Content\r\n\r\n"])
    results = []
    worker = threading.Thread(
        target=lambda: results.append(ffi.firecracker_request(server.path, "GET", "/", None, 5.0))
    )
    worker.start()
    time.sleep(0.05)
    spins = sum(1 for _ in range(200_000))
    # Python ran here while the call was still blocked in the other thread.
    assert spins == 200_000 and worker.is_alive()
    worker.join()
    assert results == [(204, None)]


def test_descriptor_count_is_unchanged(ffi, serve, sock_dir):
    good = serve()
    bad = serve([HEAD_200 + b"Content-Length: 9\r\n\r\nab"])
    missing = os.path.join(sock_dir, "missing.sock")
    ffi.firecracker_request(good.path, "GET", "/", None, 1.0)  # warm up lazily opened files
    # The servers run in this process: count only once they have closed their ends too.
    good.wait_idle()
    before = open_descriptor_count()
    for _ in range(50):
        assert exchange(ffi, good.path) == (200, "{}")
        assert exchange(ffi, bad.path) == "failed to fill whole buffer"
        assert exchange(ffi, missing) == os_error_text(errno.ENOENT)
    good.wait_idle()
    bad.wait_idle()
    assert open_descriptor_count() == before
