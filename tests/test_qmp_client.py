"""_QmpClient against a scripted monitor: wire bytes, replies, failures, time-outs, threads."""

import json
import math
import shutil
import socket
import threading
import time

import pytest
from support.qmp_fake import (CAPABILITIES, CLOSE, EMPTY_RETURN, FakeMonitor,
                              FakeMonitorProcess, qmp_error, short_socket_path)
from support.system import open_descriptor_count

EAGAIN = "Resource temporarily unavailable (os error 11)"



# --- the class ------------------------------------------------------------------------------


def test_method_signatures(ffi):
    cls = ffi._QmpClient
    for name, signature in [("connect", "($self, timeout, read_timeout)"),
                            ("execute", "($self, command, arguments_json)"),
                            ("stop_vm", "($self)"), ("cont", "($self)"), ("close", "($self)")]:
        assert getattr(cls, name).__text_signature__ == signature
        assert getattr(cls, name).__doc__ is None


@pytest.mark.parametrize("call, text", [
    (lambda c: c(), "_QmpClient.__new__() missing 1 required positional argument: 'socket_path'"),
    (lambda c: c(None), "argument 'socket_path': 'None' is not an instance of 'str'"),
    (lambda c: c("s").connect("1", 1),
     "argument 'timeout': must be real number, not str"),
    (lambda c: c("s").execute(b"stop", None),
     "argument 'command': 'bytes' object is not an instance of 'str'"),
    (lambda c: c("s").execute("stop", {}),
     "argument 'arguments_json': 'dict' object is not an instance of 'str'"),
    (lambda c: c("s").execute("stop"), "_QmpClient.execute() missing 1 required positional "
                                        "argument: 'arguments_json'"),
])
def test_argument_errors(ffi, call, text):
    with pytest.raises(TypeError) as excinfo:
        call(ffi._QmpClient)
    assert str(excinfo.value) == text


# --- wire format ----------------------------------------------------------------------------


def test_sends_exact_lines(client, monitor):
    monitor.script([b'{"return":{"b":[],"a":"\\u001f\xc3\xa9"}}\n'])
    client.connect(2, 10)
    assert client.execute("x", '{"z":1,"y":{"b":2,"a":1},"a":1e2}') == '{"a":"\\u001f\xe9","b":[]}'
    assert client.execute("y", None) == "{}"
    assert client.execute("z", "null") == "{}"
    assert client.execute("w", ' [1, -1, 18446744073709551615, 0.5] ') == "{}"
    assert client.stop_vm() is None
    assert client.cont() is None
    assert monitor.received == [
        CAPABILITIES,
        b'{"arguments":{"a":100.0,"y":{"a":1,"b":2},"z":1},"execute":"x"}\n',
        b'{"execute":"y"}\n',
        b'{"arguments":null,"execute":"z"}\n',
        b'{"arguments":[1,-1,18446744073709551615,0.5],"execute":"w"}\n',
        b'{"execute":"stop"}\n',
        b'{"execute":"cont"}\n',
    ]


@pytest.mark.parametrize("returned, text", [
    (b'{"b":1,"a":{"d":2,"c":1}}', '{"a":{"c":1,"d":2},"b":1}'),
    (b'"running"', '"running"'),
    (b'[1e2, 1.5e-7, 1e16, -0.0, 9223372036854775808, -9223372036854775809]',
     '[100.0,1.5e-7,1e16,-0.0,9223372036854775808,-9.223372036854776e18]'),
])
def test_return_value_comes_back_as_canonical_text(client, monitor, returned, text):
    monitor.script([b'{"return":' + returned + b"}\n"])
    assert client.execute("x", None) == text


def test_replies_classified_in_order(client, monitor):
    monitor.script(
        [b'{"event":"STOP"}\n{"event":"RESUME","return":5}\n42\n"text"\n{}\n[]\n'
         b'{"error":"not an object"}\n{"id":1}\n{"return":{}}\n'],
        [b'{"error":{"class":"GenericError","desc":"it failed"},"return":1}\n'],
    )
    assert client.execute("a", None) == "{}"
    with pytest.raises(RuntimeError) as excinfo:
        client.execute("b", None)
    assert qmp_error(excinfo) == {
        "context": {"class": "GenericError", "command": "b", "desc": "it failed",
                    "socket_path": monitor.path},
        "message": "QMP command 'b' failed"}


def test_buffered_and_long_lines(client, monitor):
    long_text = "x" * 20000
    # Two replies in one write: the second command finds its reply already buffered.
    monitor.script([b'{"return":1}\n{"return":2}\n'], [],
                   [b'{"return":"' + long_text.encode() + b'"}\n'])
    assert client.execute("a", None) == "1"
    assert client.execute("b", None) == "2"
    assert client.execute("c", None) == json.dumps(long_text)


@pytest.mark.parametrize("arguments, message", [
    ("{", "syntax error while parsing object key - unexpected end of input; expected string "
          "literal at line 1 column 1"),
    ("[1e400]", "number out of range at line 1 column 6"),
    ("[" * 128 + "]" * 128, "nesting deeper than 127 levels at line 1 column 128"),
    ("1 2", "syntax error while parsing value - unexpected number literal; expected end of "
            "input at line 1 column 3"),
])
def test_bad_arguments_fail_without_connecting(client, monitor, arguments, message):
    with pytest.raises(RuntimeError) as excinfo:
        client.execute("x", arguments)
    assert qmp_error(excinfo) == {"context": {"socket_path": monitor.path}, "message": message}
    assert monitor.accepted == 0


# --- connecting -----------------------------------------------------------------------------


@pytest.mark.parametrize("greeting", [b'{"QMP":null}\n', b'{"a":1,"QMP":{}}\n'])
def test_greeting_accepted(client, monitor, greeting):
    monitor.greeting = [greeting]
    client.connect(2, 10)
    assert monitor.received == [CAPABILITIES]


@pytest.mark.parametrize("greeting", [b"{}\n", b'["QMP"]\n', b'{"qmp":{}}\n', b"null\n"])
def test_greeting_refused(client, monitor, greeting):
    monitor.greeting = [greeting]
    with pytest.raises(RuntimeError) as excinfo:
        client.connect(2, 10)
    assert qmp_error(excinfo) == {
        "context": {"greeting": json.loads(greeting), "socket_path": monitor.path},
        "message": "Invalid QMP greeting"}
    monitor.wait_for(lambda: monitor.closed == 1)  # the handshake failure closed the socket
    assert monitor.received == []


def test_failed_handshakes_close_the_channel(client, monitor):
    monitor.capabilities = [b'{"error":{"class":"GenericError","desc":"no"}}\n']
    with pytest.raises(RuntimeError) as excinfo:
        client.connect(2, 10)
    assert qmp_error(excinfo)["message"] == "QMP command 'qmp_capabilities' failed"
    monitor.wait_for(lambda: monitor.closed == 1)
    # A greeting slower than min(timeout, 1 s) times the handshake out.
    monitor.capabilities = [EMPTY_RETURN]
    monitor.greeting = [0.4, b'{"QMP":{}}\n']
    with pytest.raises(RuntimeError) as excinfo:
        client.connect(0.2, 10)
    assert qmp_error(excinfo)["message"] == EAGAIN
    monitor.wait_for(lambda: monitor.closed == 2)
    # Each failure left the client disconnected: the next command connects afresh.
    assert client.execute("x", None) == "{}"
    assert monitor.accepted == 3


def test_connect_on_connected_client_ignores_time_outs(client, monitor):
    client.connect(2, 10)
    for timeout in [0, -1, math.nan, 1e300]:
        assert client.connect(timeout, timeout) is None
    assert monitor.accepted == 1


@pytest.fixture
def missing_path():
    directory, path = short_socket_path()
    yield path
    shutil.rmtree(directory, ignore_errors=True)


def test_connect_timeout_timing(ffi, missing_path):
    path = missing_path
    client = ffi._QmpClient(path)
    started = time.monotonic()
    with pytest.raises(RuntimeError) as excinfo:
        client.connect(0.12, 1)
    elapsed = time.monotonic() - started
    assert qmp_error(excinfo) == {"context": {"socket_path": path},
                                  "message": "Timed out waiting for QMP socket"}
    # Attempts at 0, 50, 100 and 150 ms: the last one comes after the deadline.
    assert 0.12 <= elapsed < 0.2


def test_connect_to_a_full_listen_queue_keeps_the_deadline(ffi, missing_path):
    # A listener that never accepts, its queue already full: a plain blocking connect would
    # wait there for good.
    with socket.socket(socket.AF_UNIX) as listener, socket.socket(socket.AF_UNIX) as queued:
        listener.bind(missing_path)
        listener.listen(0)
        queued.connect(missing_path)
        client = ffi._QmpClient(missing_path)
        started = time.monotonic()
        with pytest.raises(RuntimeError) as excinfo:
            client.connect(0.3, 1)
        elapsed = time.monotonic() - started
    assert qmp_error(excinfo)["message"] == "Timed out waiting for QMP socket"
    assert 0.3 <= elapsed < 0.45


def test_connect_waits_for_the_socket_to_appear(ffi, missing_path):
    path = missing_path
    client = ffi._QmpClient(path)
    timer = threading.Timer(0.2, lambda: monitors.append(FakeMonitor(path=path)))
    monitors = []
    timer.start()
    try:
        client.connect(3, 1)
        assert client.execute("x", None) == "{}"
    finally:
        timer.join()
        client.close()
        monitors[0].stop()


@pytest.mark.parametrize("timeout, read_timeout, received", [
    (0, 10, []),  # no time-out for the handshake
    (2, 0, [CAPABILITIES]),  # no time-out after it
    (2, -1.0, [CAPABILITIES]),
    (math.inf, 10, []),
])
def test_zero_time_outs_refused_after_connecting(client, monitor, timeout, read_timeout,
                                                 received):
    before = open_descriptor_count()
    with pytest.raises(RuntimeError) as excinfo:
        client.connect(timeout, read_timeout)
    assert qmp_error(excinfo)["message"] == "cannot set a 0 duration timeout"
    monitor.wait_for(lambda: monitor.closed == 1)
    assert monitor.received == received
    assert open_descriptor_count() == before


@pytest.mark.parametrize("timeout, read_timeout", [(1e19, 1), (1e300, 1), (1, 2.0**64)])
def test_time_outs_too_large_are_refused_and_client_stays_usable(client, monitor, timeout,
                                                                 read_timeout):
    with pytest.raises(RuntimeError) as excinfo:
        client.connect(timeout, read_timeout)
    assert qmp_error(excinfo) == {"context": {"socket_path": monitor.path},
                                  "message": "timeout is too large to be represented"}
    assert monitor.accepted == 0
    client.connect(1, 1)
    assert client.execute("x", None) == "{}"


# --- failures after connecting --------------------------------------------------------------


def test_read_time_out_keeps_the_channel_and_the_late_reply(client, monitor):
    monitor.script([0.5, b'{"return":"late"}\n'], [b'{"return":"second"}\n'])
    client.connect(2, 0.2)
    with pytest.raises(RuntimeError) as excinfo:
        client.execute("slow", None)
    assert qmp_error(excinfo) == {"context": {"socket_path": monitor.path}, "message": EAGAIN}
    time.sleep(0.4)
    # Replies are matched by order alone: the late one answers the next command.
    assert client.execute("next", None) == '"late"'
    assert client.execute("again", None) == '"second"'


def test_socket_closed_then_broken_pipe_then_reconnect(client, monitor):
    monitor.script([CLOSE])
    client.connect(2, 10)
    with pytest.raises(RuntimeError) as excinfo:
        client.execute("x", None)
    assert qmp_error(excinfo) == {"context": {"socket_path": monitor.path},
                                  "message": "QMP socket closed unexpectedly"}
    with pytest.raises(RuntimeError) as excinfo:
        client.execute("y", None)
    assert qmp_error(excinfo)["message"] == "Broken pipe (os error 32)"
    client.close()
    assert client.execute("z", None) == "{}"
    assert monitor.commands() == [b'{"execute":"x"}\n', b'{"execute":"z"}\n']


def test_close_is_idempotent_and_releases_descriptors(ffi, monitor):
    before = open_descriptor_count()
    client = ffi._QmpClient(monitor.path)
    assert client.close() is None
    client.connect(2, 10)
    # Two handles in the client, one connection in the monitor.
    assert open_descriptor_count() == before + 3
    assert client.close() is None
    assert client.close() is None
    monitor.wait_for(lambda: monitor.closed == 1)
    assert open_descriptor_count() == before
    client.connect(2, 10)
    del client  # destruction closes both handles
    monitor.wait_for(lambda: monitor.closed == 2)
    assert open_descriptor_count() == before


# --- threads --------------------------------------------------------------------------------


def test_close_waits_for_a_running_execute(ffi):
    with FakeMonitorProcess([0.3, b'{"return":"done"}\n']) as monitor:
        client = ffi._QmpClient(monitor.path)
        client.connect(2, 10)
        assert monitor.next_line() == CAPABILITIES
        results = []
        worker = threading.Thread(target=lambda: results.append(client.execute("slow", None)))
        worker.start()
        assert monitor.next_line() == b'{"execute":"slow"}\n'
        started = time.monotonic()
        client.close()
        waited = time.monotonic() - started
        worker.join()
        # The reply came 0.3 s after the command; close took the descriptors only after it.
        assert results == ['"done"']
        assert 0.2 < waited < 2


def test_threads_sharing_a_client_get_their_own_replies(client, monitor):
    count = 8
    monitor.script(*([0.01 * (i % 3), b'{"event":"X"}\n', b'{"return":%d}\n' % i]
                     for i in range(count)))
    client.connect(2, 10)
    results = {}

    def call(n):
        # The monitor answers in arrival order; each thread must see the reply to its command.
        results[n] = client.execute("echo", json.dumps({"n": n}))

    threads = [threading.Thread(target=call, args=(n,)) for n in range(count)]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join()
    order = [json.loads(line)["arguments"]["n"] for line in monitor.commands()]
    assert sorted(order) == list(range(count))
    assert {n: int(results[n]) for n in results} == {n: order.index(n) for n in order}


def test_other_threads_run_while_a_call_blocks(client, monitor):
    monitor.script([0.5, EMPTY_RETURN])
    client.connect(2, 10)
    ticks = 0
    stop = threading.Event()

    def spin():
        nonlocal ticks
        while not stop.is_set():
            ticks += 1

    spinner = threading.Thread(target=spin)
    spinner.start()
    try:
        before = ticks
        client.execute("slow", None)
        during = ticks - before
    finally:
        stop.set()
        spinner.join()
    assert during > 1000
