// The one write loop, for sockets and files alike.
#pragma once

#include <sys/types.h>

#include <cerrno>
#include <cstddef>
#include <span>

#include "common/error.hpp"

namespace brindle {

// Writes every byte through `write_some(data, size)`, which has a write call's shape (the count
// written, or -1 with errno set), repeating partial and interrupted calls. A call that writes
// nothing fails with "failed to write whole buffer".
template <class WriteSome>
Status write_all(std::span<const std::byte> bytes, WriteSome write_some) {
  while (!bytes.empty()) {
    const ssize_t written = write_some(bytes.data(), bytes.size());
    if (written < 0) {
      if (errno == EINTR) continue;
      return fail(Error::last_os());
    }
    if (written == 0) return fail(Error::io("failed to write whole buffer"));
    bytes = bytes.subspan(static_cast<std::size_t>(written));
  }
  return {};
}

}  // namespace brindle
