// Unix-domain stream sockets: creation, addresses, connect, time-outs and whole sends. Shared by
// the Firecracker client and the QMP channel.
#pragma once

#include <sys/socket.h>
#include <sys/un.h>

#include <cstddef>
#include <expected>
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
Status send_all(int fd, std::string_view bytes);

// One recv(): the count received (0 when the peer has closed) or the error number. An
// interruption by a signal is repeated only when `resume_after_signal`.
std::expected<std::size_t, int> receive(int fd, std::span<std::byte> buffer,
                                        bool resume_after_signal) noexcept;

}  // namespace brindle
