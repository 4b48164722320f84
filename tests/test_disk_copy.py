"""clone_or_sparse_copy on real files: content, holes, length, mode, messages, clean-up."""

import os
import stat
import time

import pytest
from conftest import open_descriptor_count
from support.disk_files import (
    MiB,
    allocated,
    created_names,
    data_ranges,
    leftovers,
    make_file,
    nonzero_chunks,
    random_bytes,
    small_tmpfs,
    umask,
    written_blocks,
)

NUL = "file name contained an unexpected NUL byte"

# Layouts as (size, extents). Written without holes, and again with holes everywhere but the
# extents, the copy must be the same: data exactly in the 1 MiB chunks holding a non-zero byte.
LAYOUTS = {
    "zeros only": (3 * MiB, []),
    "short zero file": (5000, []),
    "empty": (0, []),
    "data chunk between zero chunks": (3 * MiB, [(MiB, random_bytes(MiB, 1))]),
    "one byte at a chunk end": (2 * MiB, [(MiB - 1, b"\1")]),
    "one byte at a chunk start": (2 * MiB, [(MiB, b"\1")]),
    "data across a chunk boundary": (4 * MiB, [(MiB + MiB // 2, random_bytes(MiB, 2))]),
    # Zero runs shorter than a chunk, or not aligned to one, are written as data.
    "unaligned zero runs inside data": (
        2 * MiB,
        [(0, random_bytes(300_000, 3)), (700_001, random_bytes(1_000_000, 4))],
    ),
    "ends in zeros, length not a chunk multiple": (
        5 * MiB + 12345,
        [(4096, random_bytes(8192, 5))],
    ),
    "hole across chunk boundaries": (
        8 * MiB,
        [(0, random_bytes(MiB + 4096, 6)), (5 * MiB + 300, random_bytes(3 * MiB - 300, 7))],
    ),
    "small islands in a long hole": (
        16 * MiB + 1,
        [(3 * MiB + 4096, b"\xff" * 4096), (9 * MiB - 1, b"\1\2"), (16 * MiB, b"\7")],
    ),
}


@pytest.mark.parametrize("sparse", [False, True], ids=["written", "holey"])
@pytest.mark.parametrize("layout", LAYOUTS.values(), ids=LAYOUTS.keys())
def test_zero_chunks_become_holes(ffi, tmp_path, layout, sparse):
    size, extents = layout
    content = make_file(tmp_path / "source", size, extents, sparse=sparse)

    assert ffi.clone_or_sparse_copy(str(tmp_path / "source"), str(tmp_path / "target")) == "sparse"

    target = tmp_path / "target"
    assert target.read_bytes() == content
    expected = written_blocks(nonzero_chunks(content, MiB), size)
    assert data_ranges(target) == expected
    data = sum(end - start for start, end in expected)
    # Extent-tree blocks may add a little; a zero chunk written by mistake adds 1 MiB.
    assert data <= allocated(target) <= data + 64 * 1024
    assert leftovers(tmp_path, ["source", "target"]) == []


@pytest.mark.parametrize("mode", [0o4755, 0o2710, 0o1777, 0o7777, 0o600, 0o444])
def test_target_takes_source_mode_whatever_the_umask(ffi, tmp_path, mode):
    source = tmp_path / "source"
    source.write_bytes(b"image")
    os.chmod(source, mode)
    with umask(0o777):
        ffi.clone_or_sparse_copy(str(source), str(tmp_path / "target"))
    status = os.stat(tmp_path / "target")
    assert stat.S_IMODE(status.st_mode) == mode
    assert status.st_uid == os.getuid()


def test_missing_parents_are_created_under_the_umask(ffi, tmp_path):
    source = tmp_path / "source"
    source.write_bytes(b"image")
    with umask(0o027):
        ffi.clone_or_sparse_copy(str(source), str(tmp_path / "a" / "b" / "c" / "disk.img"))
    assert (tmp_path / "a" / "b" / "c" / "disk.img").read_bytes() == b"image"
    for directory in ["a", "a/b", "a/b/c"]:
        assert stat.S_IMODE(os.stat(tmp_path / directory).st_mode) == 0o750


def test_relative_paths(ffi, tmp_path, monkeypatch):
    monkeypatch.chdir(tmp_path)
    (tmp_path / "source").write_bytes(b"x" * 10)
    ffi.clone_or_sparse_copy("source", "plain")
    ffi.clone_or_sparse_copy("./source", "dir//nested")
    assert (tmp_path / "plain").read_bytes() == b"x" * 10
    assert (tmp_path / "dir" / "nested").read_bytes() == b"x" * 10


def test_existing_target_is_replaced(ffi, tmp_path):
    (tmp_path / "source").write_bytes(b"new")
    (tmp_path / "target").write_bytes(b"old content, longer")
    os.chmod(tmp_path / "source", 0o640)
    ffi.clone_or_sparse_copy(str(tmp_path / "source"), str(tmp_path / "target"))
    assert (tmp_path / "target").read_bytes() == b"new"
    assert stat.S_IMODE(os.stat(tmp_path / "target").st_mode) == 0o640


def test_source_equal_to_target_is_rewritten_in_place(ffi, tmp_path):
    content = make_file(tmp_path / "image", 3 * MiB, [(MiB, b"data")], sparse=False)
    assert allocated(tmp_path / "image") >= 3 * MiB
    ffi.clone_or_sparse_copy(str(tmp_path / "image"), str(tmp_path / "image"))
    assert (tmp_path / "image").read_bytes() == content
    assert data_ranges(tmp_path / "image") == [(MiB, 2 * MiB)]


def test_symbolic_link_source_copies_the_file(ffi, tmp_path):
    (tmp_path / "real").write_bytes(b"content")
    (tmp_path / "link").symlink_to(tmp_path / "real")
    ffi.clone_or_sparse_copy(str(tmp_path / "link"), str(tmp_path / "target"))
    assert not (tmp_path / "target").is_symlink()
    assert (tmp_path / "target").read_bytes() == b"content"


def test_temporary_file_is_named_after_the_target_pid_and_time(ffi, tmp_path):
    (tmp_path / "source").write_bytes(b"content")
    with created_names(tmp_path) as names:
        ffi.clone_or_sparse_copy(str(tmp_path / "source"), str(tmp_path / "disk.img"))
    assert len(names) == 1
    prefix, pid, nanos = names[0].rsplit("-", 2)
    assert prefix == "disk.img.tmp"
    assert int(pid) == os.getpid()
    assert abs(int(nanos) - time.time_ns()) < 60 * 10**9
    assert leftovers(tmp_path, ["source", "disk.img"]) == []


def text_of(error: OSError) -> str:
    assert type(error) is OSError and error.errno is None
    return str(error)


@pytest.mark.parametrize(
    "make_source, message",
    [
        (lambda d: d / "missing", "No such file or directory (os error 2)"),
        (lambda d: d, "source is not a regular file: {}"),
        (lambda d: "/dev/null", "source is not a regular file: {}"),
        (lambda d: f"{d}/a\0b", NUL),
    ],
    ids=["missing", "directory", "device", "nul"],
)
def test_bad_source_fails_before_anything_is_created(ffi, tmp_path, make_source, message):
    source = str(make_source(tmp_path))
    with pytest.raises(OSError) as caught:
        ffi.clone_or_sparse_copy(source, str(tmp_path / "new" / "target"))
    assert text_of(caught.value) == message.format(source)
    assert os.listdir(tmp_path) == []


@pytest.mark.parametrize(
    "target, created",
    [("", []), ("/", []), (".", []), ("..", []), ("x/y/..", ["x", "x/y"]), ("x/..", ["x"])],
)
def test_target_without_final_name(ffi, tmp_path, monkeypatch, target, created):
    monkeypatch.chdir(tmp_path)
    (tmp_path / "source").write_bytes(b"content")
    with pytest.raises(OSError) as caught:
        ffi.clone_or_sparse_copy("source", target)
    assert text_of(caught.value) == f"target path has no filename: {target}"
    found = sorted(str(p.relative_to(tmp_path)) for p in tmp_path.rglob("*"))
    assert found == sorted(["source", *created])


def test_nul_in_target(ffi, tmp_path):
    (tmp_path / "source").write_bytes(b"content")
    with pytest.raises(OSError) as caught:
        ffi.clone_or_sparse_copy(str(tmp_path / "source"), str(tmp_path / "a\0b" / "target"))
    assert text_of(caught.value) == NUL
    # In the final name the NUL is met when the temporary file is opened: the parent exists.
    with pytest.raises(OSError) as caught:
        ffi.clone_or_sparse_copy(str(tmp_path / "source"), str(tmp_path / "dir" / "t\0"))
    assert text_of(caught.value) == NUL
    assert sorted(os.listdir(tmp_path)) == ["dir", "source"]
    assert os.listdir(tmp_path / "dir") == []


@pytest.mark.parametrize(
    "in_the_way, target, message",
    [
        ("file", "file/target", "File exists (os error 17)"),
        ("file", "file/deeper/target", "Not a directory (os error 20)"),
    ],
)
def test_non_directory_in_the_parent_path(ffi, tmp_path, in_the_way, target, message):
    (tmp_path / "source").write_bytes(b"content")
    (tmp_path / in_the_way).write_bytes(b"keep")
    with pytest.raises(OSError) as caught:
        ffi.clone_or_sparse_copy(str(tmp_path / "source"), str(tmp_path / target))
    assert text_of(caught.value) == message
    assert (tmp_path / in_the_way).read_bytes() == b"keep"


def test_directory_at_target_fails_the_rename_and_leaves_nothing(ffi, tmp_path):
    (tmp_path / "source").write_bytes(b"content")
    (tmp_path / "target").mkdir()
    (tmp_path / "target" / "inside").write_bytes(b"keep")
    with pytest.raises(OSError) as caught:
        ffi.clone_or_sparse_copy(str(tmp_path / "source"), str(tmp_path / "target"))
    assert text_of(caught.value) == "Is a directory (os error 21)"
    assert os.listdir(tmp_path / "target") == ["inside"]
    assert leftovers(tmp_path, ["source", "target"]) == []


def test_full_disk_keeps_the_existing_target(ffi, tmp_path):
    source = tmp_path / "source"
    source.write_bytes(random_bytes(4 * MiB, 8))
    with small_tmpfs(tmp_path / "small", "1m") as small:
        (small / "target").write_bytes(b"previous image")
        with pytest.raises(OSError) as caught:
            ffi.clone_or_sparse_copy(str(source), str(small / "target"))
        assert text_of(caught.value) == "No space left on device (os error 28)"
        assert (small / "target").read_bytes() == b"previous image"
        assert os.listdir(small) == ["target"]


def test_many_calls_leak_no_descriptor(ffi, tmp_path):
    source = tmp_path / "source"
    make_file(source, 3 * MiB, [(MiB, b"data")], sparse=True)
    (tmp_path / "dir").mkdir()
    before = open_descriptor_count()
    for _ in range(30):
        ffi.clone_or_sparse_copy(str(source), str(tmp_path / "target"))
        with pytest.raises(OSError):
            ffi.clone_or_sparse_copy(str(source), str(tmp_path / "dir"))
        with pytest.raises(OSError):
            ffi.clone_or_sparse_copy(str(tmp_path / "missing"), str(tmp_path / "target"))
    assert open_descriptor_count() == before

