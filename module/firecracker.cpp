// Firecracker API entries: one exchange, and the wait until the socket answers.
#include "firecracker/api_request.hpp"
#include "firecracker/wait_for_socket.hpp"
#include "functions.hpp"
#include "gil.hpp"

namespace brindle::py {

BRINDLE_FASTCALL_ENTRY(firecracker_request) {
  static constexpr Signature signature{"firecracker_request()",
                                       {"socket_path", "method", "path", "body_json", "timeout"}};
  return call_with_arguments(signature, args, nargs, kwnames, [](Arguments& a) -> PyObject* {
    std::string_view socket_path, method, path;
    std::optional<std::string_view> body;
    double timeout = 0;
    if (!a.convert(0, socket_path) || !a.convert(1, method) || !a.convert(2, path) ||
        !a.convert(3, body) || !a.convert(4, timeout)) {
      return nullptr;
    }
    auto response = without_gil(
        [&] { return firecracker::api_request(socket_path, method, path, body, timeout); });
    if (!response) return raise_os_error(response.error());
    if (!response->body) return Py_BuildValue("(HO)", response->status, Py_None);
    PyObject* text = text_result(*response->body);
    if (text == nullptr) return nullptr;
    return Py_BuildValue("(HN)", response->status, text);
  });
}

BRINDLE_FASTCALL_ENTRY(firecracker_wait_for_socket) {
  static constexpr Signature signature{"firecracker_wait_for_socket()", {"socket_path", "timeout"}};
  return call_with_arguments(signature, args, nargs, kwnames, [](Arguments& a) -> PyObject* {
    std::string_view socket_path;
    double timeout = 0;
    if (!a.convert(0, socket_path) || !a.convert(1, timeout)) return nullptr;
    auto waited = without_gil([&] { return firecracker::wait_for_socket(socket_path, timeout); });
    if (!waited) return raise_os_error(waited.error());
    Py_RETURN_NONE;
  });
}

}  // namespace brindle::py
