"""What the tests read from the operating system: open descriptors and error texts."""

import os


def open_descriptor_count() -> int:
    return len(os.listdir("/proc/self/fd"))


def os_error_text(code: int) -> str:
    """The message the module gives for an operating-system error."""
    return f"{os.strerror(code)} (os error {code})"
