"""clone_or_sparse_copy and decompress_zstd_sparse on real files with real holes: content, where
the holes are, modes, temporary files, failures and the interpreter lock."""

import os
import random
import re
import stat
import subprocess
import threading
from compression import zstd

import brindle_core._ffi as ffi
import pytest
from hypothesis import example, given
from hypothesis import strategies as st
from support.checks import assert_releases_gil, check_error, os_text, repeated

MiB, BLOCK = 1 << 20, 4096
SEGMENTS = st.lists(st.tuples(st.booleans(), st.integers(1, 3 * MiB)), max_size=5)


def build(segments) -> bytes:
    """Data and zero runs, in order; data is random bytes (zeros among them)."""
    return b"".join(random.Random(length).randbytes(length) if data else bytes(length)
                    for data, length in segments)


def compress(data: bytes, **parameters) -> bytes:
    """One frame of unknown content size, as a stream compressor writes it."""
    compressor = zstd.ZstdCompressor(
        options={zstd.CompressionParameter[name]: value for name, value in parameters.items()})
    return compressor.compress(data) + compressor.flush()


def data_ranges(path) -> list[tuple[int, int]]:
    """The [start, end) ranges the file system reports as data."""
    ranges, position = [], 0
    with open(path, "rb") as file:
        while position < os.fstat(file.fileno()).st_size:
            try:
                start = os.lseek(file.fileno(), position, os.SEEK_DATA)
            except OSError:  # no data after `position`
                break
            position = os.lseek(file.fileno(), start, os.SEEK_HOLE)
            ranges.append((start, position))
    return ranges


def blocks(ranges, size: int) -> list[tuple[int, int]]:
    """The ranges widened to whole file-system blocks (cut at `size`) and merged."""
    merged: list[tuple[int, int]] = []
    for start, end in sorted(ranges):
        start, end = start // BLOCK * BLOCK, min(-(-end // BLOCK) * BLOCK, size)
        if merged and start <= merged[-1][1]:
            merged[-1] = (merged[-1][0], max(end, merged[-1][1]))
        elif start < end:
            merged.append((start, end))
    return merged


def bytes_read() -> int:
    with open("/proc/self/io") as io:
        return next(int(line.split()[1]) for line in io if line.startswith("rchar:"))


@given(segments=SEGMENTS, holey=st.booleans())
@example(segments=[], holey=False)
@example(segments=[(False, 3 * MiB + 5)], holey=True)
@example(segments=[(False, MiB - 1), (True, 1), (False, MiB + 9)], holey=False)
@example(segments=[(False, MiB), (True, 1), (False, MiB - 1)], holey=True)
@example(segments=[(True, 300_000), (False, 400_001), (True, MiB)], holey=False)
@example(segments=[(True, MiB + 4096), (False, 4 * MiB - 4096), (True, 3 * MiB)], holey=True)
def test_a_copy_has_holes_exactly_where_whole_chunks_are_zero(tmp_path, segments, holey):
    content, source, target = build(segments), tmp_path / "source", tmp_path / "target"
    with open(source, "wb") as file:  # holes in the source too, or zeros written out
        for data, length in segments:
            file.write(build([(data, length)])) if data or not holey else file.seek(length, 1)
        file.truncate()
    read = bytes_read()
    assert ffi.clone_or_sparse_copy(str(source), str(target)) == "sparse"
    read = bytes_read() - read
    assert target.read_bytes() == content
    chunks = [(start, start + MiB) for start in range(0, len(content), MiB)
              if content[start:start + MiB].strip(b"\0")]
    assert data_ranges(target) == blocks(chunks, len(content))
    # Whole chunks inside the source's holes are skipped unread; a short last chunk is read (and
    # reading /proc/self/io costs a little).
    with_data = {c for a, b in data_ranges(source) for c in range(a // MiB * MiB, b, MiB)}
    with_data.add(len(content) // MiB * MiB)
    assert read <= sum(min(MiB, len(content) - c) for c in with_data) + 4096
    assert sorted(os.listdir(tmp_path)) == ["source", "target"]


def skippable(payload: bytes) -> bytes:
    return (0x184D2A5F).to_bytes(4, "little") + len(payload).to_bytes(4, "little") + payload


@given(segments=SEGMENTS, chunk_size=st.sampled_from([512, 4096, 65536, MiB, 16 * MiB]),
       framed=st.booleans())
@example(segments=[(True, 1000), (False, 100_000), (True, 10), (False, 9000)], chunk_size=1,
         framed=False)
@example(segments=[(False, 5 * MiB)], chunk_size=MiB, framed=False)
@example(segments=[(True, 1), (False, 2 * MiB), (True, 1)], chunk_size=4096, framed=True)
@example(segments=[], chunk_size=MiB, framed=True)
def test_decompression_leaves_holes_where_pieces_are_zero(tmp_path, segments, chunk_size, framed):
    content, target = build(segments), tmp_path / "target"
    # One frame, or a frame per segment with skippable and empty frames between (or only one
    # skippable frame).
    (tmp_path / "source").write_bytes(b"".join(
        compress(build([s])) + skippable(b"meta") + compress(b"") for s in segments) or skippable(
        b"") if framed else compress(content))
    assert ffi.decompress_zstd_sparse(str(tmp_path / "source"), str(target), chunk_size) == (
        "sparse")
    assert target.read_bytes() == content
    # A piece is at most chunk_size bytes, and only a piece holding a non-zero byte is written.
    near_data = blocks([(max(0, run.start() - chunk_size + 1), run.end() + chunk_size - 1)
                        for run in re.finditer(rb"[^\0]+", content)], len(content))
    assert all(any(a <= start and end <= b for a, b in near_data)
               for start, end in data_ranges(target))
    assert sorted(os.listdir(tmp_path)) == ["source", "target"]


NUL = "file name contained an unexpected NUL byte"
# (helper, source, target, message, what is left besides source, source.zst, file and dir)
FAILURES = [
    *(("zstd", source, "file", message, []) for source, message in [
        (b"", "incomplete frame"),
        (compress(b"one") + compress(b"two")[:6], "incomplete frame"),
        # A frame whose one compressed block is garbage.
        (bytes.fromhex("28b52ffd0000") + (1 | 2 << 1 | 8 << 3).to_bytes(3, "little") + bytes(8),
         "Data corruption detected"),
        (compress(b"checked" * 100, checksum_flag=1)[:-1] + b"\0",  # its checksum's last byte
         "Restored data doesn't match checksum"),
        (compress(b"x" * 100, window_log=28), "Frame requires too much memory for decoding")]),
    ("copy", "missing", "new/target", os_text(2), []),
    ("zstd", "missing", "new/target", os_text(2), ["new"]),
    ("copy", "dir", "new/target", "source is not a regular file: dir", []),
    ("copy", "a\0b", "new/target", NUL, []),
    ("zstd", "source.zst", "new/t\0", NUL, ["new"]),
    ("copy", "source", "/", "target path has no filename: /", []),
    ("copy", "source", "new/y/..", "target path has no filename: new/y/..", ["new", "new/y"]),
    ("copy", "source", "file/target", os_text(17), []),
    ("copy", "source", "dir", os_text(21), []),
    ("zstd", "source.zst", "dir", os_text(21), []),
    ("zstd", "source.zst", "new/target", "chunk_size must be greater than zero", []),
    ("zstd", "source.zst", "file", os_text(12), []),
    ("zstd", "source.zst", "link", os_text(40), []),  # a link planted at link.tmp
]


@pytest.mark.parametrize(("helper", "source", "target", "message", "left"), FAILURES)
def test_a_failure_leaves_the_target_and_no_temporary_file(tmp_path, monkeypatch, helper,
                                                           source, target, message, left):
    monkeypatch.chdir(tmp_path)
    (tmp_path / "source.zst").write_bytes(source if isinstance(source, bytes) else compress(b"x"))
    (tmp_path / "source").write_bytes(b"content")
    (tmp_path / "file").write_bytes(b"previous image")
    (tmp_path / "dir").mkdir()
    source = "source.zst" if isinstance(source, bytes) else source
    chunk_size = {"chunk_size must be greater than zero": 0, os_text(12): 2**50}.get(message, MiB)

    def fail():
        if target == "link":  # not followed, and removed with the failure
            (tmp_path / "link.tmp").symlink_to(tmp_path / "file")
        check_error((lambda: ffi.clone_or_sparse_copy(source, target)) if helper == "copy" else (
            lambda: ffi.decompress_zstd_sparse(source, target, chunk_size)), OSError, message)
        assert (tmp_path / "file").read_bytes() == b"previous image"
        found = sorted(str(path.relative_to(tmp_path)) for path in tmp_path.rglob("*"))
        assert found == sorted(["source", "source.zst", "file", "dir", *left])
        for made in reversed(left):  # as it was, for the next run
            os.rmdir(tmp_path / made)

    repeated(fail)


@pytest.mark.parametrize("mask", [0o027, 0o000, 0o777])
def test_modes_and_the_umask(tmp_path, monkeypatch, mask):
    monkeypatch.chdir(tmp_path)
    (tmp_path / "source.zst").write_bytes(compress(b"image"))
    (tmp_path / "source").write_bytes(b"image")
    previous = os.umask(mask)
    try:  # the copy takes the source's mode, set-user-ID and all, whatever the umask
        for mode in (0o4755, 0o2710, 0o1777, 0o7777, 0o400):
            os.chmod("source", mode)
            ffi.clone_or_sparse_copy("source", "a//b/copy.img")
            assert stat.S_IMODE(os.stat("a/b/copy.img").st_mode) == mode
        # New directories 0o777 and the unpacked file 0o666, less the umask.
        repeated(lambda: ffi.decompress_zstd_sparse("source.zst", "c/d/unpacked.img"))
    finally:
        os.umask(previous)
    for directory in ("a", "a/b", "c", "c/d"):
        assert stat.S_IMODE(os.stat(directory).st_mode) == 0o777 & ~mask
    assert stat.S_IMODE(os.stat("c/d/unpacked.img").st_mode) == 0o666 & ~mask
    assert (tmp_path / "a/b/copy.img").read_bytes() == (tmp_path / "c/d/unpacked.img").read_bytes()
    os.symlink("copy.img", "a/b/link")  # a copy onto its own source
    repeated(lambda: ffi.clone_or_sparse_copy("a/b/link", "a/b/copy.img"))
    assert (tmp_path / "a/b/copy.img").read_bytes() == b"image" and os.path.islink("a/b/link")


@pytest.mark.parametrize("helper", [ffi.clone_or_sparse_copy, ffi.decompress_zstd_sparse])
def test_a_full_disk_keeps_the_previous_target(tmp_path, helper):
    content, small = build([(True, 4 * MiB)]), tmp_path / "small"
    (tmp_path / "source").write_bytes(content if helper is ffi.clone_or_sparse_copy else
                                      compress(content))
    small.mkdir()
    subprocess.run(["mount", "-t", "tmpfs", "-o", "size=1m", "tmpfs", str(small)], check=True)
    try:
        (small / "target").write_bytes(b"previous image")
        check_error(lambda: helper(str(tmp_path / "source"), str(small / "target")), OSError,
                    os_text(28))
        assert (small / "target").read_bytes() == b"previous image"
        assert os.listdir(small) == ["target"]
    finally:
        subprocess.run(["umount", str(small)], check=True)


def test_disk_calls_run_without_the_interpreter_lock(tmp_path):
    # The copy's temporary file exists only inside the call: seen from this thread, the call
    # had let the interpreter lock go.
    (tmp_path / "source").write_bytes(b"\1" * (256 * MiB))
    seen = []
    worker = threading.Thread(target=ffi.clone_or_sparse_copy,
                              args=(str(tmp_path / "source"), str(tmp_path / "target")))
    worker.start()
    while worker.is_alive() and not seen:
        seen = [name for name in os.listdir(tmp_path) if ".tmp-" in name]
    worker.join()
    assert seen and (tmp_path / "target").stat().st_size == 256 * MiB
    # The decompression reads a pipe that only this thread writes.
    content = build([(True, MiB), (False, 4 * MiB)])
    os.mkfifo(tmp_path / "pipe")

    def release():
        with open(tmp_path / "pipe", "wb") as pipe:  # the call holds the reading end open
            pipe.write(compress(content))

    assert_releases_gil(
        lambda: ffi.decompress_zstd_sparse(str(tmp_path / "pipe"), str(tmp_path / "unpacked")),
        release, "sparse")
    assert (tmp_path / "unpacked").read_bytes() == content
