"""The module object: its functions, docs, signatures, __all__, probes and the class surface."""

import gc
import shutil
import subprocess
import sys
import textwrap
import weakref

import pytest

FUNCTIONS = [
    # name, text signature, doc text
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


def test_all_lists_the_functions_in_table_order_then_the_class(ffi):
    assert ffi.__all__ == [name for name, _, _ in FUNCTIONS] + ["_QmpClient"]
    assert type(ffi.__all__) is list


def test_module_docstring(ffi):
    assert ffi.__doc__ == (
        "Private Python extension module. Public Python code lives in wrapper modules."
    )
    assert ffi.__name__ == "brindle_core._ffi"


@pytest.mark.parametrize(("name", "signature", "doc"), FUNCTIONS, ids=[f[0] for f in FUNCTIONS])
def test_function_object(ffi, name, signature, doc):
    function = getattr(ffi, name)
    assert type(function).__name__ == "builtin_function_or_method"
    assert function.__name__ == name
    assert function.__text_signature__ == signature
    assert function.__doc__ == doc
    assert function.__self__ is None
    assert function.__module__ == "brindle_core._ffi"


@pytest.mark.parametrize(
    ("probe", "expected"),
    [
        ("has_native_networking", False),
        ("has_native_qmp", True),
        ("has_native_disk_io", True),
        ("has_native_firecracker_api", True),
    ],
)
def test_probes_answer_and_refuse_arguments(ffi, probe, expected):
    function = getattr(ffi, probe)
    assert function() is expected
    with pytest.raises(TypeError, match="takes no arguments"):
        function(1)


def test_qmp_client_class_surface(ffi):
    cls = ffi._QmpClient
    assert cls.__name__ == "_QmpClient"
    assert cls.__module__ == "builtins"
    assert cls.__text_signature__ == "(socket_path)"
    assert not cls.__doc__
    client = cls("/nonexistent/monitor.sock")
    assert not gc.is_tracked(client)
    with pytest.raises(AttributeError):
        client.anything = 1
    with pytest.raises(TypeError):
        weakref.ref(client)
    with pytest.raises(TypeError):
        type("Sub", (cls,), {})


def test_the_only_exported_symbol_is_the_init_function(ffi):
    nm = shutil.which("nm")
    if nm is None:
        pytest.skip("nm is not installed")
    listing = subprocess.run(
        [nm, "-D", "--defined-only", ffi.__file__], capture_output=True, text=True, check=True
    )
    assert [line.split()[-1] for line in listing.stdout.splitlines()] == ["PyInit__ffi"]


def _run_python(code: str) -> subprocess.CompletedProcess:
    return subprocess.run(
        [sys.executable, "-c", textwrap.dedent(code)], capture_output=True, text=True, timeout=60
    )


def test_second_execution_in_one_process_is_an_internal_fault():
    result = _run_python(
        """
        import importlib, sys
        import brindle_core._ffi
        assert "logging" in sys.modules
        del sys.modules["brindle_core._ffi"]
        try:
            importlib.import_module("brindle_core._ffi")
        except BaseException as error:
            kind = type(error)
            print(kind.__module__, kind.__qualname__, kind.__bases__ == (BaseException,))
            print(isinstance(error, Exception))
        else:
            print("imported twice")
        """
    )
    assert result.stdout.splitlines() == ["pyo3_runtime PanicException True", "False"]
    assert "internal fault" in result.stderr
