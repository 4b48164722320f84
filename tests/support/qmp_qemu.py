"""A real QEMU with nothing but a QMP monitor: no kernel, no accelerator, stopped at start."""

import os
import shutil
import subprocess
import time

from support.qmp_fake import short_socket_path


class Qemu:
    def __init__(self, binary: str, *extra_arguments: str):
        self._directory, self.path = short_socket_path()
        self.process = subprocess.Popen(
            [binary, "-M", "none", "-nodefaults", "-display", "none", "-S",
             "-qmp", f"unix:{self.path},server=on,wait=off", *extra_arguments],
            stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)
        deadline = time.monotonic() + 10
        while not os.path.exists(self.path):
            if self.process.poll() is not None or time.monotonic() > deadline:
                self.stop()
                raise AssertionError("QEMU did not open its QMP socket")
            time.sleep(0.01)

    def stop(self):
        if self.process.poll() is None:
            self.process.terminate()
            try:
                self.process.wait(5)
            except subprocess.TimeoutExpired:
                self.process.kill()
                self.process.wait()
        self.process.stderr.close()
        shutil.rmtree(self._directory, ignore_errors=True)

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.stop()
