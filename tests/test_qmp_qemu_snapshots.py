"""Snapshots and jobs of _QmpClient against a real QEMU with a qcow2 disk."""

import json
import subprocess

import pytest
from conftest import require_program
from support.qmp_qemu import Qemu, create_qcow2, disk_arguments, snapshot_names
from support.system import open_descriptor_count

RECORD_MEMBERS = ["job_id", "job_type", "status", "current_progress", "total_progress", "error"]


@pytest.fixture
def qemu_img():
    return require_program("qemu-img")


@pytest.fixture
def disk(tmp_path, qemu_img):
    path = str(tmp_path / "disk.qcow2")
    create_qcow2(qemu_img, path)
    return path


@pytest.fixture
def qemu(disk):
    with Qemu(require_program("qemu-system-x86_64"), *disk_arguments(disk)) as machine:
        yield machine


@pytest.fixture
def client(ffi, qemu):
    qmp = ffi._QmpClient(qemu.path)
    qmp.connect(5, 10)
    yield qmp
    qmp.close()


def run_state(client) -> str:
    return json.loads(client.execute("query-status", None))["status"]


def node_snapshots(client) -> list[str]:
    (node,) = [n for n in json.loads(client.execute("query-named-block-nodes", None))
               if n["node-name"] == "disk0"]
    return [snapshot["name"] for snapshot in node["image"].get("snapshots", [])]


def concluded(job_id: str, job_type: str) -> dict:
    return {"job_id": job_id, "job_type": job_type, "status": "concluded",
            "current_progress": 1, "total_progress": 1, "error": None}


def test_typical_snapshot_flow_then_load_and_delete(ffi, qemu, disk, qemu_img):
    before = open_descriptor_count()
    client = ffi._QmpClient(qemu.path)
    client.connect(5, 10)
    client.stop_vm()
    client.snapshot_save("save-1", "first", "disk0", ["disk0"])
    record = client.wait_for_job("save-1", 10, 0.05)
    assert list(json.loads(record)) == RECORD_MEMBERS
    assert json.loads(record) == concluded("save-1", "snapshot-save")
    client.cont()
    assert run_state(client) == "running"
    client.close()
    assert open_descriptor_count() == before

    # The job was dismissed; the snapshot stays in the image.
    assert client.query_jobs() == "[]"  # connects again by itself
    assert node_snapshots(client) == ["first"]
    client.stop_vm()
    client.snapshot_load("load-1", "first", "disk0", ["disk0"])
    assert json.loads(client.wait_for_job("load-1", 10, 0.05)) == concluded(
        "load-1", "snapshot-load")
    client.snapshot_delete("delete-1", "first", ["disk0"])
    assert json.loads(client.wait_for_job("delete-1", 10, 0.05)) == concluded(
        "delete-1", "snapshot-delete")
    assert node_snapshots(client) == []
    assert client.query_jobs() == "[]"
    client.close()
    qemu.stop()
    assert snapshot_names(qemu_img, disk) == []


def first_mib_is(qemu_io: str, image: str, pattern: int) -> bool:
    result = subprocess.run([qemu_io, "-c", f"read -P {pattern:#x} 0 1M", image],
                            capture_output=True, text=True)
    return result.returncode == 0 and "verification failed" not in result.stdout


def test_load_in_a_fresh_qemu_restores_the_disk(ffi, disk, qemu_img):
    qemu_io = require_program("qemu-io")
    qemu_binary = require_program("qemu-system-x86_64")
    subprocess.run([qemu_io, "-c", "write -P 0xab 0 1M", disk], check=True, capture_output=True)
    with Qemu(qemu_binary, *disk_arguments(disk)) as machine:
        client = ffi._QmpClient(machine.path)
        client.stop_vm()
        client.snapshot_save("save", "tag", "disk0", ["disk0"])
        client.wait_for_job("save", 10, 0.05)
        client.cont()
        # The running machine overwrites what the snapshot holds.
        client.execute("human-monitor-command",
                       json.dumps({"command-line": 'qemu-io disk0 "write -P 0xcd 0 1M"'}))
        client.close()
    assert snapshot_names(qemu_img, disk) == ["tag"]
    assert first_mib_is(qemu_io, disk, 0xCD)
    with Qemu(qemu_binary, *disk_arguments(disk)) as machine:
        client = ffi._QmpClient(machine.path)
        client.stop_vm()
        client.snapshot_load("load", "tag", "disk0", ["disk0"])
        client.wait_for_job("load", 10, 0.05)
        client.close()
    assert first_mib_is(qemu_io, disk, 0xAB)


def test_internal_block_snapshots(client, qemu, disk, qemu_img):
    client.blockdev_snapshot_internal_sync("disk0", "one")
    client.blockdev_snapshot_internal_sync(device="disk0", name="two")
    assert node_snapshots(client) == ["one", "two"]
    with pytest.raises(RuntimeError) as excinfo:
        client.blockdev_snapshot_internal_sync("disk0", "one")
    assert json.loads(excinfo.value.args[0]) == {
        "context": {"class": "GenericError", "command": "blockdev-snapshot-internal-sync",
                    "desc": "Snapshot with name 'one' already exists on device 'disk0'",
                    "socket_path": qemu.path},
        "message": "QMP command 'blockdev-snapshot-internal-sync' failed"}
    client.blockdev_snapshot_delete_internal_sync("disk0", "one")
    with pytest.raises(RuntimeError) as excinfo:
        client.blockdev_snapshot_delete_internal_sync("disk0", "one")
    assert json.loads(excinfo.value.args[0])["context"]["desc"] == (
        "Snapshot with id 'null' and name 'one' does not exist on device 'disk0'")
    assert node_snapshots(client) == ["two"]
    client.close()
    qemu.stop()
    assert snapshot_names(qemu_img, disk) == ["two"]


# Requests QEMU accepts as jobs that then conclude with an error.
FAILING_JOBS = [
    (lambda c: c.snapshot_load("job", "missing", "disk0", ["disk0"]), "snapshot-load",
     "Snapshot 'missing' does not exist in one or more devices"),
    (lambda c: c.snapshot_save("job", "tag", "no-such-node", ["disk0"]), "snapshot-save",
     "vmstate block device 'no-such-node' does not exist"),
    (lambda c: c.snapshot_save("job", "tag", "disk0", []), "snapshot-save",
     "At least one device is required for snapshot"),
    (lambda c: c.snapshot_delete("job", "tag", ["no-such-node"]), "snapshot-delete",
     "No block device node 'no-such-node'"),
]


@pytest.mark.parametrize("start, job_type, error", FAILING_JOBS)
def test_job_failing_inside_qemu_raises_job_failed(client, qemu, start, job_type, error):
    client.stop_vm()
    start(client)
    with pytest.raises(RuntimeError) as excinfo:
        client.wait_for_job("job", 10, 0.05)
    assert json.loads(excinfo.value.args[0]) == {
        "context": {"error": error, "job_id": "job", "job_type": job_type,
                    "socket_path": qemu.path, "status": "concluded"},
        "message": "QMP job failed"}
    # A failed job is left for the caller to dismiss.
    (record,) = json.loads(client.query_jobs())
    assert record["error"] == error
    client.dismiss_job("job")
    assert client.query_jobs() == "[]"


def test_query_jobs_on_real_records(client, qemu):
    client.stop_vm()
    client.snapshot_save("good", "tag", "disk0", ["disk0"])
    client.snapshot_load("bad", "missing", "disk0", ["disk0"])
    with pytest.raises(RuntimeError):
        client.wait_for_job("bad", 10, 0.05)
    records = json.loads(client.query_jobs())
    assert all(list(record) == RECORD_MEMBERS for record in records)
    assert sorted(records, key=lambda r: r["job_id"]) == [
        {**concluded("bad", "snapshot-load"),
         "error": "Snapshot 'missing' does not exist in one or more devices"},
        concluded("good", "snapshot-save"),
    ]
    # A job id in use (even by a concluded job) is refused by QEMU when the command is sent.
    with pytest.raises(RuntimeError) as excinfo:
        client.snapshot_save("good", "other", "disk0", ["disk0"])
    assert json.loads(excinfo.value.args[0])["context"]["desc"] == "Job ID 'good' already in use"
    client.dismiss_job("good")
    client.dismiss_job("bad")
    assert client.query_jobs() == "[]"
    with pytest.raises(RuntimeError) as excinfo:
        client.dismiss_job("good")
    assert json.loads(excinfo.value.args[0]) == {
        "context": {"class": "GenericError", "command": "job-dismiss",
                    "desc": "Job not found", "socket_path": qemu.path},
        "message": "QMP command 'job-dismiss' failed"}
