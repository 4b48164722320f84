"""_QmpClient against a real QEMU monitor."""

import json

import pytest
from conftest import require_program
from support.qmp_qemu import Qemu
from support.system import open_descriptor_count


@pytest.fixture
def qemu():
    with Qemu(require_program("qemu-system-x86_64")) as machine:
        yield machine


def status(client) -> dict:
    return json.loads(client.execute("query-status", None))


def canonical(text: str) -> str:
    return json.dumps(json.loads(text), sort_keys=True, separators=(",", ":"), ensure_ascii=False)


def test_commands_stop_and_continue(ffi, qemu):
    client = ffi._QmpClient(qemu.path)
    client.connect(5, 10)
    assert status(client) == {"running": False, "status": "prelaunch"}
    version = client.execute("query-version", None)
    assert version == canonical(version)
    assert json.loads(version)["qemu"]["major"] >= 1
    info = client.execute("human-monitor-command", '{"command-line":"info status"}')
    assert json.loads(info).startswith("VM status: paused")
    assert client.cont() is None  # QEMU sends a RESUME event before the reply
    assert status(client) == {"running": True, "status": "running"}
    assert client.stop_vm() is None
    assert status(client) == {"running": False, "status": "paused"}
    client.close()


def test_unknown_command_and_bad_arguments(ffi, qemu):
    client = ffi._QmpClient(qemu.path)
    for command, arguments, error_class, desc in [
        ("no-such-command", None, "CommandNotFound",
         "The command no-such-command has not been found"),
        ("query-status", '{"extra":1}', "GenericError", "Parameter 'extra' is unexpected"),
    ]:
        with pytest.raises(RuntimeError) as excinfo:
            client.execute(command, arguments)
        assert json.loads(excinfo.value.args[0]) == {
            "context": {"class": error_class, "command": command, "desc": desc,
                        "socket_path": qemu.path},
            "message": f"QMP command '{command}' failed"}
    # A refused command leaves the connection usable.
    assert status(client)["status"] == "prelaunch"
    client.close()


def test_close_and_reconnect(ffi, qemu):
    before = open_descriptor_count()
    client = ffi._QmpClient(qemu.path)
    for _ in range(3):
        client.connect(5, 10)
        assert status(client)["running"] is False
        client.close()
        assert open_descriptor_count() == before
    # The first command connects by itself after a close.
    assert status(client)["running"] is False
    client.close()
