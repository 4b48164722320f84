// The _QmpClient object and the frame its methods share: arguments are converted with the
// interpreter lock held, the channel is used under the client lock with the interpreter lock
// released, and a QmpError becomes a RuntimeError only after the interpreter lock is back.
#pragma once

#include <Python.h>

#include <expected>
#include <type_traits>

#include "client_lock.hpp"
#include "gil.hpp"
#include "qmp/channel.hpp"

namespace brindle::py {

struct QmpClientObject {
  PyObject ob_base;  // the object header (what PyObject_HEAD declares)
  ClientLock lock;
  qmp::QmpChannel channel;
};

inline QmpClientObject* as_client(PyObject* self) {
  return reinterpret_cast<QmpClientObject*>(self);
}

// Raises RuntimeError whose single argument is the error's JSON text; returns nullptr.
PyObject* qmp_error_to_exception(const qmp::QmpError& error);

// Runs `operation(channel)` (returning a QmpResult) with the interpreter lock released and the
// client lock held; a poisoned lock gives LockPoisoned without running it. Whatever the result
// needs from the channel must be built inside `operation`, while the lock is still held. The
// client lock is released before the interpreter lock is taken back, and an internal fault
// thrown by `operation` poisons the lock on its way out.
template <class Operation>
auto with_channel(PyObject* self, Operation&& operation) {
  using Outcome = std::invoke_result_t<Operation&, qmp::QmpChannel&>;
  QmpClientObject* client = as_client(self);
  return without_gil([&]() -> Outcome {
    ClientLock::Guard guard(client->lock);
    if (guard.poisoned()) return std::unexpected(qmp::QmpError(qmp::QmpError::LockPoisoned{}));
    return operation(client->channel);
  });
}

// For commands whose return value is not wanted.
inline qmp::QmpStatus discard_result(qmp::QmpResult<qmp::Json> result) {
  if (!result) return std::unexpected(std::move(result.error()));
  return {};
}

// The end of a method without a result: None, or the exception of the error.
inline PyObject* none_or_exception(const qmp::QmpStatus& status) {
  if (!status) return qmp_error_to_exception(status.error());
  Py_RETURN_NONE;
}

}  // namespace brindle::py
