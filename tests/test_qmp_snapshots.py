"""Snapshot commands of _QmpClient against a scripted monitor: wire bytes and `devices`."""

import json
from collections.abc import Sequence

import pytest
from support.qmp_fake import CAPABILITIES, reply



def test_methods_sit_between_cont_and_close_with_their_signatures(ffi):
    cls = ffi._QmpClient
    signatures = {
        "snapshot_save": "($self, job_id, tag, vmstate, devices)",
        "snapshot_load": "($self, job_id, tag, vmstate, devices)",
        "snapshot_delete": "($self, job_id, tag, devices)",
        "blockdev_snapshot_internal_sync": "($self, device, name)",
        "blockdev_snapshot_delete_internal_sync": "($self, device, name)",
        "query_jobs": "($self)",
        "dismiss_job": "($self, job_id)",
        "wait_for_job": "($self, job_id, timeout, poll_interval)",
    }
    for name, signature in signatures.items():
        assert getattr(cls, name).__text_signature__ == signature
        assert getattr(cls, name).__doc__ is None
    methods = [name for name in vars(cls) if not name.startswith("__")]
    assert methods == ["connect", "execute", "stop_vm", "cont", *signatures, "close"]


def test_wire_bytes_of_every_command(client, monitor):
    assert client.snapshot_save("save-1", "tag-1", "disk0", ["disk0", "disk1"]) is None
    assert client.snapshot_load("load-1", "tag-1", "disk0", ("disk0",)) is None
    assert client.snapshot_delete("del-1", "tag-1", ["disk1", "disk1"]) is None
    assert client.blockdev_snapshot_internal_sync("disk0", "snap") is None
    assert client.blockdev_snapshot_delete_internal_sync("disk0", "snap") is None
    # Keywords in any order, and values sent unchanged: empty, spaces, escapes, non-ASCII.
    assert client.snapshot_save(devices=[], vmstate="", tag=" t ", job_id='"\\\n\u00e9') is None
    assert monitor.received == [
        CAPABILITIES,
        b'{"arguments":{"devices":["disk0","disk1"],"job-id":"save-1","tag":"tag-1",'
        b'"vmstate":"disk0"},"execute":"snapshot-save"}\n',
        b'{"arguments":{"devices":["disk0"],"job-id":"load-1","tag":"tag-1","vmstate":"disk0"},'
        b'"execute":"snapshot-load"}\n',
        b'{"arguments":{"devices":["disk1","disk1"],"job-id":"del-1","tag":"tag-1"},'
        b'"execute":"snapshot-delete"}\n',
        b'{"arguments":{"device":"disk0","name":"snap"},'
        b'"execute":"blockdev-snapshot-internal-sync"}\n',
        b'{"arguments":{"device":"disk0","name":"snap"},'
        b'"execute":"blockdev-snapshot-delete-internal-sync"}\n',
        b'{"arguments":{"devices":[],"job-id":"\\"\\\\\\n\xc3\xa9","tag":" t ","vmstate":""},'
        b'"execute":"snapshot-save"}\n',
    ]


class LengthFails(list):
    def __len__(self):
        raise RuntimeError("no length")


class LengthLies(Sequence):
    """A sequence claiming far more items than it yields."""

    def __len__(self):
        return 2**62

    def __getitem__(self, index):
        if index >= 2:
            raise IndexError(index)
        return f"disk{index}"


class TextSubclass(str):
    pass


@pytest.mark.parametrize("devices, sent", [
    ([], []),
    (("disk0", "disk1"), ["disk0", "disk1"]),
    (["a", "a", ""], ["a", "a", ""]),
    ([TextSubclass("sub")], ["sub"]),
    (LengthFails(["disk0"]), ["disk0"]),  # the length is only a hint
    (LengthLies(), ["disk0", "disk1"]),
])
def test_devices_accepted(client, monitor, devices, sent):
    client.snapshot_delete("j", "t", devices)
    (line,) = monitor.commands()
    assert json.loads(line)["arguments"]["devices"] == sent


class IterationFails(list):
    def __init__(self, error):
        super().__init__(["disk0"])
        self.error = error

    def __iter__(self):
        yield "disk0"
        raise self.error


class IterationTypeError(TypeError):
    pass


@pytest.mark.parametrize("devices, kind, text", [
    ("disk0", TypeError, "argument 'devices': Can't extract `str` to `Vec`"),
    (TextSubclass("disk0"), TypeError, "argument 'devices': Can't extract `str` to `Vec`"),
    (None, TypeError, "argument 'devices': 'None' is not an instance of 'Sequence'"),
    ({"disk0": 1}, TypeError,
     "argument 'devices': 'dict' object is not an instance of 'Sequence'"),
    ({"disk0"}, TypeError, "argument 'devices': 'set' object is not an instance of 'Sequence'"),
    (iter(["disk0"]), TypeError,
     "argument 'devices': 'list_iterator' object is not an instance of 'Sequence'"),
    (["disk0", 1], TypeError, "argument 'devices': 'int' object is not an instance of 'str'"),
    ([None], TypeError, "argument 'devices': 'None' is not an instance of 'str'"),
    ([b"disk0"], TypeError, "argument 'devices': 'bytes' object is not an instance of 'str'"),
    (b"disk0", TypeError, "argument 'devices': 'int' object is not an instance of 'str'"),
    (["\ud800"], UnicodeEncodeError, None),
    # Errors of the iteration itself pass through; only an exact TypeError is reworded.
    (IterationFails(OSError("gone")), OSError, "gone"),
    (IterationFails(TypeError("broken")), TypeError, "argument 'devices': broken"),
    (IterationFails(IterationTypeError("sub")), IterationTypeError, "sub"),
])
def test_devices_refused_before_anything_is_sent(client, monitor, devices, kind, text):
    for call in (lambda: client.snapshot_save("j", "t", "disk0", devices),
                 lambda: client.snapshot_load("j", "t", "disk0", devices=devices),
                 lambda: client.snapshot_delete("j", "t", devices)):
        with pytest.raises(kind) as excinfo:
            call()
        assert type(excinfo.value) is kind
        if text is not None:
            assert str(excinfo.value) == text
    assert monitor.accepted == 0


@pytest.mark.parametrize("call, text", [
    (lambda c: c.snapshot_save("j", "t", "v"),
     "_QmpClient.snapshot_save() missing 1 required positional argument: 'devices'"),
    (lambda c: c.snapshot_load(job_id="j"),
     "_QmpClient.snapshot_load() missing 3 required positional arguments: 'tag', 'vmstate', "
     "and 'devices'"),
    (lambda c: c.snapshot_delete("j", "t", [], []),
     "_QmpClient.snapshot_delete() takes 3 positional arguments but 4 were given"),
    (lambda c: c.snapshot_delete("j", "t", [], device=[]),
     "_QmpClient.snapshot_delete() got an unexpected keyword argument 'device'"),
    (lambda c: c.blockdev_snapshot_internal_sync("d", "n", device="d"),
     "_QmpClient.blockdev_snapshot_internal_sync() got multiple values for argument 'device'"),
    # Conversions run in signature order: the first failure wins, devices is not looked at.
    (lambda c: c.snapshot_save("j", 1, None, "disk0"),
     "argument 'tag': 'int' object is not an instance of 'str'"),
    (lambda c: c.snapshot_delete(None, "t", "disk0"),
     "argument 'job_id': 'None' is not an instance of 'str'"),
    (lambda c: c.blockdev_snapshot_delete_internal_sync("d", b"n"),
     "argument 'name': 'bytes' object is not an instance of 'str'"),
])
def test_argument_errors(client, monitor, call, text):
    with pytest.raises(TypeError) as excinfo:
        call(client)
    assert str(excinfo.value) == text
    assert monitor.accepted == 0


def test_return_values_are_discarded_and_the_first_command_connects(client, monitor):
    monitor.script([reply({"unexpected": [1, 2]})], [reply("text")], [reply(None)])
    assert client.snapshot_save("j", "t", "v", ["d"]) is None
    assert client.blockdev_snapshot_internal_sync("d", "n") is None
    assert client.snapshot_delete("j", "t", ["d"]) is None
    assert monitor.accepted == 1
    assert monitor.received[0] == CAPABILITIES


@pytest.mark.parametrize("call, command", [
    (lambda c: c.snapshot_delete("j", "t", ["d"]), "snapshot-delete"),
    (lambda c: c.snapshot_save("j", "t", "v", ["d"]), "snapshot-save"),
    (lambda c: c.blockdev_snapshot_delete_internal_sync("d", "n"),
     "blockdev-snapshot-delete-internal-sync"),
])
def test_monitor_refusal_is_command_failed(client, monitor, call, command):
    monitor.script([b'{"error":{"class":"GenericError","desc":"Device \'d\' not found"}}\n'])
    with pytest.raises(RuntimeError) as excinfo:
        call(client)
    assert json.loads(excinfo.value.args[0]) == {
        "context": {"class": "GenericError", "command": command, "desc": "Device 'd' not found",
                    "socket_path": monitor.path},
        "message": f"QMP command '{command}' failed"}
    # Nothing is sent after a refusal, and the client stays usable.
    assert len(monitor.commands()) == 1
    client.snapshot_delete("j", "t", [])
