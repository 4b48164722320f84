"""clone_or_sparse_copy on real files: content, holes, length, mode, messages, clean-up."""

import os
import stat
import time

import pytest
from support.disk_files import (
    MiB,
    check_written,
    opened_names,
    make_file,
    only_error,
    random_bytes,
    umask,
)

# (size, extents). Written out in full, and again with holes everywhere but the extents, the
# copy holds data exactly in the 1 MiB chunks that hold a non-zero byte.
LAYOUTS = {
    "zeros only": (3 * MiB + 5, []),
    "empty": (0, []),
    "byte at a chunk end": (2 * MiB, [(MiB - 1, b"\1")]),
    "byte at a chunk start": (2 * MiB, [(MiB, b"\1")]),
    # Zero runs shorter than a chunk, or not aligned to one, are written as data.
    "unaligned zero runs": (2 * MiB, [(0, random_bytes(300_000, 3)), (700_001, b"\7" * MiB)]),
    "ends in zeros": (5 * MiB + 12345, [(4096, random_bytes(8192, 5))]),
    "hole across chunk boundaries": (
        8 * MiB,
        [(0, random_bytes(MiB + 4096, 6)), (5 * MiB + 300, random_bytes(3 * MiB - 300, 7))],
    ),
    "islands in a long hole": (16 * MiB + 1, [(3 * MiB + 4096, b"\xff" * 4096), (16 * MiB, b"\7")]),
}


@pytest.mark.parametrize("sparse", [False, True], ids=["written", "holey"])
@pytest.mark.parametrize("layout", LAYOUTS.values(), ids=LAYOUTS.keys())
def test_holes_exactly_where_whole_chunks_are_zero(ffi, tmp_path, layout, sparse):
    size, extents = layout
    content = make_file(tmp_path / "source", size, extents, sparse)
    assert ffi.clone_or_sparse_copy(str(tmp_path / "source"), str(tmp_path / "target")) == "sparse"
    assert (tmp_path / "target").read_bytes() == content
    chunks = [(start, start + MiB) for start in range(0, size, MiB)]
    check_written(tmp_path / "target", [c for c in chunks if content[c[0] : c[1]].strip(b"\0")])
    assert sorted(os.listdir(tmp_path)) == ["source", "target"]


def test_whole_chunks_inside_holes_are_not_read(ffi, tmp_path):
    make_file(tmp_path / "source", 64 * MiB + 10, [(32 * MiB + 5, b"\1")], sparse=True)

    def bytes_read() -> int:
        with open("/proc/self/io") as io:
            return next(int(line.split()[1]) for line in io if line.startswith("rchar:"))

    before = bytes_read()
    ffi.clone_or_sparse_copy(str(tmp_path / "source"), str(tmp_path / "target"))
    # The chunk holding data and the short tail, plus the reading of /proc/self/io itself.
    assert MiB + 10 <= bytes_read() - before < MiB + 10 + 4096
    check_written(tmp_path / "target", [(32 * MiB, 33 * MiB)])


@pytest.mark.parametrize("mode", [0o4755, 0o2710, 0o1777, 0o7777, 0o400])
def test_target_takes_source_mode_whatever_the_umask(ffi, tmp_path, mode):
    (tmp_path / "source").write_bytes(b"new")
    (tmp_path / "target").write_bytes(b"old content, longer")
    os.chmod(tmp_path / "source", mode)
    with umask(0o777):
        ffi.clone_or_sparse_copy(str(tmp_path / "source"), str(tmp_path / "target"))
    status = os.stat(tmp_path / "target")
    assert (stat.S_IMODE(status.st_mode), status.st_uid) == (mode, os.getuid())
    assert (tmp_path / "target").read_bytes() == b"new"


def test_parents_created_and_temporary_name(ffi, tmp_path, monkeypatch):
    monkeypatch.chdir(tmp_path)
    (tmp_path / "source").write_bytes(b"image")
    with umask(0o027):
        ffi.clone_or_sparse_copy("source", "a//b/disk.img")
    assert (tmp_path / "a" / "b" / "disk.img").read_bytes() == b"image"
    assert stat.S_IMODE(os.stat(tmp_path / "a" / "b").st_mode) == 0o750

    with opened_names(tmp_path / "a" / "b") as names:
        ffi.clone_or_sparse_copy("./source", "a/b/disk.img")
    [name] = names
    prefix, pid, nanos = name.rsplit("-", 2)
    assert (prefix, int(pid)) == ("disk.img.tmp", os.getpid())
    assert abs(int(nanos) - time.time_ns()) < 60 * 10**9
    assert os.listdir(tmp_path / "a" / "b") == ["disk.img"]


def test_source_equal_to_target_and_link_as_source(ffi, tmp_path):
    content = make_file(tmp_path / "image", 3 * MiB, [(MiB, b"data")], sparse=False)
    (tmp_path / "link").symlink_to(tmp_path / "image")
    ffi.clone_or_sparse_copy(str(tmp_path / "link"), str(tmp_path / "image"))
    assert (tmp_path / "image").read_bytes() == content
    check_written(tmp_path / "image", [(MiB, 2 * MiB)])
    assert (tmp_path / "link").is_symlink()


NUL = "file name contained an unexpected NUL byte"


@pytest.mark.parametrize(
    "source, target, message, created",
    [
        ("missing", "new/target", "No such file or directory (os error 2)", []),
        ("dir", "new/target", "source is not a regular file: dir", []),
        ("/dev/null", "new/target", "source is not a regular file: /dev/null", []),
        ("a\0b", "new/target", NUL, []),
        ("source", "x\0y/target", NUL, []),
        # In the final name the NUL is met by the open of the temporary file.
        ("source", "new/t\0", NUL, ["new"]),
        ("source", "", "target path has no filename: ", []),
        ("source", "/", "target path has no filename: /", []),
        ("source", "new/y/..", "target path has no filename: new/y/..", ["new", "new/y"]),
        ("source", "file/target", "File exists (os error 17)", []),
        ("source", "file/deeper/target", "Not a directory (os error 20)", []),
        ("source", "dir", "Is a directory (os error 21)", []),
    ],
)
def test_failure_messages_and_what_is_left(
    ffi, tmp_path, monkeypatch, source, target, message, created
):
    monkeypatch.chdir(tmp_path)
    (tmp_path / "source").write_bytes(b"content")
    (tmp_path / "file").write_bytes(b"keep")
    (tmp_path / "dir").mkdir()
    with pytest.raises(OSError) as caught:
        ffi.clone_or_sparse_copy(source, target)
    assert only_error(caught.value) == message
    found = sorted(str(path.relative_to(tmp_path)) for path in tmp_path.rglob("*"))
    assert found == sorted(["source", "file", "dir", *created])
    assert (tmp_path / "file").read_bytes() == b"keep"
