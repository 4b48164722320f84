"""brindle_core._ffi on a real QEMU: a machine's snapshot taken, restored and deleted over QMP.

The demo makes a small qcow2 disk, starts QEMU itself (no kernel and no accelerator needed: an
empty machine stopped at start, with the disk attached as block node "disk0" and a QMP socket),
and drives it with _QmpClient the way the VM manager's wrappers do:

1. take a snapshot with the typical flow: connect, stop_vm, snapshot_save, wait_for_job, cont,
   close;
2. let the running machine overwrite its disk, stop QEMU and list the snapshot with qemu-img;
3. start a fresh QEMU on the same disk, load the snapshot back, delete it, and check with
   qemu-io that the disk holds what it held when the snapshot was taken;
4. turn the disk into a raw image, copy a fully written version of it with
   clone_or_sparse_copy, and unpack a zstd archive of it with decompress_zstd_sparse: both
   results hold the image's bytes with its zero runs as holes.

Every step is printed with the time since the start and its own duration.
"""

import json
import os
import shutil
import subprocess
import sys
import tempfile
import time

import brindle_core._ffi as ffi

# Outside programs the demo needs, with the Debian package that has them.
PROGRAMS = {"qemu-system-x86_64": "qemu-system-x86", "qemu-img": "qemu-utils",
            "qemu-io": "qemu-utils", "zstd": "zstd", "cp": "coreutils"}
NODE = "disk0"
TAG = "demo"
INSTALLED, CHANGED = 0xAB, 0xCD  # byte patterns written to the first MiB of the disk
PATTERN_SIZE = "1M"


class DemoError(Exception):
    pass


class Clock:
    """Prints each step with the time since the start and how long the step took."""

    def __init__(self):
        self.start = time.monotonic()

    def section(self, title: str) -> None:
        print(f"\n== {title}")

    def step(self, description: str, action=None):
        began = time.monotonic()
        result = action() if action is not None else None
        took = (time.monotonic() - began) * 1000
        print(f"{began - self.start:8.3f} s  {description:<62} {took:8.1f} ms")
        return result

    def detail(self, text: str) -> None:
        for line in text.rstrip("\n").splitlines() or [""]:
            print(f"{'':12}{line}")


def run(*command: str) -> str:
    result = subprocess.run(command, capture_output=True, text=True)
    if result.returncode != 0:
        raise DemoError(f"{' '.join(command)} failed: {(result.stderr or result.stdout).strip()}")
    return result.stdout


def disk_holds(image: str, pattern: int) -> bool:
    """Whether the first MiB of the stopped image is all `pattern` (qemu-io verifies it)."""
    result = subprocess.run(["qemu-io", "-c", f"read -P {pattern:#x} 0 {PATTERN_SIZE}", image],
                            capture_output=True, text=True)
    return result.returncode == 0 and "verification failed" not in result.stdout


class Machine:
    """A QEMU process with the disk attached and its QMP socket, ended with stop()."""

    def __init__(self, image: str, socket_path: str):
        self.socket_path = socket_path
        self.process = subprocess.Popen(
            ["qemu-system-x86_64", "-M", "none", "-nodefaults", "-display", "none", "-S",
             "-blockdev",
             f"driver=qcow2,node-name={NODE},file.driver=file,file.filename={image}",
             "-qmp", f"unix:{socket_path},server=on,wait=off"],
            stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)
        deadline = time.monotonic() + 10
        while not os.path.exists(socket_path):
            if self.process.poll() is not None or time.monotonic() > deadline:
                self.stop()
                raise DemoError(f"QEMU did not open its QMP socket: {self.stderr}")
            time.sleep(0.01)

    def stop(self) -> None:
        # On SIGTERM QEMU flushes and closes the disk before it exits.
        if self.process.poll() is None:
            self.process.terminate()
            try:
                self.process.wait(10)
            except subprocess.TimeoutExpired:
                self.process.kill()
                self.process.wait()
        self.stderr = self.process.stderr.read().decode(errors="replace").strip()
        self.process.stderr.close()
        if os.path.exists(self.socket_path):
            os.unlink(self.socket_path)


def status(client) -> str:
    return json.loads(client.execute("query-status", None))["status"]


def let_it_run(clock: Clock, client) -> None:
    # QEMU starts stopped (-S); a snapshot is normally taken of a machine that was running.
    clock.step("cont()  (QEMU was started stopped: let the machine run)", client.cont)
    clock.detail(f"status: {status(client)}")


def show_snapshots(clock: Clock, image: str) -> None:
    listing = clock.step("qemu-img snapshot -l disk.qcow2", lambda: run("qemu-img", "snapshot",
                                                                        "-l", image))
    clock.detail(listing if listing.strip() else "(no snapshots)")


def take_snapshot(clock: Clock, image: str, socket_path: str) -> None:
    clock.section("2. The typical snapshot: connect, stop_vm, snapshot_save, wait_for_job, "
                  "cont, close")
    machine = clock.step("start qemu-system-x86_64 with the disk as node disk0",
                         lambda: Machine(image, socket_path))
    try:
        client = clock.step("_QmpClient(socket_path)  (opens nothing yet)",
                            lambda: ffi._QmpClient(socket_path))
        clock.step("connect(timeout=5, read_timeout=10)", lambda: client.connect(5, 10))
        let_it_run(clock, client)
        clock.step("stop_vm()", client.stop_vm)
        clock.detail(f"status: {status(client)}")
        clock.step(f"snapshot_save('save-1', '{TAG}', '{NODE}', ['{NODE}'])",
                   lambda: client.snapshot_save("save-1", TAG, NODE, [NODE]))
        jobs = clock.step("query_jobs()", client.query_jobs)
        clock.detail(jobs)
        record = clock.step("wait_for_job('save-1', timeout=10, poll_interval=0.05)",
                            lambda: client.wait_for_job("save-1", 10, 0.05))
        clock.detail(record)
        clock.detail(f"query_jobs() after the wait: {client.query_jobs()}  (dismissed)")
        clock.step("cont()", client.cont)
        clock.detail(f"status: {status(client)}")

        clock.section("3. The running machine overwrites its disk, then QEMU stops")
        clock.step(f"qemu-io {NODE} 'write -P {CHANGED:#x} 0 {PATTERN_SIZE}'  (monitor command)",
                   lambda: client.execute("human-monitor-command", json.dumps(
                       {"command-line":
                        f'qemu-io {NODE} "write -P {CHANGED:#x} 0 {PATTERN_SIZE}"'})))
        clock.step("close()", client.close)
    finally:
        clock.step("stop QEMU", machine.stop)
    show_snapshots(clock, image)
    if not disk_holds(image, CHANGED):
        raise DemoError("the machine's write did not reach the disk")
    clock.detail(f"the disk now holds {CHANGED:#x}: the snapshot is all that keeps the old data")


def restore_snapshot(clock: Clock, image: str, socket_path: str) -> None:
    clock.section("4. A fresh QEMU loads the snapshot back, then deletes it")
    machine = clock.step("start qemu-system-x86_64 on the same disk",
                         lambda: Machine(image, socket_path))
    try:
        client = ffi._QmpClient(socket_path)
        clock.step("connect(timeout=5, read_timeout=10)", lambda: client.connect(5, 10))
        let_it_run(clock, client)
        clock.step("stop_vm()", client.stop_vm)
        clock.detail(f"status: {status(client)}")
        clock.step(f"snapshot_load('load-1', '{TAG}', '{NODE}', ['{NODE}'])",
                   lambda: client.snapshot_load("load-1", TAG, NODE, [NODE]))
        clock.detail(clock.step("wait_for_job('load-1', timeout=10, poll_interval=0.05)",
                                lambda: client.wait_for_job("load-1", 10, 0.05)))
        clock.step(f"snapshot_delete('delete-1', '{TAG}', ['{NODE}'])",
                   lambda: client.snapshot_delete("delete-1", TAG, [NODE]))
        clock.detail(clock.step("wait_for_job('delete-1', timeout=10, poll_interval=0.05)",
                                lambda: client.wait_for_job("delete-1", 10, 0.05)))
        clock.detail(f"query_jobs(): {client.query_jobs()}")
        clock.step("cont()", client.cont)
        clock.detail(f"status: {status(client)}")
        clock.step("close()", client.close)
    finally:
        clock.step("stop QEMU", machine.stop)
    show_snapshots(clock, image)
    if not disk_holds(image, INSTALLED):
        raise DemoError("loading the snapshot did not restore the disk")
    clock.detail(f"the disk holds {INSTALLED:#x} again: the load restored it")


def sizes(path: str) -> str:
    status = os.stat(path)
    return (f"{os.path.basename(path)}: {status.st_size / 2**20:.1f} MiB apparent, "
            f"{status.st_blocks * 512 / 2**20:.1f} MiB allocated")


def same_content(first: str, second: str) -> bool:
    with open(first, "rb") as a, open(second, "rb") as b:
        while True:
            chunk = a.read(1 << 20)
            if chunk != b.read(1 << 20):
                return False
            if not chunk:
                return True


def show_disk_helpers(clock: Clock, image: str, workdir: str) -> None:
    """The disk-image helpers on the demo's disk, as a raw image the way a VM monitor uses it:
    a fully written copy made sparse again, and a zstd archive unpacked into a sparse file."""
    clock.section("5. The disk as a raw image: sparse copy and sparse zstd decompression")
    raw = os.path.join(workdir, "disk.raw")
    full = os.path.join(workdir, "disk-full.raw")
    archive = os.path.join(workdir, "disk.raw.zst")
    copied = os.path.join(workdir, "copies", "disk.raw")
    restored = os.path.join(workdir, "restored", "disk.raw")
    clock.step("qemu-img convert -O raw disk.qcow2 disk.raw",
               lambda: run("qemu-img", "convert", "-O", "raw", image, raw))
    clock.step("cp --sparse=never disk.raw disk-full.raw  (every block written)",
               lambda: run("cp", "--sparse=never", raw, full))
    clock.detail(sizes(full))
    method = clock.step("clone_or_sparse_copy('disk-full.raw', 'copies/disk.raw')",
                        lambda: ffi.clone_or_sparse_copy(full, copied))
    clock.detail(f"-> {method!r}; {sizes(copied)}")
    clock.step("zstd -3 disk-full.raw -o disk.raw.zst",
               lambda: run("zstd", "-q", "-3", full, "-o", archive))
    clock.detail(f"{os.path.basename(archive)}: {os.path.getsize(archive) / 2**10:.1f} KiB")
    method = clock.step("decompress_zstd_sparse('disk.raw.zst', 'restored/disk.raw')",
                        lambda: ffi.decompress_zstd_sparse(archive, restored))
    clock.detail(f"-> {method!r}; {sizes(restored)}")
    for path in (copied, restored):
        if not same_content(full, path):
            raise DemoError(f"{path} differs from the image it was made from")
    clock.detail("both hold exactly the image's bytes; their zero runs are holes")


def main() -> int:
    print("brindle_core._ffi:", ffi.__doc__)
    for probe in ("has_native_qmp", "has_native_disk_io", "has_native_firecracker_api",
                  "has_native_networking"):
        print(f"  {probe}() -> {getattr(ffi, probe)()}")

    missing = [f"{name} (Debian package {package})" for name, package in PROGRAMS.items()
               if shutil.which(name) is None]
    if missing:
        print("demo: these programs are needed on PATH: " + ", ".join(missing), file=sys.stderr)
        return 2

    clock = Clock()
    workdir = tempfile.mkdtemp(prefix="brindle-demo-")
    image = os.path.join(workdir, "disk.qcow2")
    socket_path = os.path.join(workdir, "qmp.sock")
    try:
        clock.section(f"1. A 64 MiB qcow2 disk in {workdir}")
        clock.step("qemu-img create -f qcow2 disk.qcow2 64M",
                   lambda: run("qemu-img", "create", "-q", "-f", "qcow2", image, "64M"))
        clock.step(f"qemu-io 'write -P {INSTALLED:#x} 0 {PATTERN_SIZE}'  (the disk as installed)",
                   lambda: run("qemu-io", "-c", f"write -P {INSTALLED:#x} 0 {PATTERN_SIZE}",
                               image))
        take_snapshot(clock, image, socket_path)
        restore_snapshot(clock, image, socket_path)
        show_disk_helpers(clock, image, workdir)
    except OSError as error:
        # The disk helpers' failures are OSError(message).
        print(f"\ndemo: disk helper failed: {error}", file=sys.stderr)
        return 1
    except RuntimeError as error:
        # Every QMP failure is RuntimeError carrying {"context": ..., "message": ...}.
        print(f"\ndemo: QMP call failed: {error}", file=sys.stderr)
        return 1
    except DemoError as error:
        print(f"\ndemo: {error}", file=sys.stderr)
        return 1
    finally:
        shutil.rmtree(workdir, ignore_errors=True)
    print(f"\nDone in {time.monotonic() - clock.start:.2f} s.")
    return 0


if __name__ == "__main__":
    sys.exit(main())
