// The eighteen module functions in the order the module adds them (and lists them in __all__).
// Each doc string is the signature line, the "\n--\n\n" separator, then the doc text.
#include "functions.hpp"

namespace brindle::py {

namespace {
constexpr int kWithParameters = METH_FASTCALL | METH_KEYWORDS | METH_STATIC;
constexpr int kWithoutParameters = METH_NOARGS | METH_STATIC;
}  // namespace

PyMethodDef function_table[] = {
    {"has_native_networking", has_native_networking, kWithoutParameters,
     "has_native_networking()\n--\n\n"
     "Return whether native Linux networking helpers are available."},
    {"has_native_qmp", native_family_available, kWithoutParameters,
     "has_native_qmp()\n--\n\nReturn whether the native QMP client is available."},
    {"has_native_disk_io", native_family_available, kWithoutParameters,
     "has_native_disk_io()\n--\n\nReturn whether native host disk/image helpers are available."},
    {"has_native_firecracker_api", native_family_available, kWithoutParameters,
     "has_native_firecracker_api()\n--\n\nReturn whether the Firecracker API client is available."},
    {"create_tap", fastcall<create_tap>(), kWithParameters,
     "create_tap(_name, _owner_uid)\n--\n\n"},
    {"delete_tap", fastcall<delete_tap>(), kWithParameters, "delete_tap(_name)\n--\n\n"},
    {"set_link_up", fastcall<set_link_up>(), kWithParameters, "set_link_up(_name)\n--\n\n"},
    {"flush_addrs", fastcall<flush_addrs>(), kWithParameters, "flush_addrs(_name)\n--\n\n"},
    {"add_addr", fastcall<add_addr>(), kWithParameters,
     "add_addr(_name, _ip, _prefix_len)\n--\n\n"},
    {"configure_tap", fastcall<configure_tap>(), kWithParameters,
     "configure_tap(_name, _host_ip, _prefix_len)\n--\n\n"},
    {"prepare_tap", fastcall<prepare_tap>(), kWithParameters,
     "prepare_tap(_name, _owner_uid, _host_ip, _prefix_len, _route_localnet=True)\n--\n\n"},
    {"add_route", fastcall<add_route>(), kWithParameters,
     "add_route(_dest, _prefix_len, _dev)\n--\n\n"},
    {"get_default_interface", get_default_interface, kWithoutParameters,
     "get_default_interface()\n--\n\n"},
    {"write_sysctl", fastcall<write_sysctl>(), kWithParameters,
     "write_sysctl(_key, _value)\n--\n\n"},
    {"clone_or_sparse_copy", fastcall<clone_or_sparse_copy>(), kWithParameters,
     "clone_or_sparse_copy(source, target)\n--\n\n"},
    {"decompress_zstd_sparse", fastcall<decompress_zstd_sparse>(), kWithParameters,
     "decompress_zstd_sparse(source, target, chunk_size=1048576)\n--\n\n"},
    {"firecracker_request", fastcall<firecracker_request>(), kWithParameters,
     "firecracker_request(socket_path, method, path, body_json, timeout)\n--\n\n"},
    {"firecracker_wait_for_socket", fastcall<firecracker_wait_for_socket>(), kWithParameters,
     "firecracker_wait_for_socket(socket_path, timeout)\n--\n\n"},
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace brindle::py
