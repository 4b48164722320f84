"""The README's examples, run in order as one script against a real QEMU and a real nginx."""

import re
from pathlib import Path

README = Path(__file__).resolve().parent.parent / "README.md"


def test_readme_examples_run(qemu, nginx, tmp_path):
    text = README.read_text()
    blocks = [(text.count("\n", 0, found.start(1)), found.group(1))
              for found in re.finditer(r"^```python\n(.*?)^```$", text, re.M | re.S)]
    assert len(blocks) >= 7
    workdir = tmp_path / "work"  # the qemu fixture keeps its socket and disk in tmp_path
    workdir.mkdir()
    namespace = {"__name__": "readme", "qmp_socket": qemu,
                 "api_socket": nginx, "workdir": str(workdir)}
    for line, block in blocks:
        # Blank lines in front: a failing example's traceback points at the README's own line.
        exec(compile("\n" * line + block, str(README), "exec"), namespace)
