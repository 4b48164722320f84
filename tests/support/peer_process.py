"""The test-side handle of a peer that runs in a process of its own.

Leak, signal, hostile-peer and thread tests measure the test process itself (descriptors,
allocated blocks, reference counts, signal delivery), so their peers must not live in it. A peer
program is started as `python3 SCRIPT PATH [ARGS...]`, reads its configuration from standard
input, prints "ready" once it listens on PATH, then reports one line per event ("KIND REST"),
which `on_report` records.
"""

from __future__ import annotations

import os
import signal
import subprocess
import sys
import threading


class PeerProcess:
    def __init__(self, script: str, path: str, config: str, arguments: tuple[str, ...] = ()):
        self.path = path
        self._changed = threading.Condition()
        # The sanitizer runtime preloaded into the test interpreter is not wanted in the peer.
        env = {k: v for k, v in os.environ.items() if k != "LD_PRELOAD"}
        self.process = subprocess.Popen(
            [sys.executable, script, path, *arguments],
            stdin=subprocess.PIPE, stdout=subprocess.PIPE, env=env, text=True,
        )
        # A configuration can be megabytes, too much for the command line.
        with self.process.stdin:
            self.process.stdin.write(config)
        if self.process.stdout.readline().strip() != "ready":
            self.close()
            raise RuntimeError(f"the peer {os.path.basename(script)} did not start")
        self._reader = threading.Thread(target=self._read_reports, daemon=True)
        self._reader.start()

    def on_report(self, kind: str, rest: str) -> None:
        """Records one event; called with the condition held."""
        raise NotImplementedError

    def wait_for(self, predicate, timeout: float = 10.0) -> bool:
        with self._changed:
            return self._changed.wait_for(predicate, timeout)

    def _read_reports(self) -> None:
        # Signal storms are meant for the thread making the calls.
        signal.pthread_sigmask(signal.SIG_BLOCK, {signal.SIGALRM})
        for line in self.process.stdout:
            kind, _, rest = line.rstrip("\n").partition(" ")
            with self._changed:
                self.on_report(kind, rest)
                self._changed.notify_all()

    def close(self) -> None:
        if self.process.poll() is None:
            self.process.terminate()
            self.process.wait(10)
        if hasattr(self, "_reader"):
            self._reader.join(10)
        self.process.stdout.close()
        if os.path.exists(self.path):
            os.unlink(self.path)

    def __enter__(self):
        return self

    def __exit__(self, *exc: object) -> None:
        self.close()
