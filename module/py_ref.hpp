// Sole owner of one reference to a Python object, released when the owner goes, so that no exit
// path needs a decrement of its own.
#pragma once

#include <Python.h>

#include <utility>

namespace brindle::py {

class PyRef {
 public:
  PyRef() = default;
  // Takes over a new reference (or nullptr, when the call that made it failed).
  static PyRef steal(PyObject* object) { return PyRef(object); }
  PyRef(PyRef&& other) noexcept : object_(other.release()) {}
  PyRef& operator=(PyRef&& other) noexcept {
    PyRef(std::move(other)).swap(*this);
    return *this;
  }
  PyRef(const PyRef&) = delete;
  PyRef& operator=(const PyRef&) = delete;
  ~PyRef() { Py_XDECREF(object_); }

  PyObject* get() const { return object_; }
  explicit operator bool() const { return object_ != nullptr; }
  // Hands the reference over to the caller.
  PyObject* release() { return std::exchange(object_, nullptr); }
  void swap(PyRef& other) noexcept { std::swap(object_, other.object_); }

 private:
  explicit PyRef(PyObject* object) : object_(object) {}
  PyObject* object_ = nullptr;
};

}  // namespace brindle::py
