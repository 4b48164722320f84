// The module definition (multi-phase initialisation) and its execution step.
#include <Python.h>

#include "errors.hpp"
#include "functions.hpp"
#include "log_bridge.hpp"
#include "py_ref.hpp"

namespace brindle::py {

namespace {

// Appends `name` to the module's __all__ (made on first use) and sets the attribute.
int add_to_module(PyObject* module, PyObject* name, PyObject* value) {
  PyObject* found = nullptr;
  if (PyObject_GetOptionalAttrString(module, "__all__", &found) < 0) return -1;
  PyRef all = PyRef::steal(found);
  if (!all) {
    all = PyRef::steal(PyList_New(0));
    if (!all || PyObject_SetAttrString(module, "__all__", all.get()) < 0) return -1;
  } else if (!PyList_Check(all.get())) {
    raise_type_mismatch(all.get(), "list");
    return -1;
  }
  if (PyList_Append(all.get(), name) < 0) return -1;
  return PyObject_SetAttr(module, name, value);
}

int add_function(PyObject* module, PyObject* module_name, PyMethodDef* definition) {
  const PyRef function = PyRef::steal(PyCMethod_New(definition, module, module_name, nullptr));
  if (!function) return -1;
  const PyRef name = PyRef::steal(PyObject_GetAttrString(function.get(), "__name__"));
  if (!name) return -1;
  if (!PyUnicode_Check(name.get())) {
    raise_type_mismatch(name.get(), "str");
    return -1;
  }
  return add_to_module(module, name.get(), function.get());
}

int execute_module(PyObject* module) {
  return guarded([&] {
    register_log_bridge();
    const PyRef module_name = PyRef::steal(PyModule_GetNameObject(module));
    if (!module_name) return -1;
    for (PyMethodDef* definition = function_table; definition->ml_name != nullptr; ++definition) {
      if (add_function(module, module_name.get(), definition) < 0) return -1;
    }
    PyObject* type = qmp_client_type();
    if (type == nullptr) return -1;
    const PyRef type_name = PyRef::steal(PyUnicode_FromString("_QmpClient"));
    return type_name ? add_to_module(module, type_name.get(), type) : -1;
  });
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
