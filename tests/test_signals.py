"""Blocking calls under a storm of SIGALRM (a Python handler on a 1 ms interval timer).

Pauses resume for what remains of them, sends and body receives are repeated after an
interruption, and the one receive that is not (the response head's) fails the call with the
EINTR text; nothing hangs, crashes or leaks a descriptor.
"""

from __future__ import annotations

import errno
import os
import shutil
import threading
import time

import pytest
from support.firecracker_server import short_socket_dir
from support.hardening_peer import OK, Peer, http_response
from support.hardening_signals import alarm_storm
from support.leaks import open_descriptor_count

# pytest-timeout's default method uses SIGALRM itself.
pytestmark = pytest.mark.timeout(120, method="thread")

EINTR_TEXT = f"{os.strerror(errno.EINTR)} (os error {errno.EINTR})"
STATUS_400 = (("read",), ("send", http_response(400, b"{}")))


@pytest.fixture
def sock_dir():
    directory = short_socket_dir()
    yield directory
    shutil.rmtree(directory, ignore_errors=True)


@pytest.fixture(autouse=True)
def descriptors_unchanged():
    before = open_descriptor_count()
    yield
    assert open_descriptor_count() == before


@pytest.fixture
def peer(sock_dir):
    """Starts peers in the test's directory; each is stopped when the test ends."""
    started = []

    def start(*scripts) -> Peer:
        started.append(Peer(os.path.join(sock_dir, f"p{len(started)}.sock"), *scripts))
        return started[-1]

    yield start
    for each in started:
        each.close()


def outcome(call):
    started = time.monotonic()
    try:
        result = call()
    except OSError as error:
        assert type(error) is OSError and len(error.args) == 1
        result = error.args[0]
    return result, time.monotonic() - started


def test_wait_pauses_resume_for_their_remainder(ffi, peer):
    # Every probe is answered 400, so the wait polls until its deadline. Were a pause cut short
    # by each signal, there would be a probe every millisecond or so, not every 25 ms.
    server = peer(STATUS_400)
    with alarm_storm() as storm:
        result, elapsed = outcome(lambda: ffi.firecracker_wait_for_socket(server.path, 0.5))
    server.close()
    assert result == "wait_for_socket timed out"
    assert 0.5 <= elapsed < 2.5
    assert storm.handled > 0
    assert 5 <= server.accepted <= 0.5 / 0.025 + 5


def test_wait_without_a_socket_still_ends_at_its_deadline(ffi, sock_dir):
    with alarm_storm() as storm:
        result, elapsed = outcome(
            lambda: ffi.firecracker_wait_for_socket(os.path.join(sock_dir, "none"), 0.3)
        )
    assert result == "wait_for_socket timed out"
    assert 0.3 <= elapsed < 1.5
    assert storm.handled > 0


def test_wait_returns_once_the_api_answers(ffi, peer):
    # Five refusals, then 200: interrupted probes are just more failed attempts.
    server = peer(*[STATUS_400] * 5, OK)
    with alarm_storm():
        result, elapsed = outcome(lambda: ffi.firecracker_wait_for_socket(server.path, 30.0))
    server.close()
    assert result is None
    assert elapsed < 10.0
    assert server.accepted >= 6


def test_head_receive_is_not_repeated(ffi, peer):
    # The peer answers after 0.2 s; signals arrive every millisecond meanwhile. The call either
    # got its answer or failed with the EINTR text, and never waited out its time-out.
    server = peer((("read",), ("sleep", 0.2), *OK[1:]))
    results = []
    with alarm_storm() as storm:
        for _ in range(5):
            result, elapsed = outcome(
                lambda: ffi.firecracker_request(server.path, "GET", "/", None, 5.0)
            )
            assert elapsed < 4.0
            results.append(result)
    assert set(results) <= {(200, "{}"), EINTR_TEXT}
    assert EINTR_TEXT in results
    assert storm.handled > 0


def test_body_receive_is_repeated(ffi, peer):
    # The storm starts once the head is in the client's socket, so the head is read whole and
    # every interruption falls on the body's receives, which must carry on.
    server = peer((
        ("read",),
        ("send", b"HTTP/1.1 200 OK\r\nContent-Length: 6\r\n\r\nab"),
        ("mark", "head-sent"),
        ("sleep", 0.3),
        ("send", b"cd"),
        ("sleep", 0.2),
        ("send", b"ef"),
    ))
    head_sent = threading.Event()
    watcher = threading.Thread(
        target=lambda: server.wait_for_mark("head-sent") and head_sent.set(), daemon=True
    )
    watcher.start()
    with alarm_storm(start=head_sent) as storm:
        result, elapsed = outcome(
            lambda: ffi.firecracker_request(server.path, "GET", "/", None, 5.0)
        )
    watcher.join()
    assert result == (200, "abcdef")
    assert 0.5 <= elapsed < 4.0
    assert storm.handled > 0


def test_204_body_skip_is_repeated(ffi, peer):
    server = peer((
        ("read",),
        ("send", b"HTTP/1.1 204 No Content\r\nContent-Length: 4\r\n\r\na"),
        ("mark", "head-sent"),
        ("sleep", 0.3),
        ("send", b"bcd"),
    ))
    head_sent = threading.Event()
    watcher = threading.Thread(
        target=lambda: server.wait_for_mark("head-sent") and head_sent.set(), daemon=True
    )
    watcher.start()
    with alarm_storm(start=head_sent) as storm:
        result, _ = outcome(lambda: ffi.firecracker_request(server.path, "GET", "/", None, 5.0))
    watcher.join()
    assert result == (204, None)
    assert storm.handled > 0


def test_send_is_repeated(ffi, peer):
    # A body far larger than the socket buffer, to a peer that starts reading only after 0.3 s:
    # the send blocks and is interrupted many times, yet every byte must arrive. Only the head
    # receive afterwards may still fail with EINTR.
    body = '{"blob":"' + "x" * 4_000_000 + '"}'
    server = peer((("sleep", 0.3), *OK))
    with alarm_storm() as storm:
        result, _ = outcome(lambda: ffi.firecracker_request(server.path, "PUT", "/", body, 5.0))
    assert result in {(200, "{}"), EINTR_TEXT}
    assert server.wait_for_requests(1)
    head = (
        "PUT / HTTP/1.1\r\nHost: localhost\r\nAccept: application/json\r\n"
        f"Content-Type: application/json\r\nContent-Length: {len(body)}\r\n"
        "Connection: close\r\n\r\n"
    )
    assert server.requests == [len(head) + len(body)]
    assert storm.handled > 0


def test_calls_after_a_storm_behave_as_before(ffi, peer):
    server = peer(OK)
    with alarm_storm():
        for _ in range(20):
            outcome(lambda: ffi.firecracker_request(server.path, "GET", "/", None, 1.0))
    assert ffi.firecracker_request(server.path, "GET", "/", None, 1.0) == (200, "{}")
    assert ffi.firecracker_wait_for_socket(server.path, 1.0) is None
