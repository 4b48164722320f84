// The process-wide sink between native log records and Python's logging module. Nothing in this
// module emits records yet; the bridge is registered at most once per process.
#pragma once

namespace brindle::py {

// Imports logging and registers the bridge. Throws Panic when logging cannot be imported or a
// bridge is already registered (a second execution of the module in one process).
void register_log_bridge();

}  // namespace brindle::py
