// One HTTP/1.1 request and response with a Firecracker API server over its Unix socket.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "common/error.hpp"
#include "common/time.hpp"

namespace brindle::firecracker {

struct ApiResponse {
  std::uint16_t status = 0;
  std::optional<std::string> body;  // absent for 204 and for an empty body
};

// Float seconds to a socket time-out: at least 0.001 s (NaN included), rounded to the nearest
// nanosecond. Panics for 2^64 s and more.
Duration seconds_to_timeout(double seconds);

// Errors are ErrorKind::Os or Io (the exchange failed) or Protocol (the response is unusable).
Result<ApiResponse> api_request(std::string_view socket_path, std::string_view method,
                                std::string_view path, std::optional<std::string_view> body,
                                double timeout_seconds);

// The exchange on a connected socket whose time-outs are set: sends the request (an empty body
// for none) and reads the response. It is api_request after the connection; it stands alone so
// that the response reading can be driven over a socket pair filled beforehand.
Result<ApiResponse> exchange(int fd, std::string_view method, std::string_view path,
                             std::string_view body);

}  // namespace brindle::firecracker
