"""HTTP peers that misbehave on purpose: endless or trickling heads, lying lengths, bytes that are
not UTF-8, replies followed by a close. Each call ends with its documented result or error within
its time-outs, and the process stays healthy: no descriptor is left open and calls that follow
still work."""

from __future__ import annotations

import errno
import os
import random
import shutil
import time

import pytest
from support.firecracker_server import short_socket_dir
from support.hardening_peer import OK, Peer, http_response
from support.leaks import open_descriptor_count

EAGAIN_TEXT = f"{os.strerror(errno.EAGAIN)} (os error {errno.EAGAIN})"
EPIPE_TEXT = f"{os.strerror(errno.EPIPE)} (os error {errno.EPIPE})"
TOO_LARGE = "HTTP response headers are too large"
HEAD_200 = b"HTTP/1.1 200 OK\r\n"
OK_RESPONSE = OK[1][1]
# Deterministic bytes, most of them not UTF-8.
NOISE = random.Random(8).randbytes(200_000)
DEEP_JSON = b"[" * 100_000 + b"]" * 100_000


@pytest.fixture(scope="module")
def sock_dir():
    directory = short_socket_dir()
    yield directory
    shutil.rmtree(directory, ignore_errors=True)


@pytest.fixture(scope="module")
def healthy(sock_dir):
    with Peer(os.path.join(sock_dir, "healthy.sock"), OK, quiet=True) as peer:
        yield peer


@pytest.fixture
def peer(sock_dir, healthy, ffi):
    """Starts peers; afterwards checks that no descriptor stayed open and a call still works."""
    started = []
    before = open_descriptor_count()

    def start(*scripts) -> Peer:
        started.append(Peer(os.path.join(sock_dir, f"p{len(started)}.sock"), *scripts))
        return started[-1]

    yield start
    for each in started:
        each.close()
    assert open_descriptor_count() == before
    assert ffi.firecracker_request(healthy.path, "GET", "/", None, 2.0) == (200, "{}")


def outcome(call):
    started = time.monotonic()
    try:
        result = call()
    except OSError as error:
        assert type(error) is OSError and error.errno is None and len(error.args) == 1
        result = error.args[0]
    return result, time.monotonic() - started


# (peer script, time-out, expected result or error text, bounds on the call's duration)
REQUEST_CASES = {
    "endless-headers": (
        (("read",), ("send", HEAD_200), ("forever", b"X-Endless: " + b"a" * 60 + b"\r\n", 0)),
        1.0, TOO_LARGE, (0.0, 5.0),
    ),
    # Slow but steady: each line comes well within the time-out, and the limit still ends it.
    "endless-headers-slowly": (
        (("read",), ("send", HEAD_200), ("forever", b"X-Slow: " + b"b" * 2000 + b"\r\n", 0.01)),
        0.5, TOO_LARGE, (0.2, 5.0),
    ),
    "endless-lf-only-head": (
        (("read",), ("send", b"HTTP/1.1 200 OK\n"), ("forever", b"X: a\n" * 100, 0)),
        1.0, TOO_LARGE, (0.0, 5.0),
    ),
    # One byte every 50 ms against a 500 ms time-out: the time-out bounds each receive, not the
    # exchange, so the call takes about two seconds and succeeds.
    "trickle-inside-time-out": (
        (("read",), ("trickle", OK_RESPONSE, 0.05)),
        0.5, (200, "{}"), (1.5, 6.0),
    ),
    "trickle-then-stall": (
        (("read",), ("trickle", HEAD_200 + b"Content-Len", 0.02), ("hang",)),
        0.25, EAGAIN_TEXT, (0.5, 3.0),
    ),
    "body-trickle-then-stall": (
        (("read",), ("send", HEAD_200 + b"Content-Length: 10\r\n\r\n"), ("trickle", b"abc", 0.05),
         ("hang",)),
        0.25, EAGAIN_TEXT, (0.3, 3.0),
    ),
    "huge-length-short-body-close": (
        (("read",), ("send", HEAD_200 + b"Content-Length: 18446744073709551615\r\n\r\nabc")),
        1.0, "failed to fill whole buffer", (0.0, 3.0),
    ),
    "huge-length-short-body-stall": (
        (("read",), ("send", HEAD_200 + b"Content-Length: 18446744073709551615\r\n\r\nabc"),
         ("hang",)),
        0.3, EAGAIN_TEXT, (0.25, 3.0),
    ),
    # Megabytes of a body declared at 2^63 bytes: taken in as they come, then the close fails it.
    "huge-length-long-body-close": (
        (("read",), ("send", HEAD_200 + b"Content-Length: 9223372036854775808\r\n\r\n"),
         *[("send", b"z" * 1_000_000)] * 8),
        2.0, "failed to fill whole buffer", (0.0, 10.0),
    ),
    "no-content-with-lying-length": (
        (("read",), ("send", b"HTTP/1.1 204 No Content\r\nContent-Length: 1000000\r\n\r\n"),
         ("send", b"x" * 1000)),
        1.0, "failed to fill whole buffer", (0.0, 3.0),
    ),
    "invalid-utf8-everywhere": (
        (("read",), ("send", b"HTTP/1.1 200 \xff\xfe\xc0\xaf\r\nX-\xed\xa0\x80: \xf4\x90\x80\x80"
                             b"\x00\r\nContent-Length: 200000\r\n\r\n" + NOISE)),
        2.0, (200, NOISE.decode("utf-8", errors="replace")), (0.0, 5.0),
    ),
    "invalid-utf8-status": (
        (("read",), ("send", b"HTTP/1.1 \xc3\x28200\r\n\r\n")),
        1.0, "invalid HTTP status: invalid digit found in string", (0.0, 3.0),
    ),
    "nul-bytes-in-head": (
        (("read",), ("send", b"HTTP/1.1\x00200 OK\r\n\r\n")),
        1.0, "invalid HTTP status: invalid digit found in string", (0.0, 3.0),
    ),
    # JSON is carried as text: nesting 100,000 deep comes back as it was sent.
    "deeply-nested-json": (
        (("read",), ("send", http_response(200, DEEP_JSON))),
        2.0, (200, DEEP_JSON.decode()), (0.0, 5.0),
    ),
    "reply-then-close": (
        (("read",), ("send", OK_RESPONSE + b"trailing bytes the length leaves out")),
        1.0, (200, "{}"), (0.0, 3.0),
    ),
    "close-mid-head": (
        (("read",), ("send", HEAD_200 + b"Content-Length: 2\r\n")),
        1.0, "malformed HTTP response", (0.0, 3.0),
    ),
    "close-mid-body": (
        (("read",), ("send", HEAD_200 + b"Content-Length: 5\r\n\r\nab")),
        1.0, "failed to fill whole buffer", (0.0, 3.0),
    ),
    "interim-response-first": (
        (("read",), ("send", b"HTTP/1.1 100 Continue\r\n\r\n" + OK_RESPONSE)),
        1.0, (100, OK_RESPONSE.decode()), (0.0, 3.0),
    ),
    "silent": (
        (("read",), ("hang",)),
        0.3, EAGAIN_TEXT, (0.25, 3.0),
    ),
}


@pytest.mark.parametrize("case", REQUEST_CASES, ids=list(REQUEST_CASES))
def test_request_ends_as_documented(ffi, peer, case):
    script, timeout, expected, (low, high) = REQUEST_CASES[case]
    server = peer(script)
    result, elapsed = outcome(
        lambda: ffi.firecracker_request(server.path, "PUT", "/x", '{"a":1}', timeout)
    )
    assert result == expected
    assert low <= elapsed < high


def test_reply_before_the_request_then_close(ffi, peer):
    # The peer answers without reading and goes away: depending on who is first, the request
    # finds the socket closed (EPIPE), or the answer is already waiting and is returned.
    server = peer((("send", OK_RESPONSE),))
    results = set()
    for _ in range(20):
        result, elapsed = outcome(
            lambda: ffi.firecracker_request(server.path, "PUT", "/x", '{"a":1}', 1.0)
        )
        assert elapsed < 3.0
        results.add(result)
    assert results <= {(200, "{}"), EPIPE_TEXT}


WAIT_HOSTILE_SCRIPTS = {
    "endless-headers": (("read",), ("send", HEAD_200), ("forever", b"X: aaaaaaaa\r\n", 0)),
    "garbage": (("read",), ("send", NOISE[:5000] + b"\r\n\r\n")),
    "close-mid-head": (("read",), ("send", HEAD_200)),
    "close-unread": (),
    "lying-length": (("read",), ("send", HEAD_200 + b"Content-Length: 99\r\n\r\n{}")),
    "silent": (("read",), ("hang",)),
}


@pytest.mark.parametrize("case", WAIT_HOSTILE_SCRIPTS, ids=list(WAIT_HOSTILE_SCRIPTS))
def test_wait_for_socket_outlasts_hostile_probes(ffi, peer, case):
    # Every probe fails, silently; the wait ends at its deadline, at most one probe (1 s) late.
    server = peer(WAIT_HOSTILE_SCRIPTS[case])
    result, elapsed = outcome(lambda: ffi.firecracker_wait_for_socket(server.path, 0.4))
    assert result == "wait_for_socket timed out"
    assert 0.4 <= elapsed < 3.0
    server.close()
    assert server.accepted >= 1
