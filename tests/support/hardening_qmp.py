"""A rule-driven QMP monitor in a process of its own, for the leak, signal, hostile-peer and thread
tests of `_QmpClient` (they measure the test process itself, so the monitor must not live in it).

Every connection is served on a thread of its own. It first plays its greeting script (one per
connection, the last repeating; by default the ordinary greeting), then answers each line:

- "qmp_capabilities": the `capabilities` reply (by default {"return":{}});
- a command named in `replies` (or any command, with the key "*"): that raw reply;
- "query-jobs": the jobs of `jobs`, each listed with its next record (see below);
- "play": the steps in its arguments {"steps": [...]}, and nothing else (a misbehaving reply);
- "fail": an error reply of class GenericError;
- "pause-reading": {"return":{}}, then nothing is read for arguments["seconds"];
- anything else: an echo, {"return":{"command":NAME,"arguments":ARGUMENTS}} (without
  "arguments" when the command had none), so that every reply says whose it is.

Steps, as lists (texts are bytes written as Latin-1 strings, so any byte can be sent):
    ["send", text]                send the bytes
    ["repeat", text, count]       send the bytes `count` times (megabytes without a line feed...)
    ["trickle", text, pause]      send the bytes one at a time, pausing after each
    ["sleep", seconds]            pause
    ["hang"]                      read and ignore everything until the client closes
    ["close"]                     end the connection

`jobs` maps a job id to the records it shows in successive "query-jobs" replies (the last one
repeating; an empty list: never listed); "id" is added to each record. Unless `quiet`, the
monitor reports each connection ("accept"), each command ("command NAME") and each end ("end"),
which `QmpPeer` counts.
"""

from __future__ import annotations

import json
import socket
import sys
import threading
import time

if __package__:
    from support.peer_process import PeerProcess
else:  # run as the peer program, with its own folder on the path
    from peer_process import PeerProcess

GREETING = '{"QMP":{"version":{"qemu":{"micro":0,"minor":0,"major":11}},"capabilities":[]}}\n'
EMPTY_RETURN = '{"return":{}}\n'
FAILED = '{"error":{"class":"GenericError","desc":"failed on purpose"}}\n'


def text(data: bytes) -> str:
    """Bytes as a step's text."""
    return data.decode("latin-1")


def play(*steps: list) -> str:
    """The arguments of a "play" command."""
    return json.dumps({"steps": list(steps)})


class QmpPeer(PeerProcess):
    """The monitor process, listening on `path` once the constructor returns."""

    def __init__(self, path: str, *, greetings: list | None = None,
                 capabilities: str = EMPTY_RETURN, replies: dict | None = None,
                 jobs: dict | None = None, quiet: bool = False) -> None:
        self.accepted = 0
        self.ended = 0
        self.commands: list[str] = []
        config = {"greetings": greetings or [[["send", GREETING]]], "capabilities": capabilities,
                  "replies": replies or {}, "jobs": jobs or {}, "quiet": quiet}
        super().__init__(__file__, path, json.dumps(config))

    def on_report(self, kind: str, rest: str) -> None:
        if kind == "accept":
            self.accepted += 1
        elif kind == "end":
            self.ended += 1
        elif kind == "command":
            self.commands.append(rest)

    def count(self, command: str) -> int:
        with self._changed:
            return self.commands.count(command)


# --- the monitor process ------------------------------------------------------------------------

_print_lock = threading.Lock()


class _Closed(Exception):
    pass


class _Monitor:
    def __init__(self, config: dict) -> None:
        self.config = config
        self.quiet = config["quiet"]
        self.queries: dict[str, int] = {}
        self.lock = threading.Lock()

    def report(self, line: str) -> None:
        if not self.quiet:
            with _print_lock:
                print(line, flush=True)

    def run_steps(self, conn: socket.socket, steps: list) -> None:
        for step in steps:
            kind = step[0]
            if kind == "send":
                conn.sendall(step[1].encode("latin-1"))
            elif kind == "repeat":
                piece = step[1].encode("latin-1")
                count = step[2]
                batch = max(1, 65536 // max(1, len(piece)))
                while count > 0:
                    n = min(batch, count)
                    conn.sendall(piece * n)
                    count -= n
            elif kind == "trickle":
                for byte in step[1].encode("latin-1"):
                    conn.sendall(bytes([byte]))
                    time.sleep(step[2])
            elif kind == "sleep":
                time.sleep(step[1])
            elif kind == "hang":
                while conn.recv(65536):
                    pass
                raise _Closed
            elif kind == "close":
                raise _Closed
            else:
                raise ValueError(f"unknown step {step!r}")

    def jobs_reply(self) -> str:
        listed = []
        with self.lock:
            for job_id, records in self.config["jobs"].items():
                if not records:
                    continue
                seen = self.queries.get(job_id, 0)
                self.queries[job_id] = seen + 1
                listed.append({"id": job_id, **records[min(seen, len(records) - 1)]})
        return json.dumps({"return": listed}, separators=(",", ":")) + "\n"

    def answer(self, conn: socket.socket, line: bytes) -> float:
        """Answers one line; returns how long to stop reading afterwards."""
        try:
            message = json.loads(line)
        except ValueError:
            return 0
        if not isinstance(message, dict):
            return 0
        name = message.get("execute")
        arguments = message.get("arguments")
        self.report(f"command {name}")
        replies = self.config["replies"]
        if name == "qmp_capabilities":
            conn.sendall(self.config["capabilities"].encode("latin-1"))
        elif name in replies or "*" in replies:
            conn.sendall(replies.get(name, replies.get("*")).encode("latin-1"))
        elif name == "query-jobs":
            conn.sendall(self.jobs_reply().encode())
        elif name == "play":
            self.run_steps(conn, arguments["steps"])
        elif name == "fail":
            conn.sendall(FAILED.encode())
        elif name == "pause-reading":
            conn.sendall(EMPTY_RETURN.encode())
            return arguments["seconds"]
        else:
            echo = {"command": name}
            if "arguments" in message:
                echo["arguments"] = arguments
            conn.sendall(json.dumps({"return": echo}, separators=(",", ":")).encode() + b"\n")
        return 0

    def serve(self, conn: socket.socket, greeting: list) -> None:
        self.report("accept")
        try:
            with conn:
                self.run_steps(conn, greeting)
                pending = b""
                while True:
                    data = conn.recv(1 << 20)
                    if not data:
                        return
                    pending += data
                    while b"\n" in pending:
                        line, pending = pending.split(b"\n", 1)
                        pause = self.answer(conn, line)
                        if pause:
                            time.sleep(pause)
        except (_Closed, OSError):
            pass  # the script ended the connection, or the client went away first
        finally:
            self.report("end")


def main() -> None:
    path = sys.argv[1]
    config = json.loads(sys.stdin.read())
    monitor = _Monitor(config)
    listener = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
    listener.bind(path)
    listener.listen(128)
    print("ready", flush=True)
    greetings = config["greetings"]
    served = 0
    while True:
        conn, _ = listener.accept()
        greeting = greetings[min(served, len(greetings) - 1)]
        served += 1
        threading.Thread(target=monitor.serve, args=(conn, greeting), daemon=True).start()


if __name__ == "__main__":
    main()
