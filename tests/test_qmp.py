"""_QmpClient against scripted monitors and a real QEMU: wire bytes, replies, connecting,
failures, threads and jobs."""

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


def dismiss(job_id: str) -> bytes:
    return b'{"arguments":{"id":"' + job_id.encode() + b'"},"execute":"job-dismiss"}\n'


def job(job_id="j", status="running", **members) -> dict:
    return {"id": job_id, "type": "snapshot-save", "status": status, **members}


def command(name: str, arguments: str = "") -> bytes:
    return (f'{{"arguments":{arguments},' if arguments else "{").encode() + (
        f'"execute":"{name}"}}\n').encode()


@pytest.mark.storm
def test_a_conversation(peer):
    deep = b"[" * 100_000 + b"]" * 100_000
    monitor = peer(
        [b'{"return":{"b":[],"a":"\\u001f\xc3\xa9"}}\n'], [EMPTY], [EMPTY], [EMPTY],
        # Events (with a "return" too), other values and "error" texts are skipped.
        [b'{"event":"STOP"}\n{"event":"X","return":5}\n42\n{}\n[]\n{"error":"x"}\n{"return":1}\n'],
        [b'{"error":{"class":1},"return":1}\n'], [reply(2) + reply(3)], [],
        [reply("x" * 20000)], [b'{"return":"\xff"}\n'], [b'{"return":' + deep + b"}\n"], [EMPTY],
        qmp=True)
    client = ffi._QmpClient(monitor.path)
    assert client.execute("x", '{"z":1,"y":{"b":2,"a":1},"a":1e2}') == '{"a":"\\u001f\xe9","b":[]}'
    assert client.execute("y", None) == "{}"
    assert client.execute("z", "null") == "{}"
    assert client.execute("w", " [-1, 18446744073709551615, 0.5] ") == "{}"
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
    assert client.dismiss_job("s") is None
    assert monitor.accepted == 1
    assert monitor.received == [
        CAPABILITIES, command("x", '{"a":100.0,"y":{"a":1,"b":2},"z":1}'), command("y"),
        command("z", "null"), command("w", "[-1,18446744073709551615,0.5]"), command("events"),
        *map(command, "bcdefg"),
        command("stop"), command("cont"),
        command("snapshot-save", '{"devices":["disk0","disk0"],"job-id":"s","tag":"tag",'
                                 '"vmstate":"disk0"}'),
        command("snapshot-load", '{"devices":["d"],"job-id":"\\"\\\\\\n","tag":" t ","vmstate":""}'),
        *[command("snapshot-delete", '{"devices":["a","b"],"job-id":"d","tag":"t"}')] * 2,
        command("blockdev-snapshot-internal-sync", '{"device":"disk0","name":"n"}'),
        command("blockdev-snapshot-delete-internal-sync", '{"device":"disk0","name":"n"}'),
        dismiss("s")]


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
        if message == "Invalid QMP greeting":
            assert error["context"]["greeting"] == json.loads(greeting[0])

    repeated(handshake)
    monitor.wait_for(lambda: len(monitor.received) >= len(received))
    assert set(monitor.received) == set(received)


@pytest.mark.storm
@pytest.mark.parametrize(("timeout", "least"), [(0.01, 0.05), (0.12, 0.15)])
def test_connect_attempts_are_50_ms_apart(tmp_path, timeout, least):
    # One more attempt follows the last failure before the deadline; a pause cut short by a
    # signal would end the call at the deadline.
    path, started = str(tmp_path / "none.sock"), time.monotonic()
    assert qmp_error(lambda: ffi._QmpClient(path).connect(timeout, 1)) == {
        "context": {"socket_path": path}, "message": "Timed out waiting for QMP socket"}
    assert least <= time.monotonic() - started < least + 0.5


def test_a_full_listen_queue_keeps_the_deadline(tmp_path):
    path = str(tmp_path / "full.sock")
    with socket.socket(socket.AF_UNIX) as listener, socket.socket(socket.AF_UNIX) as queued:
        listener.bind(path)
        listener.listen(0)
        queued.connect(path)  # the queue is full, and nothing is ever accepted
        started = time.monotonic()
        assert qmp_error(lambda: ffi._QmpClient(path).connect(0.3, 1))["message"] == (
            "Timed out waiting for QMP socket")
        assert 0.3 <= time.monotonic() - started < 1.5


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
        "snapshot-delete", '{"devices":["d"],"job-id":"j","tag":"t"}'), QUERY, dismiss("j")]


def test_locks_taken_under_the_interpreter_lock_wait_for_a_running_command(peer):
    # close, and an execute refused for its arguments, take the client lock without letting the
    # interpreter lock go: the running command finishes without needing it.
    monitor = peer([0.3, reply("done")], [EMPTY], qmp=True)
    client, results = ffi._QmpClient(monitor.path), []
    worker = threading.Thread(target=lambda: results.append(client.execute("slow", None)))
    worker.start()
    monitor.wait_for(lambda: len(monitor.received) == 2)
    assert qmp_error(lambda: client.execute("x", "{"))["context"] == {"socket_path": monitor.path}
    client.close()
    worker.join()
    assert results == ['"done"']

    def after():  # and the client works on, without leaks
        assert client.execute("after", None) == "{}"
        assert client.dismiss_job("j") is None and client.stop_vm() is None

    repeated(after)


def test_blocking_calls_run_without_the_interpreter_lock(peer, tmp_path):
    path = str(tmp_path / "late.sock")
    client = ffi._QmpClient(path)

    def start_monitor():
        time.sleep(0.3)
        monitor.append(peer([AWAIT, reply("x")], [reply([job()])],
                            [AWAIT, reply([job(status="concluded")])], [EMPTY], qmp=True, path=path))

    def release_at(lines):
        return lambda: monitor[0].wait_for(lambda: len(monitor[0].received) == lines) or (
            monitor[0].release())

    monitor = []
    assert_releases_gil(lambda: client.connect(5, 2), start_monitor, None)
    assert_releases_gil(lambda: client.execute("x", None), release_at(2), '"x"')
    assert_releases_gil(lambda: json.loads(client.wait_for_job("j", 10, 0))["status"],
                        release_at(4), "concluded")


DONE = {"job_id": "j", "job_type": "snapshot-save", "status": "concluded", "current_progress": 0,
        "total_progress": 0, "error": None}
FAILED = {"job_id": "j", "job_type": "snapshot-save", "status": "concluded"}


@pytest.mark.parametrize(("listed", "outcome", "commands"), [
    # Polls until the first job with exactly this id has status "concluded", then dismisses it.
    ([[], [job("k", "concluded"), job("j")], [job("j", "concluded")], {}], DONE,
     [QUERY, QUERY, QUERY, dismiss("j")]),
    ([[job("j", "concluded")], REFUSAL], DONE, [QUERY, dismiss("j")]),
    ([[job("j", "concluded", error="disk full")]], FAILED | {"error": "disk full"}, [QUERY]),
    ([[job("j", "concluded", error=None)]], FAILED | {"error": "null"}, [QUERY]),
    ([[job("j"), job("j", "concluded")]], {"last_status": "running"}, None),
    ([[job("J", "concluded"), job("j ", "concluded"), job("j", "Concluded")]],
     {"last_status": "Concluded"}, None),
    ([[job("j")], [job("j", "pending")], [job("k", "concluded")]], {"last_status": "pending"}, None),
    ([[job("j")], {"not": "a list"}], {"result": {"not": "a list"}}, [QUERY, QUERY]),
])
def test_wait_for_job(peer, listed, outcome, commands):
    monitor = peer(*([v if isinstance(v, bytes) else reply(v)] for v in listed), qmp=True)
    client = ffi._QmpClient(monitor.path)
    if outcome is DONE:
        assert json.loads(client.wait_for_job("j", 5, 0.01)) == DONE
    else:
        context = qmp_error(lambda: client.wait_for_job("j", 0.3, 0.01))["context"]
        assert {key: context[key] for key in outcome} == outcome
    assert monitor.received[1:] == commands or commands is None and dismiss("j") not in (
        monitor.received)


@pytest.mark.storm
@pytest.mark.parametrize(("timeout", "pause", "least", "queries"), [
    (0.2, 1, 1, range(1, 2)),  # the final pause runs past the deadline, no query after it
    (0.5, 0.1, 0.5, range(4, 8)),
    (0.2, -1, 0.2, range(10, 10**6)),  # no pause: queries back to back
])
def test_wait_for_job_pauses(peer, timeout, pause, least, queries):
    monitor = peer([reply([job()])], qmp=True)
    client = ffi._QmpClient(monitor.path)
    client.connect(2, 10)
    started = time.monotonic()
    assert qmp_error(lambda: client.wait_for_job("j", timeout, pause))["context"] == {
        "job_id": "j", "last_status": "running", "socket_path": monitor.path}
    assert least <= time.monotonic() - started < least + 1.5
    assert len(monitor.received) - 1 in queries


def test_the_client_lock_is_held_for_the_whole_wait(peer):
    monitor = peer([reply([job()])], [reply([job()])], [reply([job("j", "concluded")])], [EMPTY],
                   qmp=True)
    client = ffi._QmpClient(monitor.path)
    waiter = threading.Thread(target=client.wait_for_job, args=("j", 5, 0.2))
    waiter.start()
    monitor.wait_for(lambda: len(monitor.received) == 2)
    assert client.execute("query-status", None) == "{}"  # runs once the wait is over
    waiter.join()
    assert monitor.received[1:] == [QUERY, QUERY, QUERY, dismiss("j"), command("query-status")]


def test_a_real_qemu(qemu):
    client = ffi._QmpClient(qemu.path)
    client.connect(5, 10)
    client.stop_vm()
    client.snapshot_save("save", "first", "disk0", ["disk0"])
    assert json.loads(client.wait_for_job("save", 10, 0.05)) == DONE | {
        "job_id": "save", "current_progress": 1, "total_progress": 1}
    client.cont()  # QEMU sends an event before its reply
    assert json.loads(client.execute("query-status", None))["status"] == "running"
    client.blockdev_snapshot_internal_sync("disk0", "second")
    failure = qmp_error(lambda: client.blockdev_snapshot_internal_sync("disk0", "second"))
    assert failure["context"]["class"] == "GenericError"
    client.blockdev_snapshot_delete_internal_sync("disk0", "second")
    client.close()
    client.stop_vm()  # connects again by itself
    client.snapshot_load("load", "first", "disk0", ["disk0"])
    client.snapshot_delete("delete", "first", ["disk0"])
    client.snapshot_load("bad", "missing", "disk0", ["disk0"])
    assert json.loads(client.wait_for_job("delete", 10, 0.05))["status"] == "concluded"
    failure = qmp_error(lambda: client.wait_for_job("bad", 10, 0.05))
    assert failure["message"] == "QMP job failed" and failure["context"]["error"]
    assert sorted(job["job_id"] for job in json.loads(client.query_jobs())) == ["bad", "load"]
    client.dismiss_job("load")
    client.dismiss_job("bad")
    assert client.query_jobs() == "[]"
    assert qmp_error(lambda: client.execute("nothing", None))["context"]["class"] == (
        "CommandNotFound")
