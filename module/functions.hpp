// The module functions, defined next to the family they belong to.
#pragma once

#include <Python.h>

#include "entry.hpp"

namespace brindle::py {

// Capability probes (METH_NOARGS).
PyObject* native_family_available(PyObject* self, PyObject* unused);
PyObject* has_native_networking(PyObject* self, PyObject* unused);

// Host networking.
BRINDLE_FASTCALL_ENTRY(create_tap);
BRINDLE_FASTCALL_ENTRY(delete_tap);
BRINDLE_FASTCALL_ENTRY(set_link_up);
BRINDLE_FASTCALL_ENTRY(flush_addrs);
BRINDLE_FASTCALL_ENTRY(add_addr);
BRINDLE_FASTCALL_ENTRY(configure_tap);
BRINDLE_FASTCALL_ENTRY(prepare_tap);
BRINDLE_FASTCALL_ENTRY(add_route);
PyObject* get_default_interface(PyObject* self, PyObject* unused);
BRINDLE_FASTCALL_ENTRY(write_sysctl);

// Disk images.
BRINDLE_FASTCALL_ENTRY(clone_or_sparse_copy);
BRINDLE_FASTCALL_ENTRY(decompress_zstd_sparse);

// Firecracker API.
BRINDLE_FASTCALL_ENTRY(firecracker_request);
BRINDLE_FASTCALL_ENTRY(firecracker_wait_for_socket);

// The function table in module order, terminated by a zeroed entry.
extern PyMethodDef function_table[];

// The _QmpClient type, made once per process (borrowed reference, nullptr on failure).
PyObject* qmp_client_type();

}  // namespace brindle::py
