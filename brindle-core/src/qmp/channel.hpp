// The QMP channel: one monitor socket path and, while connected, two handles on one socket.
#pragma once

#include <string>

#include "common/unique_fd.hpp"

namespace brindle::qmp {

struct QmpChannel {
  std::string socket_path;
  UniqueFd reader;  // the reading handle's descriptor (a duplicate of the writer's)
  UniqueFd writer;  // the writing handle; empty means "not connected"

  bool connected() const { return static_cast<bool>(writer); }
};

// Drops both handles; a channel that is not connected is left as it is. Never fails.
void close_channel(QmpChannel& channel);

}  // namespace brindle::qmp
