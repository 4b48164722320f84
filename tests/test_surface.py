"""The module's surface: every function and method, their binding and conversion errors, the
networking stubs, the class, the one export, the panic exception and the typing stub."""

import ast
import errno
import pathlib
import subprocess
import sys
import time

import brindle_core
import brindle_core._ffi as ffi
import pytest
from support.checks import check_error, os_text, outcome, repeated

NOT_AVAILABLE = "Not available on this platform"
PANIC_CONVERT = "cannot convert float seconds to Duration: value is either too big or NaN"
Text = type("Text", (str,), {})
SubTypeError = type("SubTypeError", (TypeError,), {})
client = ffi._QmpClient("/nonexistent/monitor.sock")


def index(value):
    return type("Index", (), {"__index__": lambda _: value})()


def numpy_bool(*truth):  # an object whose type looks like numpy's boolean scalar
    return type("bool_", (), {"__module__": "numpy", **(
        {"__bool__": lambda _: truth[0]} if truth else {})})()


def failing(kind, text):  # a list whose iteration raises kind(text) after the first item
    def items():
        yield "disk0"
        raise kind(text)
    return type("Failing", (list,), {"__iter__": lambda _: items()})(["disk0"])


def argument(name, text):
    return f"argument '{name}': {text}"


class Caused:
    def __float__(self):
        raise TypeError("no float here") from KeyError("root")


def get(path):
    return ffi.firecracker_request(path, "GET", "/", None, 1.0)


# (call, exception, its text): nothing in these calls reaches a peer or writes a file.
ERRORS = [
    # Binding: surplus positionals, then keywords in order, then the missing ones.
    ("ffi.clone_or_sparse_copy()", TypeError,
     "clone_or_sparse_copy() missing 2 required positional arguments: 'source' and 'target'"),
    ('ffi.firecracker_request("s", method="GET")', TypeError,
     "firecracker_request() missing 3 required positional arguments: "
     "'path', 'body_json', and 'timeout'"),
    ('ffi.decompress_zstd_sparse("a", "b", 1, 2)', TypeError,
     "decompress_zstd_sparse() takes from 2 to 3 positional arguments but 4 were given"),
    ('ffi.clone_or_sparse_copy("a", "b", "c", dest=1)', TypeError,
     "clone_or_sparse_copy() takes 2 positional arguments but 3 were given"),
    ('ffi.firecracker_request("s", bogus=1)', TypeError,
     "firecracker_request() got an unexpected keyword argument 'bogus'"),
    ('ffi.clone_or_sparse_copy("a", "b", source="c")', TypeError,
     "clone_or_sparse_copy() got multiple values for argument 'source'"),
    ("ffi._QmpClient()", TypeError,
     "_QmpClient.__new__() missing 1 required positional argument: 'socket_path'"),
    ('client.execute("x")', TypeError,
     "_QmpClient.execute() missing 1 required positional argument: 'arguments_json'"),
    # Conversion, left to right, stopping at the first failure; a reworded error keeps its cause.
    ('ffi.firecracker_wait_for_socket("s", Caused())', TypeError,
     argument("timeout", "no float here")),
    ('ffi.clone_or_sparse_copy(pathlib.Path("a"), "b")', TypeError,
     argument("source", "'PosixPath' object is not an instance of 'str'")),
    ('ffi.clone_or_sparse_copy(None, "b")', TypeError,
     argument("source", "'None' is not an instance of 'str'")),
    ("ffi.add_route(1, 999, 2)", TypeError,
     argument("_dest", "'int' object is not an instance of 'str'")),
    ('ffi.add_route("d", 999, 2)', OverflowError,
     "out of range integral type conversion attempted"),
    ('ffi.delete_tap("\\ud800")', UnicodeEncodeError, None),
    ('ffi.decompress_zstd_sparse("a", "b", None)', TypeError,
     argument("chunk_size", "'NoneType' object cannot be interpreted as an integer")),
    ('ffi.decompress_zstd_sparse("a", "b", -1)', OverflowError,
     "can't convert negative int to unsigned"),
    ('ffi.decompress_zstd_sparse("a", "b", 2**64)', OverflowError, "int too big to convert"),
    ('ffi.firecracker_wait_for_socket("s", "1")', TypeError,
     argument("timeout", "must be real number, not str")),
    ('ffi.create_tap("t", -1)', OverflowError, "out of range integral type conversion attempted"),
    ('ffi.create_tap("t", 2**64)', OverflowError, "Python int too large to convert to C long"),
    ('ffi.prepare_tap("t", 0, "ip", 24, 1)', TypeError,
     argument("_route_localnet", "'int' object is not an instance of 'bool'")),
    ('ffi.prepare_tap("t", 0, "ip", 24, None)', TypeError,
     argument("_route_localnet", "'NoneType' object is not an instance of 'bool'")),
    ('ffi.prepare_tap("t", 0, "ip", 24, numpy_bool())', TypeError,
     argument("_route_localnet", "object of type 'bool_' does not define a '__bool__' conversion")),
    # devices: any sequence of str but a str; only an exact TypeError of the iteration reworded.
    ('client.snapshot_save("j", "t", "v", "disk0")', TypeError,
     argument("devices", "Can't extract `str` to `Vec`")),
    ('client.snapshot_load("j", "t", "v", Text("d"))', TypeError,
     argument("devices", "Can't extract `str` to `Vec`")),
    ('client.snapshot_delete("j", "t", None)', TypeError,
     argument("devices", "'None' is not an instance of 'Sequence'")),
    ('client.snapshot_save("j", "t", "v", ["disk0", 1])', TypeError,
     argument("devices", "'int' object is not an instance of 'str'")),
    ('client.snapshot_save("j", "t", "v", failing(TypeError, "broken"))', TypeError,
     argument("devices", "broken")),
    ('client.snapshot_save("j", "t", "v", failing(SubTypeError, "sub"))', SubTypeError, "sub"),
    ('client.snapshot_save("j", "t", "v", failing(OSError, "gone"))', OSError, "gone"),
    # Refused before any connect: a connect to this path would end in another error.
    ('client.execute("x", "{")', RuntimeError,
     '{"context":{"socket_path":"/nonexistent/monitor.sock"},"message":"syntax error while '
     'parsing object key - unexpected end of input; expected string literal at line 1 column 1"}'),
    ('client.execute("x", "[" * 100_000 + "]" * 100_000)', RuntimeError,
     '{"context":{"socket_path":"/nonexistent/monitor.sock"},'
     '"message":"nesting deeper than 127 levels at line 1 column 128"}'),
    ('client.wait_for_job("j", 0, 1)', RuntimeError,
     '{"context":{"job_id":"j","last_status":null,"socket_path":"/nonexistent/monitor.sock"},'
     '"message":"Timed out waiting for QMP job"}'),
    # Connecting: a missing path, a file that is no socket, the size of sun_path, a NUL.
    ('get("/nonexistent.sock")', OSError, os_text(errno.ENOENT)),
    ("get(ffi.__file__)", OSError, os_text(errno.ECONNREFUSED)),
    ('get("/" + "x" * 106)', OSError, os_text(errno.ENOENT)),  # with its NUL, sun_path's size
    ('get("/" + "x" * 107)', OSError, "path must be shorter than SUN_LEN"),
    ('get("/a\\0b")', OSError, "paths must not contain interior null bytes"),
    # Time-outs no clock can hold: internal faults, before any connection.
    ('ffi.firecracker_request("/none", "GET", "/", None, float("inf"))', "PanicException",
     PANIC_CONVERT),
    ('ffi.firecracker_wait_for_socket("/none", 2.0**64)', "PanicException", PANIC_CONVERT),
    ('ffi.firecracker_wait_for_socket("/none", 2.0**63)', "PanicException",
     "overflow when adding duration to instant"),
    # Networking: every function whose arguments convert gives the one answer of this build.
    *((call, OSError, NOT_AVAILABLE) for call in [
        "ffi.get_default_interface()", 'ffi.create_tap("t", index(2**32 - 1))',
        'ffi.delete_tap(Text("t"))', 'ffi.set_link_up("t")', 'ffi.flush_addrs("")',
        'ffi.add_addr("t", "not an address", True)', 'ffi.configure_tap("t", "ip", index(255))',
        'ffi.add_route("d", 8, "t")', 'ffi.prepare_tap("t", 0, "ip", 24)',
        'ffi.prepare_tap(_prefix_len=24, _host_ip="ip", _owner_uid=0, _name="t")',
        'ffi.prepare_tap("t", 0, "ip", 24, numpy_bool(False))', 'ffi.write_sysctl("k", "v")']),
]


@pytest.mark.parametrize(("call", "kind", "text"), ERRORS, ids=[row[0] for row in ERRORS])
def test_errors(call, kind, text):
    error = repeated(lambda: check_error(lambda: eval(call), kind, text))
    assert type(error.__cause__) is (KeyError if "Caused" in call else type(None))


def test_refused_calls_reach_no_peer(peer):
    # The rows above with a peer at the path: each call is refused before it connects.
    server = peer()
    client = ffi._QmpClient(server.path)
    for call in (lambda: ffi.firecracker_request(server.path, "GET", "/", None, float("inf")),
                 lambda: ffi.firecracker_request(server.path, "GET", "/", 5, 1.0),
                 lambda: client.execute("x", "{"), lambda: client.wait_for_job("j", 0, 1)):
        assert isinstance(outcome(call), BaseException)
    time.sleep(0.1)
    assert server.accepted == 0


def test_the_module_matches_the_stub():
    # stubtest compares the stub's parameter lists with the text signatures; the rest is here.
    package = pathlib.Path(brindle_core.__file__).parent
    stub = ast.parse((package / "_ffi.pyi").read_text())
    done = subprocess.run([sys.executable, "-m", "mypy.stubtest", "--concise", "brindle_core._ffi"],
                          cwd=package.parent, capture_output=True, text=True, timeout=600)
    assert done.returncode == 0 and (package / "py.typed").is_file(), done.stdout + done.stderr
    (names,) = [ast.literal_eval(node.value) for node in stub.body if isinstance(node, ast.Assign)]
    docs = {node.name: ast.get_docstring(node) for node in stub.body
            if isinstance(node, ast.FunctionDef)}
    assert ffi.__doc__ == ast.get_docstring(stub)
    assert type(ffi.__all__) is list and ffi.__all__ == names
    for name in names[:-1]:
        function = getattr(ffi, name)
        assert (function.__name__, function.__doc__, function.__self__, function.__module__) == (
            name, docs[name], None, ffi.__name__)
    assert [getattr(ffi, name)() for name in names[:4]] == [False, True, True, True]
    (cls,) = [node for node in stub.body if isinstance(node, ast.ClassDef)]
    methods = [node.name for node in cls.body if isinstance(node, ast.FunctionDef)]
    assert [name for name in vars(ffi._QmpClient) if not name.startswith("__")] == methods[1:]
    assert all(getattr(ffi._QmpClient, name).__doc__ is None for name in methods[1:])
    assert (ffi._QmpClient.__module__, ffi._QmpClient.__doc__) == ("builtins", "")
    listing = subprocess.run(["nm", "-D", "--defined-only", ffi.__file__], capture_output=True,
                             text=True, check=True).stdout
    assert [line.split()[-1] for line in listing.splitlines()] == ["PyInit__ffi"]  # the only export


FRESH_PROCESS = """
import importlib, sys
from concurrent.futures import ThreadPoolExecutor
from support.checks import outcome
import brindle_core._ffi as ffi
panic = lambda _: type(outcome(lambda: ffi.firecracker_request("/none", "GET", "/", None, 1e400)))
with ThreadPoolExecutor(16) as pool:
    kinds = set(pool.map(panic, range(16)))
(kind,) = kinds
print(kind.__module__, kind.__qualname__, kind.__bases__, "logging" in sys.modules)
del sys.modules["brindle_core._ffi"]
print(type(outcome(lambda: importlib.import_module("brindle_core._ffi"))) is kind)
"""


def test_panic_exception_is_made_once_and_a_second_execution_panics():
    done = subprocess.run([sys.executable, "-c", FRESH_PROCESS], capture_output=True, text=True,
                          timeout=60, cwd=pathlib.Path(__file__).parent)
    assert done.stdout.splitlines() == [
        "pyo3_runtime PanicException (<class 'BaseException'>,) True", "True"], done.stderr
    assert "internal fault" in done.stderr

