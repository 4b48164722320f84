"""Sparse copy and sparse zstd decompression against the tools users would otherwise pick.

    tools/dev bench disk [--rounds N] [--scale N] [--keep] [--json FILE]

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
unless --keep is given. --scale N divides every image size by N, for a quick look (the page
cache then holds a larger share of the work, so the figures lean optimistic). --json writes the
same figures for benchmarks/report.py.
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
TARGET = BENCH / "out" / "target"


# --- the images (made in a child, so this process stays small: see peak memory below) ----------


class Images:
    """(a) a mixed image written without holes, its zstd archive, and (b) a sparse image; the
    sizes are the full benchmark's divided by `scale`."""

    def __init__(self, scale: int) -> None:
        self.scale = scale
        self.mixed_size = 2 * GiB // scale
        self.sparse_size = 8 * GiB // scale
        self.sparse_data = 256 * MiB // scale
        self.mixed = BENCH / f"mixed-{self.mixed_size // MiB}M.img"
        self.mixed_zst = self.mixed.with_suffix(".img.zst")
        self.sparse = BENCH / f"sparse-{self.sparse_size // MiB}M.img"

    def all(self) -> tuple[Path, Path, Path]:
        return self.mixed, self.mixed_zst, self.sparse


def make_images(images: Images) -> None:
    import random

    if not images.mixed.exists():
        print("making", images.mixed, flush=True)
        rng = random.Random(2026)
        pool = rng.randbytes(64 * MiB)
        chunks = images.mixed_size // MiB
        data_chunks = set(rng.sample(range(chunks), chunks * 2 // 5))
        partial = images.mixed.with_suffix(".partial")
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
        partial.rename(images.mixed)
    if not images.mixed_zst.exists():
        print("compressing", images.mixed, flush=True)
        partial = images.mixed_zst.with_suffix(".partial")
        subprocess.run(["zstd", "-3", "-q", "-f", str(images.mixed), "-o", str(partial)],
                       check=True)
        partial.rename(images.mixed_zst)
    if not images.sparse.exists():
        print("making", images.sparse, flush=True)
        rng = random.Random(8)
        pool = rng.randbytes(64 * MiB)
        extent = 4 * MiB
        partial = images.sparse.with_suffix(".partial")
        with open(partial, "wb") as file:
            slots = images.sparse_size // extent
            for slot in rng.sample(range(slots), images.sparse_data // extent):
                start = rng.randrange(0, len(pool) - extent)
                file.seek(slot * extent)
                file.write(pool[start : start + extent])
            file.truncate(images.sparse_size)
        partial.rename(images.sparse)


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

def measurements(images: Images) -> list[tuple]:
    """key, label, role, group, logical size, action; the role is what the report's charts mark:
    "native" (this module), "peer" (a tool users would otherwise pick) or "limit" (decoding
    alone, no writing). Measurements without a label are the ones beside a spinning thread."""
    mixed, mixed_zst, sparse = images.all()

    def cp(source: Path) -> dict:
        return run_tool(["cp", "--sparse=always", str(source), str(TARGET)])

    def unzstd(arguments: list, stdout_path: str | None = None) -> dict:
        command = ["zstd", "-d", "-q", "-f", str(mixed_zst), *map(str, arguments)]
        if stdout_path is None:
            return run_tool(command)
        with open(stdout_path, "wb") as stdout:
            return run_tool(command, stdout)

    a, b = images.mixed_size, images.sparse_size
    return [
        ("copy_a", "native copy", "native", "a", a, lambda: run_child("copy", mixed)),
        ("cp_a", "cp --sparse=always", "peer", "a", a, lambda: cp(mixed)),
        ("shutil_a", "shutil.copyfile", "peer", "a", a, lambda: run_child("shutil", mixed)),
        ("copy_b", "native copy", "native", "b", b, lambda: run_child("copy", sparse)),
        ("cp_b", "cp --sparse=always", "peer", "b", b, lambda: cp(sparse)),
        ("shutil_b", "shutil.copyfile", "peer", "b", b, lambda: run_child("shutil", sparse)),
        ("unzstd", "native decompression", "native", "z", a,
         lambda: run_child("decompress", mixed_zst)),
        ("zstd_sparse", "zstd -d --sparse", "peer", "z", a,
         lambda: unzstd(["--sparse", "-o", TARGET])),
        ("zstd_null", "zstd -d -c > /dev/null", "limit", "z", a,
         lambda: unzstd(["-c"], os.devnull)),
        ("contended_copy", "", "", "", 0, lambda: run_child("contended-copy", mixed)),
        ("contended_unzstd", "", "", "", 0, lambda: run_child("contended-decompress", mixed_zst)),
        ("contended_cp", "", "", "", 0, lambda: run_child("contended-cp", mixed)),
        ("contended_zstd", "", "", "", 0, lambda: run_child("contended-zstd", mixed_zst)),
    ]


# shutil writes all of (b), tens of seconds: one round is enough to place it.
ONCE = {"shutil_b"}
# What each group's speed ratios are taken against.
BASELINES = {"a": "cp_a", "b": "cp_b", "z": "zstd_sparse"}


def one_round(table: list[tuple], first: bool, reverse: bool) -> dict[str, dict]:
    """Every other round runs the measurements in reverse order: what one measurement leaves
    behind (the previous target's freed blocks, writeback) then weighs on each side alike."""
    results = {}
    plain = [m for m in table if m[1]]
    order = (plain[::-1] if reverse else plain) + [m for m in table if not m[1]]
    for key, _, _, _, _, action in order:
        if key in ONCE and not first:
            continue
        fresh_target()
        result = action()
        result["allocated_mib"] = TARGET.stat().st_blocks * 512 / MiB if TARGET.exists() else None
        results[key] = result
    fresh_target()
    return results


def summary(images: Images, table: list[tuple], rounds: list[dict[str, dict]],
            idle_mib: float) -> dict:
    """The medians over the rounds, and the ratios taken within each round, as plain data."""

    def median(key: str, field: str):
        values = [r[key][field] for r in rounds if key in r and r[key].get(field) is not None]
        return statistics.median(values) if values else None

    def ratio(ours: str, theirs: str) -> float:
        pairs = [r for r in rounds if ours in r and theirs in r]
        return statistics.median(r[theirs]["seconds"] / r[ours]["seconds"] for r in pairs)

    titles = {
        "a": f"(a) copy of a {images.mixed_size / GiB:g} GiB mixed image written without holes",
        "b": f"(b) copy of a sparse {images.sparse_size / GiB:g} GiB image holding"
        f" {images.sparse_data // MiB} MiB of data",
        "z": f"(a) compressed with zstd -3 ({images.mixed_zst.stat().st_size / MiB:.0f} MiB),"
        " decompressed",
    }
    groups = {}
    for key, label, role, group, size, _ in table:
        if not label:
            continue
        seconds = median(key, "seconds")
        groups.setdefault(group, {"key": group, "title": titles[group],
                                  "baseline": BASELINES[group], "rows": []})
        groups[group]["rows"].append({
            "key": key, "label": label, "role": role, "rounds": sum(key in r for r in rounds),
            "seconds": seconds, "gb_per_s": size / seconds / 1e9, "cpu": median(key, "cpu"),
            "allocated_mib": median(key, "allocated_mib"), "peak_mib": median(key, "peak_mib"),
            "peak_at_most": any(r[key].get("peak_floor") for r in rounds if key in r),
            "speed_vs_baseline": ratio(key, BASELINES[group]),
        })

    def aim(text: str, value: float, goal: float | None = None) -> dict:
        return {"text": text, "value": value, "aim": goal}

    def beside(text: str, key: str, goal: float | None = None) -> dict:
        """Speed beside a CPU-bound Python thread relative to the same call alone; for the native
        calls also how much of a CPU the calling thread got (what the scheduler gives, not a
        lock). The child-process references show what the machine's load leaves to the same work
        done without any interpreter lock."""
        entry = aim(text, statistics.median(r[key]["seconds"] / r[key]["contended"]
                                            for r in rounds), goal)
        if goal is not None:
            entry["cpu_alone"] = statistics.median(r[key]["cpu"] / r[key]["seconds"]
                                                   for r in rounds)
            entry["cpu_beside"] = statistics.median(r[key]["contended_cpu"] / r[key]["contended"]
                                                    for r in rounds)
        return entry

    return {
        "benchmark": "disk",
        "rounds": len(rounds),
        "scale": images.scale,
        "idle_peak_mib": idle_mib,
        "images": {"mixed_mib": images.mixed_size / MiB, "sparse_mib": images.sparse_size / MiB,
                   "sparse_data_mib": images.sparse_data / MiB,
                   "archive_mib": images.mixed_zst.stat().st_size / MiB},
        "groups": list(groups.values()),
        "ratios": [
            aim("copy (a) vs cp --sparse=always", ratio("copy_a", "cp_a"), 1.3),
            aim("copy (a) vs shutil.copyfile", ratio("copy_a", "shutil_a")),
            aim("copy (b) vs cp --sparse=always", ratio("copy_b", "cp_b"), 1.0),
            aim("copy (b) vs shutil.copyfile", ratio("copy_b", "shutil_b")),
            aim("decompression vs zstd -d --sparse", ratio("unzstd", "zstd_sparse"), 1.1),
            aim("decompression vs zstd -d -c > /dev/null", ratio("unzstd", "zstd_null")),
        ],
        "beside_spinner": [
            beside("native copy (a)", "contended_copy", 0.8),
            beside("native decompression", "contended_unzstd", 0.8),
            beside("reference: cp (a) in a child process", "contended_cp"),
            beside("reference: zstd -d --sparse in a child process", "contended_zstd"),
        ],
    }


def verdict(entry: dict) -> str:
    if entry["aim"] is None:
        return ""
    return f"(aim >= {entry['aim']}x: {'met' if entry['value'] >= entry['aim'] else 'MISSED'})"


def report(result: dict) -> None:
    print(f"\nmedians of {result['rounds']} rounds ({', '.join(sorted(ONCE))}: first round only)")
    print(f"peak memory of the interpreter alone: {result['idle_peak_mib']:.1f} MiB")
    for group in result["groups"]:
        print(f"\n{group['title']}")
        columns = ("wall s", "GB/s", "CPU s", "allocated", "peak")
        print(f"  {'':<26} {columns[0]:>8} {columns[1]:>7} {columns[2]:>7}", end="")
        print(f" {columns[3]:>12} {columns[4]:>10}")
        for row in group["rows"]:
            allocated = row["allocated_mib"]
            allocated_text = f"{allocated:8.0f} MiB" if allocated is not None else f"{'-':>12}"
            peak = f"{row['peak_mib']:6.1f} MiB" + ("*" if row["peak_at_most"] else "")
            print(f"  {row['label']:<26} {row['seconds']:8.3f} {row['gb_per_s']:7.2f}"
                  f" {row['cpu']:7.3f} {allocated_text} {peak:>10}")
    print("  * at most: an outside tool's peak cannot be read below its launcher's own")

    print("\nspeed ratios (median of the per-round ratios, wall time)")
    for entry in result["ratios"]:
        print(f"  {entry['text']:<52} {entry['value']:6.2f}x {verdict(entry)}")
    print("\nbeside a CPU-bound Python thread, speed relative to the same call alone")
    for entry in result["beside_spinner"]:
        print(f"  {entry['text']:<52} {entry['value']:6.2f}x {verdict(entry)}")
    for entry in result["beside_spinner"]:
        if "cpu_alone" in entry:
            print(f"  {entry['text']}: CPU time per wall second {entry['cpu_alone']:4.0%} alone,"
                  f" {entry['cpu_beside']:4.0%} beside it")


def main() -> None:
    if len(sys.argv) > 1 and sys.argv[1] == "--child":
        child_main(*sys.argv[2:5])
        return
    if len(sys.argv) > 1 and sys.argv[1] == "--make":
        make_images(Images(int(sys.argv[2])))
        return
    parser = argparse.ArgumentParser()
    parser.add_argument("--rounds", type=int, default=5)
    parser.add_argument("--scale", type=int, default=1, help="divide every image size by N")
    parser.add_argument("--keep", action="store_true", help="keep the images in build/bench")
    parser.add_argument("--json", type=Path, help="also write the figures to this file")
    arguments = parser.parse_args()
    for program in ("cp", "zstd"):
        if shutil.which(program) is None:
            raise SystemExit(f"{program} is needed for the comparison")

    images = Images(arguments.scale)
    table = measurements(images)
    TARGET.parent.mkdir(parents=True, exist_ok=True)
    subprocess.run([sys.executable, __file__, "--make", str(arguments.scale)], check=True)
    for path in images.all():
        warm(path)
    idle = run_child("idle")["peak_mib"]
    rounds = []
    for index in range(arguments.rounds):
        print(f"round {index + 1} of {arguments.rounds}", flush=True)
        rounds.append(one_round(table, first=index == 0, reverse=index % 2 == 1))
    result = summary(images, table, rounds, idle)
    report(result)
    if arguments.json:
        arguments.json.write_text(json.dumps(result, indent=1) + "\n")
    if not arguments.keep:
        for path in images.all():
            path.unlink()


if __name__ == "__main__":
    main()
