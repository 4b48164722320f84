// Unix-domain stream sockets: creation, addresses, connect, time-outs and whole sends. Shared by
// the Firecracker client and the QMP channel.
#pragma once

#include <sys/socket.h>
#include <sys/un.h>

#include <cstddef>
#include <span>
#include <string_view>

#include "common/error.hpp"
#include "common/time.hpp"
#include "common/unique_fd.hpp"

namespace brindle {

struct UnixAddress {
  sockaddr_un address{};
  socklen_t length = 0;
};

// Fails with "paths must not contain interior null bytes" or "path must be shorter than
// SUN_LEN" (the path and its terminating NUL must fit sun_path).
Result<UnixAddress> unix_address(std::string_view path);

// A stream socket, close-on-exec. Writes to it go through send_all, which never raises SIGPIPE.
Result<UniqueFd> unix_stream_socket();

// One connect() call; not repeated after an interruption.
Status connect_unix(int fd, const UnixAddress& address);

// Creates a socket and connects it to `path`.
Result<UniqueFd> connect_unix_path(std::string_view path);

// SO_RCVTIMEO or SO_SNDTIMEO. A zero duration fails with "cannot set a 0 duration timeout";
// whole microseconds are used (truncated), but never less than one.
Status set_socket_timeout(int fd, int option, Duration timeout);

// Sends every byte, repeating partial sends and interrupted calls. A send of 0 bytes fails with
// "failed to write whole buffer"; a closed peer gives EPIPE, not the signal.
Status send_all(int fd, std::span<const std::byte> bytes);
Status send_all(int fd, std::string_view bytes);

// One recv() call; an interruption is returned as the EINTR error for the caller to judge.
Result<std::size_t> receive_once(int fd, std::span<std::byte> buffer);

}  // namespace brindle
