"""Many Python threads calling the module at once: each Firecracker call has its own connection
and no shared state, and a shared _QmpClient serialises whole commands under its lock, so every
thread gets exactly its own answers, and nothing hangs, leaks or stays poisoned."""

from __future__ import annotations

import errno
import json
import os
import subprocess
import sys
import time

import pytest
from conftest import require_program
from support.firecracker_server import NGINX_ROOT_BODY, Nginx
from support.hardening_peer import OK, Peer, http_response
from support.hardening_qmp import QmpPeer, play
from support.hardening_threads import run_threads
from support.system import open_descriptor_count, os_error_text

THREADS = 16
ENOENT_TEXT = os_error_text(errno.ENOENT)
EPIPE_TEXT = os_error_text(errno.EPIPE)
ECONNRESET_TEXT = os_error_text(errno.ECONNRESET)


@pytest.fixture(scope="module")
def nginx():
    server = Nginx(require_program("nginx"))
    yield server
    server.close()


@pytest.fixture(autouse=True)
def descriptors_unchanged():
    before = open_descriptor_count()
    yield
    assert open_descriptor_count() == before


def test_threads_share_one_nginx(ffi, nginx):
    def calls(index: int) -> int:
        for i in range(100):
            assert ffi.firecracker_request(nginx.socket_path, "GET", "/", None, 5.0) == (
                200, NGINX_ROOT_BODY)
            assert ffi.firecracker_request(
                nginx.socket_path, "PUT", "/actions", json.dumps({"thread": index, "i": i}), 5.0
            ) == (204, None)
            status, body = ffi.firecracker_request(nginx.socket_path, "GET", "/none", None, 5.0)
            assert status == 404 and "404 Not Found" in body
        return index

    assert run_threads(calls, THREADS) == list(range(THREADS))


def test_every_thread_gets_its_own_answers(ffi, module_sock_dir):
    # The peer echoes each request line and body back: a reply that went to the wrong call, or
    # bytes mixed between calls, would show as another thread's path or body.
    with Peer(os.path.join(module_sock_dir, "echo.sock"), (("read",), ("echo",)), quiet=True) as peer:

        def calls(index: int) -> None:
            for i in range(60):
                path = f"/thread/{index}/call/{i}"
                body = json.dumps({"payload": "é" * (index * 97 % 3000), "i": i})
                status, text = ffi.firecracker_request(peer.path, "PATCH", path, body, 5.0)
                assert status == 200
                assert json.loads(text) == {"line": f"PATCH {path} HTTP/1.1", "body": body}

        run_threads(calls, THREADS)


def test_successes_failures_and_waits_at_once(ffi, module_sock_dir):
    missing = os.path.join(module_sock_dir, "missing.sock")
    with (
        Peer(os.path.join(module_sock_dir, "ok.sock"), OK, quiet=True) as ok,
        Peer(os.path.join(module_sock_dir, "short.sock"),
             (("read",), ("send", b"HTTP/1.1 200 OK\r\nContent-Length: 9\r\n\r\nab")),
             quiet=True) as short,
        Peer(os.path.join(module_sock_dir, "busy.sock"), (("read",), ("send", http_response(503))),
             quiet=True) as busy,
    ):

        def calls(index: int) -> None:
            for _ in range(40):
                kind = index % 4
                if kind == 0:
                    assert ffi.firecracker_request(ok.path, "GET", "/", None, 5.0) == (200, "{}")
                elif kind == 1:
                    with pytest.raises(OSError, match="^failed to fill whole buffer$"):
                        ffi.firecracker_request(short.path, "GET", "/", None, 5.0)
                elif kind == 2:
                    with pytest.raises(OSError) as raised:
                        ffi.firecracker_request(missing, "GET", "/", None, 5.0)
                    assert raised.value.args == (ENOENT_TEXT,)
                else:
                    assert ffi.firecracker_wait_for_socket(ok.path, 5.0) is None
                    with pytest.raises(OSError, match="^wait_for_socket timed out$"):
                        ffi.firecracker_wait_for_socket(busy.path, 0.01)

        run_threads(calls, THREADS)


FIRST_PANICS = """
import sys, threading
sys.path.insert(0, sys.argv[1])
import brindle_core._ffi as ffi
from support.hardening_threads import run_threads

def panic(index):
    try:
        ffi.firecracker_request("/none", "GET", "/", None, float("inf"))
    except BaseException as error:
        return type(error)

kinds = run_threads(panic, 16)
print(len(set(kinds)), kinds[0].__name__, issubclass(kinds[0], BaseException))
"""


def test_first_panics_race_to_create_one_exception_class(tmp_path):
    # The panic exception class is made on first use; in a fresh process, sixteen threads panic
    # at once, and all must get the same class.
    tests_dir = os.path.dirname(__file__)
    result = subprocess.run([sys.executable, "-c", FIRST_PANICS, tests_dir],
                            capture_output=True, text=True, timeout=60)
    assert result.returncode == 0, result.stderr
    assert result.stdout.split() == ["1", "PanicException", "True"]


# --- one _QmpClient shared by many threads --------------------------------------------------

DONE_JOB = {"type": "snapshot-save", "status": "concluded", "current-progress": 5,
            "total-progress": 5}
DONE_TEXT = ('{"job_id":"done","job_type":"snapshot-save","status":"concluded",'
             '"current_progress":5,"total_progress":5,"error":null}')


def qmp_failure(call) -> dict:
    with pytest.raises(RuntimeError) as raised:
        call()
    assert type(raised.value) is RuntimeError
    return json.loads(raised.value.args[0])


def echo_text(command: str, arguments: object = None) -> str:
    echo = {"command": command} if arguments is None else {"arguments": arguments,
                                                          "command": command}
    return json.dumps(echo, separators=(",", ":"), sort_keys=True, ensure_ascii=False)


@pytest.fixture
def qmp_monitor(module_sock_dir):
    # In a process of its own: `close` waits for the client lock while holding the interpreter
    # lock, so a monitor thread of this process could not answer meanwhile.
    with QmpPeer(os.path.join(module_sock_dir, "qmp.sock"), jobs={"done": [DONE_JOB]}, quiet=True) as peer:
        yield peer


def test_threads_share_one_qmp_client(ffi, qmp_monitor):
    # Every method at once on one client, `close` racing all of them: each command holds the
    # lock from its send to its reply, so every thread gets exactly the reply to its own
    # command, whatever the others do; failures are ordinary and never poison the lock.
    client = ffi._QmpClient(qmp_monitor.path)

    def calls(index: int) -> int:
        echoes = 0
        for i in range(80):
            kind = (index * 3 + i) % 10
            if kind == 0:
                assert client.close() is None
            elif kind == 1:
                assert client.connect(5.0, 5.0) is None
            elif kind == 2:
                error = qmp_failure(lambda: client.execute("fail", None))
                assert error["message"] == "QMP command 'fail' failed"
            elif kind == 3:
                # Refused before the socket is touched, with the lock taken under the
                # interpreter lock.
                error = qmp_failure(lambda: client.execute("x", "{"))
                assert error["context"] == {"socket_path": qmp_monitor.path}
            elif kind == 4:
                assert client.wait_for_job("done", 5.0, 0.0) == DONE_TEXT
            elif kind == 5:
                assert json.loads(client.query_jobs())[0]["job_id"] == "done"
                assert client.snapshot_save(f"job-{index}", "tag", "disk0", ["disk0"]) is None
            else:
                command = f"thread-{index}-call-{i}"
                arguments = {"thread": index, "call": i, "payload": "é" * (index * 211 % 5000)}
                reply = client.execute(command, json.dumps(arguments))
                assert reply == echo_text(command, arguments)
                echoes += 1
        return echoes

    before = open_descriptor_count()
    assert sum(run_threads(calls, THREADS)) >= THREADS * 30
    assert client.execute("after", None) == echo_text("after")  # not poisoned
    client.close()
    assert open_descriptor_count() == before


def test_threads_on_a_monitor_that_drops_connections(ffi, qmp_monitor):
    # Some commands make the monitor close the connection. The command that did, and any other
    # thread's that reaches the dead socket before someone closes the client, fails with a
    # connection error; every reply that does come is the command's own.
    client = ffi._QmpClient(qmp_monitor.path)
    connection_errors = {"QMP socket closed unexpectedly", EPIPE_TEXT, ECONNRESET_TEXT}

    def calls(index: int) -> int:
        failures = 0
        for i in range(60):
            if index % 4 == 0 and i % 6 == 0:
                command, arguments = "play", play(["close"])
            else:
                command, arguments = f"t{index}-{i}", None
            try:
                reply = client.execute(command, arguments)
            except RuntimeError as error:
                assert json.loads(error.args[0])["message"] in connection_errors
                failures += 1
                client.close()
            else:
                assert reply == echo_text(command)
        return failures

    before = open_descriptor_count()
    assert sum(run_threads(calls, THREADS)) >= THREADS // 4 * 10
    assert client.execute("after", None) == echo_text("after")
    client.close()
    assert open_descriptor_count() == before


def test_close_waits_for_a_running_command(ffi, qmp_monitor):
    # `close` on another thread while a command waits 300 ms for its reply: the command gets
    # its reply, then the close happens, and the next command connects afresh.
    client = ffi._QmpClient(qmp_monitor.path)
    client.connect(5.0, 5.0)
    slow = play(["sleep", 0.3], ["send", '{"return":"slow"}\n'])

    def calls(index: int) -> object:
        if index == 0:
            return client.execute("play", slow)
        time.sleep(0.1)
        started = time.monotonic()
        client.close()
        return time.monotonic() - started

    reply, waited = run_threads(calls, 2)
    assert reply == '"slow"'
    assert 0.1 <= waited < 2.0
    assert client.execute("after", None) == echo_text("after")
    client.close()
