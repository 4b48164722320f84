"""Blocking calls under a storm of SIGALRM (a Python handler on a 1 ms interval timer).

Pauses resume for what remains of them (the Firecracker socket probes, QMP connect attempts and
job polls), sends and the receives of HTTP bodies and QMP lines are repeated after an
interruption, and the one receive that is not (the response head's) fails the call with the
EINTR text; disk calls write the same files; nothing hangs, crashes or leaks a descriptor.
"""

from __future__ import annotations

import errno
import json
import os
import threading
import time
from compression import zstd

import pytest
from support.disk_files import MiB, random_bytes
from support.hardening_peer import OK, Peer, http_response
from support.hardening_qmp import GREETING, QmpPeer, play
from support.hardening_signals import alarm_storm, block_alarms_in_this_thread
from support.system import open_descriptor_count, os_error_text

# pytest-timeout's default method uses SIGALRM itself.
pytestmark = pytest.mark.timeout(120, method="thread")

EINTR_TEXT = os_error_text(errno.EINTR)
STATUS_400 = (("read",), ("send", http_response(400, b"{}")))


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


# --- the QMP client -------------------------------------------------------------------------


@pytest.fixture
def qmp_peer(sock_dir):
    """Starts QMP monitors in the test's directory; each is stopped when the test ends."""
    started = []

    def start(path: str | None = None, **options) -> QmpPeer:
        started.append(QmpPeer(path or os.path.join(sock_dir, f"q{len(started)}.sock"),
                               **options))
        return started[-1]

    yield start
    for each in started:
        each.close()


def qmp_outcome(call):
    """The result, or the message of the QMP RuntimeError, and how long the call took."""
    started = time.monotonic()
    try:
        result = call()
    except RuntimeError as error:
        result = json.loads(error.args[0])["message"]
    return result, time.monotonic() - started


def test_connect_pause_resumes_for_its_remainder(ffi, sock_dir):
    # One failed attempt, then a 50 ms pause, then the attempt that finds the deadline passed.
    # Were the pause cut short by the first signal, attempts would follow every millisecond and
    # the call would end soon after its 10 ms deadline.
    client = ffi._QmpClient(os.path.join(sock_dir, "none.sock"))
    with alarm_storm() as storm:
        results = [qmp_outcome(lambda: client.connect(0.01, 1.0)) for _ in range(5)]
    for result, elapsed in results:
        assert result == "Timed out waiting for QMP socket"
        assert 0.05 <= elapsed < 1.0
    assert storm.handled > 0


def test_connect_keeps_trying_until_the_monitor_listens(ffi, sock_dir, qmp_peer):
    path = os.path.join(sock_dir, "late.sock")
    client = ffi._QmpClient(path)
    def listen() -> None:
        block_alarms_in_this_thread()
        qmp_peer(path=path)

    starter = threading.Timer(0.3, listen)
    starter.start()
    try:
        with alarm_storm() as storm:
            result, elapsed = qmp_outcome(lambda: client.connect(10.0, 5.0))
            assert client.execute("after", None) == '{"command":"after"}'
    finally:
        starter.join()
        client.close()
    assert result is None
    assert 0.3 <= elapsed < 5.0
    assert storm.handled > 0


def test_job_poll_pauses_resume_for_their_remainder(ffi, qmp_peer):
    # A job that never concludes, polled every 100 ms for 500 ms: five or six queries. Were the
    # pauses cut short, there would be one query per signal.
    monitor = qmp_peer(jobs={"job": [{"type": "snapshot-save", "status": "running"}]})
    client = ffi._QmpClient(monitor.path)
    client.connect(5.0, 5.0)
    with alarm_storm() as storm:
        result, elapsed = qmp_outcome(lambda: client.wait_for_job("job", 0.5, 0.1))
    client.close()
    assert result == "Timed out waiting for QMP job"
    assert 0.5 <= elapsed < 2.0
    assert storm.handled > 0
    assert 5 <= monitor.count("query-jobs") <= 7


def test_job_poll_ends_when_the_job_concludes(ffi, qmp_peer):
    monitor = qmp_peer(jobs={"job": [{"status": "created"}, {"status": "running"},
                                     {"status": "concluded"}]})
    client = ffi._QmpClient(monitor.path)
    with alarm_storm() as storm:
        result, elapsed = qmp_outcome(lambda: client.wait_for_job("job", 10.0, 0.1))
    client.close()
    assert json.loads(result)["status"] == "concluded"
    assert 0.2 <= elapsed < 3.0
    assert storm.handled > 0
    assert monitor.wait_for(lambda: monitor.commands[-1:] == ["job-dismiss"])
    assert monitor.commands == ["qmp_capabilities", *["query-jobs"] * 3, "job-dismiss"]


def test_receives_are_repeated(ffi, qmp_peer):
    # A slow greeting, a slow reply and a trickled one: every receive is interrupted over and
    # over, and each is repeated until the bytes come.
    monitor = qmp_peer(greetings=[[["sleep", 0.2], ["send", GREETING]]])
    client = ffi._QmpClient(monitor.path)
    with alarm_storm() as storm:
        connected, _ = qmp_outcome(lambda: client.connect(5.0, 5.0))
        slow, elapsed = qmp_outcome(lambda: client.execute(
            "play", play(["sleep", 0.3], ["send", '{"return":"slow"}\n'])))
        trickled, _ = qmp_outcome(lambda: client.execute(
            "play", play(["trickle", '{"return":"trickled"}\n', 0.01])))
    client.close()
    assert (connected, slow, trickled) == (None, '"slow"', '"trickled"')
    assert elapsed >= 0.3
    assert storm.handled > 0


def test_sends_are_repeated(ffi, qmp_peer):
    # A command far larger than the socket buffer, to a monitor that reads nothing for 300 ms:
    # the send blocks and is interrupted many times, yet every byte must arrive (the echo
    # carries them back).
    monitor = qmp_peer()
    client = ffi._QmpClient(monitor.path)
    client.connect(5.0, 5.0)
    payload = "x" * 4_000_000
    with alarm_storm() as storm:
        assert client.execute("pause-reading", '{"seconds":0.3}') == "{}"
        result, elapsed = qmp_outcome(lambda: client.execute("big", json.dumps(payload)))
    client.close()
    assert json.loads(result) == {"arguments": payload, "command": "big"}
    assert elapsed >= 0.2
    assert storm.handled > 0


# --- the disk helpers -----------------------------------------------------------------------


def test_disk_calls_are_unaffected(ffi, tmp_path):
    # Reads and writes of regular files are not interrupted by signals on Linux; the storm must
    # change nothing in what is written.
    content = random_bytes(3 * MiB, 8) + bytes(5 * MiB) + random_bytes(MiB + 7, 9) + bytes(MiB)
    (tmp_path / "image").write_bytes(content)
    compressor = zstd.ZstdCompressor()
    (tmp_path / "image.zst").write_bytes(compressor.compress(content) + compressor.flush())
    with alarm_storm() as storm:
        for i in range(3):
            assert ffi.clone_or_sparse_copy(str(tmp_path / "image"),
                                            str(tmp_path / f"copy{i}")) == "sparse"
            assert ffi.decompress_zstd_sparse(str(tmp_path / "image.zst"),
                                              str(tmp_path / f"unz{i}"), 65536) == "sparse"
    assert storm.handled > 0
    for i in range(3):
        assert (tmp_path / f"copy{i}").read_bytes() == content
        assert (tmp_path / f"unz{i}").read_bytes() == content
    assert sorted(os.listdir(tmp_path)) == sorted(
        ["image", "image.zst", *(f"copy{i}" for i in range(3)), *(f"unz{i}" for i in range(3))])
