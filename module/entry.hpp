// The frame every function and method with parameters shares: bind by the signature, then run
// the body (which converts, runs and builds the result) under `guarded`.
#pragma once

#include <Python.h>

#include "arguments.hpp"
#include "errors.hpp"

namespace brindle::py {

// Binds the vectorcall arguments to `signature`, then runs `body(arguments)` under `guarded`.
template <class Body>
PyObject* call_with_arguments(const Signature& signature, PyObject* const* args, Py_ssize_t nargs,
                              PyObject* kwnames, Body&& body) noexcept {
  return guarded([&]() -> PyObject* {
    Arguments arguments(signature);
    if (!arguments.bind(args, nargs, kwnames)) return nullptr;
    return body(arguments);
  });
}

// A METH_FASTCALL | METH_KEYWORDS entry as the PyCFunction a method table holds.
template <auto Entry>
PyCFunction fastcall() {
  return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(Entry));
}

// The shared signature of module functions with parameters (METH_FASTCALL | METH_KEYWORDS).
#define BRINDLE_FASTCALL_ENTRY(name)                                                       \
  PyObject* name([[maybe_unused]] PyObject* self, PyObject* const* args, Py_ssize_t nargs, \
                 PyObject* kwnames)

}  // namespace brindle::py
