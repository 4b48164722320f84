"""Fixtures, and the suite's modes: every test ends with the descriptors it started with; tests
marked `storm` run again under SIGALRM every millisecond, interrupting the module's system calls
over and over; BRINDLE_REPEAT=N repeats what tests hand to `repeated` (support/checks.py)."""

import gc
import os
import shutil
import signal
import subprocess
import time

import pytest
from hypothesis import HealthCheck, settings

pytest.register_assert_rewrite("support")
from support.checks import open_descriptors  # noqa: E402
from support.peer import Peer  # noqa: E402

settings.register_profile("suite", deadline=None, max_examples=12,
                          suppress_health_check=[HealthCheck.function_scoped_fixture])
settings.load_profile("suite")


def require_program(name: str) -> str:
    """An outside program a test needs; missing, it skips the test, or fails it in CI."""
    if path := shutil.which(name):
        return path
    if os.environ.get("BRINDLE_REQUIRE_PEERS"):
        pytest.fail(f"{name} is required but not installed")
    pytest.skip(f"{name} is not installed")


@pytest.fixture(autouse=True)
def _descriptors_unchanged():
    before = open_descriptors()
    yield
    gc.collect()
    assert open_descriptors() == before, "the test left a descriptor open"


def pytest_generate_tests(metafunc):
    if metafunc.definition.get_closest_marker("storm"):
        metafunc.parametrize("_storm", [False, True], ids=["calm", "storm"], indirect=True)


@pytest.fixture(autouse=True)
def _storm(request):
    if not getattr(request, "param", False):
        yield
        return
    handled = []  # the kernel gives a process's signal to its main thread while it can take it
    previous = signal.signal(signal.SIGALRM, lambda *_: handled.append(1))
    signal.setitimer(signal.ITIMER_REAL, 0.001, 0.001)
    yield
    signal.setitimer(signal.ITIMER_REAL, 0)
    signal.signal(signal.SIGALRM, previous)
    assert handled, "no signal arrived while the test ran"


@pytest.fixture
def peer(tmp_path):
    """Starts scripted peers (support/peer.py); `path` defaults to one in the test's folder."""
    started = []

    def start(*scripts, path=None, **options) -> Peer:
        started.append(Peer(path or str(tmp_path / f"{len(started)}.sock"), *scripts, **options))
        return started[-1]

    yield start
    for each in started:
        each.close()


def _started(command: list[str], path: str) -> subprocess.Popen:
    process = subprocess.Popen(command, stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                               stderr=subprocess.DEVNULL)
    deadline = time.monotonic() + 20
    while not os.path.exists(path):
        assert process.poll() is None and time.monotonic() < deadline, f"{command[0]} failed"
        time.sleep(0.01)
    return process


NGINX = """daemon off; master_process off; pid {dir}/nginx.pid; error_log {dir}/error.log;
events {{}}
http {{ access_log off; client_body_temp_path {dir}/body; server {{ listen unix:{dir}/api.sock;
  location = / {{ default_type application/json; return 200 '{{"state":"Running"}}'; }}
  location = /actions {{ return 204; }} }} }}"""


@pytest.fixture(scope="session")
def nginx(tmp_path_factory) -> str:
    """The socket of a real HTTP/1.1 server: GET / answers a JSON object, PUT /actions 204."""
    directory = tmp_path_factory.mktemp("nginx")
    (directory / "nginx.conf").write_text(NGINX.format(dir=directory))
    process = _started([require_program("nginx"), "-p", str(directory), "-c", "nginx.conf", "-e",
                        "error.log"], str(directory / "api.sock"))
    yield str(directory / "api.sock")
    process.terminate()
    process.wait()


@pytest.fixture
def qemu(tmp_path) -> str:
    """The QMP socket of a real QEMU with nothing but a qcow2 disk, the block node "disk0"."""
    path, disk = str(tmp_path / "qmp.sock"), tmp_path / "disk"
    subprocess.run([require_program("qemu-img"), "create", "-q", "-f", "qcow2", disk, "64M"],
                   check=True)
    process = _started([require_program("qemu-system-x86_64"), "-M", "none", "-nodefaults",
                        "-display", "none", "-S", "-qmp", f"unix:{path},server=on,wait=off",
                        "-blockdev", "driver=qcow2,node-name=disk0,file.driver=file,"
                        f"file.filename={disk}"], path)
    yield path
    process.terminate()
    process.wait()
