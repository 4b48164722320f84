"""A scripted peer on a Unix socket, for both protocols the module speaks.

HTTP mode reads each request (its head and the body its Content-Length declares), then plays a
script; QMP mode sends the greeting, answers qmp_capabilities, then plays a script for every
other line. Scripts are used in order, the last one repeating. A step is bytes (sent in one
write), a number (a pause of that many seconds), ("repeat", bytes, pause) (sent again and again
until the client goes away), AWAIT (until the test calls release()), HANG (until the client
closes) or CLOSE.

The peer runs in a process of its own, so it answers while the test process holds the
interpreter lock and adds nothing to that process. It logs each connection, and each request or
line before it answers, to a file that the handle reads.
"""

import ast
import os
import re
import socket
import subprocess
import sys
import threading
import time

GREETING = b'{"QMP":{"version":{},"capabilities":[]}}\n'
EMPTY = b'{"return":{}}\n'
CAPABILITIES = b'{"execute":"qmp_capabilities"}\n'
OK = b"HTTP/1.1 200 OK\r\nContent-Length: 2\r\n\r\n{}"
AWAIT, HANG, CLOSE = ("await",), ("hang",), ("close",)


class Peer:
    def __init__(self, path: str, *scripts, qmp: bool = False, greeting=(GREETING,)):
        self.path, self._log, self._read, self._log_lines = path, path + ".log", 0, []
        # The sanitizer runtime preloaded into the interpreter under test is not wanted here.
        env = {k: v for k, v in os.environ.items() if k != "LD_PRELOAD"}
        with open(self._log, "wb") as log:
            self._process = subprocess.Popen([sys.executable, __file__], env=env,
                                             stdin=subprocess.PIPE, stdout=log)
        config = (path, qmp, list(scripts) or [[EMPTY] if qmp else [OK]], list(greeting))
        self._process.stdin.write(repr(config).encode() + b"\n")  # megabytes, at times
        self._process.stdin.flush()
        self.wait_for(lambda: b"ready" in self._log_lines)

    def wait_for(self, predicate=lambda: True, timeout: float = 10.0) -> None:
        """Reads the log so far, then more until `predicate()` holds."""
        deadline = time.monotonic() + timeout
        while True:
            with open(self._log, "rb") as log:
                log.seek(self._read)
                lines = log.read().split(b"\n")[:-1]  # only whole lines
            self._read += sum(len(line) + 1 for line in lines)
            self._log_lines += lines
            if predicate():
                return
            assert time.monotonic() < deadline, "the peer did not get there in time"
            time.sleep(0.005)

    @property
    def accepted(self) -> int:
        self.wait_for()
        return self._log_lines.count(b"accept")

    @property
    def received(self) -> list[bytes]:
        """Every request (HTTP) or line (QMP) received, in order."""
        self.wait_for()
        return [bytes.fromhex(line[5:].decode()) for line in self._log_lines
                if line.startswith(b"data ")]

    def release(self) -> None:
        self._process.stdin.write(b"\n")
        self._process.stdin.flush()

    def close(self) -> None:
        self._process.stdin.close()  # the peer ends with its input
        self._process.wait(10)
        for leftover in (self.path, self._log):
            if os.path.exists(leftover):
                os.unlink(leftover)


# --- the peer process -------------------------------------------------------------------------

_log = threading.Lock()


def _report(text: bytes) -> None:
    with _log:
        sys.stdout.buffer.write(text + b"\n")
        sys.stdout.flush()


def _read_request(conn: socket.socket) -> bytes:
    data = b""
    while b"\r\n\r\n" not in data and (piece := conn.recv(65536)):
        data += piece
    length = re.search(rb"\r\ncontent-length:\s*(\d+)", data.partition(b"\r\n\r\n")[0], re.I)
    while length and len(data.partition(b"\r\n\r\n")[2]) < int(length[1]):
        if not (piece := conn.recv(65536)):
            break
        data += piece
    return data


class _Server:
    def __init__(self, path, qmp, scripts, greeting):
        self.qmp, self.scripts, self.greeting, self.used = qmp, scripts, greeting, 0
        self.lock, self.released = threading.Lock(), threading.Semaphore(0)
        self.listener = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
        self.listener.bind(path)
        self.listener.listen(128)

    def next_script(self) -> list:
        with self.lock:
            self.used += 1
            return self.scripts[min(self.used, len(self.scripts)) - 1]

    def play(self, conn: socket.socket, script: list) -> bool:
        for step in script:
            if isinstance(step, bytes):
                conn.sendall(step)
            elif isinstance(step, (int, float)):
                time.sleep(step)
            elif step[0] == "repeat":
                while True:
                    conn.sendall(step[1])
                    time.sleep(step[2])
            elif step == AWAIT:
                self.released.acquire()
            elif step == HANG:
                while conn.recv(65536):
                    pass
            elif step == CLOSE:
                return False
        return True

    def converse(self, conn: socket.socket) -> None:
        if not self.qmp:
            _report(b"data " + (request := _read_request(conn)).hex().encode())
            self.play(conn, self.next_script())
            return
        greeting, pending = self.greeting, b""
        while self.play(conn, greeting) and (data := conn.recv(65536)):
            greeting, pending = [], pending + data
            while b"\n" in pending:
                line, pending = pending.split(b"\n", 1)
                _report(b"data " + (line + b"\n").hex().encode())
                script = [EMPTY] if line + b"\n" == CAPABILITIES else self.next_script()
                if not self.play(conn, script):
                    return

    def serve(self, conn: socket.socket) -> None:
        with conn:
            try:
                self.converse(conn)
            except OSError:
                pass  # the client went away first, as many tests make it do


def _follow_input(server: _Server) -> None:
    for _ in sys.stdin:  # a line releases an AWAIT step; the end of input ends the peer
        server.released.release()
    os._exit(0)


if __name__ == "__main__":
    server = _Server(*ast.literal_eval(sys.stdin.readline()))
    threading.Thread(target=_follow_input, args=(server,), daemon=True).start()
    _report(b"ready")
    while True:
        conn, _ = server.listener.accept()
        _report(b"accept")
        threading.Thread(target=server.serve, args=(conn,), daemon=True).start()
