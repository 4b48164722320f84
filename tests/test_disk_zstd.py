"""decompress_zstd_sparse on real files: pieces and holes, frames, failures, clean-up."""

import os
import stat
import subprocess
import threading
import time
from compression import zstd

import pytest
from conftest import require_program
from support.disk_files import MiB, check_written, opened_names, only_error, random_bytes, umask
from support.disk_zstd import CORRUPT_FRAME, nonzero_pieces, skippable_frame


def compress(data: bytes, level: int = 3, **parameters: int) -> bytes:
    """One frame of unknown content size, as a stream compressor writes it."""
    options = {zstd.CompressionParameter.compression_level: level}
    options |= {zstd.CompressionParameter[name]: value for name, value in parameters.items()}
    compressor = zstd.ZstdCompressor(options=options)
    return compressor.compress(data) + compressor.flush()


@pytest.fixture
def run(ffi, tmp_path):
    """Decompresses `compressed`, written as tmp_path/source.zst, to tmp_path/`target`."""

    def run(compressed: bytes, target: str = "target", **kwargs) -> str:
        (tmp_path / "source.zst").write_bytes(compressed)
        source = str(tmp_path / "source.zst")
        return ffi.decompress_zstd_sparse(source, str(tmp_path / target), **kwargs)

    return run


IMAGE = b"".join(
    [
        random_bytes(300_000, 1),
        bytes(5 * MiB),
        random_bytes(10, 2),
        bytes(3000),  # a short zero run inside data
        random_bytes(70_000, 3),
        bytes(2 * MiB + 17),
        b"tail" + bytes(1000) + b"end",
        bytes(3 * MiB),  # trailing zeros: the length comes from the final truncation
    ]
)


@pytest.mark.parametrize("chunk_size", [1, 4096, MiB, 16 * MiB])
def test_holes_exactly_where_whole_pieces_are_zero(run, tmp_path, chunk_size):
    # Small pieces are checked on a small image: one byte per piece is slow.
    content = IMAGE[: 400_000] if chunk_size == 1 else IMAGE
    compressed = compress(content)
    assert run(compressed, chunk_size=chunk_size) == "sparse"
    # An independent model of the pieces, driving libzstd with the same calls.
    model, written = nonzero_pieces(compressed, chunk_size)
    assert (tmp_path / "target").read_bytes() == model == content
    check_written(tmp_path / "target", written)
    assert sorted(os.listdir(tmp_path)) == ["source.zst", "target"]


@pytest.mark.parametrize(
    "frames",
    [
        [bytes(3 * MiB + 5)],  # all zero: nothing written, full length
        [b"first frame", b"", b"third frame"],
        [b"\0" * MiB, skippable_frame(b"meta"), b"x", skippable_frame(b"", 15)],
        [skippable_frame(b"only metadata")],
    ],
)
def test_frames_decode_in_sequence(run, tmp_path, frames):
    def encoded(frame: bytes) -> bytes:
        is_skippable = frame[:4] in {skippable_frame(b"", n)[:4] for n in range(16)}
        return frame if is_skippable else compress(frame)

    run(b"".join(map(encoded, frames)))
    expected = b"".join(frame for frame in frames if encoded(frame) != frame)
    assert (tmp_path / "target").read_bytes() == expected
    if not expected.strip(b"\0"):
        check_written(tmp_path / "target", [])


def test_output_of_the_zstd_command(run, tmp_path):
    program = require_program("zstd")
    (tmp_path / "image").write_bytes(IMAGE)
    command = [program, "-3", "-q", "-c", str(tmp_path / "image")]
    first = subprocess.run(command, capture_output=True, check=True).stdout
    second = subprocess.run(command[:-1], input=b"more", capture_output=True, check=True).stdout
    run(first + second)
    assert (tmp_path / "target").read_bytes() == IMAGE + b"more"


def broken_checksum() -> bytes:
    frame = bytearray(compress(b"checked content" * 100, checksum_flag=1))
    frame[-1] ^= 0xFF
    return bytes(frame)


FAILURES = {
    "empty source": (b"", "incomplete frame"),
    "frame cut short": (compress(random_bytes(300_000, 4))[:-3], "incomplete frame"),
    "second frame cut short": (compress(b"one") + compress(b"two")[:6], "incomplete frame"),
    "not zstd": (b"GIF89a not compressed", "Unknown frame descriptor"),
    "garbage after a frame": (compress(b"one") + b"trailing bytes", "Unknown frame descriptor"),
    "corrupt block": (CORRUPT_FRAME, "Data corruption detected"),
    "checksum mismatch": (broken_checksum(), "Restored data doesn't match checksum"),
    "window above the limit": (
        compress(b"x" * 100, window_log=28),
        "Frame requires too much memory for decoding",
    ),
}


@pytest.mark.parametrize("source, message", FAILURES.values(), ids=FAILURES.keys())
def test_failure_keeps_the_target_and_leaves_no_temporary_file(run, tmp_path, source, message):
    (tmp_path / "target").write_bytes(b"previous image")
    with pytest.raises(OSError) as caught:
        run(source)
    assert only_error(caught.value) == message
    assert (tmp_path / "target").read_bytes() == b"previous image"
    assert sorted(os.listdir(tmp_path)) == ["source.zst", "target"]


@pytest.mark.parametrize(
    "chunk_size, message",
    [(0, "chunk_size must be greater than zero"), (2**50, "Cannot allocate memory (os error 12)")],
)
def test_unusable_chunk_size(ffi, tmp_path, chunk_size, message):
    (tmp_path / "source.zst").write_bytes(compress(b"data"))
    (tmp_path / "target").write_bytes(b"previous image")
    with pytest.raises(OSError) as caught:
        source, target = str(tmp_path / "source.zst"), str(tmp_path / "target")
        ffi.decompress_zstd_sparse(source, target, chunk_size)
    assert only_error(caught.value) == message
    assert (tmp_path / "target").read_bytes() == b"previous image"
    assert sorted(os.listdir(tmp_path)) == ["source.zst", "target"]


@pytest.mark.parametrize("mask", [0o022, 0o077])
def test_mode_is_0o666_less_the_umask_and_name_fixed(run, tmp_path, mask):
    (tmp_path / "images").mkdir()
    (tmp_path / "images" / "disk.img.tmp").write_bytes(b"stale, reused" * 1000)
    with umask(mask), opened_names(tmp_path / "images") as names:
        run(compress(b"data"), target="images/disk.img")
        run(compress(b"deep"), target="a/b/disk.img")
    # A file left at the temporary name is truncated and reused, mode and all.
    assert names == ["disk.img.tmp"]
    assert os.listdir(tmp_path / "images") == ["disk.img"]
    assert (tmp_path / "images" / "disk.img").read_bytes() == b"data"
    assert stat.S_IMODE(os.stat(tmp_path / "a" / "b" / "disk.img").st_mode) == 0o666 & ~mask
    assert stat.S_IMODE(os.stat(tmp_path / "a" / "b").st_mode) == 0o777 & ~mask


def test_planted_link_at_the_temporary_name_is_not_followed(run, tmp_path):
    # Anyone who can write the target's directory knows the temporary name in advance.
    (tmp_path / "victim").write_bytes(b"precious")
    (tmp_path / "target.tmp").symlink_to(tmp_path / "victim")
    (tmp_path / "target").write_bytes(b"previous image")
    with pytest.raises(OSError) as caught:
        run(compress(b"attacker-chosen content"))
    assert only_error(caught.value) == "Too many levels of symbolic links (os error 40)"
    assert (tmp_path / "victim").read_bytes() == b"precious"
    assert (tmp_path / "target").read_bytes() == b"previous image"
    assert not os.path.lexists(tmp_path / "target.tmp")


NUL = "file name contained an unexpected NUL byte"


@pytest.mark.parametrize(
    "source, target, message, created",
    [
        # Unlike the copy, the source is first used after the parent was made.
        ("missing", "new/target", "No such file or directory (os error 2)", ["new"]),
        ("a\0b", "new/target", NUL, ["new"]),
        ("source.zst", "x\0y/target", NUL, []),
        ("source.zst", "new/t\0", NUL, ["new"]),
        ("new", "target", "Is a directory (os error 21)", ["new"]),
    ],
)
def test_path_failures(ffi, tmp_path, monkeypatch, source, target, message, created):
    monkeypatch.chdir(tmp_path)
    (tmp_path / "source.zst").write_bytes(compress(b"data"))
    if source == "new":
        (tmp_path / "new").mkdir()
    with pytest.raises(OSError) as caught:
        ffi.decompress_zstd_sparse(source, target)
    assert only_error(caught.value) == message
    found = sorted(str(path.relative_to(tmp_path)) for path in tmp_path.rglob("*"))
    assert found == sorted(["source.zst", *created])


def test_streams_from_a_pipe_without_the_interpreter_lock(ffi, tmp_path):
    # The call blocks reading the pipe: this thread can feed it only if the call released the
    # interpreter lock, and it sees the temporary file while the call is still going.
    content = random_bytes(MiB, 5) + bytes(4 * MiB)
    compressed = compress(content)
    os.mkfifo(tmp_path / "pipe")
    outcome = []
    worker = threading.Thread(
        target=lambda: outcome.append(
            ffi.decompress_zstd_sparse(str(tmp_path / "pipe"), str(tmp_path / "target"))
        )
    )
    worker.start()
    with open(tmp_path / "pipe", "wb") as pipe:
        pipe.write(compressed[:1000])
        pipe.flush()
        deadline = time.monotonic() + 60
        while not (tmp_path / "target.tmp").exists() and time.monotonic() < deadline:
            time.sleep(0.01)
        assert (tmp_path / "target.tmp").exists()
        pipe.write(compressed[1000:])
    worker.join()
    assert outcome == ["sparse"]
    assert (tmp_path / "target").read_bytes() == content
