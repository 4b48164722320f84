"""The module's surface: every function and method, their binding and conversion errors, the
networking stubs, the class, the one export, the panic exception and the typing stub."""

import gc
import pathlib
import subprocess
import sys
import weakref

import brindle_core
import pytest
from support.checks import check_error, repeated

NOT_AVAILABLE = "Not available on this platform"
PANIC_CONVERT = "cannot convert float seconds to Duration: value is either too big or NaN"
NONE = "/nonexistent/monitor.sock"


class Index:
    def __init__(self, value):
        self.value = value

    def __index__(self):
        return self.value


class Text(str):
    pass


def numpy_bool(*truth):
    """A type that looks like numpy's boolean scalar (module "numpy", name "bool_")."""
    namespace = {"__module__": "numpy"}
    if truth:
        namespace["__bool__"] = lambda _: truth[0]
    return type("bool_", (), namespace)()


class IterationFails(list):
    def __init__(self, kind, text):
        super().__init__(["disk0"])
        self.kind, self.text = kind, text

    def __iter__(self):
        yield "disk0"
        raise self.kind(self.text)


class SubTypeError(TypeError):
    pass


def client(m):
    return m._QmpClient(NONE)


def snapshot(devices):
    return lambda m: client(m).snapshot_save("j", "t", "disk0", devices)


def argument(name, text):
    return f"argument '{name}': {text}"


# (call, exception, text): nothing in these calls reaches a peer or a file.
ERRORS = [
    # Binding: surplus positionals, then keywords in order, then the missing ones.
    (lambda m: m.clone_or_sparse_copy(), TypeError,
     "clone_or_sparse_copy() missing 2 required positional arguments: 'source' and 'target'"),
    (lambda m: m.clone_or_sparse_copy("a"), TypeError,
     "clone_or_sparse_copy() missing 1 required positional argument: 'target'"),
    (lambda m: m.firecracker_request("s", method="GET"), TypeError,
     "firecracker_request() missing 3 required positional arguments: "
     "'path', 'body_json', and 'timeout'"),
    (lambda m: m.decompress_zstd_sparse("a", "b", 1, 2), TypeError,
     "decompress_zstd_sparse() takes from 2 to 3 positional arguments but 4 were given"),
    (lambda m: m.clone_or_sparse_copy("a", "b", "c", dest=1), TypeError,
     "clone_or_sparse_copy() takes 2 positional arguments but 3 were given"),
    (lambda m: m.firecracker_request("s", bogus=1), TypeError,
     "firecracker_request() got an unexpected keyword argument 'bogus'"),
    (lambda m: m.clone_or_sparse_copy("a", "b", source="c"), TypeError,
     "clone_or_sparse_copy() got multiple values for argument 'source'"),
    (lambda m: m._QmpClient(), TypeError,
     "_QmpClient.__new__() missing 1 required positional argument: 'socket_path'"),
    (lambda m: client(m).execute("x"), TypeError,
     "_QmpClient.execute() missing 1 required positional argument: 'arguments_json'"),
    (lambda m: m.has_native_qmp(1), TypeError,
     "brindle_core._ffi.has_native_qmp() takes no arguments (1 given)"),
    # Conversion, left to right, stopping at the first failure.
    (lambda m: m.clone_or_sparse_copy(pathlib.Path("a"), "b"), TypeError,
     argument("source", "'PosixPath' object is not an instance of 'str'")),
    (lambda m: m.clone_or_sparse_copy(None, "b"), TypeError,
     argument("source", "'None' is not an instance of 'str'")),
    (lambda m: m.add_route(1, 999, 2), TypeError,
     argument("_dest", "'int' object is not an instance of 'str'")),
    (lambda m: m.add_route("d", 999, 2), OverflowError,
     "out of range integral type conversion attempted"),
    (lambda m: m.delete_tap("\ud800"), UnicodeEncodeError, None),
    (lambda m: m.decompress_zstd_sparse("a", "b", None), TypeError,
     argument("chunk_size", "'NoneType' object cannot be interpreted as an integer")),
    (lambda m: m.decompress_zstd_sparse("a", "b", -1), OverflowError,
     "can't convert negative int to unsigned"),
    (lambda m: m.decompress_zstd_sparse("a", "b", 2**64), OverflowError, "int too big to convert"),
    (lambda m: m.firecracker_wait_for_socket("s", "1"), TypeError,
     argument("timeout", "must be real number, not str")),
    (lambda m: m.create_tap("t", -1), OverflowError,
     "out of range integral type conversion attempted"),
    (lambda m: m.create_tap("t", 2**64), OverflowError, "Python int too large to convert to C long"),
    (lambda m: m.add_route("d", 1.0, "e"), TypeError,
     argument("_prefix_len", "'float' object cannot be interpreted as an integer")),
    (lambda m: m.prepare_tap("t", 0, "ip", 24, 1), TypeError,
     argument("_route_localnet", "'int' object is not an instance of 'bool'")),
    (lambda m: m.prepare_tap("t", 0, "ip", 24, None), TypeError,
     argument("_route_localnet", "'None' is not an instance of 'bool'")),
    (lambda m: m.prepare_tap("t", 0, "ip", 24, numpy_bool()), TypeError,
     argument("_route_localnet", "object of type 'bool_' does not define a '__bool__' conversion")),
    (lambda m: m._QmpClient(None), TypeError,
     argument("socket_path", "'None' is not an instance of 'str'")),
    (lambda m: client(m).connect("1", 1), TypeError,
     argument("timeout", "must be real number, not str")),
    (lambda m: client(m).execute("x", {}), TypeError,
     argument("arguments_json", "'dict' object is not an instance of 'str'")),
    (lambda m: client(m).wait_for_job("j", 1, None), TypeError,
     argument("poll_interval", "must be real number, not NoneType")),
    (lambda m: client(m).dismiss_job(1), TypeError,
     argument("job_id", "'int' object is not an instance of 'str'")),
    # devices: any sequence of str but a str; only an exact TypeError of the iteration reworded.
    (snapshot("disk0"), TypeError, argument("devices", "Can't extract `str` to `Vec`")),
    (snapshot(Text("disk0")), TypeError, argument("devices", "Can't extract `str` to `Vec`")),
    (snapshot(None), TypeError, argument("devices", "'None' is not an instance of 'Sequence'")),
    (snapshot(["disk0", 1]), TypeError,
     argument("devices", "'int' object is not an instance of 'str'")),
    (snapshot(IterationFails(TypeError, "broken")), TypeError, argument("devices", "broken")),
    (snapshot(IterationFails(SubTypeError, "sub")), SubTypeError, "sub"),
    (snapshot(IterationFails(OSError, "gone")), OSError, "gone"),
    # Refused before any connect: a connect to this path would end in another error.
    (lambda m: client(m).execute("x", "{"), RuntimeError,
     '{"context":{"socket_path":"/nonexistent/monitor.sock"},"message":"syntax error while '
     'parsing object key - unexpected end of input; expected string literal at line 1 column 1"}'),
    (lambda m: client(m).execute("x", "[" * 100_000 + "]" * 100_000), RuntimeError,
     '{"context":{"socket_path":"/nonexistent/monitor.sock"},'
     '"message":"nesting deeper than 127 levels at line 1 column 128"}'),
    (lambda m: client(m).connect(1e19, 1), RuntimeError,
     '{"context":{"socket_path":"/nonexistent/monitor.sock"},'
     '"message":"timeout is too large to be represented"}'),
    (lambda m: client(m).wait_for_job("j", 0, 1), RuntimeError,
     '{"context":{"job_id":"j","last_status":null,"socket_path":"/nonexistent/monitor.sock"},'
     '"message":"Timed out waiting for QMP job"}'),
    # Time-outs no clock can hold: internal faults, before any connection.
    (lambda m: m.firecracker_request(NONE, "GET", "/", None, float("inf")), "PanicException",
     PANIC_CONVERT),
    (lambda m: m.firecracker_wait_for_socket(NONE, 2.0**64), "PanicException", PANIC_CONVERT),
    (lambda m: m.firecracker_wait_for_socket(NONE, 2.0**63), "PanicException",
     "overflow when adding duration to instant"),
    # Networking: every function whose arguments convert gives the one answer of this build.
    *((lambda m, name=name, args=args: getattr(m, name)(*args), OSError, NOT_AVAILABLE)
      for name, args in [("get_default_interface", ()), ("create_tap", ("t", Index(2**32 - 1))),
                         ("delete_tap", (Text("t"),)), ("set_link_up", ("t",)),
                         ("flush_addrs", ("",)), ("add_addr", ("t", "not an address", True)),
                         ("configure_tap", ("t", "ip", Index(255))), ("add_route", ("d", 8, "t")),
                         ("prepare_tap", ("t", 0, "ip", 24)), ("write_sysctl", ("k", "v")),
                         ("prepare_tap", ("t", 0, "ip", 24, numpy_bool(False)))]),
]


@pytest.mark.parametrize(("call", "kind", "text"), ERRORS)
def test_errors(ffi, call, kind, text):
    repeated(lambda: check_error(lambda: call(ffi), kind, text))


def test_a_reworded_error_keeps_the_cause(ffi):
    class Caused:
        def __float__(self):
            raise TypeError("no float here") from KeyError("root")

    error = check_error(lambda: ffi.firecracker_wait_for_socket("s", Caused()), TypeError,
                        argument("timeout", "no float here"))
    assert type(error.__cause__) is KeyError


FUNCTIONS = [
    ("has_native_networking", "()", "Return whether native Linux networking helpers are available."),
    ("has_native_qmp", "()", "Return whether the native QMP client is available."),
    ("has_native_disk_io", "()", "Return whether native host disk/image helpers are available."),
    ("has_native_firecracker_api", "()", "Return whether the Firecracker API client is available."),
    ("create_tap", "(_name, _owner_uid)", None),
    ("delete_tap", "(_name)", None),
    ("set_link_up", "(_name)", None),
    ("flush_addrs", "(_name)", None),
    ("add_addr", "(_name, _ip, _prefix_len)", None),
    ("configure_tap", "(_name, _host_ip, _prefix_len)", None),
    ("prepare_tap", "(_name, _owner_uid, _host_ip, _prefix_len, _route_localnet=True)", None),
    ("add_route", "(_dest, _prefix_len, _dev)", None),
    ("get_default_interface", "()", None),
    ("write_sysctl", "(_key, _value)", None),
    ("clone_or_sparse_copy", "(source, target)", None),
    ("decompress_zstd_sparse", "(source, target, chunk_size=1048576)", None),
    ("firecracker_request", "(socket_path, method, path, body_json, timeout)", None),
    ("firecracker_wait_for_socket", "(socket_path, timeout)", None),
]

METHODS = [
    ("connect", "timeout, read_timeout"), ("execute", "command, arguments_json"),
    ("stop_vm", ""), ("cont", ""), ("snapshot_save", "job_id, tag, vmstate, devices"),
    ("snapshot_load", "job_id, tag, vmstate, devices"), ("snapshot_delete", "job_id, tag, devices"),
    ("blockdev_snapshot_internal_sync", "device, name"),
    ("blockdev_snapshot_delete_internal_sync", "device, name"), ("query_jobs", ""),
    ("dismiss_job", "job_id"), ("wait_for_job", "job_id, timeout, poll_interval"), ("close", ""),
]


def test_module_functions_and_probes(ffi):
    assert ffi.__doc__ == ("Private Python extension module. Public Python code lives in "
                           "wrapper modules.")
    assert type(ffi.__all__) is list
    assert ffi.__all__ == [name for name, _, _ in FUNCTIONS] + ["_QmpClient"]
    for name, signature, doc in FUNCTIONS:
        function = getattr(ffi, name)
        assert (function.__name__, function.__text_signature__, function.__doc__,
                function.__self__, function.__module__) == (name, signature, doc, None, ffi.__name__)
    assert [getattr(ffi, name)() for name, _, _ in FUNCTIONS[:4]] == [False, True, True, True]


def test_client_class(ffi):
    cls = ffi._QmpClient
    assert (cls.__name__, cls.__module__, cls.__text_signature__, cls.__doc__) == (
        "_QmpClient", "builtins", "(socket_path)", "")
    assert [name for name in vars(cls) if not name.startswith("__")] == [m for m, _ in METHODS]
    for name, parameters in METHODS:
        method = getattr(cls, name)
        assert method.__text_signature__ == f"($self{', ' if parameters else ''}{parameters})"
        assert method.__doc__ is None
    instance = cls(NONE)
    assert not gc.is_tracked(instance)
    for refused in (lambda: setattr(instance, "x", 1), lambda: weakref.ref(instance),
                    lambda: type("Sub", (cls,), {})):
        with pytest.raises((AttributeError, TypeError)):
            refused()


def test_the_only_export_is_the_init_function(ffi):
    listing = subprocess.run(["nm", "-D", "--defined-only", ffi.__file__], capture_output=True,
                             text=True, check=True).stdout
    assert [line.split()[-1] for line in listing.splitlines()] == ["PyInit__ffi"]


FRESH_PROCESS = """
import importlib, sys, threading
import brindle_core._ffi as ffi
kinds = []
def panic():
    try:
        ffi.firecracker_request("/none", "GET", "/", None, float("inf"))
    except BaseException as error:
        kinds.append(type(error))
threads = [threading.Thread(target=panic) for _ in range(16)]
for thread in threads: thread.start()
for thread in threads: thread.join()
kind = kinds[0]
print(len(kinds), len(set(kinds)), kind.__module__, kind.__qualname__, kind.__bases__,
      "logging" in sys.modules)
del sys.modules["brindle_core._ffi"]
try:
    importlib.import_module("brindle_core._ffi")
except BaseException as error:
    print(type(error) is kind)
"""


def test_panic_exception_is_made_once_and_a_second_execution_panics():
    done = subprocess.run([sys.executable, "-c", FRESH_PROCESS], capture_output=True, text=True,
                          timeout=60)
    assert done.stdout.splitlines() == [
        "16 1 pyo3_runtime PanicException (<class 'BaseException'>,) True", "True"]
    assert "internal fault" in done.stderr


def test_the_stub_matches_the_module():
    package = pathlib.Path(brindle_core.__file__).parent
    assert (package / "py.typed").is_file()
    done = subprocess.run([sys.executable, "-m", "mypy.stubtest", "--concise", "brindle_core._ffi"],
                          cwd=package.parent, capture_output=True, text=True, timeout=600)
    assert done.returncode == 0, done.stdout + done.stderr
