"""A real QEMU with nothing but a QMP monitor: no kernel, no accelerator, stopped at start.

Optionally with a qcow2 disk (made with qemu-img) attached as a block node, so that snapshot
jobs have somewhere to keep the machine state and the internal snapshots.
"""

import json
import os
import shutil
import subprocess
import time

from support.qmp_fake import short_socket_path


def create_qcow2(qemu_img: str, path: str, size: str = "64M") -> None:
    subprocess.run([qemu_img, "create", "-q", "-f", "qcow2", path, size], check=True,
                   capture_output=True)


def disk_arguments(path: str, node_name: str = "disk0") -> list[str]:
    return ["-blockdev",
            f"driver=qcow2,node-name={node_name},file.driver=file,file.filename={path}"]


def snapshot_names(qemu_img: str, path: str) -> list[str]:
    """The internal snapshots of a qcow2 image that no QEMU holds open any more."""
    result = subprocess.run([qemu_img, "info", "--output=json", path], check=True,
                            capture_output=True, text=True)
    return [snapshot["name"] for snapshot in json.loads(result.stdout).get("snapshots", [])]


class Qemu:
    def __init__(self, binary: str, *extra_arguments: str):
        self._directory, self.path = short_socket_path()
        self.stderr = ""  # what QEMU wrote, once it has ended
        self.process = subprocess.Popen(
            [binary, "-M", "none", "-nodefaults", "-display", "none", "-S",
             "-qmp", f"unix:{self.path},server=on,wait=off", *extra_arguments],
            stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)
        deadline = time.monotonic() + 10
        while not os.path.exists(self.path):
            if self.process.poll() is not None or time.monotonic() > deadline:
                exited = self.process.poll() is not None
                self.stop()
                raise AssertionError("QEMU did not open its QMP socket"
                                     + (f": {self.stderr}" if exited else ""))
            time.sleep(0.01)

    def stop(self):
        """Ends QEMU; on SIGTERM it flushes and closes its disks before it exits."""
        if self.process.poll() is None:
            self.process.terminate()
            try:
                self.process.wait(5)
            except subprocess.TimeoutExpired:
                self.process.kill()
                self.process.wait()
        if not self.process.stderr.closed:
            self.stderr = self.process.stderr.read().decode(errors="replace").strip()
            self.process.stderr.close()
        shutil.rmtree(self._directory, ignore_errors=True)

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.stop()
