"""brindle_core._ffi on a running QEMU machine: its snapshot taken, restored and deleted over QMP.

The demo makes a small qcow2 disk and starts QEMU itself: a q35 machine with 256 MiB of RAM
under TCG (no KVM needed), its firmware running, the disk on a virtio-blk device as block node
"disk0", and a QMP socket. QEMU's generic loader puts 16 MiB of random data into the machine's
RAM (the working set a guest would have), so that the snapshot has memory to carry. The demo
drives the machine with _QmpClient the way the VM manager's wrappers do; its sections, as it
prints them:

1. make the disk;
2. show the machine running: its run state, its memory size, and the firmware's clock in the
   machine's RAM advancing;
3. take a snapshot with the typical flow (stop_vm, snapshot_save, wait_for_job, cont) and show
   its machine-state size with `qemu-img info`;
4. let the running machine's disk change (QEMU's qemu-io monitor command writes over it);
5. stop the machine, load the snapshot back, and show that the run state, the firmware's clock
   and the disk are what they were when the snapshot was taken; let it run again, delete the
   snapshot, close;
6. turn the disk into a raw image, copy a fully written version of it with
   clone_or_sparse_copy, and unpack a zstd archive of it with decompress_zstd_sparse: both
   results hold the image's bytes with its zero runs as holes.

Every step is printed with the time since the start and its own duration. The whole demo takes a
few seconds; TCG on a busy machine can be much slower, so the time-outs are generous.
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
MEMORY_MIB = 256
DATA_MIB, DATA_ADDRESS = 16, 0x1000000  # the random data put into the machine's RAM
# The firmware keeps its clock (timer ticks since midnight, 18.2 a second) in the BIOS data area.
CLOCK_ADDRESS = 0x46C
JOB_TIMEOUT = 60.0  # seconds; a snapshot job takes well under a second on an idle machine


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
    """Whether the first MiB of the image is all `pattern`, read by qemu-io beside the running
    QEMU (-U: without taking the image's lock)."""
    result = subprocess.run(["qemu-io", "-r", "-U", "-c",
                             f"read -P {pattern:#x} 0 {PATTERN_SIZE}", image],
                            capture_output=True, text=True)
    return result.returncode == 0 and "verification failed" not in result.stdout


class Machine:
    """A running q35 machine under TCG with the disk attached and its QMP socket; ended with
    stop()."""

    def __init__(self, image: str, data: str, socket_path: str):
        self.socket_path = socket_path
        self.process = subprocess.Popen(
            ["qemu-system-x86_64", "-M", "q35", "-m", str(MEMORY_MIB), "-accel", "tcg",
             "-nodefaults", "-display", "none",
             "-blockdev",
             f"driver=qcow2,node-name={NODE},file.driver=file,file.filename={image}",
             # share-rw: the monitor's qemu-io may write the disk while the device has it.
             "-device", f"virtio-blk-pci,drive={NODE},share-rw=on",
             "-device", f"loader,file={data},addr={DATA_ADDRESS:#x},force-raw=on",
             "-qmp", f"unix:{socket_path},server=on,wait=off"],
            stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)
        deadline = time.monotonic() + 30
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


def monitor(client, command_line: str) -> str:
    """A human-monitor command through QMP; its answer is JSON text holding a string."""
    return json.loads(client.execute("human-monitor-command",
                                     json.dumps({"command-line": command_line})))


def firmware_clock(client) -> int:
    """The firmware's clock as the machine's RAM holds it (the monitor's `xp` reads it)."""
    return int(monitor(client, f"xp /1wx {CLOCK_ADDRESS:#x}").split()[-1], 16)


def show_state(clock: Clock, client) -> int:
    ticks = firmware_clock(client)
    clock.detail(f"status: {status(client)}; firmware clock in RAM: {ticks} ticks")
    return ticks


def wait_for_firmware(client) -> tuple[int, int]:
    """Waits until the firmware has set its clock and the clock advances; returns two readings
    half a second apart."""
    deadline = time.monotonic() + 60
    while time.monotonic() < deadline:
        first = firmware_clock(client)
        time.sleep(0.5)
        second = firmware_clock(client)
        if 0 < first < second:
            return first, second
    raise DemoError("the machine's firmware did not start its clock within 60 s")


def snapshot_listing(image: str) -> str:
    """The image's snapshots as `qemu-img info` reports them, read beside the running QEMU."""
    info = json.loads(run("qemu-img", "info", "-U", "--output=json", image))
    snapshots = info.get("snapshots", [])
    if not snapshots:
        return "(no snapshots)"
    return "\n".join(
        f"snapshot {s['name']!r}: vm-state-size {s['vm-state-size']} bytes "
        f"({s['vm-state-size'] / 2**20:.1f} MiB), taken at {s['vm-clock-sec']}."
        f"{s['vm-clock-nsec'] // 10**6:03d} s of machine time" for s in snapshots)


def snapshot_demo(clock: Clock, image: str, data: str, socket_path: str) -> None:
    clock.section(f"2. A running machine: q35, {MEMORY_MIB} MiB of RAM, TCG, firmware running, "
                  f"the disk on virtio-blk")
    machine = clock.step("start qemu-system-x86_64 -M q35 -accel tcg",
                         lambda: Machine(image, data, socket_path))
    try:
        client = clock.step("_QmpClient(socket_path)  (opens nothing yet)",
                            lambda: ffi._QmpClient(socket_path))
        clock.step("connect(timeout=5, read_timeout=30)", lambda: client.connect(5, 30))
        memory = json.loads(client.execute("query-memory-size-summary", None))
        clock.detail(f"status: {status(client)}; RAM: {memory['base-memory'] // 2**20} MiB, "
                     f"{DATA_MIB} MiB of it holding random data")
        first, second = clock.step("the firmware's clock in RAM, read twice 0.5 s apart",
                                   lambda: wait_for_firmware(client))
        clock.detail(f"{first} ticks, then {second}: the machine is running")

        clock.section("3. The typical snapshot: stop_vm, snapshot_save, wait_for_job, cont")
        clock.step("stop_vm()", client.stop_vm)
        saved_ticks = show_state(clock, client)
        clock.step(f"snapshot_save('save-1', '{TAG}', '{NODE}', ['{NODE}'])",
                   lambda: client.snapshot_save("save-1", TAG, NODE, [NODE]))
        clock.detail(f"query_jobs(): {client.query_jobs()}")
        record = clock.step(f"wait_for_job('save-1', timeout={JOB_TIMEOUT:g}, "
                            "poll_interval=0.05)",
                            lambda: client.wait_for_job("save-1", JOB_TIMEOUT, 0.05))
        clock.detail(record)
        clock.detail(f"query_jobs() after the wait: {client.query_jobs()}  (dismissed)")
        listing = clock.step("qemu-img info -U --output=json disk.qcow2",
                             lambda: snapshot_listing(image))
        clock.detail(listing)
        clock.step("cont()", client.cont)
        show_state(clock, client)

        clock.section("4. The running machine's disk changes")
        clock.step(f"qemu-io {NODE} 'write -P {CHANGED:#x} 0 {PATTERN_SIZE}'  (monitor command)",
                   lambda: monitor(client, f'qemu-io {NODE} "write -P {CHANGED:#x} 0 '
                                           f'{PATTERN_SIZE}"'))
        clock.step(f"qemu-io {NODE} 'flush'  (so that a reader beside QEMU sees it)",
                   lambda: monitor(client, f'qemu-io {NODE} "flush"'))
        if not disk_holds(image, CHANGED):
            raise DemoError("the write did not reach the disk")
        clock.detail(f"the disk now holds {CHANGED:#x}: the snapshot is all that keeps the old "
                     "data")

        clock.section("5. The snapshot loaded back, then deleted")
        clock.step("stop_vm()", client.stop_vm)
        later_ticks = show_state(clock, client)
        clock.step(f"snapshot_load('load-1', '{TAG}', '{NODE}', ['{NODE}'])",
                   lambda: client.snapshot_load("load-1", TAG, NODE, [NODE]))
        clock.detail(clock.step(f"wait_for_job('load-1', timeout={JOB_TIMEOUT:g}, "
                                "poll_interval=0.05)",
                                lambda: client.wait_for_job("load-1", JOB_TIMEOUT, 0.05)))
        run_state, loaded_ticks = status(client), firmware_clock(client)
        clock.detail(f"status: {run_state}; firmware clock in RAM: {loaded_ticks} ticks "
                     f"(saved {saved_ticks}, before the load {later_ticks})")
        if run_state != "paused" or loaded_ticks != saved_ticks:
            raise DemoError("loading the snapshot did not restore the machine's state")
        if not disk_holds(image, INSTALLED):
            raise DemoError("loading the snapshot did not restore the disk")
        clock.detail(f"the disk holds {INSTALLED:#x} again: the load restored the run state, "
                     "the RAM and the disk")
        clock.step("cont()", client.cont)
        first, second = wait_for_firmware(client)
        clock.detail(f"status: {status(client)}; firmware clock: {first}, then {second}: "
                     "running on from the snapshot")
        clock.step(f"snapshot_delete('delete-1', '{TAG}', ['{NODE}'])",
                   lambda: client.snapshot_delete("delete-1", TAG, [NODE]))
        clock.detail(clock.step(f"wait_for_job('delete-1', timeout={JOB_TIMEOUT:g}, "
                                "poll_interval=0.05)",
                                lambda: client.wait_for_job("delete-1", JOB_TIMEOUT, 0.05)))
        clock.detail(f"qemu-img info: {snapshot_listing(image)}")
        clock.step("close()", client.close)
    finally:
        clock.step("stop QEMU", machine.stop)


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
    clock.section("6. The disk as a raw image: sparse copy and sparse zstd decompression")
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


def write_random(path: str, size: int) -> None:
    with open(path, "wb") as file:
        file.write(os.urandom(size))


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
    data = os.path.join(workdir, "ram-data.bin")
    socket_path = os.path.join(workdir, "qmp.sock")
    try:
        clock.section(f"1. A 64 MiB qcow2 disk in {workdir}")
        clock.step("qemu-img create -f qcow2 disk.qcow2 64M",
                   lambda: run("qemu-img", "create", "-q", "-f", "qcow2", image, "64M"))
        clock.step(f"qemu-io 'write -P {INSTALLED:#x} 0 {PATTERN_SIZE}'  (the disk as installed)",
                   lambda: run("qemu-io", "-c", f"write -P {INSTALLED:#x} 0 {PATTERN_SIZE}",
                               image))
        clock.step(f"{DATA_MIB} MiB of random data for the machine's RAM  (ram-data.bin)",
                   lambda: write_random(data, DATA_MIB << 20))
        snapshot_demo(clock, image, data, socket_path)
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
