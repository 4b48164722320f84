// Polling a Firecracker API socket until it answers GET / with 200.
#pragma once

#include <string_view>

#include "common/error.hpp"
#include "common/time.hpp"

namespace brindle::firecracker {

// The pause after every unsuccessful attempt.
inline constexpr Duration POLL_INTERVAL = Duration::from_millis(25);
// Each probe's own time-out, whatever is left before the deadline.
inline constexpr double PROBE_TIMEOUT_SECS = 1.0;

// Fails only with "wait_for_socket timed out"; single attempts fail silently. Panics when the
// time-out cannot be converted or added to the clock.
Status wait_for_socket(std::string_view socket_path, double timeout_seconds);

}  // namespace brindle::firecracker
