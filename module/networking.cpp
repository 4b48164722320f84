// Host networking entries: convert the arguments, then report the core's answer (on this build
// always "Not available on this platform"). Nothing here blocks, so the lock is kept.
#include "networking/networking.hpp"

#include "functions.hpp"

namespace brindle::py {

BRINDLE_FASTCALL_ENTRY(create_tap) {
  return call_with_arguments(signatures::create_tap, args, nargs, kwnames,
                             [](Arguments& a) -> PyObject* {
                               std::string_view name;
                               std::uint32_t owner_uid = 0;
                               if (!a.convert_all(name, owner_uid)) return nullptr;
                               return to_python(networking::create_tap(name, owner_uid));
                             });
}

BRINDLE_FASTCALL_ENTRY(delete_tap) {
  return call_with_arguments(signatures::delete_tap, args, nargs, kwnames,
                             [](Arguments& a) -> PyObject* {
                               std::string_view name;
                               if (!a.convert_all(name)) return nullptr;
                               return to_python(networking::delete_tap(name));
                             });
}

BRINDLE_FASTCALL_ENTRY(set_link_up) {
  return call_with_arguments(signatures::set_link_up, args, nargs, kwnames,
                             [](Arguments& a) -> PyObject* {
                               std::string_view name;
                               if (!a.convert_all(name)) return nullptr;
                               return to_python(networking::set_link_up(name));
                             });
}

BRINDLE_FASTCALL_ENTRY(flush_addrs) {
  return call_with_arguments(signatures::flush_addrs, args, nargs, kwnames,
                             [](Arguments& a) -> PyObject* {
                               std::string_view name;
                               if (!a.convert_all(name)) return nullptr;
                               return to_python(networking::flush_addrs(name));
                             });
}

BRINDLE_FASTCALL_ENTRY(add_addr) {
  return call_with_arguments(signatures::add_addr, args, nargs, kwnames,
                             [](Arguments& a) -> PyObject* {
                               std::string_view name, ip;
                               std::uint8_t prefix_len = 0;
                               if (!a.convert_all(name, ip, prefix_len)) return nullptr;
                               return to_python(networking::add_addr(name, ip, prefix_len));
                             });
}

BRINDLE_FASTCALL_ENTRY(configure_tap) {
  return call_with_arguments(
      signatures::configure_tap, args, nargs, kwnames, [](Arguments& a) -> PyObject* {
        std::string_view name, host_ip;
        std::uint8_t prefix_len = 0;
        if (!a.convert_all(name, host_ip, prefix_len)) return nullptr;
        return to_python(networking::configure_tap(name, host_ip, prefix_len));
      });
}

BRINDLE_FASTCALL_ENTRY(prepare_tap) {
  return call_with_arguments(
      signatures::prepare_tap, args, nargs, kwnames, [](Arguments& a) -> PyObject* {
        std::string_view name, host_ip;
        std::uint32_t owner_uid = 0;
        std::uint8_t prefix_len = 0;
        bool route_localnet = true;
        if (!a.convert_all(name, owner_uid, host_ip, prefix_len, route_localnet)) return nullptr;
        return to_python(
            networking::prepare_tap(name, owner_uid, host_ip, prefix_len, route_localnet));
      });
}

BRINDLE_FASTCALL_ENTRY(add_route) {
  return call_with_arguments(signatures::add_route, args, nargs, kwnames,
                             [](Arguments& a) -> PyObject* {
                               std::string_view dest, dev;
                               std::uint8_t prefix_len = 0;
                               if (!a.convert_all(dest, prefix_len, dev)) return nullptr;
                               return to_python(networking::add_route(dest, prefix_len, dev));
                             });
}

PyObject* get_default_interface(PyObject*, PyObject*) {
  return guarded([] { return to_python(networking::get_default_interface()); });
}

BRINDLE_FASTCALL_ENTRY(write_sysctl) {
  return call_with_arguments(signatures::write_sysctl, args, nargs, kwnames,
                             [](Arguments& a) -> PyObject* {
                               std::string_view key, value;
                               if (!a.convert_all(key, value)) return nullptr;
                               return to_python(networking::write_sysctl(key, value));
                             });
}

}  // namespace brindle::py
