"""Many Python threads calling the module at once: each call has its own connection and no
shared state, so every thread gets exactly its own answers, and nothing hangs or leaks."""

from __future__ import annotations

import errno
import json
import os
import shutil
import subprocess
import sys

import pytest
from conftest import require_program
from support.firecracker_server import NGINX_ROOT_BODY, Nginx, short_socket_dir
from support.hardening_peer import OK, Peer, http_response
from support.hardening_threads import run_threads
from support.leaks import open_descriptor_count

THREADS = 16
ENOENT_TEXT = f"{os.strerror(errno.ENOENT)} (os error {errno.ENOENT})"


@pytest.fixture(scope="module")
def sock_dir():
    directory = short_socket_dir()
    yield directory
    shutil.rmtree(directory, ignore_errors=True)


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


def test_every_thread_gets_its_own_answers(ffi, sock_dir):
    # The peer echoes each request line and body back: a reply that went to the wrong call, or
    # bytes mixed between calls, would show as another thread's path or body.
    with Peer(os.path.join(sock_dir, "echo.sock"), (("read",), ("echo",)), quiet=True) as peer:

        def calls(index: int) -> None:
            for i in range(60):
                path = f"/thread/{index}/call/{i}"
                body = json.dumps({"payload": "é" * (index * 97 % 3000), "i": i})
                status, text = ffi.firecracker_request(peer.path, "PATCH", path, body, 5.0)
                assert status == 200
                assert json.loads(text) == {"line": f"PATCH {path} HTTP/1.1", "body": body}

        run_threads(calls, THREADS)


def test_successes_failures_and_waits_at_once(ffi, sock_dir):
    missing = os.path.join(sock_dir, "missing.sock")
    with (
        Peer(os.path.join(sock_dir, "ok.sock"), OK, quiet=True) as ok,
        Peer(os.path.join(sock_dir, "short.sock"),
             (("read",), ("send", b"HTTP/1.1 200 OK\r\nContent-Length: 9\r\n\r\nab")),
             quiet=True) as short,
        Peer(os.path.join(sock_dir, "busy.sock"), (("read",), ("send", http_response(503))),
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
