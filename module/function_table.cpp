// The eighteen module functions in the order the module adds them (and lists them in __all__).
// Each doc string is the signature line, the "\n--\n\n" separator, then the doc text.
#include "functions.hpp"

namespace brindle::py {

namespace {
constexpr int WITH_PARAMETERS = METH_FASTCALL | METH_KEYWORDS | METH_STATIC;
constexpr int WITHOUT_PARAMETERS = METH_NOARGS | METH_STATIC;
}  // namespace

// A function with parameters, its doc string the text signature of its parameter list.
#define FUNCTION_WITH_PARAMETERS(name) \
  {#name, fastcall<name>(), WITH_PARAMETERS, signatures::name.doc}

PyMethodDef function_table[] = {
    {"has_native_networking", has_native_networking, WITHOUT_PARAMETERS,
     "has_native_networking()\n--\n\n"
     "Return whether native Linux networking helpers are available."},
    {"has_native_qmp", native_family_available, WITHOUT_PARAMETERS,
     "has_native_qmp()\n--\n\nReturn whether the native QMP client is available."},
    {"has_native_disk_io", native_family_available, WITHOUT_PARAMETERS,
     "has_native_disk_io()\n--\n\nReturn whether native host disk/image helpers are available."},
    {"has_native_firecracker_api", native_family_available, WITHOUT_PARAMETERS,
     "has_native_firecracker_api()\n--\n\nReturn whether the Firecracker API client is available."},
    FUNCTION_WITH_PARAMETERS(create_tap),
    FUNCTION_WITH_PARAMETERS(delete_tap),
    FUNCTION_WITH_PARAMETERS(set_link_up),
    FUNCTION_WITH_PARAMETERS(flush_addrs),
    FUNCTION_WITH_PARAMETERS(add_addr),
    FUNCTION_WITH_PARAMETERS(configure_tap),
    FUNCTION_WITH_PARAMETERS(prepare_tap),
    FUNCTION_WITH_PARAMETERS(add_route),
    {"get_default_interface", get_default_interface, WITHOUT_PARAMETERS,
     "get_default_interface()\n--\n\n"},
    FUNCTION_WITH_PARAMETERS(write_sysctl),
    FUNCTION_WITH_PARAMETERS(clone_or_sparse_copy),
    FUNCTION_WITH_PARAMETERS(decompress_zstd_sparse),
    FUNCTION_WITH_PARAMETERS(firecracker_request),
    FUNCTION_WITH_PARAMETERS(firecracker_wait_for_socket),
    {nullptr, nullptr, 0, nullptr},
};

#undef FUNCTION_WITH_PARAMETERS

}  // namespace brindle::py
