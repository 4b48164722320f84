"""_QmpClient against scripted monitors (a real QEMU runs the README's examples): wire bytes,
replies, connecting, failures, threads and jobs."""

import json
import socket
import threading
import time

import brindle_core._ffi as ffi
import pytest
from support.checks import (EAGAIN, assert_releases_gil, open_descriptors, os_text, qmp_error,
                            repeated)
from support.peer import AWAIT, CAPABILITIES, CLOSE, EMPTY, GREETING

QUERY = b'{"execute":"query-jobs"}\n'
REFUSAL = b'{"error":{"class":"GenericError","desc":"no"}}\n'


def reply(value) -> bytes:
    return b'{"return":' + json.dumps(value, separators=(",", ":")).encode() + b"}\n"


def job(job_id="j", status="running", **members) -> dict:
    return {"id": job_id, "type": "snapshot-save", "status": status, **members}


def command(name: str, arguments: str = "") -> bytes:
    return (f'{{"arguments":{arguments},' if arguments else "{").encode() + (
        f'"execute":"{name}"}}\n').encode()


DISMISS = command("job-dismiss", '{"id":"j"}')


@pytest.mark.storm
def test_a_conversation(peer):
    deep = b"[" * 100_000 + b"]" * 100_000
    monitor = peer(
        [b'{"return":{"b":[],"a":"\\u001f\xc3\xa9"}}\n'], [EMPTY], [EMPTY],
        # Events (with a "return" too), other values and "error" texts are skipped.
        [b'{"event":"STOP"}\n{"event":"X","return":5}\n42\n{}\n[]\n{"error":"x"}\n{"return":1}\n'],
        [b'{"error":{"class":1},"return":1}\n'], [reply(2) + reply(3)], [],
        [reply("x" * 20000)], [b'{"return":"\xff"}\n'], [b'{"return":' + deep + b"}\n"], [EMPTY],
        qmp=True)
    client = ffi._QmpClient(monitor.path)
    assert client.execute("x", '{"z":1,"y":{"b":2,"a":1},"a":1e2}') == '{"a":"\\u001f\xe9","b":[]}'
    assert [client.execute("y", None), client.execute("z", "null")] == ["{}", "{}"]
    assert client.execute("events", None) == "1"
    assert qmp_error(lambda: client.execute("b", None)) == {
        "context": {"class": None, "command": "b", "desc": None, "socket_path": monitor.path},
        "message": "QMP command 'b' failed"}
    assert [client.execute(c, None) for c in "cde"] == ["2", "3", json.dumps("x" * 20000)]
    assert qmp_error(lambda: client.execute("f", None))["message"] == (
        "stream did not contain valid UTF-8")
    assert qmp_error(lambda: client.execute("g", None))["message"].startswith(
        "nesting deeper than 127 levels")
    assert client.stop_vm() is None and client.cont() is None
    assert client.snapshot_save("s", "tag", "disk0", ["disk0", "disk0"]) is None
    assert client.snapshot_load(devices=("d",), vmstate="", tag=" t ", job_id='"\\\n') is None
    # The length of `devices` is only a hint: a huge one, or one that fails.
    for hint in (lambda _: 2**62, lambda _: 1 / 0):
        assert client.snapshot_delete("d", "t", type("D", (list,), {"__len__": hint})("ab")) is None
    assert client.blockdev_snapshot_internal_sync("disk0", "n") is None
    assert client.blockdev_snapshot_delete_internal_sync("disk0", "n") is None
    assert client.dismiss_job("j") is None
    assert monitor.accepted == 1
    assert monitor.received == [
        CAPABILITIES, command("x", '{"a":100.0,"y":{"a":1,"b":2},"z":1}'), command("y"),
        command("z", "null"), command("events"), *map(command, "bcdefg"), command("stop"),
        command("cont"),
        command("snapshot-save", '{"devices":["disk0","disk0"],"job-id":"s","tag":"tag",'
                                 '"vmstate":"disk0"}'),
        command("snapshot-load",
                '{"devices":["d"],"job-id":"\\"\\\\\\n","tag":" t ","vmstate":""}'),
        *[command("snapshot-delete", '{"devices":["a","b"],"job-id":"d","tag":"t"}')] * 2,
        command("blockdev-snapshot-internal-sync", '{"device":"disk0","name":"n"}'),
        command("blockdev-snapshot-delete-internal-sync", '{"device":"disk0","name":"n"}'),
        DISMISS]


def test_time_outs_keep_the_channel_and_drop_partial_lines(peer):
    monitor = peer([0.6, reply("late")], [reply("second")], [], [b'{"return":', 0.6, b'"x"}\n'],
                   [], [EMPTY], qmp=True)
    client = ffi._QmpClient(monitor.path)
    client.connect(2, 0.3)
    assert qmp_error(lambda: client.execute("slow", None))["message"] == EAGAIN
    time.sleep(0.8)
    # Replies are matched by order alone: the late one answers the next command.
    assert [client.execute(c, None) for c in ("next", "again")] == ['"late"', '"second"']
    assert qmp_error(lambda: client.execute("partial", None))["message"] == EAGAIN
    time.sleep(0.8)
    # What was read of a line before the time-out is gone; its rest is a line of its own.
    assert qmp_error(lambda: client.execute("rest", None))["message"].startswith("syntax error")
    assert client.execute("last", None) == "{}"


@pytest.mark.parametrize(("greeting", "timeouts", "message", "received"), [
    ([b'{"QMP":null}\n'], (2, 10), None, [CAPABILITIES]),
    ([b'{"a":1,"QMP":{}}\n'], (2, 10), None, [CAPABILITIES]),
    ([b"{}\n"], (2, 10), "Invalid QMP greeting", []),
    ([GREETING, REFUSAL], (2, 10), "QMP command 'qmp_capabilities' failed", [CAPABILITIES]),
    ([1.3, GREETING], (5, 10), EAGAIN, []),  # the handshake's bound is one second at most
    ([GREETING], (0, 10), "cannot set a 0 duration timeout", []),
    ([GREETING], (2, 0), "cannot set a 0 duration timeout", [CAPABILITIES]),
])
def test_the_handshake(peer, greeting, timeouts, message, received):
    monitor = peer(qmp=True, greeting=greeting)
    client, before = ffi._QmpClient(monitor.path), open_descriptors()

    def handshake():
        if message is None:
            client.connect(*timeouts)
            return client.close()
        error = qmp_error(lambda: client.connect(*timeouts))  # and the channel is closed again
        assert error["message"] == message and open_descriptors() == before

    repeated(handshake)
    monitor.wait_for(lambda: len(monitor.received) >= len(received))
    assert set(monitor.received) == set(received)


@pytest.mark.storm
@pytest.mark.parametrize(("listening", "timeout", "least"), [
    (False, 0.03, 0.05), (False, 0.12, 0.12), (True, 0.3, 0.3)])
def test_connecting_ends_at_the_deadline(tmp_path, listening, timeout, least):
    # Attempts are 50 ms apart until the deadline has passed, so a 30 ms time-out ends with the
    # second attempt (a pause cut short by a signal would end it sooner; load only delays it). A
    # full listen queue that nothing accepts from keeps the deadline too.
    path = str(tmp_path / "monitor.sock")
    with socket.socket(socket.AF_UNIX) as listener, socket.socket(socket.AF_UNIX) as queued:
        if listening:
            listener.bind(path)
            listener.listen(0)
            queued.connect(path)
        started = time.monotonic()
        assert qmp_error(lambda: ffi._QmpClient(path).connect(timeout, 1)) == {
            "context": {"socket_path": path}, "message": "Timed out waiting for QMP socket"}
        assert least <= time.monotonic() - started < least + 1


def test_failures_leave_the_client_usable(peer):
    monitor = peer([CLOSE], [EMPTY], [REFUSAL], [reply([job("j", "concluded")])], qmp=True)
    client = ffi._QmpClient(monitor.path)
    for call in (lambda: client.connect(1, 2.0**64), lambda: client.wait_for_job("j", 1, 2.0**64),
                 lambda: client.wait_for_job("j", 9.3e18, 1)):
        assert qmp_error(call)["message"] == "timeout is too large to be represented"
    assert client.close() is None and monitor.accepted == 0
    client.connect(2, 10)
    assert qmp_error(lambda: client.execute("x", None))["message"] == (
        "QMP socket closed unexpectedly")
    assert qmp_error(lambda: client.execute("y", None))["message"] == os_text(32)
    assert client.close() is None and client.close() is None
    assert client.execute("z", None) == "{}"  # connects again by itself
    assert qmp_error(lambda: client.snapshot_delete("j", "t", ["d"])) == {
        "context": {"class": "GenericError", "command": "snapshot-delete", "desc": "no",
                    "socket_path": monitor.path}, "message": "QMP command 'snapshot-delete' failed"}
    assert json.loads(client.wait_for_job("j", 1, 1))["status"] == "concluded"
    # Nothing is sent after a refusal; the dismissal belongs to the wait.
    assert monitor.received == [CAPABILITIES, command("x"), CAPABILITIES, command("z"), command(
        "snapshot-delete", '{"devices":["d"],"job-id":"j","tag":"t"}'), QUERY, DISMISS]


def test_the_client_lock_is_held_for_the_whole_wait(peer):
    # close, and an execute refused for its arguments, take the client lock without letting the
    # interpreter lock go: the wait holding it finishes without needing it.
    monitor = peer([reply([job()])], [reply([job()])], [reply([job("j", "concluded")])], [EMPTY],
                   qmp=True)
    client, results = ffi._QmpClient(monitor.path), []
    waiter = threading.Thread(target=lambda: results.append(client.wait_for_job("j", 5, 0.2)))
    waiter.start()
    monitor.wait_for(lambda: len(monitor.received) == 2)
    assert qmp_error(lambda: client.execute("x", "{"))["context"] == {"socket_path": monitor.path}
    client.close()
    assert client.execute("query-status", None) == "{}"
    waiter.join()
    assert json.loads(results[0])["status"] == "concluded"
    assert monitor.received[1:] == [QUERY, QUERY, QUERY, DISMISS, CAPABILITIES,
                                    command("query-status")]

    def after():  # and the client works on, without leaks
        assert client.execute("after", None) == "{}"
        assert client.dismiss_job("j") is None and client.stop_vm() is None

    repeated(after)


def test_blocking_calls_run_without_the_interpreter_lock(peer, tmp_path):
    path, monitor = str(tmp_path / "late.sock"), []
    client = ffi._QmpClient(path)

    def start_monitor():
        time.sleep(0.3)
        monitor.append(peer([AWAIT, reply("x")], [reply([job()])],
                            [AWAIT, reply([job("j", "concluded")])], [EMPTY], qmp=True, path=path))

    assert_releases_gil(lambda: client.connect(5, 2), start_monitor, None)
    assert_releases_gil(lambda: client.execute("x", None), lambda: monitor[0].release(2), '"x"')
    assert_releases_gil(lambda: json.loads(client.wait_for_job("j", 10, 0))["status"],
                        lambda: monitor[0].release(4), "concluded")


DONE = {"job_id": "j", "job_type": "snapshot-save", "status": "concluded", "current_progress": 0,
        "total_progress": 0, "error": None}
FAILED = {"job_id": "j", "job_type": "snapshot-save", "status": "concluded"}


RUNNING = {"last_status": "running"}


@pytest.mark.storm
@pytest.mark.parametrize(("listed", "timeout", "pause", "outcome", "sent"), [
    # Polls until the first job with exactly this id has status "concluded", then dismisses it.
    ([[], [job("k", "concluded"), job("j")], [job("j", "concluded")], {}], 5, 0.01, DONE,
     [QUERY, QUERY, QUERY, DISMISS]),
    ([[job("j", "concluded")], REFUSAL], 5, 0.01, DONE, [QUERY, DISMISS]),
    ([[job("j", "concluded", error=None)]], 5, 0, FAILED | {"error": "null"}, [QUERY]),
    ([[job("j"), job("j", "concluded")]], 0.3, 0.01, RUNNING, None),
    ([[job("J", "concluded"), job("j ", "concluded"), job("j", "Concluded")]], 0.3, 0.01,
     {"last_status": "Concluded"}, None),
    ([[job("j")], [job("j", "pending")], [job("k", "concluded")]], 0.3, 0.01,
     {"last_status": "pending"}, None),
    ([[job("j")], {"not": "a list"}], 5, 0.01, {"result": {"not": "a list"}}, [QUERY, QUERY]),
    # The final pause runs past the deadline, with no query after it; no pause: back to back.
    ([[job()]], 0.2, 1, RUNNING, range(1, 2)),
    ([[job()]], 0.5, 0.1, RUNNING, range(3, 8)),
    ([[job()]], 0.2, -1, RUNNING, range(10, 10**6)),
])
def test_wait_for_job(peer, listed, timeout, pause, outcome, sent):
    monitor = peer(*([v if isinstance(v, bytes) else reply(v)] for v in listed), qmp=True)
    client = ffi._QmpClient(monitor.path)
    client.connect(2, 10)
    started = time.monotonic()
    if outcome is DONE:
        assert json.loads(client.wait_for_job("j", timeout, pause)) == DONE
    else:
        context = qmp_error(lambda: client.wait_for_job("j", timeout, pause))["context"]
        assert {key: context[key] for key in outcome} == outcome
    if outcome is RUNNING:  # timed out, at the deadline or after the final pause
        assert max(timeout, pause) <= time.monotonic() - started < max(timeout, pause) + 1.5
    queries = monitor.received[1:]
    assert (len(queries) in sent if isinstance(sent, range) else queries == sent) or (
        sent is None and DISMISS not in queries)

