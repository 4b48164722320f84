#include "firecracker/wait_for_socket.hpp"

#include <sys/stat.h>

#include <string>

#include "common/time.hpp"
#include "firecracker/api_request.hpp"

namespace brindle::firecracker {

namespace {

// The pause after every unsuccessful attempt.
constexpr Duration POLL_INTERVAL = Duration::from_millis(25);
// Each probe's own time-out, whatever is left before the deadline.
constexpr double PROBE_TIMEOUT = 1.0;

bool path_exists(std::string_view path) {
  // A NUL would cut the path short; such a path never names the socket.
  if (path.find('\0') != std::string_view::npos) return false;
  struct stat info;
  return ::stat(std::string(path).c_str(), &info) == 0;
}

bool answers_ok(std::string_view socket_path) {
  const auto response = api_request(socket_path, "GET", "/", std::nullopt, PROBE_TIMEOUT);
  return response && response->status == 200;
}

}  // namespace

Status wait_for_socket(std::string_view socket_path, double timeout_seconds) {
  const Instant start = Instant::now();
  const auto deadline = start.checked_add(seconds_to_timeout(timeout_seconds));
  if (!deadline) panic("overflow when adding duration to instant");

  // The deadline is only tested before an attempt: a started probe runs to its end.
  while (Instant::now() < *deadline) {
    if (path_exists(socket_path) && answers_ok(socket_path)) return {};
    sleep_for(POLL_INTERVAL);
  }
  return fail(Error::io("wait_for_socket timed out"));
}

}  // namespace brindle::firecracker
