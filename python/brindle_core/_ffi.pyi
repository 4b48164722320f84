"""Private Python extension module. Public Python code lives in wrapper modules."""

from collections.abc import Sequence
from typing import final

__all__ = [
    "has_native_networking",
    "has_native_qmp",
    "has_native_disk_io",
    "has_native_firecracker_api",
    "create_tap",
    "delete_tap",
    "set_link_up",
    "flush_addrs",
    "add_addr",
    "configure_tap",
    "prepare_tap",
    "add_route",
    "get_default_interface",
    "write_sysctl",
    "clone_or_sparse_copy",
    "decompress_zstd_sparse",
    "firecracker_request",
    "firecracker_wait_for_socket",
    "_QmpClient",
]

def has_native_networking() -> bool:
    """Return whether native Linux networking helpers are available."""

def has_native_qmp() -> bool:
    """Return whether the native QMP client is available."""

def has_native_disk_io() -> bool:
    """Return whether native host disk/image helpers are available."""

def has_native_firecracker_api() -> bool:
    """Return whether the Firecracker API client is available."""

# Host networking: not available on this build; each raises OSError after converting arguments.
def create_tap(_name: str, _owner_uid: int) -> None: ...
def delete_tap(_name: str) -> None: ...
def set_link_up(_name: str) -> None: ...
def flush_addrs(_name: str) -> None: ...
def add_addr(_name: str, _ip: str, _prefix_len: int) -> None: ...
def configure_tap(_name: str, _host_ip: str, _prefix_len: int) -> None: ...
def prepare_tap(
    _name: str, _owner_uid: int, _host_ip: str, _prefix_len: int, _route_localnet: bool = True
) -> None: ...
def add_route(_dest: str, _prefix_len: int, _dev: str) -> None: ...
def get_default_interface() -> str: ...
def write_sysctl(_key: str, _value: str) -> None: ...

# Disk images. Both return the method used: "sparse".
def clone_or_sparse_copy(source: str, target: str) -> str: ...
def decompress_zstd_sparse(source: str, target: str, chunk_size: int = 1048576) -> str: ...

# Firecracker API over a Unix socket.
def firecracker_request(
    socket_path: str, method: str, path: str, body_json: str | None, timeout: float
) -> tuple[int, str | None]: ...
def firecracker_wait_for_socket(socket_path: str, timeout: float) -> None: ...

@final
class _QmpClient:
    """A client of one QMP monitor socket. Failures raise RuntimeError with JSON text.

    The text is a compact JSON object with exactly the members "context" and "message".
    Commands connect by themselves (5 s deadline, 30 s read time-out) when not connected.
    """

    def __new__(cls, socket_path: str) -> _QmpClient: ...
    def connect(self, timeout: float, read_timeout: float) -> None: ...
    def execute(self, command: str, arguments_json: str | None) -> str:
        """Run one command; arguments and result are JSON text (None: no "arguments")."""
    def stop_vm(self) -> None: ...
    def cont(self) -> None: ...
    # Snapshot jobs: each returns once the monitor accepted the job; follow it with wait_for_job.
    def snapshot_save(
        self, job_id: str, tag: str, vmstate: str, devices: Sequence[str]
    ) -> None: ...
    def snapshot_load(
        self, job_id: str, tag: str, vmstate: str, devices: Sequence[str]
    ) -> None: ...
    def snapshot_delete(self, job_id: str, tag: str, devices: Sequence[str]) -> None: ...
    def blockdev_snapshot_internal_sync(self, device: str, name: str) -> None: ...
    def blockdev_snapshot_delete_internal_sync(self, device: str, name: str) -> None: ...
    def query_jobs(self) -> str:
        """The monitor's jobs as a JSON array of records with job_id, job_type, status,
        current_progress, total_progress and error."""
    def dismiss_job(self, job_id: str) -> None: ...
    def wait_for_job(self, job_id: str, timeout: float, poll_interval: float) -> str:
        """Poll until the job has concluded; return its record as JSON text and dismiss it.

        A job that concluded with an error raises (and is left for dismiss_job).
        """
    def close(self) -> None: ...
