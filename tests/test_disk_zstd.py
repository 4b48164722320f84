"""decompress_zstd_sparse on real files: pieces and holes, frames, failures, clean-up."""

import os
import stat
import subprocess
import threading
import time
from compression import zstd

import pytest
from conftest import open_descriptor_count, require_program
from support.disk_files import (
    MiB,
    allocated,
    created_names,
    data_ranges,
    leftovers,
    random_bytes,
    small_tmpfs,
    umask,
    written_blocks,
)
from support.disk_zstd import CORRUPT_FRAME, nonzero_pieces, pieces, skippable_frame

NUL = "file name contained an unexpected NUL byte"


def compress(data: bytes, level: int = 3, **parameters: int) -> bytes:
    """One frame of unknown content size, as a stream compressor writes it."""
    options = {zstd.CompressionParameter.compression_level: level}
    options |= {zstd.CompressionParameter[name]: value for name, value in parameters.items()}
    compressor = zstd.ZstdCompressor(options=options)
    return compressor.compress(data) + compressor.flush()


def image() -> bytes:
    """Data, long zero runs, short and unaligned zero runs inside data, and a zero tail."""
    parts = [
        random_bytes(300_000, 1),
        bytes(5 * MiB),
        random_bytes(10, 2),
        bytes(3000),
        random_bytes(70_000, 3),
        bytes(2 * MiB + 17),
        b"tail" + bytes(1000) + b"end",
        bytes(3 * MiB),
    ]
    return b"".join(parts)


def text_of(error: OSError) -> str:
    assert type(error) is OSError and error.errno is None
    return str(error)


@pytest.fixture
def run(ffi, tmp_path):
    """Writes `compressed` as the source and decompresses it to `target` (default: target)."""

    def run(compressed: bytes, target: str = "target", **kwargs) -> str:
        (tmp_path / "source.zst").write_bytes(compressed)
        source = str(tmp_path / "source.zst")
        return ffi.decompress_zstd_sparse(source, str(tmp_path / target), **kwargs)

    return run


@pytest.mark.parametrize("chunk_size", [4096, 65536, MiB, 16 * MiB])
def test_holes_exactly_where_whole_pieces_are_zero(run, tmp_path, chunk_size):
    content = image()
    compressed = compress(content, level=3)
    assert run(compressed, chunk_size=chunk_size) == "sparse"

    target = tmp_path / "target"
    assert target.read_bytes() == content
    expected = written_blocks(nonzero_pieces(compressed, chunk_size), len(content))
    assert data_ranges(target) == expected
    data = sum(end - start for start, end in expected)
    assert data <= allocated(target) <= data + 64 * 1024
    if chunk_size <= MiB:
        # Pieces this small cannot cover the long zero runs together with data.
        assert data < len(content) - 5 * MiB
    assert leftovers(tmp_path, ["source.zst", "target"]) == []


def test_pieces_never_exceed_the_output_buffer():
    # The model itself is checked here, so that the hole test above means something.
    content = image()
    for chunk_size in (1000, 4096, MiB):
        found = pieces(compress(content), chunk_size)
        assert b"".join(found) == content
        assert all(0 < len(piece) <= chunk_size for piece in found)


@pytest.mark.parametrize("size", [1, 4096, 3 * MiB + 5])
def test_all_zero_frame_writes_nothing(run, tmp_path, size):
    run(compress(bytes(size)))
    target = tmp_path / "target"
    assert os.stat(target).st_size == size
    assert allocated(target) == 0
    assert data_ranges(target) == []


@pytest.mark.parametrize(
    "frames",
    [
        [b"first frame", b"second frame"],
        [b"", b"after an empty frame"],
        [bytes(MiB), b"x", bytes(MiB)],
    ],
)
def test_frames_decode_in_sequence(run, tmp_path, frames):
    run(b"".join(compress(frame) for frame in frames), chunk_size=4096)
    assert (tmp_path / "target").read_bytes() == b"".join(frames)
    assert os.stat(tmp_path / "target").st_size == sum(map(len, frames))


@pytest.mark.parametrize(
    "layout",
    [
        ["skip", "frame"],
        ["frame", "skip"],
        ["skip", "frame", "skip", "frame"],
        ["skip"],
    ],
)
def test_skippable_frames_add_nothing(run, tmp_path, layout):
    frame = compress(b"payload" * 1000)
    skip = skippable_frame(b"meta" * 10, 5)
    source = b"".join(skip if part == "skip" else frame for part in layout)
    run(source)
    assert (tmp_path / "target").read_bytes() == b"payload" * 1000 * layout.count("frame")


def test_output_of_the_zstd_command(run, tmp_path):
    zstd_program = require_program("zstd")
    content = image()
    (tmp_path / "image").write_bytes(content)
    first = subprocess.run(
        [zstd_program, "-3", "-q", "-c", str(tmp_path / "image")], capture_output=True, check=True
    )
    second = subprocess.run(
        [zstd_program, "-19", "-q", "-c", "--no-check"],
        input=b"more",
        capture_output=True,
        check=True,
    )
    run(first.stdout + second.stdout)
    assert (tmp_path / "target").read_bytes() == content + b"more"


def checksum_broken() -> bytes:
    frame = bytearray(compress(b"checked content" * 100, checksum_flag=1))
    frame[-1] ^= 0xFF
    return bytes(frame)


FAILURES = {
    "empty source": (b"", "incomplete frame"),
    "frame cut short": (compress(b"abc" * 1000)[:-3], "incomplete frame"),
    "second frame cut short": (compress(b"one") + compress(b"two")[:6], "incomplete frame"),
    "header only": (bytes.fromhex("28b52ffd"), "incomplete frame"),
    "not zstd": (b"GIF89a not compressed", "Unknown frame descriptor"),
    "short garbage": (b"abc", "Unknown frame descriptor"),
    "garbage after a frame": (compress(b"one") + b"trailing bytes", "Unknown frame descriptor"),
    "corrupt block": (CORRUPT_FRAME, "Data corruption detected"),
    "checksum mismatch": (checksum_broken(), "Restored data doesn't match checksum"),
    "window above the default limit": (
        compress(b"x" * 100, window_log=28),
        "Frame requires too much memory for decoding",
    ),
}


@pytest.mark.parametrize("source, message", FAILURES.values(), ids=FAILURES.keys())
def test_failure_keeps_the_target_and_leaves_no_temporary_file(run, tmp_path, source, message):
    (tmp_path / "target").write_bytes(b"previous image")
    with pytest.raises(OSError) as caught:
        run(source)
    assert text_of(caught.value) == message
    assert (tmp_path / "target").read_bytes() == b"previous image"
    assert leftovers(tmp_path, ["source.zst", "target"]) == []


@pytest.mark.parametrize("chunk_size", [2**50, 2**64 - 1])
def test_chunk_size_too_large_to_allocate(run, tmp_path, chunk_size):
    (tmp_path / "target").write_bytes(b"previous image")
    with pytest.raises(OSError) as caught:
        run(compress(b"data"), chunk_size=chunk_size)
    assert text_of(caught.value) == "Cannot allocate memory (os error 12)"
    assert (tmp_path / "target").read_bytes() == b"previous image"
    assert leftovers(tmp_path, ["source.zst", "target"]) == []


def test_chunk_size_of_one_byte(run, tmp_path):
    run(compress(b"a\0b" + bytes(10)), chunk_size=1)
    assert (tmp_path / "target").read_bytes() == b"a\0b" + bytes(10)


def test_chunk_size_zero_touches_nothing(ffi, tmp_path):
    with pytest.raises(OSError) as caught:
        ffi.decompress_zstd_sparse(str(tmp_path / "missing"), str(tmp_path / "new" / "target"), 0)
    assert text_of(caught.value) == "chunk_size must be greater than zero"
    assert os.listdir(tmp_path) == []


@pytest.mark.parametrize("mask, mode", [(0o022, 0o644), (0o077, 0o600), (0, 0o666)])
def test_mode_is_0o666_less_the_umask(run, tmp_path, mask, mode):
    (tmp_path / "source.zst").write_bytes(compress(b"data"))
    os.chmod(tmp_path / "source.zst", 0o4755)
    with umask(mask):
        run(compress(b"data"))
    assert stat.S_IMODE(os.stat(tmp_path / "target").st_mode) == mode


def test_parents_created_and_temporary_name_fixed(run, tmp_path):
    (tmp_path / "images").mkdir()
    (tmp_path / "images" / "disk.img").write_bytes(b"old")
    with created_names(tmp_path / "images") as names:
        run(compress(b"new"), target="images/disk.img")
    assert names == ["disk.img.tmp"]
    with umask(0o022):
        run(compress(b"deep"), target="a/b/disk.img")
    assert (tmp_path / "images" / "disk.img").read_bytes() == b"new"
    assert (tmp_path / "a" / "b" / "disk.img").read_bytes() == b"deep"
    assert stat.S_IMODE(os.stat(tmp_path / "a" / "b").st_mode) == 0o755
    assert leftovers(tmp_path / "images", ["disk.img"]) == []


def test_regular_file_at_the_temporary_name_is_reused(run, tmp_path):
    (tmp_path / "target.tmp").write_bytes(b"stale leftovers of an interrupted call" * 1000)
    run(compress(b"fresh"))
    assert (tmp_path / "target").read_bytes() == b"fresh"
    assert leftovers(tmp_path, ["source.zst", "target"]) == []


def test_planted_link_at_the_temporary_name_is_not_followed(run, tmp_path):
    # Anyone who can write the target's directory can predict the temporary name.
    (tmp_path / "victim").write_bytes(b"precious")
    (tmp_path / "target.tmp").symlink_to(tmp_path / "victim")
    (tmp_path / "target").write_bytes(b"previous image")
    with pytest.raises(OSError) as caught:
        run(compress(b"attacker-chosen content"))
    assert text_of(caught.value) == "Too many levels of symbolic links (os error 40)"
    assert (tmp_path / "victim").read_bytes() == b"precious"
    assert (tmp_path / "target").read_bytes() == b"previous image"
    assert not os.path.lexists(tmp_path / "target.tmp")


def test_missing_source_after_parent_creation(ffi, tmp_path):
    with pytest.raises(OSError) as caught:
        ffi.decompress_zstd_sparse(str(tmp_path / "missing"), str(tmp_path / "new" / "target"))
    assert text_of(caught.value) == "No such file or directory (os error 2)"
    assert os.listdir(tmp_path) == ["new"]
    assert os.listdir(tmp_path / "new") == []


@pytest.mark.parametrize(
    "source, target, created",
    [
        ("a\0b", "new/target", ["new"]),
        ("source.zst", "x\0y/target", []),
        ("source.zst", "new/t\0", ["new"]),
    ],
)
def test_nul_in_a_path(ffi, tmp_path, monkeypatch, source, target, created):
    monkeypatch.chdir(tmp_path)
    (tmp_path / "source.zst").write_bytes(compress(b"data"))
    with pytest.raises(OSError) as caught:
        ffi.decompress_zstd_sparse(source, target)
    assert text_of(caught.value) == NUL
    assert sorted(os.listdir(tmp_path)) == sorted(["source.zst", *created])
    for directory in created:
        assert os.listdir(tmp_path / directory) == []


@pytest.mark.parametrize("target", ["", "/", "x/y/.."])
def test_target_without_final_name(ffi, tmp_path, monkeypatch, target):
    monkeypatch.chdir(tmp_path)
    with pytest.raises(OSError) as caught:
        ffi.decompress_zstd_sparse("source.zst", target)
    assert text_of(caught.value) == f"target path has no filename: {target}"


def test_directory_as_source_fails_at_the_first_read(ffi, tmp_path):
    (tmp_path / "dir").mkdir()
    with pytest.raises(OSError) as caught:
        ffi.decompress_zstd_sparse(str(tmp_path / "dir"), str(tmp_path / "target"))
    assert text_of(caught.value) == "Is a directory (os error 21)"
    assert os.listdir(tmp_path) == ["dir"]


def test_full_disk_keeps_the_existing_target(tmp_path, ffi):
    (tmp_path / "source.zst").write_bytes(compress(random_bytes(4 * MiB, 4)))
    with small_tmpfs(tmp_path / "small", "1m") as small:
        (small / "target").write_bytes(b"previous image")
        with pytest.raises(OSError) as caught:
            ffi.decompress_zstd_sparse(str(tmp_path / "source.zst"), str(small / "target"))
        assert text_of(caught.value) == "No space left on device (os error 28)"
        assert (small / "target").read_bytes() == b"previous image"
        assert os.listdir(small) == ["target"]


def test_many_calls_leak_no_descriptor(run):
    good, bad = compress(b"data" * 1000), compress(b"data")[:-2]
    before = open_descriptor_count()
    for _ in range(30):
        run(good)
        with pytest.raises(OSError):
            run(bad)
        with pytest.raises(OSError):
            run(good, chunk_size=2**64 - 1)
    assert open_descriptor_count() == before


def test_streams_from_a_pipe_without_the_interpreter_lock(ffi, tmp_path):
    # The call blocks reading the pipe; this thread can feed it only if the call released the
    # interpreter lock, and sees the temporary file while the call is still going.
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
