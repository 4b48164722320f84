// A Python object made once per process, on first use, and never destroyed.
#pragma once

#include <Python.h>

#include <atomic>

namespace brindle::py {

class ProcessObject {
 public:
  // Returns the object (borrowed), making it with `make` (a new reference, or nullptr with an
  // exception set) if no thread has yet. PyMutex lets the interpreter lock go while it waits,
  // so a maker that releases the interpreter lock cannot deadlock a second thread.
  template <class Make>
  PyObject* get(Make&& make) {
    if (PyObject* object = object_.load(std::memory_order_acquire)) return object;
    PyMutex_Lock(&mutex_);
    PyObject* object = object_.load(std::memory_order_relaxed);
    if (object == nullptr) {
      object = make();
      if (object != nullptr) object_.store(object, std::memory_order_release);
    }
    PyMutex_Unlock(&mutex_);
    return object;
  }

 private:
  std::atomic<PyObject*> object_{nullptr};
  PyMutex mutex_{};
};

}  // namespace brindle::py
