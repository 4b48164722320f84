"""The shipped typing stub describes exactly what the built module exposes."""

import pathlib
import subprocess
import sys

import brindle_core


def test_stub_matches_the_built_module():
    package_dir = pathlib.Path(brindle_core.__file__).parent
    assert (package_dir / "_ffi.pyi").is_file() and (package_dir / "py.typed").is_file()
    result = subprocess.run(
        [sys.executable, "-m", "mypy.stubtest", "--concise", "brindle_core._ffi"],
        cwd=package_dir.parent,
        capture_output=True,
        text=True,
        timeout=300,
    )
    assert result.returncode == 0, result.stdout + result.stderr
