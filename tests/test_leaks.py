"""Thousands of calls of every function, on their successful and failing paths, leave no
descriptor, memory block or reference behind (see support/leaks.py for what is measured)."""

from __future__ import annotations

import errno
import json
import os
import shutil
from compression import zstd

import pytest
from conftest import require_program
from support.disk_files import random_bytes
from support.disk_zstd import CORRUPT_FRAME
from support.firecracker_server import NGINX_ROOT_BODY, Nginx, short_socket_dir
from support.hardening_peer import OK, Peer, http_response
from support.hardening_qmp import FAILED, QmpPeer, play, text
from support.leaks import PANIC, assert_no_leaks, raises, returns, status_is
from support.system import os_error_text

EAGAIN_TEXT = os_error_text(errno.EAGAIN)
ENOENT_TEXT = os_error_text(errno.ENOENT)
ECONNREFUSED_TEXT = os_error_text(errno.ECONNREFUSED)
CLOSED_TEXTS = {
    os_error_text(code) for code in (errno.EPIPE, errno.ECONNRESET)
}

# One script per peer; each connection plays it whole.
PEER_SCRIPTS = {
    "ok": OK,
    "no-content": (("read",), ("send", http_response(204, b"abc"))),
    "no-length": (("read",), ("send", b"HTTP/1.1 200 OK\r\n\r\n")),
    "bad-utf8": (("read",), ("send", http_response(200, b"a\xffb\xe2\x82"))),
    "cut-short": (("read",), ("send", b"HTTP/1.1 200 OK\r\nContent-Length: 9\r\n\r\nab")),
    "no-head-end": (("read",), ("send", b"HTTP/1.1 200 OK\r\nServer: x\r\n")),
    "endless-head": (("read",), ("send", b"HTTP/1.1 200 OK\r\n" + b"X: aaaaaaaa\r\n" * 6000)),
    "bad-status": (("read",), ("send", b"HTTP/1.1 2x0 OK\r\n\r\n")),
    "bad-length": (("read",), ("send", b"HTTP/1.1 200 OK\r\nContent-Length: -5\r\n\r\n")),
    "silent": (("read",), ("hang",)),
    "closes-unread": (),
    "status-400": (("read",), ("send", http_response(400, b"{}"))),
}


class Places:
    """Everything the calls talk to: subprocess peers, nginx and paths that fail."""

    def __init__(self, directory: str) -> None:
        self.directory = directory
        self.peers = {
            name: Peer(os.path.join(directory, f"{name}.sock"), script, quiet=True)
            for name, script in PEER_SCRIPTS.items()
        }
        self.nginx = Nginx(require_program("nginx"))
        self.missing = os.path.join(directory, "missing.sock")
        self.regular_file = os.path.join(directory, "file")
        open(self.regular_file, "w").close()

    def path(self, name: str) -> str:
        return self.peers[name].path

    def close(self) -> None:
        for peer in self.peers.values():
            peer.close()
        self.nginx.close()


@pytest.fixture(scope="module")
def places():
    directory = short_socket_dir()
    everything = Places(directory)
    yield everything
    everything.close()
    shutil.rmtree(directory, ignore_errors=True)


def request(ffi, path, method="GET", target="/", body=None, timeout=2.0):
    return ffi.firecracker_request, (path, method, target, body, timeout)


# Each case: (build the call from the module and the places, number of calls).
FIRECRACKER_CASES = {
    "ok": (lambda m, p: returns(*request(m, p.path("ok")), (200, "{}")), 2000),
    "ok-with-body": (
        lambda m, p: returns(*request(m, p.path("ok"), "PUT", "/x", '{"a":"é"}'), (200, "{}")),
        2000,
    ),
    "no-content": (lambda m, p: returns(*request(m, p.path("no-content")), (204, None)), 2000),
    "no-length": (lambda m, p: returns(*request(m, p.path("no-length")), (200, None)), 2000),
    "bad-utf8": (lambda m, p: returns(*request(m, p.path("bad-utf8")), (200, "a\ufffdb\ufffd")),
                 2000),
    "cut-short": (
        lambda m, p: raises(*request(m, p.path("cut-short")), OSError,
                            "failed to fill whole buffer"),
        2000,
    ),
    "no-head-end": (
        lambda m, p: raises(*request(m, p.path("no-head-end")), OSError,
                            "malformed HTTP response"),
        2000,
    ),
    "endless-head": (
        lambda m, p: raises(*request(m, p.path("endless-head")), OSError,
                            "HTTP response headers are too large"),
        1000,
    ),
    "bad-status": (
        lambda m, p: raises(*request(m, p.path("bad-status")), OSError,
                            "invalid HTTP status: invalid digit found in string"),
        2000,
    ),
    "bad-length": (
        lambda m, p: raises(*request(m, p.path("bad-length")), OSError,
                            "invalid Content-Length: invalid digit found in string"),
        2000,
    ),
    "time-out": (
        lambda m, p: raises(*request(m, p.path("silent"), timeout=0.001), OSError, EAGAIN_TEXT),
        1000,
    ),
    "closes-unread": (
        lambda m, p: raises(*request(m, p.path("closes-unread"), "PUT", "/", "{}"), OSError,
                            CLOSED_TEXTS),
        2000,
    ),
    "missing-socket": (lambda m, p: raises(*request(m, p.missing), OSError, ENOENT_TEXT), 3000),
    "not-a-socket": (
        lambda m, p: raises(*request(m, p.regular_file), OSError, ECONNREFUSED_TEXT),
        3000,
    ),
    "nul-in-path": (
        lambda m, p: raises(*request(m, p.missing + "\0"), OSError,
                            "paths must not contain interior null bytes"),
        3000,
    ),
    "path-too-long": (
        lambda m, p: raises(*request(m, "/" + "x" * 200), OSError,
                            "path must be shorter than SUN_LEN"),
        3000,
    ),
    "time-out-too-large": (
        lambda m, p: raises(*request(m, p.path("ok"), timeout=float("inf")), PANIC,
                            "cannot convert float seconds to Duration: value is either too big "
                            "or NaN"),
        500,
    ),
    "nginx-get": (
        lambda m, p: returns(*request(m, p.nginx.socket_path), (200, NGINX_ROOT_BODY)),
        2000,
    ),
    "nginx-put-204": (
        lambda m, p: returns(*request(m, p.nginx.socket_path, "PUT", "/actions", '{"a":1}'),
                             (204, None)),
        2000,
    ),
    "nginx-404": (lambda m, p: status_is(*request(m, p.nginx.socket_path, target="/x"), 404),
                  2000),
    "wait-ok": (lambda m, p: returns(m.firecracker_wait_for_socket, (p.path("ok"), 1.0), None),
                2000),
    "wait-nginx": (
        lambda m, p: returns(m.firecracker_wait_for_socket, (p.nginx.socket_path, 1.0), None),
        2000,
    ),
    # Each of these sleeps 25 ms after its one failed attempt.
    "wait-missing": (
        lambda m, p: raises(m.firecracker_wait_for_socket, (p.missing, 0), OSError,
                            "wait_for_socket timed out"),
        200,
    ),
    "wait-status-400": (
        lambda m, p: raises(m.firecracker_wait_for_socket, (p.path("status-400"), 0), OSError,
                            "wait_for_socket timed out"),
        200,
    ),
    "wait-overflow": (
        lambda m, p: raises(m.firecracker_wait_for_socket, (p.missing, 2.0**63), PANIC,
                            "overflow when adding duration to instant"),
        500,
    ),
}


@pytest.mark.parametrize("case", FIRECRACKER_CASES, ids=list(FIRECRACKER_CASES))
def test_firecracker_calls_leak_nothing(ffi, places, case):
    build, iterations = FIRECRACKER_CASES[case]
    assert_no_leaks(build(ffi, places), iterations)


NOT_AVAILABLE = "Not available on this platform"

# Calls that do not reach a peer: the probes, the networking functions, the constructor and
# every kind of argument failure, each with its expected outcome.
SURFACE_CASES = {
    "probes": lambda m: returns(
        lambda: (m.has_native_networking(), m.has_native_qmp(), m.has_native_disk_io(),
                 m.has_native_firecracker_api()),
        (), (False, True, True, True)),
    "create_tap": lambda m: raises(m.create_tap, ("tap0", 1000), OSError, NOT_AVAILABLE),
    "delete_tap": lambda m: raises(m.delete_tap, ("tap0",), OSError, NOT_AVAILABLE),
    "set_link_up": lambda m: raises(m.set_link_up, ("tap0",), OSError, NOT_AVAILABLE),
    "flush_addrs": lambda m: raises(m.flush_addrs, ("tap0",), OSError, NOT_AVAILABLE),
    "add_addr": lambda m: raises(m.add_addr, ("tap0", "10.0.0.1", 24), OSError, NOT_AVAILABLE),
    "configure_tap": lambda m: raises(m.configure_tap, ("tap0", "10.0.0.1", 24), OSError,
                                      NOT_AVAILABLE),
    "prepare_tap": lambda m: raises(m.prepare_tap, ("tap0", 0, "10.0.0.1", 24, False), OSError,
                                    NOT_AVAILABLE),
    "add_route": lambda m: raises(m.add_route, ("10.0.0.0", 8, "tap0"), OSError, NOT_AVAILABLE),
    "get_default_interface": lambda m: raises(m.get_default_interface, (), OSError,
                                              NOT_AVAILABLE),
    "write_sysctl": lambda m: raises(m.write_sysctl, ("a.b", "1"), OSError, NOT_AVAILABLE),
    "qmp-client-close": lambda m: returns(lambda: m._QmpClient("/nonexistent").close(), (), None),
    "qmp-client-dropped": lambda m: returns(lambda: type(m._QmpClient("q" * 300)).__name__, (),
                                            "_QmpClient"),
    "missing-argument": lambda m: raises(
        m.clone_or_sparse_copy, ("a",), TypeError,
        "clone_or_sparse_copy() missing 1 required positional argument: 'target'"),
    "unexpected-keyword": lambda m: raises(
        m.firecracker_request, ("s",), TypeError,
        "firecracker_request() got an unexpected keyword argument 'bogus'", {"bogus": 1}),
    "multiple-values": lambda m: raises(
        m.clone_or_sparse_copy, ("a", "b"), TypeError,
        "clone_or_sparse_copy() got multiple values for argument 'source'", {"source": "c"}),
    "too-many-positional": lambda m: raises(
        m.decompress_zstd_sparse, ("a", "b", 1, 2), TypeError,
        "decompress_zstd_sparse() takes from 2 to 3 positional arguments but 4 were given"),
    "text-not-str": lambda m: raises(
        m.firecracker_request, ("s", "GET", "/", 5, 1.0), TypeError,
        "argument 'body_json': 'int' object is not an instance of 'str'"),
    "float-not-number": lambda m: raises(
        m.firecracker_wait_for_socket, ("s", "1"), TypeError,
        "argument 'timeout': must be real number, not str"),
    "lone-surrogate": lambda m: raises(
        m.firecracker_request, ("\udc80", "GET", "/", None, 1.0), UnicodeEncodeError,
        "'utf-8' codec can't encode character '\\udc80' in position 0: surrogates not allowed"),
    "u64-not-integer": lambda m: raises(
        m.decompress_zstd_sparse, ("a", "b", 1.5), TypeError,
        "argument 'chunk_size': 'float' object cannot be interpreted as an integer"),
    "u64-negative": lambda m: raises(m.decompress_zstd_sparse, ("a", "b", -1), OverflowError,
                                     "can't convert negative int to unsigned"),
    "u8-out-of-range": lambda m: raises(m.add_addr, ("a", "b", 256), OverflowError,
                                        "out of range integral type conversion attempted"),
    "bool-not-bool": lambda m: raises(
        m.prepare_tap, ("a", 0, "b", 1, 1), TypeError,
        "argument '_route_localnet': 'int' object is not an instance of 'bool'"),
    "constructor-argument": lambda m: raises(
        m._QmpClient, (None,), TypeError,
        "argument 'socket_path': 'None' is not an instance of 'str'"),
}


@pytest.mark.parametrize("case", SURFACE_CASES, ids=list(SURFACE_CASES))
def test_module_surface_leaks_nothing(ffi, case):
    assert_no_leaks(SURFACE_CASES[case](ffi), 5000)


# --- the QMP client -------------------------------------------------------------------------

JOBS = {
    "done": [{"type": "snapshot-save", "status": "concluded", "current-progress": 1,
              "total-progress": 1}],
    "broken": [{"type": "snapshot-load", "status": "concluded", "error": "no space left"}],
    "running": [{"type": "snapshot-delete", "status": "running"}],
}
DONE_TEXT = ('{"job_id":"done","job_type":"snapshot-save","status":"concluded",'
             '"current_progress":1,"total_progress":1,"error":null}')
ECHO_STOP = '{"command":"stop"}'


class Monitors:
    """QMP monitors in processes of their own, one per behaviour, and a client for each."""

    def __init__(self, directory: str) -> None:
        def start(name: str, **options) -> QmpPeer:
            return QmpPeer(os.path.join(directory, f"{name}.sock"), quiet=True, **options)

        self.peers = {
            "ok": start("ok", jobs=JOBS),
            "refusing": start("refusing", replies={"*": FAILED}),
            "odd-jobs": start("odd-jobs", replies={"query-jobs": '{"return":{"a":[1]}}\n'}),
            "bad-greeting": start("bad-greeting", greetings=[[["send", "[1]\n"]]]),
            "no-capabilities": start("no-capabilities", capabilities=FAILED),
            "silent": start("silent", greetings=[[["hang"]]]),
        }
        self.missing = os.path.join(directory, "missing.sock")
        self.clients: list = []

    def path(self, name: str) -> str:
        return self.peers[name].path

    def client(self, ffi, name: str, connected: bool = True):
        """A client kept for the whole module, so that calls measure only themselves."""
        client = ffi._QmpClient(self.path(name) if name in self.peers else name)
        if connected:
            client.connect(5.0, 5.0)
        self.clients.append(client)
        return client

    def close(self) -> None:
        for client in self.clients:
            client.close()
        for peer in self.peers.values():
            peer.close()


@pytest.fixture(scope="module")
def monitors():
    directory = short_socket_dir()
    everything = Monitors(directory)
    yield everything
    everything.close()
    shutil.rmtree(directory, ignore_errors=True)


def qmp_raises(function, args, message: str, context: dict | None = None, kwargs=None):
    """A call that must raise the QMP RuntimeError with this message (and context)."""

    def call() -> None:
        try:
            function(*args, **(kwargs or {}))
        except RuntimeError as error:
            assert type(error) is RuntimeError and len(error.args) == 1
            parsed = json.loads(error.args[0])
            assert parsed["message"] == message, error.args[0]
            if context is not None:
                assert parsed["context"] == context, error.args[0]
        else:
            raise AssertionError("no exception")

    return call


def connect_and_close(client, timeout: float = 5.0):
    def call() -> None:
        assert client.connect(timeout, 5.0) is None
        assert client.close() is None

    return call


def then_close(client, call):
    """The call, then a close: for failures that leave the connection unusable."""

    def both() -> None:
        try:
            call()
        finally:
            client.close()

    return both


def dropped_while_connected(ffi, path: str):
    def call() -> None:
        client = ffi._QmpClient(path)
        client.connect(5.0, 5.0)
        assert client.execute("x", None) == '{"command":"x"}'
        del client  # its destructor closes both descriptors

    return call


def closed_mid_command(client):
    """The monitor closes instead of answering; the client is closed to connect afresh."""
    return then_close(client, qmp_raises(client.execute, ("play", play(["close"])),
                                         "QMP socket closed unexpectedly"))


def reply_too_slow(client):
    """The reply comes after the read time-out; the client is closed, so it is never read."""
    expect = qmp_raises(client.execute, ("play", play(["sleep", 0.01], ["send", "{}\n"])),
                        EAGAIN_TEXT)

    def call() -> None:
        client.connect(1.0, 0.001)
        expect()

    return then_close(client, call)

DEVICES = ["disk0", "disk1"]

# Each case: (build the call from the module and the monitors, number of calls).
QMP_CASES = {
    "connect-close": (lambda m, p: connect_and_close(p.client(m, "ok", connected=False)), 300),
    "connect-when-connected": (
        lambda m, p: returns(p.client(m, "ok").connect, (0.0, 0.0), None), 3000),
    "connect-missing": (
        lambda m, p: qmp_raises(p.client(m, p.missing, connected=False).connect, (0.0, 1.0),
                                "Timed out waiting for QMP socket", {"socket_path": p.missing}),
        3000),
    "connect-zero-time-out": (
        lambda m, p: qmp_raises(p.client(m, "ok", connected=False).connect, (0.0, 1.0),
                                "cannot set a 0 duration timeout"), 300),
    "connect-zero-read-time-out": (
        lambda m, p: qmp_raises(p.client(m, "ok", connected=False).connect, (1.0, 0.0),
                                "cannot set a 0 duration timeout"), 300),
    "connect-bad-greeting": (
        lambda m, p: qmp_raises(p.client(m, "bad-greeting", connected=False).connect, (1.0, 1.0),
                                "Invalid QMP greeting"), 300),
    "connect-capabilities-refused": (
        lambda m, p: qmp_raises(p.client(m, "no-capabilities", connected=False).connect,
                                (1.0, 1.0), "QMP command 'qmp_capabilities' failed"), 300),
    "connect-silent": (
        lambda m, p: qmp_raises(p.client(m, "silent", connected=False).connect, (0.002, 1.0),
                                EAGAIN_TEXT), 100),
    "connect-time-out-too-large": (
        lambda m, p: qmp_raises(p.client(m, p.missing, connected=False).connect,
                                (2.0**64, 1.0), "timeout is too large to be represented"), 3000),
    "execute": (
        lambda m, p: returns(p.client(m, "ok").execute, ("query-status", '{"b":[1,2.5],"a":"é"}'),
                             '{"arguments":{"a":"é","b":[1,2.5]},"command":"query-status"}'),
        3000),
    "execute-large": (
        lambda m, p: returns(p.client(m, "ok").execute, ("x", json.dumps("y" * 100_000)),
                             json.dumps({"arguments": "y" * 100_000, "command": "x"},
                                        separators=(",", ":"))),
        300),
    "execute-refused": (
        lambda m, p: qmp_raises(p.client(m, "ok").execute, ("fail", None),
                                "QMP command 'fail' failed"), 3000),
    "execute-bad-arguments": (
        lambda m, p: qmp_raises(p.client(m, "ok").execute, ("x", "[1,"),
                                "syntax error while parsing value - unexpected end of input; "
                                "expected '[', '{', or a literal at line 1 column 3"), 3000),
    "execute-too-deep": (
        lambda m, p: qmp_raises(p.client(m, "ok").execute, ("x", "[" * 200 + "]" * 200),
                                "nesting deeper than 127 levels at line 1 column 128"), 3000),
    "execute-argument-type": (
        lambda m, p: raises(p.client(m, "ok").execute, ("x", 1), TypeError,
                            "argument 'arguments_json': 'int' object is not an instance of "
                            "'str'"), 3000),
    "reply-not-utf8": (
        lambda m, p: qmp_raises(p.client(m, "ok").execute,
                                ("play", play(["send", text(b'{"return":"\xff"}\n')])),
                                "stream did not contain valid UTF-8"), 3000),
    "reply-not-json": (
        lambda m, p: qmp_raises(p.client(m, "ok").execute,
                                ("play", play(["send", '{"return":\n'])),
                                "syntax error while parsing value - unexpected end of input; "
                                "expected '[', '{', or a literal at line 2 column 0"), 3000),
    "reply-after-events": (
        lambda m, p: returns(p.client(m, "ok").execute,
                             ("play", play(["repeat", '{"event":"RESUME"}\n', 50],
                                            ["send", '{"return":[]}\n'])), "[]"),
        1000),
    "closed-mid-command": (
        lambda m, p: closed_mid_command(p.client(m, "ok", connected=False)), 300),
    "reply-too-slow": (lambda m, p: reply_too_slow(p.client(m, "ok", connected=False)), 100),
    "dropped-while-connected": (lambda m, p: dropped_while_connected(m, p.path("ok")), 300),
    "stop-cont": (
        lambda m, p: returns(lambda c: (c.stop_vm(), c.cont()), (p.client(m, "ok"),),
                             (None, None)), 2000),
    "stop-refused": (
        lambda m, p: qmp_raises(p.client(m, "refusing").stop_vm, (), "QMP command 'stop' failed"),
        3000),
    "snapshot-save": (
        lambda m, p: returns(p.client(m, "ok").snapshot_save, ("j", "tag", "disk0", DEVICES),
                             None), 3000),
    "snapshot-load-refused": (
        lambda m, p: qmp_raises(p.client(m, "refusing").snapshot_load,
                                ("j", "tag", "disk0", ("disk0",)),
                                "QMP command 'snapshot-load' failed"), 3000),
    "snapshot-delete": (
        lambda m, p: returns(p.client(m, "ok").snapshot_delete, ("j", "tag", []), None), 3000),
    "snapshot-devices-str": (
        lambda m, p: raises(p.client(m, "ok").snapshot_save, ("j", "t", "v", "disk0"), TypeError,
                            "argument 'devices': Can't extract `str` to `Vec`"), 3000),
    "snapshot-devices-item": (
        lambda m, p: raises(p.client(m, "ok").snapshot_delete, ("j", "t", ["a", 1]), TypeError,
                            "argument 'devices': 'int' object is not an instance of 'str'"),
        3000),
    "blockdev-internal": (
        lambda m, p: returns(lambda c: (c.blockdev_snapshot_internal_sync("disk0", "s"),
                                        c.blockdev_snapshot_delete_internal_sync("disk0", "s")),
                             (p.client(m, "ok"),), (None, None)), 2000),
    "blockdev-internal-refused": (
        lambda m, p: qmp_raises(p.client(m, "refusing").blockdev_snapshot_delete_internal_sync,
                                ("disk0", "s"),
                                "QMP command 'blockdev-snapshot-delete-internal-sync' failed"),
        3000),
    "query-jobs": (
        lambda m, p: returns(lambda c: json.loads(c.query_jobs())[0]["job_id"],
                             (p.client(m, "ok"),), "done"), 3000),
    "query-jobs-unexpected": (
        lambda m, p: qmp_raises(p.client(m, "odd-jobs").query_jobs, (),
                                "Unexpected QMP query-jobs response", {"result": {"a": [1]}}),
        3000),
    "dismiss-job": (lambda m, p: returns(p.client(m, "ok").dismiss_job, ("done",), None), 3000),
    "dismiss-job-refused": (
        lambda m, p: qmp_raises(p.client(m, "refusing").dismiss_job, ("done",),
                                "QMP command 'job-dismiss' failed"), 3000),
    "wait-concluded": (
        lambda m, p: returns(p.client(m, "ok").wait_for_job, ("done", 5.0, 0.001), DONE_TEXT),
        2000),
    "wait-job-failed": (
        lambda m, p: qmp_raises(p.client(m, "ok").wait_for_job, ("broken", 5.0, 0.001),
                                "QMP job failed"), 2000),
    "wait-time-out": (
        lambda m, p: qmp_raises(p.client(m, "ok").wait_for_job, ("running", 0.003, 0.001),
                                "Timed out waiting for QMP job"), 150),
    "wait-zero-time-out": (
        lambda m, p: qmp_raises(p.client(m, p.missing, connected=False).wait_for_job,
                                ("x", 0.0, 1.0), "Timed out waiting for QMP job"), 3000),
    "wait-unexpected": (
        lambda m, p: qmp_raises(p.client(m, "odd-jobs").wait_for_job, ("x", 5.0, 0.0),
                                "Unexpected QMP query-jobs response"), 3000),
    "wait-poll-too-large": (
        lambda m, p: qmp_raises(p.client(m, "ok").wait_for_job, ("x", 1.0, 2.0**64),
                                "timeout is too large to be represented"), 3000),
    "close-never-connected": (
        lambda m, p: returns(lambda c: (c.close(), c.close()),
                             (p.client(m, p.missing, connected=False),), (None, None)), 5000),
}


@pytest.mark.parametrize("case", QMP_CASES, ids=list(QMP_CASES))
def test_qmp_calls_leak_nothing(ffi, monitors, case):
    build, iterations = QMP_CASES[case]
    assert_no_leaks(build(ffi, monitors), iterations)


# --- the disk helpers -----------------------------------------------------------------------

IMAGE = random_bytes(5000, 1) + bytes(70_000) + random_bytes(3000, 2) + bytes(5000)


def compressed(data: bytes) -> bytes:
    compressor = zstd.ZstdCompressor()
    return compressor.compress(data) + compressor.flush()


@pytest.fixture(scope="module")
def disk_dir(tmp_path_factory):
    directory = tmp_path_factory.mktemp("disk-leaks")
    (directory / "image").write_bytes(IMAGE)
    (directory / "image.zst").write_bytes(compressed(IMAGE) * 2)
    (directory / "corrupt.zst").write_bytes(CORRUPT_FRAME)
    (directory / "cut.zst").write_bytes(compressed(IMAGE)[:-5])
    (directory / "empty.zst").write_bytes(b"")
    (directory / "not-zstd").write_bytes(b"not zstd at all")
    (directory / "a-directory").mkdir()
    return directory


def copied(function, source, target, expected: bytes, *extra):
    def call() -> None:
        assert function(str(source), str(target), *extra) == "sparse"
        assert target.read_bytes() == expected

    return call


def disk_raises(function, args, message: str, directory):
    """A failing call that must leave nothing behind in `directory`."""
    check = raises(function, tuple(str(a) if isinstance(a, os.PathLike) else a for a in args),
                   OSError, message)
    before = sorted(os.listdir(directory))

    def call() -> None:
        check()
        assert sorted(os.listdir(directory)) == before

    return call


# Each case: (build the call from the module and the folder, number of calls).
DISK_CASES = {
    "copy": (lambda m, d: copied(m.clone_or_sparse_copy, d / "image", d / "out" / "copy", IMAGE),
             2000),
    "copy-missing": (
        lambda m, d: disk_raises(m.clone_or_sparse_copy, (d / "none", d / "copy"), ENOENT_TEXT, d),
        3000),
    "copy-directory": (
        lambda m, d: disk_raises(m.clone_or_sparse_copy, (d / "a-directory", d / "copy"),
                                 f"source is not a regular file: {d / 'a-directory'}", d), 3000),
    "copy-nul": (
        lambda m, d: disk_raises(m.clone_or_sparse_copy, (str(d / "image") + "\0", d / "copy"),
                                 "file name contained an unexpected NUL byte", d), 3000),
    "copy-no-filename": (
        lambda m, d: disk_raises(m.clone_or_sparse_copy, (d / "image", "/"),
                                 "target path has no filename: /", d), 3000),
    "copy-onto-directory": (
        lambda m, d: disk_raises(m.clone_or_sparse_copy, (d / "image", d / "a-directory"),
                                 os_error_text(errno.EISDIR), d),
        2000),
    "zstd": (lambda m, d: copied(m.decompress_zstd_sparse, d / "image.zst", d / "out" / "unz",
                                 IMAGE * 2, 4096), 2000),
    "zstd-corrupt": (
        lambda m, d: disk_raises(m.decompress_zstd_sparse, (d / "corrupt.zst", d / "unz"),
                                 "Data corruption detected", d), 3000),
    "zstd-cut": (
        lambda m, d: disk_raises(m.decompress_zstd_sparse, (d / "cut.zst", d / "unz"),
                                 "incomplete frame", d), 2000),
    "zstd-empty": (
        lambda m, d: disk_raises(m.decompress_zstd_sparse, (d / "empty.zst", d / "unz"),
                                 "incomplete frame", d), 3000),
    "zstd-not-zstd": (
        lambda m, d: disk_raises(m.decompress_zstd_sparse, (d / "not-zstd", d / "unz"),
                                 "Unknown frame descriptor", d), 3000),
    "zstd-missing": (
        lambda m, d: disk_raises(m.decompress_zstd_sparse, (d / "none.zst", d / "unz"),
                                 ENOENT_TEXT, d), 3000),
    "zstd-chunk-size-0": (
        lambda m, d: disk_raises(m.decompress_zstd_sparse, (d / "image.zst", d / "unz", 0),
                                 "chunk_size must be greater than zero", d), 5000),
    "zstd-chunk-size-unallocatable": (
        lambda m, d: disk_raises(m.decompress_zstd_sparse, (d / "image.zst", d / "unz", 2**62),
                                 os_error_text(errno.ENOMEM), d),
        3000),
    "zstd-nul": (
        lambda m, d: disk_raises(m.decompress_zstd_sparse, (d / "image.zst", str(d / "u") + "\0"),
                                 "file name contained an unexpected NUL byte", d), 3000),
}


@pytest.mark.parametrize("case", DISK_CASES, ids=list(DISK_CASES))
def test_disk_calls_leak_nothing(ffi, disk_dir, case):
    build, iterations = DISK_CASES[case]
    assert_no_leaks(build(ffi, disk_dir), iterations)
