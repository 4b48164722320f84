"""QMP against a real QEMU: connect-and-negotiate and sequential query-status commands.

Compares the native client with QEMU's own Python library (its async QMPClient and its legacy
sync client), a raw Python socket client and a minimal C client (the near-limit reference).
Each round measures every client once, side by side; the figures are medians over the rounds,
and the ratios are taken within each round before the median. --json also writes the figures
for benchmarks/report.py.

    tools/dev bench qmp [--rounds 5] [--commands 2000] [--connects 300] [--json FILE]
"""

import argparse
import asyncio
import json
import os
import shutil
import socket
import statistics
import subprocess
import tempfile
import time
from pathlib import Path

from brindle_core._ffi import _QmpClient
from qemu.qmp import QMPClient
from qemu.qmp.legacy import QEMUMonitorProtocol

ROOT = Path(__file__).resolve().parent.parent
REFERENCE_SOURCE = ROOT / "benchmarks" / "qmp_reference_client.c"
REFERENCE_BINARY = ROOT / "build" / "bench" / "qmp_reference_client"


def build_reference() -> Path:
    REFERENCE_BINARY.parent.mkdir(parents=True, exist_ok=True)
    if (not REFERENCE_BINARY.exists()
            or REFERENCE_BINARY.stat().st_mtime < REFERENCE_SOURCE.stat().st_mtime):
        subprocess.run(["cc", "-O2", "-Wall", "-Wextra", "-o", str(REFERENCE_BINARY),
                        str(REFERENCE_SOURCE)], check=True)
    return REFERENCE_BINARY


class Qemu:
    def __init__(self):
        self.directory = tempfile.mkdtemp(prefix="qmp-bench-", dir="/tmp")
        self.path = os.path.join(self.directory, "monitor.sock")
        self.process = subprocess.Popen(
            ["qemu-system-x86_64", "-M", "none", "-nodefaults", "-display", "none", "-S",
             "-qmp", f"unix:{self.path},server=on,wait=off"],
            stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL)
        while not os.path.exists(self.path):
            if self.process.poll() is not None:
                raise SystemExit("QEMU did not start")
            time.sleep(0.01)

    def stop(self):
        self.process.terminate()
        self.process.wait()
        shutil.rmtree(self.directory, ignore_errors=True)


# Each measurement returns seconds per operation.

def native_connect(path, count, slowest):
    for _ in range(count):
        started = time.perf_counter()
        client = _QmpClient(path)
        client.connect(5.0, 10.0)
        client.close()
        slowest.append(time.perf_counter() - started)


def native_commands(path, count):
    client = _QmpClient(path)
    client.connect(5.0, 10.0)
    started = time.perf_counter()
    for _ in range(count):
        client.execute("query-status", None)
    elapsed = time.perf_counter() - started
    client.close()
    return elapsed


class RawSocket:
    """A hand-written Python client: socket, makefile lines, json."""

    def __init__(self, path):
        self.socket = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
        self.socket.connect(path)
        self.lines = self.socket.makefile("rb", buffering=8192)
        json.loads(self.lines.readline())
        self.command("qmp_capabilities")

    def command(self, name):
        self.socket.sendall(json.dumps({"execute": name}, separators=(",", ":")).encode() + b"\n")
        while True:
            reply = json.loads(self.lines.readline())
            if "event" not in reply:
                return reply

    def close(self):
        self.lines.close()
        self.socket.close()


def raw_connect(path, count):
    for _ in range(count):
        RawSocket(path).close()


def raw_commands(path, count):
    client = RawSocket(path)
    started = time.perf_counter()
    for _ in range(count):
        client.command("query-status")
    elapsed = time.perf_counter() - started
    client.close()
    return elapsed


def legacy_connect(path, count):
    for _ in range(count):
        monitor = QEMUMonitorProtocol(path)
        monitor.connect()
        monitor.close()


def legacy_commands(path, count):
    monitor = QEMUMonitorProtocol(path)
    monitor.connect()
    started = time.perf_counter()
    for _ in range(count):
        monitor.cmd("query-status")
    elapsed = time.perf_counter() - started
    monitor.close()
    return elapsed


async def async_connect(path, count):
    for _ in range(count):
        client = QMPClient("bench")
        await client.connect(path)
        await client.disconnect()


async def async_commands(path, count):
    client = QMPClient("bench")
    await client.connect(path)
    started = time.perf_counter()
    for _ in range(count):
        await client.execute("query-status")
    elapsed = time.perf_counter() - started
    await client.disconnect()
    return elapsed


def timed(run):
    started = time.perf_counter()
    run()
    return time.perf_counter() - started


def reference(binary, path, mode, count):
    out = subprocess.run([str(binary), path, mode, str(count)], check=True, capture_output=True,
                         text=True).stdout
    return int(out) / 1e9


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--rounds", type=int, default=5)
    parser.add_argument("--commands", type=int, default=2000)
    parser.add_argument("--connects", type=int, default=300)
    parser.add_argument("--json", help="also write the figures to this file")
    args = parser.parse_args()
    binary = build_reference()
    qemu = Qemu()
    path = qemu.path
    slowest_connects = []
    try:
        names = ["C client", "native _QmpClient", "Python raw socket + json",
                 "qemu.qmp async QMPClient", "qemu.qmp legacy sync client"]
        per_command = {name: [] for name in names}
        per_connect = {name: [] for name in names}
        n, m = args.commands, args.connects
        native_commands(path, 50)  # warm up QEMU and the page cache
        for _ in range(args.rounds):
            commands = {
                "C client": reference(binary, path, "execute", n),
                "native _QmpClient": native_commands(path, n),
                "Python raw socket + json": raw_commands(path, n),
                "qemu.qmp async QMPClient": asyncio.run(async_commands(path, n)),
                "qemu.qmp legacy sync client": legacy_commands(path, n),
            }
            connects = {
                "C client": reference(binary, path, "connect", m),
                "native _QmpClient": timed(lambda: native_connect(path, m, slowest_connects)),
                "Python raw socket + json": timed(lambda: raw_connect(path, m)),
                "qemu.qmp async QMPClient": timed(lambda: asyncio.run(async_connect(path, m))),
                "qemu.qmp legacy sync client": timed(lambda: legacy_connect(path, m)),
            }
            for name in names:
                per_command[name].append((commands[name] / n, commands[name] /
                                          commands["C client"]))
                per_connect[name].append((connects[name] / m, connects[name] /
                                          connects["C client"]))
    finally:
        qemu.stop()

    # The role is what the report's charts mark: the near-limit reference, this module, a peer.
    roles = dict.fromkeys(names, "peer") | {"C client": "reference", "native _QmpClient": "native"}
    result = {
        "benchmark": "qmp", "rounds": args.rounds, "commands": n, "connects": m,
        "rows": [{
            "label": name, "role": roles[name],
            "command_us": statistics.median(t for t, _ in per_command[name]) * 1e6,
            "command_vs_c": statistics.median(r for _, r in per_command[name]),
            "connect_us": statistics.median(t for t, _ in per_connect[name]) * 1e6,
            "connect_vs_c": statistics.median(r for _, r in per_connect[name]),
        } for name in names],
        "native_connect_slowest_ms": max(slowest_connects) * 1e3,
        "native_connects": len(slowest_connects),
        "native_connects_50ms_or_more": sum(t >= 0.05 for t in slowest_connects),
    }
    print(f"QMP against QEMU (-M none), {args.rounds} rounds, medians; "
          f"{n} query-status per round, {m} connects per round")
    print(f"{'client':30} {'µs/command':>11} {'× C':>6} {'µs/connect':>11} {'× C':>6}")
    for row in result["rows"]:
        print(f"{row['label']:30} {row['command_us']:11.0f} {row['command_vs_c']:6.2f} "
              f"{row['connect_us']:11.0f} {row['connect_vs_c']:6.2f}")
    print(f"native connect: slowest {result['native_connect_slowest_ms']:.2f} ms of "
          f"{result['native_connects']}; {result['native_connects_50ms_or_more']} took 50 ms or "
          "more")
    if args.json:
        with open(args.json, "w") as f:
            json.dump(result, f, indent=1)


if __name__ == "__main__":
    main()
