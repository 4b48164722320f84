#include "errors.hpp"

#include <cstdio>
#include <string>

#include "firecracker/api_request.hpp"
#include "process_object.hpp"
#include "py_ref.hpp"

namespace brindle::py {

namespace {

ProcessObject panic_exception;

constexpr const char* PANIC_EXCEPTION_DOC =
    "The exception raised when native code called from the interpreter panics.\n\n"
    "Like SystemExit, it derives from BaseException so that it normally propagates all the way "
    "up the stack and ends the interpreter.";

PyRef text_of(std::string_view text) {
  return PyRef::steal(PyUnicode_DecodeUTF8(text.data(), std::ssize(text), "replace"));
}

// Raises `type(text)`, with the one argument `text`.
PyObject* raise_with_text(PyObject* type, std::string_view text) {
  const PyRef message = text_of(text);
  if (!message) return nullptr;
  PyRef error = PyRef::steal(PyObject_CallOneArg(type, message.get()));
  if (error) PyErr_SetRaisedException(error.release());
  return nullptr;
}

}  // namespace

PyObject* raise(const Error& error) { return raise_with_text(PyExc_OSError, error.message()); }

PyObject* raise(const qmp::QmpError& error) {
  return raise_with_text(PyExc_RuntimeError, error.text());
}

PyObject* panic_exception_type() {
  return panic_exception.get([] {
    return PyErr_NewExceptionWithDoc("pyo3_runtime.PanicException", PANIC_EXCEPTION_DOC,
                                     PyExc_BaseException, nullptr);
  });
}

void raise_panic(std::string_view message, const std::source_location& where) {
  std::fprintf(stderr, "brindle_core._ffi: internal fault at %s:%u:%u:\n%.*s\n", where.file_name(),
               static_cast<unsigned>(where.line()), static_cast<unsigned>(where.column()),
               static_cast<int>(message.size()), message.data());
  std::fflush(stderr);
  PyObject* type = panic_exception_type();
  if (type == nullptr) return;
  if (const PyRef text = text_of(message)) PyErr_SetObject(type, text.get());
}

PyObject* to_python(std::string_view text) {
  return PyUnicode_FromStringAndSize(text.data(), std::ssize(text));
}

PyObject* to_python(const firecracker::ApiResponse& response) {
  if (!response.body) return Py_BuildValue("(HO)", response.status, Py_None);
  PyObject* body = to_python(*response.body);
  return body == nullptr ? nullptr : Py_BuildValue("(HN)", response.status, body);
}

}  // namespace brindle::py
