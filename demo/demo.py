"""What brindle_core._ffi offers on this host."""

import brindle_core._ffi as ffi


def main() -> None:
    print("brindle_core._ffi:", ffi.__doc__)
    for probe in ("has_native_qmp", "has_native_disk_io", "has_native_firecracker_api",
                  "has_native_networking"):
        print(f"  {probe}() -> {getattr(ffi, probe)()}")
    print("functions:")
    for name in ffi.__all__:
        obj = getattr(ffi, name)
        print(f"  {name}{obj.__text_signature__}")


if __name__ == "__main__":
    main()
