"""Host-side helpers of the virtual-machine manager; the native part is ``brindle_core._ffi``."""
