"""Sparse copy and sparse zstd decompression against the tools users would otherwise pick.

    tools/dev bench disk [--rounds N] [--keep]

On the page cache (every source is read once before measuring), each round measures, one after
the other so that ratios taken within a round share the machine's load:
- the copy of (a) a 2 GiB image of 1 MiB chunks, 40% random data (half of them holding an
  unaligned zero run) and the rest zeros, written without holes, and of (b) an 8 GiB sparse image
  holding 256 MiB of data, against `cp --sparse=always` and `shutil.copyfile`;
- the decompression of (a) compressed with `zstd -3`, against `zstd -d --sparse` and the pure
  decode `zstd -d -c > /dev/null`;
- each native call again while a CPU-bound Python thread spins beside it.
Every measurement runs in its own child process. Printed are medians over the rounds: wall time,
GB/s of logical (uncompressed) size, CPU time (user + system, which the load of other processes
on a shared machine disturbs far less than wall time), the allocated size of the result and the
peak memory. The images are made once in build/bench and reused; they are removed at the end
unless --keep is given.
"""

import argparse
import json
import os
import shutil
import statistics
import subprocess
import sys
import time
from pathlib import Path

MiB = 1 << 20
GiB = 1 << 30
BENCH = Path(__file__).resolve().parent.parent / "build" / "bench"
MIXED = BENCH / "mixed.img"
MIXED_ZST = BENCH / "mixed.img.zst"
SPARSE = BENCH / "sparse.img"
TARGET = BENCH / "out" / "target"


# --- the images (made in a child, so this process stays small: see peak memory below) ----------


def make_images() -> None:
    import random

    if not MIXED.exists() or MIXED.stat().st_size != 2 * GiB:
        print("making", MIXED, flush=True)
        rng = random.Random(2026)
        pool = rng.randbytes(64 * MiB)
        chunks = 2048
        data_chunks = set(rng.sample(range(chunks), chunks * 2 // 5))
        partial = MIXED.with_suffix(".partial")
        with open(partial, "wb") as file:
            for index in range(chunks):
                if index not in data_chunks:
                    file.write(bytes(MiB))
                    continue
                start = rng.randrange(0, len(pool) - MiB)
                chunk = bytearray(pool[start : start + MiB])
                if rng.random() < 0.5:
                    length = rng.randrange(1, 256 * 1024)
                    offset = rng.randrange(0, MiB - length)
                    chunk[offset : offset + length] = bytes(length)
                file.write(chunk)
        partial.rename(MIXED)
    if not MIXED_ZST.exists():
        print("compressing", MIXED, flush=True)
        partial = MIXED_ZST.with_suffix(".partial")
        subprocess.run(["zstd", "-3", "-q", "-f", str(MIXED), "-o", str(partial)], check=True)
        partial.rename(MIXED_ZST)
    if not SPARSE.exists() or SPARSE.stat().st_size != 8 * GiB:
        print("making", SPARSE, flush=True)
        rng = random.Random(8)
        pool = rng.randbytes(64 * MiB)
        extent = 4 * MiB
        partial = SPARSE.with_suffix(".partial")
        with open(partial, "wb") as file:
            for slot in rng.sample(range(8 * GiB // extent), 256 * MiB // extent):
                start = rng.randrange(0, len(pool) - extent)
                file.seek(slot * extent)
                file.write(pool[start : start + extent])
            file.truncate(8 * GiB)
        partial.rename(SPARSE)


def warm(path: Path) -> None:
    """Reads the file's data ranges into the page cache; not its holes, whose cached zero pages
    would only crowd out the rest."""
    fd = os.open(path, os.O_RDONLY)
    try:
        size = os.fstat(fd).st_size
        position = 0
        while position < size:
            try:
                start = os.lseek(fd, position, os.SEEK_DATA)
            except OSError:
                break
            end = os.lseek(fd, start, os.SEEK_HOLE)
            os.lseek(fd, start, os.SEEK_SET)
            remaining = end - start
            buffer = bytearray(MiB)
            while remaining > 0:
                remaining -= os.readv(fd, [buffer])
            position = end
    finally:
        os.close(fd)


# --- one measurement per child process ---------------------------------------------------------


def own_peak_mib() -> float:
    """This process's own peak resident size (VmHWM). ru_maxrss would not do: it starts from the
    parent's size at the fork."""
    with open("/proc/self/status") as status:
        for line in status:
            if line.startswith("VmHWM:"):
                return int(line.split()[1]) / 1024
    raise RuntimeError("no VmHWM")


def child_main(kind: str, source: str, target: str) -> None:
    import resource
    import threading

    from brindle_core import _ffi

    def call() -> tuple[float, float]:
        before = resource.getrusage(resource.RUSAGE_THREAD)
        started = time.perf_counter()
        if kind.endswith("copy"):
            _ffi.clone_or_sparse_copy(source, target)
        elif kind.endswith("decompress"):
            _ffi.decompress_zstd_sparse(source, target)
        elif kind == "shutil":
            shutil.copyfile(source, target)
        elif kind == "contended-cp":
            subprocess.run(["cp", "--sparse=always", source, target], check=True)
        elif kind == "contended-zstd":
            command = ["zstd", "-d", "-q", "-f", "--sparse", source, "-o", target]
            subprocess.run(command, check=True)
        seconds = time.perf_counter() - started
        after = resource.getrusage(resource.RUSAGE_THREAD)
        cpu = after.ru_utime - before.ru_utime + after.ru_stime - before.ru_stime
        return seconds, cpu

    result = {}
    if kind != "idle":
        result["seconds"], result["cpu"] = call()
    if kind.startswith("contended-"):
        os.unlink(target)
        stop = threading.Event()

        def spin() -> None:
            count = 0
            while not stop.is_set():
                count += 1

        spinner = threading.Thread(target=spin)
        spinner.start()
        time.sleep(0.05)
        result["contended"], result["contended_cpu"] = call()
        stop.set()
        spinner.join()
    result["peak_mib"] = own_peak_mib()
    print(json.dumps(result))


def run_child(kind: str, source: Path | None = None) -> dict:
    command = [sys.executable, __file__, "--child", kind, str(source), str(TARGET)]
    return json.loads(subprocess.run(command, stdout=subprocess.PIPE, check=True).stdout)


def run_tool(command: list[str], stdout=None) -> dict:
    started = time.perf_counter()
    process = subprocess.Popen(command, stdout=stdout)
    _, status, usage = os.wait4(process.pid, 0)
    seconds = time.perf_counter() - started
    if status != 0:
        raise SystemExit(f"{command} failed with status {status}")
    # ru_maxrss of a child never reads below this process's own peak at the fork.
    return {
        "seconds": seconds,
        "cpu": usage.ru_utime + usage.ru_stime,
        "peak_mib": max(usage.ru_maxrss / 1024, own_peak_mib()),
        "peak_floor": usage.ru_maxrss / 1024 <= own_peak_mib(),
    }


def fresh_target() -> None:
    if TARGET.exists():
        TARGET.unlink()
    # The unlink drops the previous result's dirty pages; the sync settles whatever writeback
    # is left, so that every run starts alike.
    os.sync()


# --- the rounds --------------------------------------------------------------------------------

MEASUREMENTS = [
    # key, label, group, logical size, action
    ("copy_a", "native copy", "a", 2 * GiB, lambda: run_child("copy", MIXED)),
    ("cp_a", "cp --sparse=always", "a", 2 * GiB, lambda: cp(MIXED)),
    ("shutil_a", "shutil.copyfile", "a", 2 * GiB, lambda: run_child("shutil", MIXED)),
    ("copy_b", "native copy", "b", 8 * GiB, lambda: run_child("copy", SPARSE)),
    ("cp_b", "cp --sparse=always", "b", 8 * GiB, lambda: cp(SPARSE)),
    ("shutil_b", "shutil.copyfile", "b", 8 * GiB, lambda: run_child("shutil", SPARSE)),
    ("unzstd", "native decompression", "z", 2 * GiB, lambda: run_child("decompress", MIXED_ZST)),
    ("zstd_sparse", "zstd -d --sparse", "z", 2 * GiB, lambda: unzstd(["--sparse", "-o", TARGET])),
    ("zstd_null", "zstd -d -c > /dev/null", "z", 2 * GiB, lambda: unzstd(["-c"], os.devnull)),
    ("contended_copy", "", "", 0, lambda: run_child("contended-copy", MIXED)),
    ("contended_unzstd", "", "", 0, lambda: run_child("contended-decompress", MIXED_ZST)),
    ("contended_cp", "", "", 0, lambda: run_child("contended-cp", MIXED)),
    ("contended_zstd", "", "", 0, lambda: run_child("contended-zstd", MIXED_ZST)),
]
# shutil writes all 8 GiB of (b), tens of seconds: one round is enough to place it.
ONCE = {"shutil_b"}


def cp(source: Path) -> dict:
    return run_tool(["cp", "--sparse=always", str(source), str(TARGET)])


def unzstd(arguments: list, stdout_path: str | None = None) -> dict:
    command = ["zstd", "-d", "-q", "-f", str(MIXED_ZST), *map(str, arguments)]
    if stdout_path is None:
        return run_tool(command)
    with open(stdout_path, "wb") as stdout:
        return run_tool(command, stdout)


def one_round(first: bool, reverse: bool) -> dict[str, dict]:
    """Every other round runs the measurements in reverse order: what one measurement leaves
    behind (the previous target's freed blocks, writeback) then weighs on each side alike."""
    results = {}
    plain = [m for m in MEASUREMENTS if m[1]]
    order = (plain[::-1] if reverse else plain) + [m for m in MEASUREMENTS if not m[1]]
    for key, _, _, _, action in order:
        if key in ONCE and not first:
            continue
        fresh_target()
        result = action()
        result["allocated_mib"] = TARGET.stat().st_blocks * 512 / MiB if TARGET.exists() else None
        results[key] = result
    fresh_target()
    return results


def report(rounds: list[dict[str, dict]], idle_mib: float) -> None:
    def median(key: str, field: str):
        values = [r[key][field] for r in rounds if key in r and r[key].get(field) is not None]
        return statistics.median(values) if values else None

    def ratio(ours: str, theirs: str) -> float:
        pairs = [r for r in rounds if theirs in r]
        return statistics.median(r[theirs]["seconds"] / r[ours]["seconds"] for r in pairs)

    titles = {
        "a": "(a) copy of a 2 GiB mixed image written without holes",
        "b": "(b) copy of an 8 GiB sparse image holding 256 MiB of data",
        "z": f"(a) compressed with zstd -3 ({MIXED_ZST.stat().st_size / MiB:.0f} MiB),"
        " decompressed",
    }
    print(f"\nmedians of {len(rounds)} rounds ({', '.join(sorted(ONCE))}: first round only)")
    print(f"peak memory of the interpreter alone: {idle_mib:.1f} MiB")
    group = None
    for key, label, key_group, size, _ in MEASUREMENTS:
        if not label:
            continue
        if key_group != group:
            group = key_group
            print(f"\n{titles[group]}")
            columns = ("wall s", "GB/s", "CPU s", "allocated", "peak")
            print(f"  {'':<26} {columns[0]:>8} {columns[1]:>7} {columns[2]:>7}", end="")
            print(f" {columns[3]:>12} {columns[4]:>10}")
        seconds, cpu = median(key, "seconds"), median(key, "cpu")
        allocated = median(key, "allocated_mib")
        allocated_text = f"{allocated:8.0f} MiB" if allocated is not None else f"{'-':>12}"
        floor = any(r[key].get("peak_floor") for r in rounds if key in r)
        peak = f"{median(key, 'peak_mib'):6.1f} MiB" + ("*" if floor else "")
        print(
            f"  {label:<26} {seconds:8.3f} {size / seconds / 1e9:7.2f} {cpu:7.3f}"
            f" {allocated_text} {peak:>10}"
        )
    print("  * at most: an outside tool's peak cannot be read below its launcher's own")

    def aim(text: str, value: float, goal: float | None = None) -> None:
        verdict = ""
        if goal is not None:
            verdict = f"(aim >= {goal}x: {'met' if value >= goal else 'MISSED'})"
        print(f"  {text:<52} {value:6.2f}x {verdict}")

    print("\nspeed ratios (median of the per-round ratios, wall time)")
    aim("copy (a) vs cp --sparse=always", ratio("copy_a", "cp_a"), 1.3)
    aim("copy (a) vs shutil.copyfile", ratio("copy_a", "shutil_a"))
    aim("copy (b) vs cp --sparse=always", ratio("copy_b", "cp_b"), 1.0)
    aim("copy (b) vs shutil.copyfile", ratio("copy_b", "shutil_b"))
    aim("decompression vs zstd -d --sparse", ratio("unzstd", "zstd_sparse"), 1.1)
    aim("decompression vs zstd -d -c > /dev/null", ratio("unzstd", "zstd_null"))

    def beside(key: str) -> float:
        return statistics.median(r[key]["seconds"] / r[key]["contended"] for r in rounds)

    def share(key: str, wall: str, cpu: str) -> str:
        return f"{statistics.median(r[key][cpu] / r[key][wall] for r in rounds):4.0%}"

    print("\nbeside a CPU-bound Python thread, speed relative to the same call alone")
    aim("copy (a)", beside("contended_copy"), 0.8)
    aim("decompression", beside("contended_unzstd"), 0.8)
    # How much of a CPU the calling thread got: what the scheduler gives, not a lock.
    for key, label in (("contended_copy", "copy (a)"), ("contended_unzstd", "decompression")):
        alone = share(key, "seconds", "cpu")
        spinning = share(key, "contended", "contended_cpu")
        print(f"  {label}: CPU time per wall second {alone} alone, {spinning} beside it")
    # What the machine's load leaves to the same work done without any interpreter lock.
    aim("reference: cp (a) in a child process", beside("contended_cp"))
    aim("reference: zstd -d --sparse in a child process", beside("contended_zstd"))


def main() -> None:
    if len(sys.argv) > 1 and sys.argv[1] == "--child":
        child_main(*sys.argv[2:5])
        return
    if len(sys.argv) > 1 and sys.argv[1] == "--make":
        make_images()
        return
    parser = argparse.ArgumentParser()
    parser.add_argument("--rounds", type=int, default=5)
    parser.add_argument("--keep", action="store_true", help="keep the images in build/bench")
    arguments = parser.parse_args()
    for program in ("cp", "zstd"):
        if shutil.which(program) is None:
            raise SystemExit(f"{program} is needed for the comparison")

    TARGET.parent.mkdir(parents=True, exist_ok=True)
    subprocess.run([sys.executable, __file__, "--make"], check=True)
    for path in (MIXED, MIXED_ZST, SPARSE):
        warm(path)
    idle = run_child("idle")["peak_mib"]
    rounds = []
    for index in range(arguments.rounds):
        print(f"round {index + 1} of {arguments.rounds}", flush=True)
        rounds.append(one_round(first=index == 0, reverse=index % 2 == 1))
    report(rounds, idle)
    if not arguments.keep:
        for path in (MIXED, MIXED_ZST, SPARSE):
            path.unlink()


if __name__ == "__main__":
    main()
