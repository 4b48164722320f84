// Polling a Firecracker API socket until it answers GET / with 200.
#pragma once

#include <string_view>

#include "common/error.hpp"

namespace brindle::firecracker {

// Fails only with "wait_for_socket timed out"; single attempts fail silently. Panics when the
// time-out cannot be converted or added to the clock.
Status wait_for_socket(std::string_view socket_path, double timeout_seconds);

}  // namespace brindle::firecracker
