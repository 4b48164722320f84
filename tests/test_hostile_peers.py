"""HTTP peers and QMP monitors that misbehave on purpose: endless or trickling heads and lines,
lying lengths, bytes that are not UTF-8, deep JSON, huge replies, silence, replies followed by a
close. Each call ends with its documented result or error within its time-outs, and the process
stays healthy: no descriptor is left open and calls that follow still work."""

from __future__ import annotations

import errno
import json
import os
import random
import time

import pytest
from support.hardening_peer import OK, Peer, http_response
from support.hardening_qmp import GREETING, QmpPeer, play, text
from support.system import open_descriptor_count, os_error_text

EAGAIN_TEXT = os_error_text(errno.EAGAIN)
EPIPE_TEXT = os_error_text(errno.EPIPE)
ECONNRESET_TEXT = os_error_text(errno.ECONNRESET)
TOO_LARGE = "HTTP response headers are too large"
HEAD_200 = b"HTTP/1.1 200 OK\r\n"
OK_RESPONSE = OK[1][1]
# Deterministic bytes, most of them not UTF-8.
NOISE = random.Random(8).randbytes(200_000)
DEEP_JSON = b"[" * 100_000 + b"]" * 100_000


@pytest.fixture(scope="module")
def healthy(module_sock_dir):
    with Peer(os.path.join(module_sock_dir, "healthy.sock"), OK, quiet=True) as peer:
        yield peer


@pytest.fixture
def peer(module_sock_dir, healthy, ffi):
    """Starts peers; afterwards checks that no descriptor stayed open and a call still works."""
    started = []
    before = open_descriptor_count()

    def start(*scripts) -> Peer:
        started.append(Peer(os.path.join(module_sock_dir, f"p{len(started)}.sock"), *scripts))
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


# --- QMP monitors ---------------------------------------------------------------------------

DEEP_REPLY = '{"return":' + "[" * 100_000 + "]" * 100_000 + "}\n"
HUGE = 20_000_000


def qmp_outcome(call):
    """The result, or the QMP error's message, and how long the call took."""
    started = time.monotonic()
    try:
        result = call()
    except RuntimeError as error:
        assert type(error) is RuntimeError and len(error.args) == 1
        parsed = json.loads(error.args[0])
        assert list(parsed) == ["context", "message"]
        result = parsed["message"]
    return result, time.monotonic() - started


@pytest.fixture
def qmp_peer(module_sock_dir, ffi):
    """Starts QMP monitors; afterwards checks that no descriptor stayed open and that a client
    still connects and gets its own replies."""
    started = []
    before = open_descriptor_count()
    with_monitors = [before]  # the monitors' own pipes stay open until they stop

    def start(**options) -> QmpPeer:
        options.setdefault("quiet", True)
        started.append(QmpPeer(os.path.join(module_sock_dir, f"q{len(started)}.sock"), **options))
        with_monitors[0] = open_descriptor_count()
        return started[-1]

    yield start
    assert open_descriptor_count() == with_monitors[0]
    if started:
        client = ffi._QmpClient(started[-1].path)
        client.connect(5.0, 5.0)
        assert client.execute("healthy", "[1]") == '{"arguments":[1],"command":"healthy"}'
        client.close()
    for each in started:
        each.close()
    assert open_descriptor_count() == before


# (the monitor's steps in reply to one command, read time-out, expected result or error
# message, bounds on the call's duration)
QMP_COMMAND_CASES = {
    # Megabytes without a line feed: collected whole, then the receive time-out or the end of
    # the stream ends the line.
    "endless-line-then-stall": (
        (["repeat", "a" * 1000, HUGE // 1000], ["hang"]), 0.5, EAGAIN_TEXT, (0.5, 10.0)),
    "endless-line-then-close": (
        (["repeat", " " * 1000, HUGE // 1000], ["close"]), 2.0,
        "syntax error while parsing value - unexpected end of input; expected '[', '{', or a "
        f"literal at line 1 column {HUGE}", (0.0, 10.0)),
    # One byte every 20 ms against a 500 ms time-out: each receive is in time.
    "trickle-inside-time-out": (
        (["trickle", '{"return":"slow"}\n', 0.02],), 0.5, '"slow"', (0.3, 5.0)),
    "trickle-then-stall": (
        (["trickle", '{"return":', 0.02], ["hang"]), 0.25, EAGAIN_TEXT, (0.4, 3.0)),
    "invalid-utf8": (
        (["send", text(b'{"return":"\xc3\x28"}\n')],), 1.0, "stream did not contain valid UTF-8",
        (0.0, 3.0)),
    "invalid-utf8-in-event": (
        (["send", text(b'{"event":"\xff"}\n{"return":1}\n')],), 1.0,
        "stream did not contain valid UTF-8", (0.0, 3.0)),
    "deep-nesting": (
        (["send", DEEP_REPLY],), 1.0, "nesting deeper than 127 levels at line 1 column 137",
        (0.0, 3.0)),
    "nul-after-the-reply": (
        (["send", '{"return":1}\0{"junk"\n'],), 1.0,
        "syntax error while parsing value - invalid literal; expected end of input at line 1 "
        "column 13", (0.0, 3.0)),
    "reply-far-larger-than-the-buffer": (
        (["send", '{"return":"'], ["repeat", "z" * 1000, HUGE // 1000], ["send", '"}\n']), 5.0,
        '"' + "z" * HUGE + '"', (0.0, 10.0)),
    "event-flood": (
        (["repeat", '{"event":"RESUME","data":{}}\n', 100_000], ["send", '{"return":2}\n']), 2.0,
        "2", (0.0, 10.0)),
    "huge-error-description": (
        (["send", '{"error":{"class":"GenericError","desc":"' + "d" * 1_000_000 + '"}}\n'],), 2.0,
        "QMP command 'play' failed", (0.0, 5.0)),
    "silent": ((["hang"],), 0.3, EAGAIN_TEXT, (0.3, 3.0)),
    "close-without-reply": ((["close"],), 1.0, "QMP socket closed unexpectedly", (0.0, 3.0)),
    "reply-then-close": ((["send", '{"return":3}\n'], ["close"]), 1.0, "3", (0.0, 3.0)),
}


@pytest.mark.parametrize("case", QMP_COMMAND_CASES, ids=list(QMP_COMMAND_CASES))
def test_qmp_command_ends_as_documented(ffi, qmp_peer, case):
    steps, read_timeout, expected, (low, high) = QMP_COMMAND_CASES[case]
    monitor = qmp_peer()
    client = ffi._QmpClient(monitor.path)
    client.connect(5.0, read_timeout)
    result, elapsed = qmp_outcome(lambda: client.execute("play", play(*steps)))
    assert result == expected
    assert low <= elapsed < high
    # The channel stays connected after every failure; once closed, it connects afresh.
    client.close()
    client.connect(5.0, 5.0)
    assert client.execute("next", None) == '{"command":"next"}'
    client.close()


@pytest.mark.parametrize("steps", [
    (["send", text(b'{"return":"\xff"}\n')],),
    (["send", '{"return":[' + "[" * 200 + "]" * 200 + "]}\n"],),
    (["send", '{"return":}\n'],),
    (["send", "\n"],),
], ids=["invalid-utf8", "deep-nesting", "bad-json", "empty-line"])
def test_qmp_client_reads_on_after_a_bad_line(ffi, qmp_peer, steps):
    # A refused line is one message; the next command on the same connection gets its own reply.
    monitor = qmp_peer()
    client = ffi._QmpClient(monitor.path)
    result, _ = qmp_outcome(lambda: client.execute("play", play(*steps)))
    assert isinstance(result, str) and not result.startswith("{")
    assert client.execute("next", "{}") == '{"arguments":{},"command":"next"}'
    client.close()


def test_qmp_late_reply_goes_to_the_next_command(ffi, qmp_peer):
    # Replies carry no id: a reply that missed its time-out is the next command's reply.
    monitor = qmp_peer()
    client = ffi._QmpClient(monitor.path)
    client.connect(5.0, 0.2)
    late = play(["sleep", 0.4], ["send", '{"return":"late"}\n'])
    result, elapsed = qmp_outcome(lambda: client.execute("play", late))
    assert (result, 0.2 <= elapsed < 2.0) == (EAGAIN_TEXT, True)
    time.sleep(0.3)
    assert client.execute("next", None) == '"late"'
    client.close()


def test_qmp_closed_monitor_fails_the_next_command(ffi, qmp_peer):
    monitor = qmp_peer(quiet=False)
    client = ffi._QmpClient(monitor.path)
    assert client.execute("play", play(["send", '{"return":4}\n'], ["close"])) == "4"
    assert monitor.wait_for(lambda: monitor.ended == 1)
    result, _ = qmp_outcome(lambda: client.execute("next", None))
    assert result == EPIPE_TEXT  # the channel stays connected to the closed socket
    client.close()


# (the first connection's greeting steps, connect time-out, expected error message, bounds)
QMP_GREETING_CASES = {
    "greeting-then-silence": ((["send", GREETING], ["hang"]), 0.3, EAGAIN_TEXT, (0.3, 3.0)),
    "no-greeting": ((["hang"],), 0.3, EAGAIN_TEXT, (0.3, 3.0)),
    "endless-greeting-then-stall": (
        (["repeat", "g" * 1000, 5000], ["hang"]), 0.3, EAGAIN_TEXT, (0.3, 5.0)),
    "trickled-greeting-then-silence": (
        (["trickle", GREETING, 0.005], ["hang"]), 0.3, EAGAIN_TEXT, (0.7, 5.0)),
    "invalid-utf8-greeting": (
        (["send", text(b'{"QMP":"\xed\xa0\x80"}\n')],), 1.0, "stream did not contain valid UTF-8",
        (0.0, 3.0)),
    "deep-greeting": (
        (["send", "[" * 1000 + "]" * 1000 + "\n"],), 1.0,
        "nesting deeper than 127 levels at line 1 column 128", (0.0, 3.0)),
    "greeting-without-qmp": ((["send", '{"qmp":{}}\n'],), 1.0, "Invalid QMP greeting", (0.0, 3.0)),
    # The capability negotiation is written before the monitor has gone (and then left unread,
    # which resets the connection), or after.
    "greeting-then-close": ((["send", GREETING], ["close"]), 1.0,
                            {"QMP socket closed unexpectedly", EPIPE_TEXT, ECONNRESET_TEXT},
                            (0.0, 3.0)),
    "close-at-once": ((["close"],), 1.0, "QMP socket closed unexpectedly", (0.0, 3.0)),
}


@pytest.mark.parametrize("case", QMP_GREETING_CASES, ids=list(QMP_GREETING_CASES))
def test_qmp_connect_ends_as_documented(ffi, qmp_peer, case):
    steps, timeout, expected, (low, high) = QMP_GREETING_CASES[case]
    monitor = qmp_peer(greetings=[list(steps), [["send", GREETING]]], quiet=False)
    client = ffi._QmpClient(monitor.path)
    result, elapsed = qmp_outcome(lambda: client.connect(timeout, 5.0))
    assert result in (expected if isinstance(expected, set) else {expected})
    assert low <= elapsed < high
    # A failed handshake closed the channel: the next connect makes a new connection, which is
    # greeted properly.
    assert client.connect(5.0, 5.0) is None
    assert client.execute("next", None) == '{"command":"next"}'
    client.close()
    assert monitor.wait_for(lambda: monitor.accepted == 2)


def test_qmp_trickled_greeting_inside_time_out(ffi, qmp_peer):
    # Each byte of the greeting comes well within the handshake's time-out.
    monitor = qmp_peer(greetings=[[["trickle", GREETING, 0.002]]])
    client = ffi._QmpClient(monitor.path)
    assert client.connect(0.5, 5.0) is None
    assert client.execute("next", None) == '{"command":"next"}'
    client.close()
