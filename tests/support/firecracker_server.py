"""Peers for the Firecracker API client tests: a scripted fake server and a real nginx."""

from __future__ import annotations

import os
import shutil
import signal
import socket
import subprocess
import tempfile
import threading
import time
from dataclasses import dataclass, field

from support.http_wire import read_request

# A script step that keeps the connection open, unanswered, until the server stops.
HANG = object()



@dataclass
class FakeApiServer:
    """A thread serving one connection at a time on a Unix socket.

    Each connection plays the next script (the last one repeats). A script is a sequence of
    steps: bytes are sent, a number pauses for that many seconds, HANG keeps the connection
    open until the server stops; after the last step the connection is closed. Unless
    `read_request` is false, the request (head and declared body) is read first, and its exact
    bytes are kept in `requests`.
    """

    path: str
    scripts: tuple = ((b"HTTP/1.1 200 OK\r\nContent-Length: 2\r\n\r\n{}",),)
    read_request: bool = True
    requests: list[bytes] = field(default_factory=list)
    connections: int = 0
    finished: int = 0

    def __post_init__(self) -> None:
        self._stop = threading.Event()
        self._listener = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
        self._listener.bind(self.path)
        self._listener.listen(16)
        self._listener.settimeout(0.02)
        self._thread = threading.Thread(target=self._serve, daemon=True)
        self._thread.start()

    def wait_idle(self, timeout: float = 5.0) -> None:
        """Waits until every accepted connection is closed on the server's side too."""
        deadline = time.monotonic() + timeout
        while self.finished < self.connections and time.monotonic() < deadline:
            time.sleep(0.005)

    def close(self) -> None:
        self._stop.set()
        self._thread.join(10)
        self._listener.close()
        if os.path.exists(self.path):
            os.unlink(self.path)

    def __enter__(self) -> FakeApiServer:
        return self

    def __exit__(self, *exc: object) -> None:
        self.close()

    def _serve(self) -> None:
        while not self._stop.is_set():
            try:
                conn, _ = self._listener.accept()
            except TimeoutError:
                continue
            with conn:
                script = self.scripts[min(self.connections, len(self.scripts) - 1)]
                self.connections += 1
                try:
                    if self.read_request:
                        self.requests.append(self._receive_request(conn))
                    self._play(conn, script)
                except OSError:
                    pass  # the client gave up first (time-out tests); nothing to report
            self.finished += 1

    def _receive_request(self, conn: socket.socket) -> bytes:
        conn.settimeout(5)
        return read_request(conn)

    def _play(self, conn: socket.socket, script) -> None:
        for step in script:
            if step is HANG:
                self._stop.wait()
            elif isinstance(step, (int, float)):
                time.sleep(step)
            else:
                conn.sendall(step)


def short_socket_dir() -> str:
    """A fresh directory whose socket paths stay far below the 108-byte sun_path limit."""
    return tempfile.mkdtemp(prefix="fc-")


NGINX_CONFIG = """
daemon off;
master_process off;
worker_processes 1;
pid {dir}/nginx.pid;
error_log {dir}/error.log;
events {{ worker_connections 256; }}
http {{
  access_log off;
  client_body_temp_path {dir}/body;
  proxy_temp_path {dir}/proxy;
  fastcgi_temp_path {dir}/fastcgi;
  uwsgi_temp_path {dir}/uwsgi;
  scgi_temp_path {dir}/scgi;
  server {{
    listen unix:{socket};
    location = / {{
      default_type application/json;
      return 200 '{{"id":"anonymous-instance","state":"Running","vmm_version":"1.9.0"}}';
    }}
    location = /actions {{ return 204; }}
  }}
}}
"""

# What nginx answers to GET /, as configured above.
NGINX_ROOT_BODY = '{"id":"anonymous-instance","state":"Running","vmm_version":"1.9.0"}'


class Nginx:
    """nginx in the foreground from a temporary configuration, listening on a Unix socket."""

    def __init__(self, program: str) -> None:
        self.directory = short_socket_dir()
        self.socket_path = os.path.join(self.directory, "api.sock")
        config = os.path.join(self.directory, "nginx.conf")
        with open(config, "w") as f:
            f.write(NGINX_CONFIG.format(dir=self.directory, socket=self.socket_path))
        self.process = subprocess.Popen(
            [program, "-p", self.directory, "-e", os.path.join(self.directory, "error.log"),
             "-c", config],
            stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, stderr=subprocess.PIPE,
        )
        deadline = time.monotonic() + 10
        while not self._answers():
            if self.process.poll() is not None or time.monotonic() > deadline:
                self.close()
                raise RuntimeError(f"nginx did not start: {self._log()}")
            time.sleep(0.01)

    def _answers(self) -> bool:
        with socket.socket(socket.AF_UNIX, socket.SOCK_STREAM) as probe:
            try:
                probe.connect(self.socket_path)
            except OSError:
                return False
        return True

    def _log(self) -> str:
        try:
            with open(os.path.join(self.directory, "error.log")) as f:
                return f.read()
        except OSError:
            return ""

    def close(self) -> None:
        if self.process.poll() is None:
            self.process.send_signal(signal.SIGQUIT)
            try:
                self.process.wait(10)
            except subprocess.TimeoutExpired:
                self.process.kill()
                self.process.wait()
        if self.process.stderr:
            self.process.stderr.close()
        shutil.rmtree(self.directory, ignore_errors=True)
