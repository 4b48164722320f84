// The module functions: their parameter lists, written once (the function table shows each as
// the text signature, and the entry binds by it), and their entries, defined next to the family
// they belong to.
#pragma once

#include <Python.h>

#include "entry.hpp"

namespace brindle::py {

namespace signatures {
inline constexpr Signature create_tap{"create_tap(_name, _owner_uid)\n--\n\n"};
inline constexpr Signature delete_tap{"delete_tap(_name)\n--\n\n"};
inline constexpr Signature set_link_up{"set_link_up(_name)\n--\n\n"};
inline constexpr Signature flush_addrs{"flush_addrs(_name)\n--\n\n"};
inline constexpr Signature add_addr{"add_addr(_name, _ip, _prefix_len)\n--\n\n"};
inline constexpr Signature configure_tap{"configure_tap(_name, _host_ip, _prefix_len)\n--\n\n"};
inline constexpr Signature prepare_tap{
    "prepare_tap(_name, _owner_uid, _host_ip, _prefix_len, _route_localnet=True)\n--\n\n"};
inline constexpr Signature add_route{"add_route(_dest, _prefix_len, _dev)\n--\n\n"};
inline constexpr Signature write_sysctl{"write_sysctl(_key, _value)\n--\n\n"};
inline constexpr Signature clone_or_sparse_copy{"clone_or_sparse_copy(source, target)\n--\n\n"};
inline constexpr Signature decompress_zstd_sparse{
    "decompress_zstd_sparse(source, target, chunk_size=1048576)\n--\n\n"};
inline constexpr Signature firecracker_request{
    "firecracker_request(socket_path, method, path, body_json, timeout)\n--\n\n"};
inline constexpr Signature firecracker_wait_for_socket{
    "firecracker_wait_for_socket(socket_path, timeout)\n--\n\n"};
}  // namespace signatures

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
