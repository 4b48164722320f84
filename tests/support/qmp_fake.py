"""A scripted QMP monitor on a Unix socket, served by one thread.

It accepts one connection at a time, like a real monitor. On each it plays the greeting, then
answers every line it receives: "qmp_capabilities" with `capabilities`, every other command with
the next scripted response (or `default`, `{"return":{}}` unless set, once the script has run
out). A response is a list of actions: bytes are sent as one write, a number pauses that many
seconds, CLOSE ends the connection. Every line received is recorded as bytes, line feed included,
with the monotonic time of its arrival.
"""

import json
import os
import select
import shutil
import socket
import subprocess
import sys
import tempfile
import threading
import time
from collections import deque

CLOSE = object()
GREETING = b'{"QMP":{"version":{"qemu":{"micro":0,"minor":0,"major":11}},"capabilities":[]}}\n'
EMPTY_RETURN = b'{"return":{}}\n'
CAPABILITIES = b'{"execute":"qmp_capabilities"}\n'


def qmp_error(excinfo) -> dict:
    """The error's JSON object; every QMP failure is RuntimeError(text) with exactly two keys."""
    assert type(excinfo.value) is RuntimeError
    (text,) = excinfo.value.args
    error = json.loads(text)
    assert list(error) == ["context", "message"]
    return error


def reply(value) -> bytes:
    """A reply line whose "return" is `value` written as JSON."""
    return b'{"return":' + json.dumps(value, separators=(",", ":")).encode() + b"}\n"


def short_socket_path() -> tuple[str, str]:
    """A fresh directory and a socket path in it that fits a Unix address."""
    directory = tempfile.mkdtemp(prefix="qmp-", dir="/tmp")
    return directory, os.path.join(directory, "monitor.sock")


class FakeMonitor:
    def __init__(self, greeting=(GREETING,), capabilities=(EMPTY_RETURN,), path=None,
                 on_line=None):
        self._directory = None
        if path is None:
            self._directory, path = short_socket_path()
        self.path = path
        self.greeting = list(greeting)
        self.capabilities = list(capabilities)
        self.received: list[bytes] = []
        self.received_at: list[float] = []
        self._on_line = on_line
        self.default = [EMPTY_RETURN]
        self.accepted = 0
        self.closed = 0  # connections that have ended, by either side
        self._script: deque = deque()
        self._changed = threading.Condition()
        self._stopping = False
        self._listener = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
        self._listener.bind(path)
        self._listener.listen(8)
        self._listener.settimeout(0.02)
        self._thread = threading.Thread(target=self._serve, daemon=True)
        self._thread.start()

    def script(self, *responses):
        """Appends responses, each a list of actions, for the next commands."""
        with self._changed:
            self._script.extend(list(r) for r in responses)

    def commands(self) -> list[bytes]:
        """The lines received other than capability negotiation."""
        with self._changed:
            return [line for line in self.received if not _is_capabilities(line)]

    def wait_for(self, predicate, timeout=5.0):
        deadline = time.monotonic() + timeout
        with self._changed:
            while not predicate():
                remaining = deadline - time.monotonic()
                if remaining <= 0:
                    raise AssertionError("the fake monitor did not reach the expected state")
                self._changed.wait(remaining)

    def stop(self):
        self._stopping = True
        self._thread.join()
        self._listener.close()
        if self._directory is not None:
            shutil.rmtree(self._directory, ignore_errors=True)

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.stop()

    def _serve(self):
        while not self._stopping:
            try:
                connection, _ = self._listener.accept()
            except TimeoutError:
                continue
            with self._changed:
                self.accepted += 1
                self._changed.notify_all()
            try:
                with connection:
                    self._converse(connection)
            except OSError:
                pass
            with self._changed:
                self.closed += 1
                self._changed.notify_all()

    def _converse(self, connection):
        connection.settimeout(None)
        if not self._play(connection, self.greeting):
            return
        pending = b""
        while not self._stopping:
            if not select.select([connection], [], [], 0.02)[0]:
                continue
            data = connection.recv(65536)
            if not data:
                return
            pending += data
            while b"\n" in pending:
                line, pending = pending.split(b"\n", 1)
                line += b"\n"
                if self._on_line is not None:
                    self._on_line(line)
                with self._changed:
                    self.received.append(line)
                    self.received_at.append(time.monotonic())
                    self._changed.notify_all()
                    if _is_capabilities(line):
                        actions = self.capabilities
                    else:
                        actions = self._script.popleft() if self._script else self.default
                if not self._play(connection, actions):
                    return

    def _play(self, connection, actions) -> bool:
        for action in actions:
            if action is CLOSE:
                return False
            if isinstance(action, bytes):
                connection.sendall(action)
            else:
                time.sleep(action)
        return True


class FakeMonitorProcess:
    """The fake monitor in a child process, for tests whose main thread holds the interpreter
    lock while the monitor has to answer (an in-process monitor thread could not run then).

    `responses` are scripted as for FakeMonitor, with bytes and pauses only. `next_line()` waits
    for the next line the monitor receives.
    """

    def __init__(self, *responses):
        self._directory, self.path = short_socket_path()
        script = [[a.decode("latin-1") if isinstance(a, bytes) else a for a in r]
                  for r in responses]
        self._process = subprocess.Popen([sys.executable, __file__, self.path, json.dumps(script)],
                                         stdout=subprocess.PIPE)
        if self._process.stdout.readline() != b"ready\n":
            raise AssertionError("the fake monitor process did not start")

    def next_line(self) -> bytes:
        return bytes.fromhex(self._process.stdout.readline().decode())

    def stop(self):
        self._process.terminate()
        self._process.wait()
        self._process.stdout.close()
        shutil.rmtree(self._directory, ignore_errors=True)

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.stop()


def _serve_in_this_process(path, script):
    def report(line):
        sys.stdout.write(line.hex() + "\n")
        sys.stdout.flush()

    monitor = FakeMonitor(path=path, on_line=report)
    monitor.script(*([a.encode("latin-1") if isinstance(a, str) else a for a in r]
                     for r in json.loads(script)))
    sys.stdout.write("ready\n")
    sys.stdout.flush()
    threading.Event().wait()


def _is_capabilities(line: bytes) -> bool:
    try:
        message = json.loads(line)
    except ValueError:
        return False
    return isinstance(message, dict) and message.get("execute") == "qmp_capabilities"


if __name__ == "__main__":
    _serve_in_this_process(sys.argv[1], sys.argv[2])
