// The _QmpClient type: one QMP monitor socket, its channel and the client lock.
#include "qmp_client.hpp"

#include <new>

#include "functions.hpp"
#include "process_object.hpp"

namespace brindle::py {

PyObject* qmp_error_to_exception(const qmp::QmpError& error) {
  const std::string text = error.text();
  PyObject* message = PyUnicode_DecodeUTF8(text.data(), std::ssize(text), "replace");
  if (message == nullptr) return nullptr;
  PyObject* exception = PyObject_CallOneArg(PyExc_RuntimeError, message);
  Py_DECREF(message);
  if (exception == nullptr) return nullptr;
  PyErr_SetRaisedException(exception);
  return nullptr;
}

namespace {

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
    new (&client->channel) qmp::QmpChannel(std::string(socket_path));
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

BRINDLE_FASTCALL_ENTRY(client_connect) {
  static constexpr Signature signature{"_QmpClient.connect()", {"timeout", "read_timeout"}};
  return call_with_arguments(signature, args, nargs, kwnames, [&](Arguments& a) -> PyObject* {
    double timeout = 0, read_timeout = 0;
    if (!a.convert(0, timeout) || !a.convert(1, read_timeout)) return nullptr;
    return none_or_exception(with_channel(self, [&](qmp::QmpChannel& channel) {
      return qmp::open_channel(channel, timeout, read_timeout);
    }));
  });
}

BRINDLE_FASTCALL_ENTRY(client_execute) {
  static constexpr Signature signature{"_QmpClient.execute()", {"command", "arguments_json"}};
  return call_with_arguments(signature, args, nargs, kwnames, [&](Arguments& a) -> PyObject* {
    std::string_view command;
    std::optional<std::string_view> arguments_json;
    if (!a.convert(0, command) || !a.convert(1, arguments_json)) return nullptr;

    std::optional<qmp::Json> arguments;
    if (arguments_json) {
      auto parsed = qmp::parse_json(*arguments_json);
      if (!parsed) {
        // The socket path is read under the client lock, taken here without releasing the
        // interpreter lock: whoever holds the client lock never waits for the interpreter lock.
        auto* client = as_client(self);
        std::string socket_path;
        {
          ClientLock::Guard guard(client->lock);
          if (!guard.poisoned()) socket_path = client->channel.socket_path;
        }
        return qmp_error_to_exception(
            qmp::QmpError::JsonError{std::move(socket_path), std::move(parsed.error())});
      }
      arguments = std::move(*parsed);
    }

    auto text = with_channel(self, [&](qmp::QmpChannel& channel) -> qmp::QmpResult<std::string> {
      auto result = arguments ? qmp::execute_command(channel, command, *arguments)
                              : qmp::execute_command(channel, command);
      if (!result) return std::unexpected(std::move(result.error()));
      return qmp::to_json_text(*result);
    });
    if (!text) return qmp_error_to_exception(text.error());
    return text_result(*text);
  });
}

// A command without arguments whose return value is not wanted.
PyObject* run_simple_command(PyObject* self, std::string_view command) {
  return guarded([&]() -> PyObject* {
    return none_or_exception(with_channel(self, [&](qmp::QmpChannel& channel) {
      return discard_result(qmp::execute_command(channel, command));
    }));
  });
}

PyObject* client_stop_vm(PyObject* self, PyObject*) { return run_simple_command(self, "stop"); }

PyObject* client_cont(PyObject* self, PyObject*) { return run_simple_command(self, "cont"); }

PyObject* client_close(PyObject* self, PyObject*) {
  return guarded([&]() -> PyObject* {
    auto* client = as_client(self);
    // Taken with the interpreter lock held: a running operation finishes without needing it.
    ClientLock::Guard guard(client->lock);
    if (guard.poisoned()) return qmp_error_to_exception(qmp::QmpError::LockPoisoned{});
    qmp::close_channel(client->channel);
    Py_RETURN_NONE;
  });
}

constexpr int kWithParameters = METH_FASTCALL | METH_KEYWORDS;

template <auto Entry>
PyCFunction fastcall() {
  return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(Entry));
}

// In the class's documented method order, close last.
PyMethodDef client_methods[] = {
    {"connect", fastcall<client_connect>(), kWithParameters,
     "connect($self, timeout, read_timeout)\n--\n\n"},
    {"execute", fastcall<client_execute>(), kWithParameters,
     "execute($self, command, arguments_json)\n--\n\n"},
    {"stop_vm", client_stop_vm, METH_NOARGS, "stop_vm($self)\n--\n\n"},
    {"cont", client_cont, METH_NOARGS, "cont($self)\n--\n\n"},
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
