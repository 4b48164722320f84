// Running core work with the interpreter lock released.
#pragma once

#include <Python.h>

namespace brindle::py {

// Runs `work` with the interpreter lock released and takes the lock back before returning, also
// when `work` throws. `work` must not touch any interpreter object.
template <class Work>
decltype(auto) without_gil(Work&& work) {
  struct Restore {
    PyThreadState* state;
    ~Restore() { PyEval_RestoreThread(state); }
  } restore{PyEval_SaveThread()};
  return work();
}

}  // namespace brindle::py
