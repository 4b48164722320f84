"""Real files with real holes for the disk helper tests, and ways to look at them."""

import contextlib
import ctypes
import errno
import os
import struct
import subprocess
from collections.abc import Iterable, Iterator
from pathlib import Path

BLOCK = 4096
MiB = 1 << 20


def data_ranges(path: os.PathLike | str) -> list[tuple[int, int]]:
    """The ranges the file system reports as data (SEEK_DATA / SEEK_HOLE), as [start, end)."""
    ranges = []
    fd = os.open(path, os.O_RDONLY)
    try:
        size = os.fstat(fd).st_size
        position = 0
        while position < size:
            try:
                start = os.lseek(fd, position, os.SEEK_DATA)
            except OSError as error:
                if error.errno == errno.ENXIO:
                    break
                raise
            end = os.lseek(fd, start, os.SEEK_HOLE)
            ranges.append((start, end))
            position = end
    finally:
        os.close(fd)
    return ranges


def allocated(path: os.PathLike | str) -> int:
    return os.stat(path).st_blocks * 512


def written_blocks(extents: Iterable[tuple[int, int]], size: int) -> list[tuple[int, int]]:
    """The data ranges a file of `size` bytes should report when exactly `extents` were written:
    every block they touch, merged, and cut at the end of the file."""
    merged: list[tuple[int, int]] = []
    for start, end in sorted(extents):
        if start == end:
            continue
        start = start // BLOCK * BLOCK
        end = min(-(-end // BLOCK) * BLOCK, size)
        if merged and start <= merged[-1][1]:
            merged[-1] = (merged[-1][0], max(end, merged[-1][1]))
        else:
            merged.append((start, end))
    return merged


def nonzero_chunks(content: bytes, chunk: int) -> list[tuple[int, int]]:
    """The chunks of `content` that hold a non-zero byte: what a chunked sparse copy writes."""
    return [
        (start, min(start + chunk, len(content)))
        for start in range(0, len(content), chunk)
        if content[start : start + chunk].strip(b"\0")
    ]


def make_file(
    path: Path, size: int, extents: Iterable[tuple[int, bytes]], *, sparse: bool
) -> bytes:
    """A file of `size` bytes holding each (offset, data). Elsewhere it is a hole when `sparse`,
    otherwise written zero bytes. Returns the content."""
    content = bytearray(size)
    for offset, data in extents:
        content[offset : offset + len(data)] = data
    with open(path, "wb") as file:
        if sparse:
            for offset, data in extents:
                file.seek(offset)
                file.write(data)
            file.truncate(size)
        else:
            file.write(content)
    return bytes(content)


def random_bytes(count: int, seed: int) -> bytes:
    """Deterministic bytes with no zero runs longer than a few bytes."""
    import random

    return random.Random(seed).randbytes(count)


@contextlib.contextmanager
def created_names(directory: Path) -> Iterator[list[str]]:
    """Records the names created in `directory` while the block runs (inotify), so a test can
    see temporary files that live only inside one call."""
    libc = ctypes.CDLL(None, use_errno=True)
    in_create = 0x100
    fd = libc.inotify_init1(os.O_CLOEXEC | os.O_NONBLOCK)
    if fd < 0:
        raise OSError(ctypes.get_errno(), "inotify_init1")
    names: list[str] = []
    try:
        if libc.inotify_add_watch(fd, os.fsencode(directory), in_create) < 0:
            raise OSError(ctypes.get_errno(), "inotify_add_watch")
        yield names
        while True:
            try:
                events = os.read(fd, 65536)
            except BlockingIOError:
                break
            offset = 0
            while offset < len(events):
                _, _, _, length = struct.unpack_from("iIII", events, offset)
                raw = events[offset + 16 : offset + 16 + length]
                names.append(raw.rstrip(b"\0").decode())
                offset += 16 + length
    finally:
        os.close(fd)


@contextlib.contextmanager
def small_tmpfs(mount_point: Path, size: str) -> Iterator[Path]:
    """A tmpfs of `size` at `mount_point`, for running out of space; skips where the test may
    not mount (not root, no private mount namespace)."""
    import pytest

    mount_point.mkdir()
    done = subprocess.run(
        ["mount", "-t", "tmpfs", "-o", f"size={size}", "tmpfs", str(mount_point)],
        capture_output=True,
        text=True,
    )
    if done.returncode != 0:
        pytest.skip(f"cannot mount a tmpfs here: {done.stderr.strip()}")
    try:
        yield mount_point
    finally:
        subprocess.run(["umount", str(mount_point)], check=True)


@contextlib.contextmanager
def umask(mask: int) -> Iterator[None]:
    previous = os.umask(mask)
    try:
        yield
    finally:
        os.umask(previous)


def leftovers(directory: Path, keep: Iterable[str]) -> list[str]:
    """Names in `directory` other than `keep`: temporary files a call failed to remove."""
    return sorted(set(os.listdir(directory)) - set(keep))
