"""Thousands of calls of every function, on their successful and failing paths, leave no
descriptor, memory block or reference behind (see support/leaks.py for what is measured)."""

from __future__ import annotations

import errno
import os
import shutil

import pytest
from conftest import require_program
from support.firecracker_server import NGINX_ROOT_BODY, Nginx, short_socket_dir
from support.hardening_peer import OK, Peer, http_response
from support.leaks import PANIC, assert_no_leaks, raises, returns, status_is

EAGAIN_TEXT = f"{os.strerror(errno.EAGAIN)} (os error {errno.EAGAIN})"
ENOENT_TEXT = f"{os.strerror(errno.ENOENT)} (os error {errno.ENOENT})"
ECONNREFUSED_TEXT = f"{os.strerror(errno.ECONNREFUSED)} (os error {errno.ECONNREFUSED})"
CLOSED_TEXTS = {
    f"{os.strerror(code)} (os error {code})" for code in (errno.EPIPE, errno.ECONNRESET)
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
