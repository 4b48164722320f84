#include "log_bridge.hpp"

#include <Python.h>

#include <atomic>
#include <string>

#include "common/error.hpp"

namespace brindle::py {

namespace {

enum class BridgeState { Unregistered, Registering, Registered };

std::atomic<BridgeState> bridge_state{BridgeState::Unregistered};
PyObject* logging_module = nullptr;  // kept for the life of the process

std::string describe_pending_error() {
  PyObject* error = PyErr_GetRaisedException();
  std::string text = "unknown error";
  if (error != nullptr) {
    PyObject* repr = PyObject_Repr(error);
    const char* utf8 = repr == nullptr ? nullptr : PyUnicode_AsUTF8(repr);
    if (utf8 != nullptr) text = utf8;
    PyErr_Clear();
    Py_XDECREF(repr);
    Py_DECREF(error);
  }
  return text;
}

}  // namespace

void register_log_bridge() {
  PyObject* name = PyUnicode_FromString("logging");
  PyObject* logging = name == nullptr ? nullptr : PyImport_Import(name);
  Py_XDECREF(name);
  if (logging == nullptr) panic("Failed to initialize python logging: " + describe_pending_error());

  auto expected = BridgeState::Unregistered;
  if (!bridge_state.compare_exchange_strong(expected, BridgeState::Registering)) {
    Py_DECREF(logging);
    panic(
        "the log bridge is already registered in this process; the module cannot be "
        "initialised twice");
  }
  logging_module = logging;
  bridge_state.store(BridgeState::Registered);
}

}  // namespace brindle::py
