"""Leak measurement over many calls: descriptors, interpreter memory blocks, references.

`assert_no_leaks(call)` runs `call` a few times to warm up caches, then thousands of times, and
compares the process before and after:

- open descriptors: exactly unchanged;
- `sys.getallocatedblocks()`: the interpreter's live memory blocks; a leaked object or buffer per
  call shows as thousands, interpreter caches as a handful (not counted under PYTHONMALLOC=malloc,
  as in the sanitizer run, where LeakSanitizer covers leaks instead);
- `sys.gettotalrefcount()`: only on the debug interpreter, and only when the extension was
  compiled against its headers (`tools/dev refleaks`), since a release build's inline reference
  operations do not update the total;
- the C library's heap in use (`mallinfo2`), where the extension's own C++ allocations live:
  calls made on the main thread allocate from its main arena, which this reads (it stays still
  when a sanitizer replaces malloc, where LeakSanitizer takes over).

`call` should check its own outcome, so that the path measured is the one intended; `returns`,
`status_is` and `raises` build such calls, e.g. `raises(f, args, OSError, "message")`.
"""

from __future__ import annotations

import ctypes
import gc
import os
import sys
from collections.abc import Callable
from dataclasses import dataclass

from support.system import open_descriptor_count

ITERATIONS = 2000


def refcounts_tracked() -> bool:
    """Whether the total reference count sees the extension's own reference operations."""
    if not hasattr(sys, "gettotalrefcount"):
        return False
    import brindle_core._ffi

    # A build for the debug interpreter carries its ABI tag ("d") in the file name.
    return ".cpython-314d-" in os.path.basename(brindle_core._ffi.__file__)


def blocks_tracked() -> bool:
    return sys.getallocatedblocks() > 0


class _MallInfo2(ctypes.Structure):
    _fields_ = [
        (name, ctypes.c_size_t)
        for name in ("arena", "ordblks", "smblks", "hblks", "hblkhd", "usmblks", "fsmblks",
                     "uordblks", "fordblks", "keepcost")
    ]


_libc = ctypes.CDLL(None)
_mallinfo2 = getattr(_libc, "mallinfo2", None)
if _mallinfo2 is not None:
    _mallinfo2.restype = _MallInfo2


def native_heap_bytes() -> int:
    """Bytes in use in the main malloc arena, mapped chunks included (0 if unknown)."""
    if _mallinfo2 is None:
        return 0
    info = _mallinfo2()
    return info.uordblks + info.hblkhd


@dataclass(frozen=True)
class Usage:
    descriptors: int
    blocks: int
    references: int
    native_bytes: int

    @staticmethod
    def now() -> Usage:
        gc.collect()
        references = sys.gettotalrefcount() if hasattr(sys, "gettotalrefcount") else 0
        return Usage(open_descriptor_count(), sys.getallocatedblocks(), references,
                     native_heap_bytes())


def assert_no_leaks(call: Callable[[], object], iterations: int = ITERATIONS,
                    warmup: int = 20) -> None:
    """Fails when `iterations` calls leave descriptors, blocks or references behind."""
    for _ in range(warmup):
        call()
    before = Usage.now()
    for _ in range(iterations):
        call()
    after = Usage.now()
    grown = after.descriptors - before.descriptors
    assert grown == 0, f"{grown} descriptors more after {iterations} calls"
    # One leaked object per call would show as `iterations`; a few blocks or references are the
    # interpreter's caches settling (a handful is what is measured), not a leak.
    allowance = min(iterations // 10, 100)
    if blocks_tracked():
        grown = after.blocks - before.blocks
        assert grown < allowance, f"{grown} memory blocks more after {iterations} calls"
    if refcounts_tracked():
        grown = after.references - before.references
        assert grown < allowance, f"{grown} references more after {iterations} calls"
    # The smallest heap chunk is 32 bytes: a leak of any allocation per call exceeds this.
    grown = after.native_bytes - before.native_bytes
    assert grown < 8 * iterations, f"{grown} heap bytes more after {iterations} calls"


def returns(function: Callable, args: tuple, expected: object) -> Callable[[], None]:
    def call() -> None:
        assert function(*args) == expected

    return call


def status_is(function: Callable, args: tuple, status: int) -> Callable[[], None]:
    def call() -> None:
        assert function(*args)[0] == status

    return call


# The panic exception class is not importable; it is recognised by name.
PANIC = "PanicException"


def raises(function: Callable, args: tuple, kind: type | str, message: str | set[str],
           kwargs: dict | None = None) -> Callable[[], None]:
    texts = {message} if isinstance(message, str) else message

    def call() -> None:
        try:
            function(*args, **(kwargs or {}))
        except BaseException as error:  # PanicException derives from BaseException
            if isinstance(kind, str):
                assert type(error).__name__ == kind, repr(error)
            else:
                assert type(error) is kind, repr(error)
            assert str(error) in texts, repr(error)
        else:
            raise AssertionError("no exception")

    return call
