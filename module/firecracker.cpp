// Firecracker API entries: one exchange, and the wait until the socket answers.
#include "firecracker/api_request.hpp"
#include "firecracker/wait_for_socket.hpp"
#include "functions.hpp"
#include "gil.hpp"

namespace brindle::py {

BRINDLE_FASTCALL_ENTRY(firecracker_request) {
  return call_with_arguments(
      signatures::firecracker_request, args, nargs, kwnames, [](Arguments& a) -> PyObject* {
        std::string_view socket_path, method, path;
        std::optional<std::string_view> body;
        double timeout = 0;
        if (!a.convert_all(socket_path, method, path, body, timeout)) return nullptr;
        return to_python(without_gil(
            [&] { return firecracker::api_request(socket_path, method, path, body, timeout); }));
      });
}

BRINDLE_FASTCALL_ENTRY(firecracker_wait_for_socket) {
  return call_with_arguments(
      signatures::firecracker_wait_for_socket, args, nargs, kwnames, [](Arguments& a) -> PyObject* {
        std::string_view socket_path;
        double timeout = 0;
        if (!a.convert_all(socket_path, timeout)) return nullptr;
        return to_python(
            without_gil([&] { return firecracker::wait_for_socket(socket_path, timeout); }));
      });
}

}  // namespace brindle::py
