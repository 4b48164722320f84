// The _QmpClient type: one QMP monitor socket, its channel and the client lock.
#include <new>

#include "client_lock.hpp"
#include "functions.hpp"
#include "process_object.hpp"
#include "qmp/channel.hpp"

namespace brindle::py {

namespace {

struct QmpClientObject {
  PyObject_HEAD ClientLock lock;
  qmp::QmpChannel channel;
};

QmpClientObject* as_client(PyObject* self) { return reinterpret_cast<QmpClientObject*>(self); }

PyObject* client_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  return guarded([&]() -> PyObject* {
    static constexpr Signature signature{"_QmpClient.__new__()", {"socket_path"}};
    Arguments a(signature);
    std::string_view socket_path;
    if (!a.bind(args, kwargs) || !a.convert(0, socket_path)) return nullptr;
    PyObject* self = type->tp_alloc(type, 0);
    if (self == nullptr) return nullptr;
    auto* client = as_client(self);
    new (&client->lock) ClientLock();
    new (&client->channel) qmp::QmpChannel{.socket_path = std::string(socket_path)};
    return self;
  });
}

void client_dealloc(PyObject* self) {
  auto* client = as_client(self);
  client->channel.~QmpChannel();  // closes any open descriptor
  client->lock.~ClientLock();
  PyTypeObject* type = Py_TYPE(self);
  type->tp_free(self);
  Py_DECREF(type);
}

PyObject* client_close(PyObject* self, PyObject*) {
  return guarded([&]() -> PyObject* {
    auto* client = as_client(self);
    // Taken with the interpreter lock held: a running operation finishes without needing it.
    ClientLock::Guard guard(client->lock);
    if (guard.poisoned()) {
      PyErr_SetString(PyExc_RuntimeError,
                      R"({"context":{},"message":"QMP client lock is poisoned"})");
      return nullptr;
    }
    qmp::close_channel(client->channel);
    Py_RETURN_NONE;
  });
}

PyMethodDef client_methods[] = {
    {"close", client_close, METH_NOARGS, "close($self)\n--\n\n"},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot client_slots[] = {
    {Py_tp_new, reinterpret_cast<void*>(client_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(client_dealloc)},
    {Py_tp_methods, client_methods},
    {Py_tp_doc, const_cast<char*>("_QmpClient(socket_path)\n--\n\n")},
    {0, nullptr},
};

PyType_Spec client_spec = {
    "builtins._QmpClient", sizeof(QmpClientObject), 0, Py_TPFLAGS_DEFAULT, client_slots,
};

ProcessObject client_type;

}  // namespace

PyObject* qmp_client_type() {
  return client_type.get([] { return PyType_FromSpec(&client_spec); });
}

}  // namespace brindle::py
