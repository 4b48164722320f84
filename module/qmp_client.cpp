// The _QmpClient type: the core's QmpClient in a Python object. Arguments are converted with the
// interpreter lock held; each operation then runs on the channel under the client lock with the
// interpreter lock released, and the client lock is given back before the interpreter lock is
// taken again.
#include <new>
#include <string>
#include <vector>

#include "functions.hpp"
#include "gil.hpp"
#include "process_object.hpp"
#include "py_ref.hpp"
#include "qmp/client.hpp"
#include "qmp/jobs.hpp"
#include "qmp/snapshots.hpp"

namespace brindle::py {

namespace {

struct QmpClientObject {
  PyObject ob_base;  // the object header (what PyObject_HEAD declares)
  qmp::QmpClient client;
};

qmp::QmpClient& client_of(PyObject* self) {
  return reinterpret_cast<QmpClientObject*>(self)->client;
}

// Runs `operation(channel)` under the client lock with the interpreter lock released, and
// gives back its result (None for nothing) or raises its error.
template <class Operation>
PyObject* run(PyObject* self, Operation&& operation) {
  return to_python(without_gil([&] { return client_of(self).with_channel(operation); }));
}

// Methods without parameters (METH_NOARGS), each sending one command.
PyObject* stop_vm(PyObject* self, PyObject*) {
  return guarded([&] {
    return run(self, [](qmp::QmpChannel& channel) { return qmp::run_command(channel, "stop"); });
  });
}

PyObject* cont(PyObject* self, PyObject*) {
  return guarded([&] {
    return run(self, [](qmp::QmpChannel& channel) { return qmp::run_command(channel, "cont"); });
  });
}

PyObject* query_jobs(PyObject* self, PyObject*) {
  return guarded([&] {
    return run(self, [](qmp::QmpChannel& channel) -> qmp::QmpResult<std::string> {
      auto jobs = qmp::query_jobs(channel);
      if (!jobs) return std::unexpected(std::move(jobs.error()));
      return qmp::job_list_text(*jobs);
    });
  });
}

// Taken with the interpreter lock held: a running operation finishes without needing it.
PyObject* close(PyObject* self, PyObject*) {
  return guarded([&] { return to_python(client_of(self).close()); });
}

constexpr Signature NEW{"_QmpClient(socket_path)\n--\n\n", "_QmpClient"};
constexpr Signature CONNECT{"connect($self, timeout, read_timeout)\n--\n\n", "_QmpClient"};
constexpr Signature EXECUTE{"execute($self, command, arguments_json)\n--\n\n", "_QmpClient"};
constexpr Signature SNAPSHOT_SAVE{"snapshot_save($self, job_id, tag, vmstate, devices)\n--\n\n",
                                  "_QmpClient"};
constexpr Signature SNAPSHOT_LOAD{"snapshot_load($self, job_id, tag, vmstate, devices)\n--\n\n",
                                  "_QmpClient"};
constexpr Signature SNAPSHOT_DELETE{"snapshot_delete($self, job_id, tag, devices)\n--\n\n",
                                    "_QmpClient"};
constexpr Signature BLOCKDEV_SNAPSHOT_INTERNAL_SYNC{
    "blockdev_snapshot_internal_sync($self, device, name)\n--\n\n", "_QmpClient"};
constexpr Signature BLOCKDEV_SNAPSHOT_DELETE_INTERNAL_SYNC{
    "blockdev_snapshot_delete_internal_sync($self, device, name)\n--\n\n", "_QmpClient"};
constexpr Signature DISMISS_JOB{"dismiss_job($self, job_id)\n--\n\n", "_QmpClient"};
constexpr Signature WAIT_FOR_JOB{"wait_for_job($self, job_id, timeout, poll_interval)\n--\n\n",
                                 "_QmpClient"};

PyObject* client_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  return guarded([&]() -> PyObject* {
    Arguments a(NEW);
    std::string_view socket_path;
    if (!a.bind(args, kwargs) || !a.convert_all(socket_path)) return nullptr;
    // Copied before the object exists, so that nothing can fail once it does.
    std::string path(socket_path);
    PyObject* self = type->tp_alloc(type, 0);
    if (self != nullptr) new (&client_of(self)) qmp::QmpClient(std::move(path));
    return self;
  });
}

void client_dealloc(PyObject* self) {
  const PyRef type = PyRef::steal(reinterpret_cast<PyObject*>(Py_TYPE(self)));  // heap type
  client_of(self).~QmpClient();  // closes any open descriptor
  Py_TYPE(self)->tp_free(self);
}

BRINDLE_FASTCALL_ENTRY(connect) {
  return call_with_arguments(CONNECT, args, nargs, kwnames, [&](Arguments& a) -> PyObject* {
    double timeout = 0, read_timeout = 0;
    if (!a.convert_all(timeout, read_timeout)) return nullptr;
    return run(self, [&](qmp::QmpChannel& channel) {
      return qmp::open_channel(channel, timeout, read_timeout);
    });
  });
}

BRINDLE_FASTCALL_ENTRY(execute) {
  return call_with_arguments(EXECUTE, args, nargs, kwnames, [&](Arguments& a) -> PyObject* {
    std::string_view command;
    std::optional<std::string_view> arguments_json;
    if (!a.convert_all(command, arguments_json)) return nullptr;
    std::optional<qmp::Json> arguments;
    if (arguments_json) {
      auto parsed = qmp::parse_json(*arguments_json);
      // Refused before anything is sent; the socket path is read under the client lock, taken
      // here without releasing the interpreter lock (whoever holds it never waits for that).
      if (!parsed) {
        return raise(qmp::QmpError::JsonError{client_of(self).socket_path(), parsed.error()});
      }
      arguments = std::move(*parsed);
    }
    return run(self, [&](qmp::QmpChannel& channel) -> qmp::QmpResult<std::string> {
      auto result = qmp::execute_command(channel, command, arguments ? &*arguments : nullptr);
      if (!result) return std::unexpected(std::move(result.error()));
      return qmp::to_json_text(*result);
    });
  });
}

BRINDLE_FASTCALL_ENTRY(snapshot_save) {
  return call_with_arguments(SNAPSHOT_SAVE, args, nargs, kwnames, [&](Arguments& a) -> PyObject* {
    std::string_view job_id, tag, vmstate;
    std::vector<std::string> devices;
    if (!a.convert_all(job_id, tag, vmstate, devices)) return nullptr;
    return run(self, [&](qmp::QmpChannel& channel) {
      return qmp::snapshot_save(channel, job_id, tag, vmstate, devices);
    });
  });
}

BRINDLE_FASTCALL_ENTRY(snapshot_load) {
  return call_with_arguments(SNAPSHOT_LOAD, args, nargs, kwnames, [&](Arguments& a) -> PyObject* {
    std::string_view job_id, tag, vmstate;
    std::vector<std::string> devices;
    if (!a.convert_all(job_id, tag, vmstate, devices)) return nullptr;
    return run(self, [&](qmp::QmpChannel& channel) {
      return qmp::snapshot_load(channel, job_id, tag, vmstate, devices);
    });
  });
}

BRINDLE_FASTCALL_ENTRY(snapshot_delete) {
  return call_with_arguments(SNAPSHOT_DELETE, args, nargs, kwnames, [&](Arguments& a) -> PyObject* {
    std::string_view job_id, tag;
    std::vector<std::string> devices;
    if (!a.convert_all(job_id, tag, devices)) return nullptr;
    return run(self, [&](qmp::QmpChannel& channel) {
      return qmp::snapshot_delete(channel, job_id, tag, devices);
    });
  });
}

BRINDLE_FASTCALL_ENTRY(blockdev_snapshot_internal_sync) {
  return call_with_arguments(BLOCKDEV_SNAPSHOT_INTERNAL_SYNC, args, nargs, kwnames,
                             [&](Arguments& a) -> PyObject* {
                               std::string_view device, name;
                               if (!a.convert_all(device, name)) return nullptr;
                               return run(self, [&](qmp::QmpChannel& channel) {
                                 return qmp::blockdev_snapshot_internal_sync(channel, device, name);
                               });
                             });
}

BRINDLE_FASTCALL_ENTRY(blockdev_snapshot_delete_internal_sync) {
  return call_with_arguments(
      BLOCKDEV_SNAPSHOT_DELETE_INTERNAL_SYNC, args, nargs, kwnames, [&](Arguments& a) -> PyObject* {
        std::string_view device, name;
        if (!a.convert_all(device, name)) return nullptr;
        return run(self, [&](qmp::QmpChannel& channel) {
          return qmp::blockdev_snapshot_delete_internal_sync(channel, device, name);
        });
      });
}

BRINDLE_FASTCALL_ENTRY(dismiss_job) {
  return call_with_arguments(DISMISS_JOB, args, nargs, kwnames, [&](Arguments& a) -> PyObject* {
    std::string_view job_id;
    if (!a.convert_all(job_id)) return nullptr;
    return run(self, [&](qmp::QmpChannel& channel) { return qmp::dismiss_job(channel, job_id); });
  });
}

// The client lock is held for the whole wait, every query and pause included.
BRINDLE_FASTCALL_ENTRY(wait_for_job) {
  return call_with_arguments(WAIT_FOR_JOB, args, nargs, kwnames, [&](Arguments& a) -> PyObject* {
    std::string_view job_id;
    double timeout = 0, poll_interval = 0;
    if (!a.convert_all(job_id, timeout, poll_interval)) return nullptr;
    return run(self, [&](qmp::QmpChannel& channel) -> qmp::QmpResult<std::string> {
      auto job = qmp::wait_for_job(channel, job_id, timeout, poll_interval);
      if (!job) return std::unexpected(std::move(job.error()));
      return qmp::job_text(*job);
    });
  });
}

constexpr int WITH_PARAMETERS = METH_FASTCALL | METH_KEYWORDS;

// In the class's documented method order, close last.
PyMethodDef client_methods[] = {
    {"connect", fastcall<connect>(), WITH_PARAMETERS, CONNECT.doc},
    {"execute", fastcall<execute>(), WITH_PARAMETERS, EXECUTE.doc},
    {"stop_vm", stop_vm, METH_NOARGS, "stop_vm($self)\n--\n\n"},
    {"cont", cont, METH_NOARGS, "cont($self)\n--\n\n"},
    {"snapshot_save", fastcall<snapshot_save>(), WITH_PARAMETERS, SNAPSHOT_SAVE.doc},
    {"snapshot_load", fastcall<snapshot_load>(), WITH_PARAMETERS, SNAPSHOT_LOAD.doc},
    {"snapshot_delete", fastcall<snapshot_delete>(), WITH_PARAMETERS, SNAPSHOT_DELETE.doc},
    {"blockdev_snapshot_internal_sync", fastcall<blockdev_snapshot_internal_sync>(),
     WITH_PARAMETERS, BLOCKDEV_SNAPSHOT_INTERNAL_SYNC.doc},
    {"blockdev_snapshot_delete_internal_sync", fastcall<blockdev_snapshot_delete_internal_sync>(),
     WITH_PARAMETERS, BLOCKDEV_SNAPSHOT_DELETE_INTERNAL_SYNC.doc},
    {"query_jobs", query_jobs, METH_NOARGS, "query_jobs($self)\n--\n\n"},
    {"dismiss_job", fastcall<dismiss_job>(), WITH_PARAMETERS, DISMISS_JOB.doc},
    {"wait_for_job", fastcall<wait_for_job>(), WITH_PARAMETERS, WAIT_FOR_JOB.doc},
    {"close", close, METH_NOARGS, "close($self)\n--\n\n"},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot client_slots[] = {
    {Py_tp_new, reinterpret_cast<void*>(client_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(client_dealloc)},
    {Py_tp_methods, client_methods},
    {Py_tp_doc, const_cast<char*>(NEW.doc)},
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
