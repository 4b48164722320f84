"""Real files with real holes for the disk helper tests, and ways to look at them."""

import contextlib
import ctypes
import errno
import os
import random
import struct
import subprocess
from collections.abc import Iterable, Iterator
from pathlib import Path

import pytest

BLOCK = 4096
MiB = 1 << 20


def data_ranges(path: Path) -> list[tuple[int, int]]:
    """The [start, end) ranges the file system reports as data (SEEK_DATA / SEEK_HOLE)."""
    ranges = []
    fd = os.open(path, os.O_RDONLY)
    try:
        position, size = 0, os.fstat(fd).st_size
        while position < size:
            try:
                start = os.lseek(fd, position, os.SEEK_DATA)
            except OSError as error:
                if error.errno == errno.ENXIO:
                    break
                raise
            position = os.lseek(fd, start, os.SEEK_HOLE)
            ranges.append((start, position))
    finally:
        os.close(fd)
    return ranges


def check_written(path: Path, extents: Iterable[tuple[int, int]]) -> None:
    """Checks that exactly the blocks touched by `extents` hold data, and nothing else was
    allocated (beyond a few blocks of file-system metadata)."""
    size = os.stat(path).st_size
    expected: list[tuple[int, int]] = []
    for start, end in sorted(extents):
        start, end = start // BLOCK * BLOCK, min(-(-end // BLOCK) * BLOCK, size)
        if expected and start <= expected[-1][1]:
            expected[-1] = (expected[-1][0], end)
        else:
            expected.append((start, end))
    assert data_ranges(path) == expected
    data = sum(end - start for start, end in expected)
    assert data <= os.stat(path).st_blocks * 512 <= data + 16 * BLOCK


def make_file(path: Path, size: int, extents: Iterable[tuple[int, bytes]], sparse: bool) -> bytes:
    """A file of `size` bytes holding each (offset, data); elsewhere holes when `sparse`, written
    zero bytes otherwise. Returns the content."""
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
    return random.Random(seed).randbytes(count)


@contextlib.contextmanager
def opened_names(directory: Path) -> Iterator[list[str]]:
    """The names opened or created in `directory` while the block runs, each once (inotify):
    temporary files live only inside one call."""
    libc = ctypes.CDLL(None, use_errno=True)
    fd = libc.inotify_init1(os.O_CLOEXEC | os.O_NONBLOCK)
    names: list[str] = []
    try:
        assert libc.inotify_add_watch(fd, os.fsencode(directory), 0x120) >= 0  # IN_CREATE|IN_OPEN
        yield names
        with contextlib.suppress(BlockingIOError):
            while events := os.read(fd, 65536):
                offset = 0
                while offset < len(events):
                    length = struct.unpack_from("iIII", events, offset)[3]
                    name = events[offset + 16 : offset + 16 + length].rstrip(b"\0").decode()
                    if name not in names:
                        names.append(name)
                    offset += 16 + length
    finally:
        os.close(fd)


@contextlib.contextmanager
def small_tmpfs(mount_point: Path, size: str) -> Iterator[Path]:
    """A tmpfs of `size`, to run out of space on; skips where mounting is refused."""
    mount_point.mkdir()
    command = ["mount", "-t", "tmpfs", "-o", f"size={size}", "tmpfs", str(mount_point)]
    done = subprocess.run(command, capture_output=True, text=True)
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


def only_error(error: OSError) -> str:
    """The message of an OSError raised with the message alone (never a subclass, no errno)."""
    assert type(error) is OSError and error.errno is None
    return str(error)
