#include "errors.hpp"

#include <cstdio>

#include "process_object.hpp"

namespace brindle::py {

namespace {

ProcessObject panic_exception;

constexpr const char* kPanicExceptionDoc =
    "The exception raised when native code called from the interpreter panics.\n\n"
    "Like SystemExit, it derives from BaseException so that it normally propagates all the way "
    "up the stack and ends the interpreter.";

}  // namespace

PyObject* raise_os_error(std::string_view message) {
  PyObject* text = PyUnicode_FromStringAndSize(message.data(), std::ssize(message));
  if (text == nullptr) return nullptr;
  PyObject* error = PyObject_CallOneArg(PyExc_OSError, text);
  Py_DECREF(text);
  if (error == nullptr) return nullptr;
  PyErr_SetRaisedException(error);
  return nullptr;
}

PyObject* raise_os_error(const Error& error) { return raise_os_error(error.message()); }

PyObject* panic_exception_type() {
  return panic_exception.get([] {
    return PyErr_NewExceptionWithDoc("pyo3_runtime.PanicException", kPanicExceptionDoc,
                                     PyExc_BaseException, nullptr);
  });
}

PyObject* raise_panic(std::string_view message, const std::source_location& where) {
  std::fprintf(stderr, "brindle_core._ffi: internal fault at %s:%u:%u:\n%.*s\n", where.file_name(),
               static_cast<unsigned>(where.line()), static_cast<unsigned>(where.column()),
               static_cast<int>(message.size()), message.data());
  std::fflush(stderr);
  PyObject* type = panic_exception_type();
  if (type == nullptr) return nullptr;
  PyObject* text = PyUnicode_DecodeUTF8(message.data(), std::ssize(message), "replace");
  if (text == nullptr) return nullptr;
  PyErr_SetObject(type, text);
  Py_DECREF(text);
  return nullptr;
}

}  // namespace brindle::py
