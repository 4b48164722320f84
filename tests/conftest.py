import os
import shutil
import tempfile

import pytest


def require_program(name: str) -> str:
    """Path of an outside program a test needs as a peer (QEMU, nginx, zstd...).

    Missing programs skip the test, unless BRINDLE_REQUIRE_PEERS is set (CI sets it), where a
    missing peer is a failure instead of a silent skip.
    """
    path = shutil.which(name)
    if path is None:
        if os.environ.get("BRINDLE_REQUIRE_PEERS"):
            pytest.fail(f"{name} is required but not installed")
        pytest.skip(f"{name} is not installed")
    return path


@pytest.fixture
def ffi():
    import brindle_core._ffi

    return brindle_core._ffi


@pytest.fixture
def monitor():
    """A scripted QMP monitor on a Unix socket (tests/support/qmp_fake.py)."""
    from support.qmp_fake import FakeMonitor

    with FakeMonitor() as fake:
        yield fake


@pytest.fixture
def client(ffi, monitor):
    """A _QmpClient for the scripted monitor, closed afterwards."""
    qmp = ffi._QmpClient(monitor.path)
    yield qmp
    qmp.close()


def _socket_directory():
    # Short paths: a socket path must fit the 108-byte sun_path.
    directory = tempfile.mkdtemp(prefix="sock-")
    yield directory
    shutil.rmtree(directory, ignore_errors=True)


@pytest.fixture
def sock_dir():
    """A fresh directory for the test's Unix sockets."""
    yield from _socket_directory()


@pytest.fixture(scope="module")
def module_sock_dir():
    """A directory for Unix sockets shared by the tests of one module."""
    yield from _socket_directory()
