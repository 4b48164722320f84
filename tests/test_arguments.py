"""Argument binding, conversions and their exact errors, shared by every function."""

import pathlib

import pytest


def raised(call):
    with pytest.raises(BaseException) as info:
        call()
    return info.value


@pytest.mark.parametrize(
    ("call", "message"),
    [
        (
            lambda m: m.clone_or_sparse_copy(),
            "clone_or_sparse_copy() missing 2 required positional arguments: 'source' and 'target'",
        ),
        (
            lambda m: m.clone_or_sparse_copy("a"),
            "clone_or_sparse_copy() missing 1 required positional argument: 'target'",
        ),
        (
            lambda m: m.firecracker_request("s", method="GET"),
            "firecracker_request() missing 3 required positional arguments: "
            "'path', 'body_json', and 'timeout'",
        ),
        (
            lambda m: m.decompress_zstd_sparse("a", "b", 1, 2),
            "decompress_zstd_sparse() takes from 2 to 3 positional arguments but 4 were given",
        ),
        (
            lambda m: m.clone_or_sparse_copy("a", "b", "c"),
            "clone_or_sparse_copy() takes 2 positional arguments but 3 were given",
        ),
        (
            lambda m: m.delete_tap("a", "b"),
            "delete_tap() takes 1 positional arguments but 2 were given",
        ),
        (
            lambda m: m.clone_or_sparse_copy("a", "b", dest="c"),
            "clone_or_sparse_copy() got an unexpected keyword argument 'dest'",
        ),
        (
            lambda m: m.clone_or_sparse_copy("a", "b", source="c"),
            "clone_or_sparse_copy() got multiple values for argument 'source'",
        ),
        (
            lambda m: m._QmpClient(),
            "_QmpClient.__new__() missing 1 required positional argument: 'socket_path'",
        ),
        (
            lambda m: m._QmpClient("a", path="b"),
            "_QmpClient.__new__() got an unexpected keyword argument 'path'",
        ),
    ],
)
def test_binding_errors(ffi, call, message):
    error = raised(lambda: call(ffi))
    assert type(error) is TypeError
    assert str(error) == message


def test_binding_checks_surplus_before_keywords_before_missing(ffi):
    # Surplus positionals win over a bad keyword; a bad keyword wins over a missing parameter.
    error = raised(lambda: ffi.clone_or_sparse_copy("a", "b", "c", dest=1))
    assert "takes 2 positional arguments but 3 were given" in str(error)
    error = raised(lambda: ffi.firecracker_request("s", bogus=1))
    assert str(error) == "firecracker_request() got an unexpected keyword argument 'bogus'"


def test_keywords_fill_parameters_and_defaults_apply(ffi):
    error = raised(
        lambda: ffi.prepare_tap(_prefix_len=24, _host_ip="10.0.0.1", _owner_uid=0, _name="tap0")
    )
    assert type(error) is OSError and str(error) == "Not available on this platform"


class StrSubclass(str):
    pass


@pytest.mark.parametrize(
    ("call", "kind", "message"),
    [
        (
            lambda m: m.clone_or_sparse_copy(pathlib.Path("a"), "b"),
            TypeError,
            "argument 'source': 'PosixPath' object is not an instance of 'str'",
        ),
        (
            lambda m: m.clone_or_sparse_copy(None, "b"),
            TypeError,
            "argument 'source': 'None' is not an instance of 'str'",
        ),
        (
            lambda m: m.delete_tap(b"tap0"),
            TypeError,
            "argument '_name': 'bytes' object is not an instance of 'str'",
        ),
        (
            lambda m: m.decompress_zstd_sparse("a", "b", 1.5),
            TypeError,
            "argument 'chunk_size': 'float' object cannot be interpreted as an integer",
        ),
        (
            lambda m: m.decompress_zstd_sparse("a", "b", None),
            TypeError,
            "argument 'chunk_size': 'NoneType' object cannot be interpreted as an integer",
        ),
        (
            lambda m: m.decompress_zstd_sparse("a", "b", -1),
            OverflowError,
            "can't convert negative int to unsigned",
        ),
        (
            lambda m: m.decompress_zstd_sparse("a", "b", 2**64),
            OverflowError,
            "int too big to convert",
        ),
        (
            lambda m: m.firecracker_wait_for_socket("s", "1"),
            TypeError,
            "argument 'timeout': must be real number, not str",
        ),
        (
            lambda m: m.create_tap("t", -1),
            OverflowError,
            "out of range integral type conversion attempted",
        ),
        (
            lambda m: m.create_tap("t", 2**32),
            OverflowError,
            "out of range integral type conversion attempted",
        ),
        (
            lambda m: m.create_tap("t", 2**64),
            OverflowError,
            "Python int too large to convert to C long",
        ),
        (
            lambda m: m.add_route("10.0.0.0", 256, "eth0"),
            OverflowError,
            "out of range integral type conversion attempted",
        ),
        (
            lambda m: m.add_route("10.0.0.0", 1.0, "eth0"),
            TypeError,
            "argument '_prefix_len': 'float' object cannot be interpreted as an integer",
        ),
        (
            lambda m: m.prepare_tap("t", 0, "ip", 24, 1),
            TypeError,
            "argument '_route_localnet': 'int' object is not an instance of 'bool'",
        ),
        (
            lambda m: m.prepare_tap("t", 0, "ip", 24, None),
            TypeError,
            "argument '_route_localnet': 'None' is not an instance of 'bool'",
        ),
    ],
)
def test_conversion_errors(ffi, call, kind, message):
    error = raised(lambda: call(ffi))
    assert type(error) is kind
    assert str(error) == message


def test_conversions_run_left_to_right_and_stop_at_the_first_failure(ffi):
    error = raised(lambda: ffi.add_route(1, 999, 2))
    assert str(error) == "argument '_dest': 'int' object is not an instance of 'str'"
    error = raised(lambda: ffi.add_route("d", 999, 2))
    assert type(error) is OverflowError


def test_text_without_utf8_form_raises_the_encode_error_unchanged(ffi):
    error = raised(lambda: ffi.delete_tap("\ud800"))
    assert type(error) is UnicodeEncodeError


class Index:
    def __init__(self, value):
        self.value = value

    def __index__(self):
        return self.value


class Floaty:
    def __float__(self):
        return 0.01


@pytest.mark.parametrize(
    "call",
    [
        lambda m: m.delete_tap(StrSubclass("tap0")),
        lambda m: m.create_tap("t", Index(1000)),
        lambda m: m.create_tap("t", 4294967295),
        lambda m: m.add_addr("t", "ip", Index(255)),
        lambda m: m.add_addr("t", "ip", True),  # bool is an int for the integer kinds
        lambda m: m.prepare_tap("t", 0, "ip", 0, False),
        lambda m: m.get_default_interface(),
    ],
)
def test_accepted_values_reach_the_networking_error(ffi, call):
    error = raised(lambda: call(ffi))
    assert type(error) is OSError
    assert error.args == ("Not available on this platform",)
    assert error.errno is None and error.strerror is None and error.filename is None


def numpy_like_bool(truth=None):
    """A type that looks like numpy's boolean scalar: module "numpy", name "bool_"."""
    namespace = {"__module__": "numpy"}
    if truth is not None:
        namespace["__bool__"] = lambda self: truth
    return type("bool_", (), namespace)()


def test_numpy_booleans_go_through_their_truth_slot(ffi):
    error = raised(lambda: ffi.prepare_tap("t", 0, "ip", 0, numpy_like_bool(False)))
    assert type(error) is OSError
    error = raised(lambda: ffi.prepare_tap("t", 0, "ip", 0, numpy_like_bool()))
    assert type(error) is TypeError
    assert str(error) == (
        "argument '_route_localnet': object of type 'bool_' does not define a '__bool__' conversion"
    )


def test_rewording_keeps_the_cause_and_leaves_subclasses_alone(ffi):
    class CausedFloat:
        def __float__(self):
            raise TypeError("no float here") from KeyError("root")

    error = raised(lambda: ffi.firecracker_wait_for_socket("s", CausedFloat()))
    assert type(error) is TypeError
    assert str(error) == "argument 'timeout': no float here"
    assert type(error.__cause__) is KeyError

    class SpecialTypeError(TypeError):
        pass

    class SpecialFloat:
        def __float__(self):
            raise SpecialTypeError("special")

    error = raised(lambda: ffi.firecracker_wait_for_socket("s", SpecialFloat()))
    assert type(error) is SpecialTypeError and str(error) == "special"


def test_float_conversion_accepts_ints_and_float_protocols(ffi, tmp_path):
    missing = str(tmp_path / "missing.sock")
    for timeout in (0, Floaty(), Index(0), 0.0):
        error = raised(lambda: ffi.firecracker_wait_for_socket(missing, timeout))
        assert type(error) is OSError and str(error) == "wait_for_socket timed out"
