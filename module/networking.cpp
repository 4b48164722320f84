// Host networking entries: convert the arguments, then report the core's answer (on this build
// always "Not available on this platform"). Nothing here blocks, so the lock is kept.
#include "networking/networking.hpp"

#include "functions.hpp"

namespace brindle::py {

namespace {

template <class T>
PyObject* networking_result(const Result<T>& result) {
  if (!result) return raise_os_error(result.error());
  if constexpr (std::is_void_v<T>) {
    Py_RETURN_NONE;
  } else {
    return text_result(*result);
  }
}

}  // namespace

BRINDLE_FASTCALL_ENTRY(create_tap) {
  static constexpr Signature signature{"create_tap()", {"_name", "_owner_uid"}};
  return call_with_arguments(signature, args, nargs, kwnames, [](Arguments& a) -> PyObject* {
    std::string_view name;
    std::uint32_t owner_uid = 0;
    if (!a.convert(0, name) || !a.convert(1, owner_uid)) return nullptr;
    return networking_result(networking::create_tap(name, owner_uid));
  });
}

BRINDLE_FASTCALL_ENTRY(delete_tap) {
  static constexpr Signature signature{"delete_tap()", {"_name"}};
  return call_with_arguments(signature, args, nargs, kwnames, [](Arguments& a) -> PyObject* {
    std::string_view name;
    if (!a.convert(0, name)) return nullptr;
    return networking_result(networking::delete_tap(name));
  });
}

BRINDLE_FASTCALL_ENTRY(set_link_up) {
  static constexpr Signature signature{"set_link_up()", {"_name"}};
  return call_with_arguments(signature, args, nargs, kwnames, [](Arguments& a) -> PyObject* {
    std::string_view name;
    if (!a.convert(0, name)) return nullptr;
    return networking_result(networking::set_link_up(name));
  });
}

BRINDLE_FASTCALL_ENTRY(flush_addrs) {
  static constexpr Signature signature{"flush_addrs()", {"_name"}};
  return call_with_arguments(signature, args, nargs, kwnames, [](Arguments& a) -> PyObject* {
    std::string_view name;
    if (!a.convert(0, name)) return nullptr;
    return networking_result(networking::flush_addrs(name));
  });
}

BRINDLE_FASTCALL_ENTRY(add_addr) {
  static constexpr Signature signature{"add_addr()", {"_name", "_ip", "_prefix_len"}};
  return call_with_arguments(signature, args, nargs, kwnames, [](Arguments& a) -> PyObject* {
    std::string_view name, ip;
    std::uint8_t prefix_len = 0;
    if (!a.convert(0, name) || !a.convert(1, ip) || !a.convert(2, prefix_len)) return nullptr;
    return networking_result(networking::add_addr(name, ip, prefix_len));
  });
}

BRINDLE_FASTCALL_ENTRY(configure_tap) {
  static constexpr Signature signature{"configure_tap()", {"_name", "_host_ip", "_prefix_len"}};
  return call_with_arguments(signature, args, nargs, kwnames, [](Arguments& a) -> PyObject* {
    std::string_view name, host_ip;
    std::uint8_t prefix_len = 0;
    if (!a.convert(0, name) || !a.convert(1, host_ip) || !a.convert(2, prefix_len)) {
      return nullptr;
    }
    return networking_result(networking::configure_tap(name, host_ip, prefix_len));
  });
}

BRINDLE_FASTCALL_ENTRY(prepare_tap) {
  static constexpr Signature signature{
      "prepare_tap()", {"_name", "_owner_uid", "_host_ip", "_prefix_len", "_route_localnet"}, 4};
  return call_with_arguments(signature, args, nargs, kwnames, [](Arguments& a) -> PyObject* {
    std::string_view name, host_ip;
    std::uint32_t owner_uid = 0;
    std::uint8_t prefix_len = 0;
    bool route_localnet = true;
    if (!a.convert(0, name) || !a.convert(1, owner_uid) || !a.convert(2, host_ip) ||
        !a.convert(3, prefix_len) || !a.convert(4, route_localnet)) {
      return nullptr;
    }
    return networking_result(
        networking::prepare_tap(name, owner_uid, host_ip, prefix_len, route_localnet));
  });
}

BRINDLE_FASTCALL_ENTRY(add_route) {
  static constexpr Signature signature{"add_route()", {"_dest", "_prefix_len", "_dev"}};
  return call_with_arguments(signature, args, nargs, kwnames, [](Arguments& a) -> PyObject* {
    std::string_view dest, dev;
    std::uint8_t prefix_len = 0;
    if (!a.convert(0, dest) || !a.convert(1, prefix_len) || !a.convert(2, dev)) return nullptr;
    return networking_result(networking::add_route(dest, prefix_len, dev));
  });
}

PyObject* get_default_interface(PyObject*, PyObject*) {
  return guarded([] { return networking_result(networking::get_default_interface()); });
}

BRINDLE_FASTCALL_ENTRY(write_sysctl) {
  static constexpr Signature signature{"write_sysctl()", {"_key", "_value"}};
  return call_with_arguments(signature, args, nargs, kwnames, [](Arguments& a) -> PyObject* {
    std::string_view key, value;
    if (!a.convert(0, key) || !a.convert(1, value)) return nullptr;
    return networking_result(networking::write_sysctl(key, value));
  });
}

}  // namespace brindle::py
