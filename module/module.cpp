// The module definition (multi-phase initialisation) and its execution step.
#include <Python.h>

#include "errors.hpp"
#include "functions.hpp"
#include "log_bridge.hpp"

namespace brindle::py {

namespace {

// Appends `name` to the module's __all__ (made on first use) and sets the attribute.
int add_to_module(PyObject* module, PyObject* name, PyObject* value) {
  PyObject* all = nullptr;
  if (PyObject_GetOptionalAttrString(module, "__all__", &all) < 0) return -1;
  if (all == nullptr) {
    all = PyList_New(0);
    if (all == nullptr || PyObject_SetAttrString(module, "__all__", all) < 0) {
      Py_XDECREF(all);
      return -1;
    }
  } else if (!PyList_Check(all)) {
    raise_type_mismatch(all, "list");
    Py_DECREF(all);
    return -1;
  }
  const int appended = PyList_Append(all, name);
  Py_DECREF(all);
  if (appended < 0) return -1;
  return PyObject_SetAttr(module, name, value);
}

int add_function(PyObject* module, PyObject* module_name, PyMethodDef* definition) {
  PyObject* function = PyCMethod_New(definition, module, module_name, nullptr);
  if (function == nullptr) return -1;
  PyObject* name = PyObject_GetAttrString(function, "__name__");
  int status = -1;
  if (name != nullptr) {
    if (PyUnicode_Check(name)) {
      status = add_to_module(module, name, function);
    } else {
      raise_type_mismatch(name, "str");
    }
    Py_DECREF(name);
  }
  Py_DECREF(function);
  return status;
}

int execute_module(PyObject* module) {
  PyObject* done = guarded([&]() -> PyObject* {
    register_log_bridge();
    PyObject* module_name = PyModule_GetNameObject(module);
    if (module_name == nullptr) return nullptr;
    for (PyMethodDef* definition = function_table; definition->ml_name != nullptr; ++definition) {
      if (add_function(module, module_name, definition) < 0) {
        Py_DECREF(module_name);
        return nullptr;
      }
    }
    Py_DECREF(module_name);
    PyObject* type = qmp_client_type();
    if (type == nullptr) return nullptr;
    PyObject* type_name = PyUnicode_FromString("_QmpClient");
    if (type_name == nullptr) return nullptr;
    const int added = add_to_module(module, type_name, type);
    Py_DECREF(type_name);
    return added < 0 ? nullptr : Py_None;
  });
  return done == nullptr ? -1 : 0;
}

PyModuleDef_Slot module_slots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(execute_module)},
    {Py_mod_gil, Py_MOD_GIL_NOT_USED},
    {0, nullptr},
};

PyModuleDef module_definition = {
    PyModuleDef_HEAD_INIT,
    "_ffi",
    "Private Python extension module. Public Python code lives in wrapper modules.",
    0,
    nullptr,
    module_slots,
    nullptr,
    nullptr,
    nullptr,
};

}  // namespace

}  // namespace brindle::py

PyMODINIT_FUNC PyInit__ffi() { return PyModuleDef_Init(&brindle::py::module_definition); }
