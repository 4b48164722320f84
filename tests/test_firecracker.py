"""firecracker_request and firecracker_wait_for_socket against scripted peers: what only the
socket shows (request bytes, receive boundaries, time-outs, signals, the interpreter lock). The
head grammar is checked in the C++ tables, nginx by the README's examples."""

import resource
import signal
import time

import brindle_core._ffi as ffi
import pytest
from hypothesis import example, given
from hypothesis import strategies as st
from support import checks
from support.checks import EAGAIN, EINTR, assert_releases_gil, repeated
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
    """The call's result, or the message of the exact OSError it raised."""
    result = checks.outcome(call)
    if isinstance(result, OSError):
        assert type(result) is OSError and result.errno is None and len(result.args) == 1
        return result.args[0]
    return result


def get(path: str, timeout: float = 2.0):
    return outcome(lambda: ffi.firecracker_request(path, "GET", "/", "", timeout))


@pytest.mark.storm
def test_a_large_body_is_sent_whole(peer):
    # Far more than the socket buffer takes, to a peer that starts reading between the first
    # send's time-out and the second's: the first send is partial (in a storm, interrupted too),
    # and the rest follows. Method and path go out as given, the length in bytes of UTF-8.
    body, server = '{"data":"' + "é" * 1_500_000 + '"}', peer([HANG], greeting=[1.5])
    method, path = "PATCH /x", "/a b\r\nX: 1"
    assert outcome(lambda: ffi.firecracker_request(server.path, method, path, body, 1.0)) in (
        EAGAIN, EINTR)
    server.wait_for(lambda: server.received)
    assert server.received == [request(method, path, body.encode())]


# The receive boundaries: the head limit counts received bytes, a terminator may be split.
FILLER = b"X: " + b"a" * (65536 - len(HEAD) - 7) + b"\r\n\r\n"
RESPONSES = [
    ([NO_CONTENT + b"Content-Length: 3\r\n\r\na", 0.05, b"bc"], (204, None), None),
    ([HEAD + b"Content-Length: 2\r\n\r\nabcdef"], (200, "ab"), None),
    ([HEAD + b"\r\nabc", 0.2, b"def"], (200, "abc"), None),
    ([HEAD + b"\r\n", 0.2, b"def"], (200, None), None),
    ([HEAD + b"Content-Length: 8\r\n\r\na\xffb\xe2\x82c\xed\xa0"],
     (200, "a\ufffdb\ufffdc\ufffd\ufffd"), None),
    ([b"HTTP/1.1 200 OK\nContent-Length: 0\n\n"], "malformed HTTP response", None),
    ([HEAD + b"Content-Length: 10\r\n\r\nabc"], "failed to fill whole buffer", None),
    ([NO_CONTENT + b"Content-Length: 10\r\n\r\nabc"], "failed to fill whole buffer", None),
    ([HEAD + b"Content-Length: 18446744073709551615\r\n\r\nabc"], "failed to fill whole buffer",
     None),
    ([HEAD + FILLER], (200, None), None),
    ([HEAD + b"X" + FILLER], TOO_LARGE, None),
    ([HEAD + FILLER[:-4], 0.1, b"\r\n\r\nb"], TOO_LARGE, None),
    ([HEAD + FILLER[:-1004], 0.1, b"\r\n\r\n" + b"b" * 1000], (200, "b" * 1000), None),
    # Time-outs bound each receive: zero, negative and NaN ones act as a millisecond, never as
    # none, and a trickle that never waits that long gets through.
    ([HANG], EAGAIN, (0.3, 0.25, 3, 0)),
    ([HEAD + b"Content-Length: 10\r\n\r\nabc", HANG], EAGAIN, (0.3, 0.25, 3, 0)),
    *[([HANG], EAGAIN, (timeout, 0, 0.5, 0)) for timeout in (0, -1.0, float("nan"))],
    ([HEAD + b"Content-Length: 4\r\n\r\n", *[s for c in b"abcd" for s in (0.2, bytes([c]))]],
     (200, "abcd"), (0.4, 0.75, 5, 0)),
    # One signal 0.2 s in: the head's receive is not repeated, the body's is.
    ([0.5, OK], EINTR, (5.0, 0, 60, 0.2)),
    ([HEAD + b"Content-Length: 4\r\n\r\nab", 0.5, b"cd"], (200, "abcd"), (5.0, 0, 60, 0.2)),
    ([NO_CONTENT + b"Content-Length: 4\r\n\r\nab", 0.5, b"cd"], (204, None), (5.0, 0, 60, 0.2)),
]


@pytest.mark.parametrize(("script", "expected", "timing"), RESPONSES)
def test_responses(peer, script, expected, timing):
    server = peer(script)
    timeout, least, most, alarm = timing or (2.0, 0, 60, 0)
    signal.signal(signal.SIGALRM, lambda *_: None)  # the default handler would end the process

    def exchange():
        started = time.monotonic()
        signal.setitimer(signal.ITIMER_REAL, alarm)
        assert get(server.path, timeout) == expected
        assert least <= time.monotonic() - started < most

    exchange() if alarm else repeated(exchange)
    server.wait_for(lambda: server.received)
    assert set(server.received) == {request("GET", "/", b"")}  # an empty body goes out as None


SPLIT = HEAD + b"Content-Length: 6\r\n\r\nabcdef"


@given(cuts=st.lists(st.integers(1, len(SPLIT) - 1), max_size=3, unique=True))
@example(cuts=[len(HEAD) + 18, len(HEAD) + 20])  # CR | LF CR | LF: the head ends across three
def test_a_response_split_anywhere(peer, cuts):
    bounds = [0, *sorted(cuts), len(SPLIT)]
    server = peer([step for a, b in zip(bounds, bounds[1:]) for step in (SPLIT[a:b], 0.02)])
    assert get(server.path) == (200, "abcdef")


def test_a_body_that_cannot_be_allocated_is_an_os_error(peer):
    # A body declared at 2^40 bytes that keeps coming, under an address-space limit.
    server = peer([HEAD + b"Content-Length: 1099511627776\r\n\r\n", ("repeat", b"x" * 2**20, 0)])
    with open("/proc/self/status") as status:
        size = next(int(line.split()[1]) for line in status if line.startswith("VmSize:"))
    limits = resource.getrlimit(resource.RLIMIT_AS)
    resource.setrlimit(resource.RLIMIT_AS, ((size + 160 * 1024) * 1024, limits[1]))
    try:
        assert get(server.path, 10.0) == (
            "cannot allocate memory for a response body of 1099511627776 bytes")
    finally:
        resource.setrlimit(resource.RLIMIT_AS, limits)


def test_calls_run_without_the_interpreter_lock(peer, tmp_path):
    server, path, late = peer([AWAIT, OK]), str(tmp_path / "late.sock"), []

    def start_late():
        time.sleep(0.3)
        late.append(peer(path=path))

    assert_releases_gil(lambda: ffi.firecracker_request(server.path, "GET", "/", None, 5.0),
                        lambda: server.release(after=1), (200, "{}"))
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

