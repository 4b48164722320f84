#include "log_bridge.hpp"

#include <Python.h>

#include <atomic>
#include <string>

#include "common/error.hpp"
#include "py_ref.hpp"

namespace brindle::py {

namespace {

enum class BridgeState { Unregistered, Registering, Registered };

std::atomic<BridgeState> bridge_state{BridgeState::Unregistered};
PyObject* logging_module = nullptr;  // kept for the life of the process

std::string describe_pending_error() {
  const PyRef error = PyRef::steal(PyErr_GetRaisedException());
  const PyRef repr = PyRef::steal(error ? PyObject_Repr(error.get()) : nullptr);
  const char* text = repr ? PyUnicode_AsUTF8(repr.get()) : nullptr;
  PyErr_Clear();
  return text != nullptr ? text : "unknown error";
}

}  // namespace

void register_log_bridge() {
  const PyRef name = PyRef::steal(PyUnicode_FromString("logging"));
  PyRef logging = PyRef::steal(name ? PyImport_Import(name.get()) : nullptr);
  if (!logging) panic("Failed to initialize python logging: " + describe_pending_error());

  auto expected = BridgeState::Unregistered;
  if (!bridge_state.compare_exchange_strong(expected, BridgeState::Registering)) {
    panic(
        "the log bridge is already registered in this process; the module cannot be "
        "initialised twice");
  }
  logging_module = logging.release();
  bridge_state.store(BridgeState::Registered);
}

}  // namespace brindle::py
