// The _QmpClient type: one QMP monitor socket, its channel and the client lock.
#include "qmp_client.hpp"

#include <algorithm>
#include <new>
#include <string>
#include <vector>

#include "functions.hpp"
#include "process_object.hpp"
#include "qmp/jobs.hpp"
#include "qmp/snapshots.hpp"

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

// The length of `devices` only sizes the first allocation; a huge claimed length must not.
constexpr Py_ssize_t kMaxDevicesCapacityHint = 1024;

// `devices`: any sequence of str except a str itself. The texts are copied, since the
// sequence may be changed by another thread once the interpreter lock is released.
bool devices_from_python(PyObject* object, std::vector<std::string>& out) {
  if (PyUnicode_Check(object)) {
    PyErr_SetString(PyExc_TypeError, "Can't extract `str` to `Vec`");
    return false;
  }
  if (!PySequence_Check(object)) {
    raise_type_mismatch(object, "Sequence");
    return false;
  }
  if (const Py_ssize_t hint = PySequence_Size(object); hint < 0) {
    PyErr_Clear();  // a length is only a hint; the iteration decides
  } else {
    out.reserve(static_cast<std::size_t>(std::min(hint, kMaxDevicesCapacityHint)));
  }
  PyObject* iterator = PyObject_GetIter(object);
  if (iterator == nullptr) return false;
  PyObject* item = nullptr;
  int more;
  while ((more = PyIter_NextItem(iterator, &item)) > 0) {
    std::string_view text;
    const bool is_text = text_from_python(item, text);
    if (is_text) out.emplace_back(text);
    Py_DECREF(item);
    if (!is_text) {
      more = -1;
      break;
    }
  }
  Py_DECREF(iterator);
  return more == 0;
}

bool convert_devices(Arguments& a, std::size_t i, std::vector<std::string>& out) {
  if (devices_from_python(a[i], out)) return true;
  a.argument_error(i);
  return false;
}

// snapshot_save and snapshot_load: the same parameters, a different command.
template <auto Command>
PyObject* snapshot_job_entry(const Signature& signature, PyObject* self, PyObject* const* args,
                             Py_ssize_t nargs, PyObject* kwnames) {
  return call_with_arguments(signature, args, nargs, kwnames, [&](Arguments& a) -> PyObject* {
    std::string_view job_id, tag, vmstate;
    std::vector<std::string> devices;
    if (!a.convert(0, job_id) || !a.convert(1, tag) || !a.convert(2, vmstate) ||
        !convert_devices(a, 3, devices)) {
      return nullptr;
    }
    return none_or_exception(with_channel(self, [&](qmp::QmpChannel& channel) {
      return Command(channel, job_id, tag, vmstate, devices);
    }));
  });
}

BRINDLE_FASTCALL_ENTRY(client_snapshot_save) {
  static constexpr Signature signature{"_QmpClient.snapshot_save()",
                                       {"job_id", "tag", "vmstate", "devices"}};
  return snapshot_job_entry<qmp::snapshot_save>(signature, self, args, nargs, kwnames);
}

BRINDLE_FASTCALL_ENTRY(client_snapshot_load) {
  static constexpr Signature signature{"_QmpClient.snapshot_load()",
                                       {"job_id", "tag", "vmstate", "devices"}};
  return snapshot_job_entry<qmp::snapshot_load>(signature, self, args, nargs, kwnames);
}

BRINDLE_FASTCALL_ENTRY(client_snapshot_delete) {
  static constexpr Signature signature{"_QmpClient.snapshot_delete()",
                                       {"job_id", "tag", "devices"}};
  return call_with_arguments(signature, args, nargs, kwnames, [&](Arguments& a) -> PyObject* {
    std::string_view job_id, tag;
    std::vector<std::string> devices;
    if (!a.convert(0, job_id) || !a.convert(1, tag) || !convert_devices(a, 2, devices)) {
      return nullptr;
    }
    return none_or_exception(with_channel(self, [&](qmp::QmpChannel& channel) {
      return qmp::snapshot_delete(channel, job_id, tag, devices);
    }));
  });
}

// The two internal block-device snapshot commands: the same parameters, a different command.
template <auto Command>
PyObject* internal_snapshot_entry(const Signature& signature, PyObject* self, PyObject* const* args,
                                  Py_ssize_t nargs, PyObject* kwnames) {
  return call_with_arguments(signature, args, nargs, kwnames, [&](Arguments& a) -> PyObject* {
    std::string_view device, name;
    if (!a.convert(0, device) || !a.convert(1, name)) return nullptr;
    return none_or_exception(with_channel(
        self, [&](qmp::QmpChannel& channel) { return Command(channel, device, name); }));
  });
}

BRINDLE_FASTCALL_ENTRY(client_blockdev_snapshot_internal_sync) {
  static constexpr Signature signature{"_QmpClient.blockdev_snapshot_internal_sync()",
                                       {"device", "name"}};
  return internal_snapshot_entry<qmp::blockdev_snapshot_internal_sync>(signature, self, args, nargs,
                                                                       kwnames);
}

BRINDLE_FASTCALL_ENTRY(client_blockdev_snapshot_delete_internal_sync) {
  static constexpr Signature signature{"_QmpClient.blockdev_snapshot_delete_internal_sync()",
                                       {"device", "name"}};
  return internal_snapshot_entry<qmp::blockdev_snapshot_delete_internal_sync>(signature, self, args,
                                                                              nargs, kwnames);
}

PyObject* client_query_jobs(PyObject* self, PyObject*) {
  return guarded([&]() -> PyObject* {
    auto text = with_channel(self, [](qmp::QmpChannel& channel) -> qmp::QmpResult<std::string> {
      auto jobs = qmp::list_jobs(channel);
      if (!jobs) return std::unexpected(std::move(jobs.error()));
      return qmp::job_list_text(*jobs);
    });
    if (!text) return qmp_error_to_exception(text.error());
    return text_result(*text);
  });
}

BRINDLE_FASTCALL_ENTRY(client_dismiss_job) {
  static constexpr Signature signature{"_QmpClient.dismiss_job()", {"job_id"}};
  return call_with_arguments(signature, args, nargs, kwnames, [&](Arguments& a) -> PyObject* {
    std::string_view job_id;
    if (!a.convert(0, job_id)) return nullptr;
    return none_or_exception(with_channel(
        self, [&](qmp::QmpChannel& channel) { return qmp::job_dismiss(channel, job_id); }));
  });
}

// The client lock is held for the whole wait, every query and pause included.
BRINDLE_FASTCALL_ENTRY(client_wait_for_job) {
  static constexpr Signature signature{"_QmpClient.wait_for_job()",
                                       {"job_id", "timeout", "poll_interval"}};
  return call_with_arguments(signature, args, nargs, kwnames, [&](Arguments& a) -> PyObject* {
    std::string_view job_id;
    double timeout = 0, poll_interval = 0;
    if (!a.convert(0, job_id) || !a.convert(1, timeout) || !a.convert(2, poll_interval)) {
      return nullptr;
    }
    auto job = with_channel(self, [&](qmp::QmpChannel& channel) {
      return qmp::wait_for_job(channel, job_id, timeout, poll_interval);
    });
    if (!job) return qmp_error_to_exception(job.error());
    return text_result(qmp::job_text(*job));
  });
}

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

// In the class's documented method order, close last.
PyMethodDef client_methods[] = {
    {"connect", fastcall<client_connect>(), kWithParameters,
     "connect($self, timeout, read_timeout)\n--\n\n"},
    {"execute", fastcall<client_execute>(), kWithParameters,
     "execute($self, command, arguments_json)\n--\n\n"},
    {"stop_vm", client_stop_vm, METH_NOARGS, "stop_vm($self)\n--\n\n"},
    {"cont", client_cont, METH_NOARGS, "cont($self)\n--\n\n"},
    {"snapshot_save", fastcall<client_snapshot_save>(), kWithParameters,
     "snapshot_save($self, job_id, tag, vmstate, devices)\n--\n\n"},
    {"snapshot_load", fastcall<client_snapshot_load>(), kWithParameters,
     "snapshot_load($self, job_id, tag, vmstate, devices)\n--\n\n"},
    {"snapshot_delete", fastcall<client_snapshot_delete>(), kWithParameters,
     "snapshot_delete($self, job_id, tag, devices)\n--\n\n"},
    {"blockdev_snapshot_internal_sync", fastcall<client_blockdev_snapshot_internal_sync>(),
     kWithParameters, "blockdev_snapshot_internal_sync($self, device, name)\n--\n\n"},
    {"blockdev_snapshot_delete_internal_sync",
     fastcall<client_blockdev_snapshot_delete_internal_sync>(), kWithParameters,
     "blockdev_snapshot_delete_internal_sync($self, device, name)\n--\n\n"},
    {"query_jobs", client_query_jobs, METH_NOARGS, "query_jobs($self)\n--\n\n"},
    {"dismiss_job", fastcall<client_dismiss_job>(), kWithParameters,
     "dismiss_job($self, job_id)\n--\n\n"},
    {"wait_for_job", fastcall<client_wait_for_job>(), kWithParameters,
     "wait_for_job($self, job_id, timeout, poll_interval)\n--\n\n"},
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
