"""A scripted HTTP peer in a process of its own.

Leak, signal, hostile-peer and thread tests measure the test process itself (descriptors,
allocated blocks, reference counts, signal delivery), so their peer must not live in it. This
peer serves every connection on a thread of its own, so many clients can be served at once.

Each connection plays the next script (the last one repeats). A script is a tuple of steps:

    ("read",)                  read the request: its head and the body its Content-Length declares
    ("line",)                  read one line, up to and including LF (line-based protocols)
    ("send", data)             send the bytes
    ("sleep", seconds)         pause
    ("trickle", data, pause)   send the bytes one at a time, pausing after each
    ("forever", data, pause)   send the bytes again and again (pausing between) until the client
                               goes away
    ("hang",)                  wait until the client closes its end
    ("echo",)                  answer 200 with a JSON body holding the request line and body
    ("mark", text)             report "mark TEXT" (see below)

After the last step the connection is closed. Unless `quiet`, the peer reports on its standard
output "accept" for each connection, "request N" with the byte count of each request or line
read, and the marks; `Peer` counts them. Run as a script: hardening_peer.py SOCKET_PATH [quiet],
with the repr() of the tuple of scripts on its standard input.
"""

from __future__ import annotations

import ast
import json
import socket
import sys
import threading
import time

if __package__:
    from support.http_wire import read_request
    from support.peer_process import PeerProcess
else:  # run as the peer program, with its own folder on the path
    from http_wire import read_request
    from peer_process import PeerProcess


OK = (("read",), ("send", b"HTTP/1.1 200 OK\r\nContent-Length: 2\r\n\r\n{}"))


def http_response(status: int, body: bytes = b"", extra: bytes = b"") -> bytes:
    return b"HTTP/1.1 %d X\r\nContent-Length: %d\r\n%s\r\n%s" % (status, len(body), extra, body)


class Peer(PeerProcess):
    """The peer process, listening on `path` once the constructor returns."""

    def __init__(self, path: str, *scripts: tuple, quiet: bool = False) -> None:
        self.accepted = 0
        self.requests: list[int] = []  # byte counts of the requests read
        self.marks: list[str] = []
        super().__init__(__file__, path, repr(scripts or (OK,)), ("quiet",) if quiet else ())

    def on_report(self, kind: str, rest: str) -> None:
        if kind == "accept":
            self.accepted += 1
        elif kind == "request":
            self.requests.append(int(rest))
        elif kind == "mark":
            self.marks.append(rest)

    def wait_for_mark(self, text: str, timeout: float = 10.0) -> bool:
        return self.wait_for(lambda: text in self.marks, timeout)

    def wait_for_requests(self, count: int, timeout: float = 10.0) -> bool:
        return self.wait_for(lambda: len(self.requests) >= count, timeout)


# --- the peer process ---------------------------------------------------------------------------

_print_lock = threading.Lock()


def _report(quiet: bool, line: str) -> None:
    if not quiet:
        with _print_lock:
            print(line, flush=True)


def _read_line(conn: socket.socket) -> bytes:
    line = b""
    while not line.endswith(b"\n"):
        piece = conn.recv(1)
        if not piece:
            break
        line += piece
    return line


def _wait_for_close(conn: socket.socket) -> None:
    conn.settimeout(None)
    while conn.recv(65536):
        pass


def _play(conn: socket.socket, script: tuple, quiet: bool) -> None:
    head = body = b""
    for step in script:
        kind = step[0]
        if kind == "read":
            request = read_request(conn)
            head, _, body = request.partition(b"\r\n\r\n")
            _report(quiet, f"request {len(request)}")
        elif kind == "line":
            line = _read_line(conn)
            _report(quiet, f"request {len(line)}")
        elif kind == "send":
            conn.sendall(step[1])
        elif kind == "sleep":
            time.sleep(step[1])
        elif kind == "trickle":
            for byte in step[1]:
                conn.sendall(bytes([byte]))
                time.sleep(step[2])
        elif kind == "forever":
            while True:
                conn.sendall(step[1])
                if step[2]:
                    time.sleep(step[2])
        elif kind == "hang":
            _wait_for_close(conn)
        elif kind == "echo":
            line = head.split(b"\r\n", 1)[0]
            answer = json.dumps({"line": line.decode(errors="replace"),
                                 "body": body.decode(errors="replace")}).encode()
            conn.sendall(b"HTTP/1.1 200 OK\r\nContent-Length: %d\r\n\r\n%s" % (len(answer), answer))
        elif kind == "mark":
            _report(quiet, f"mark {step[1]}")
        else:
            raise ValueError(f"unknown step {step!r}")


def _serve_one(conn: socket.socket, script: tuple, quiet: bool) -> None:
    with conn:
        try:
            _play(conn, script, quiet)
        except OSError:
            pass  # the client went away first; that is what several tests provoke


def main() -> None:
    path, quiet = sys.argv[1], sys.argv[2:] == ["quiet"]
    scripts = ast.literal_eval(sys.stdin.read())
    listener = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
    listener.bind(path)
    listener.listen(128)
    print("ready", flush=True)
    served = 0
    while True:
        conn, _ = listener.accept()
        _report(quiet, "accept")
        script = scripts[min(served, len(scripts) - 1)]
        served += 1
        threading.Thread(target=_serve_one, args=(conn, script, quiet), daemon=True).start()


if __name__ == "__main__":
    main()
