"""A scripted peer on a Unix socket, in a process of its own (it answers while the test process
holds the interpreter lock). Each connection plays the greeting (in QMP mode by default the
greeting line); HTTP mode then reads one request and plays a script, QMP mode answers
qmp_capabilities itself and plays a script for every other line. Scripts are used in order, the
last repeating. A step is bytes (one write), a number (a pause in seconds), ("repeat", bytes,
pause) (until the client goes away), AWAIT (until release()), HANG (until the client closes) or
CLOSE. Connections and what they receive are logged to a file that the handle reads."""

import ast
import contextlib
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
    def __init__(self, path: str, *scripts, qmp: bool = False, greeting=None):
        self.path, self._log = path, path + ".log"
        # The sanitizer runtime preloaded into the interpreter under test is not wanted here.
        env = {k: v for k, v in os.environ.items() if k != "LD_PRELOAD"}
        with open(self._log, "wb") as log:
            self._process = subprocess.Popen([sys.executable, __file__], env=env,
                                             stdin=subprocess.PIPE, stdout=log)
        config = (path, qmp, list(scripts) or [[EMPTY] if qmp else [OK]],
                  list(greeting or ([GREETING] if qmp else [])))
        self._send(repr(config).encode() + b"\n")  # megabytes, at times
        self.wait_for(lambda: b"ready" in self._lines())

    def _lines(self) -> list[bytes]:
        with open(self._log, "rb") as log:
            return log.read().split(b"\n")[:-1]  # only whole lines

    def _send(self, line: bytes) -> None:
        self._process.stdin.write(line)
        self._process.stdin.flush()

    def wait_for(self, predicate, timeout: float = 10.0) -> None:
        deadline = time.monotonic() + timeout
        while not predicate():
            assert time.monotonic() < deadline, "the peer did not get there in time"
            time.sleep(0.005)

    @property
    def accepted(self) -> int:
        return self._lines().count(b"accept")

    @property
    def received(self) -> list[bytes]:
        """Every request (HTTP) or line (QMP) received, in order."""
        return [bytes.fromhex(line[5:].decode()) for line in self._lines()
                if line.startswith(b"data ")]

    def release(self, after: int = 0) -> None:
        """Ends an AWAIT step, once `after` requests or lines have come."""
        self.wait_for(lambda: len(self.received) >= after)
        self._send(b"\n")

    def close(self) -> None:
        self._process.stdin.close()  # the peer ends with its input
        self._process.wait(10)
        for leftover in (self.path, self._log):
            if os.path.exists(leftover):
                os.unlink(leftover)


# --- the peer process -------------------------------------------------------------------------

def _read_request(conn: socket.socket) -> bytes:
    data = b""
    while piece := conn.recv(65536):
        data += piece
        head, end, body = data.partition(b"\r\n\r\n")
        length = re.search(rb"\r\ncontent-length:\s*(\d+)", head, re.I)
        if end and len(body) >= (int(length[1]) if length else 0):
            break
    return data


def _serve(path: str, qmp: bool, scripts: list, greeting: list) -> None:
    scripts_left, released = iter(scripts), threading.Semaphore(0)

    def play(conn: socket.socket, script: list) -> bool:
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
                released.acquire()
            elif step == HANG:
                while conn.recv(65536):
                    pass
            elif step == CLOSE:
                return False
        return True

    def converse(conn: socket.socket) -> None:
        if not play(conn, greeting):
            return
        if not qmp:
            os.write(1, b"data " + _read_request(conn).hex().encode() + b"\n")
            play(conn, next(scripts_left, scripts[-1]))
            return
        pending = b""
        while data := conn.recv(65536):
            *lines, pending = (pending + data).split(b"\n")
            for line in lines:
                os.write(1, b"data " + (line + b"\n").hex().encode() + b"\n")  # one write each
                capabilities = line + b"\n" == CAPABILITIES
                script = [EMPTY] if capabilities else next(scripts_left, scripts[-1])
                if not play(conn, script):
                    return

    def serve(conn: socket.socket) -> None:
        with conn, contextlib.suppress(OSError):  # the client went away first, as tests make it do
            converse(conn)

    def follow_input() -> None:
        for _ in sys.stdin:  # a line releases an AWAIT step; the end of input ends the peer
            released.release()
        os._exit(0)

    listener = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
    listener.bind(path)
    listener.listen(128)
    threading.Thread(target=follow_input, daemon=True).start()
    os.write(1, b"ready\n")
    while True:
        conn, _ = listener.accept()
        os.write(1, b"accept\n")
        threading.Thread(target=serve, args=(conn,), daemon=True).start()


if __name__ == "__main__":
    _serve(*ast.literal_eval(sys.stdin.readline()))
