"""What both disk helpers share: a full disk loses nothing, and no call leaks a descriptor."""

import os
from compression import zstd

import pytest
from support.disk_files import MiB, only_error, random_bytes, small_tmpfs
from support.system import open_descriptor_count

HELPERS = {
    "copy": (lambda data: data, "clone_or_sparse_copy"),
    "decompress": (zstd.compress, "decompress_zstd_sparse"),
}


@pytest.fixture(params=HELPERS.values(), ids=HELPERS.keys())
def helper(request, ffi, tmp_path):
    """(call, write_source): the helper, and a writer of a source that yields the given data."""
    encode, name = request.param

    def write_source(data: bytes) -> str:
        (tmp_path / "source").write_bytes(encode(data))
        return str(tmp_path / "source")

    return getattr(ffi, name), write_source


def test_full_disk_keeps_the_existing_target(helper, tmp_path):
    call, write_source = helper
    source = write_source(random_bytes(4 * MiB, 8))
    with small_tmpfs(tmp_path / "small", "1m") as small:
        (small / "target").write_bytes(b"previous image")
        with pytest.raises(OSError) as caught:
            call(source, str(small / "target"))
        assert only_error(caught.value) == "No space left on device (os error 28)"
        assert (small / "target").read_bytes() == b"previous image"
        assert os.listdir(small) == ["target"]


def test_many_calls_leak_no_descriptor(helper, tmp_path):
    call, write_source = helper
    source = write_source(b"data" * 1000 + bytes(3 * MiB))
    (tmp_path / "dir").mkdir()
    before = open_descriptor_count()
    for _ in range(30):
        assert call(source, str(tmp_path / "target")) == "sparse"
        with pytest.raises(OSError):
            call(source, str(tmp_path / "dir"))  # fails at the rename
        with pytest.raises(OSError):
            call(str(tmp_path / "missing"), str(tmp_path / "target"))
    assert open_descriptor_count() == before
