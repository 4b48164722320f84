"""Host networking functions: on this build each converts its arguments, then reports that it
is not available."""

import pytest

NOT_AVAILABLE = "Not available on this platform"

CALLS = {
    "get_default_interface": (),
    "create_tap": ("tap0", 1000),
    "delete_tap": ("tap0",),
    "set_link_up": ("tap0",),
    "flush_addrs": ("",),
    "add_addr": ("tap0", "not an address", 24),
    "configure_tap": ("tap0", "10.0.0.1", 0),
    "prepare_tap": ("tap0", 0, "10.0.0.1", 255),
    "add_route": ("10.0.0.0", 8, "tap0"),
    "write_sysctl": ("net.ipv4.ip_forward", "1"),
}


@pytest.mark.parametrize(("name", "args"), CALLS.items(), ids=list(CALLS))
def test_every_function_reports_not_available(ffi, name, args):
    with pytest.raises(OSError) as info:
        getattr(ffi, name)(*args)
    assert type(info.value) is OSError
    assert info.value.args == (NOT_AVAILABLE,)
    assert info.value.errno is None


def test_has_native_networking_tells_callers_these_raise(ffi):
    assert ffi.has_native_networking() is False
