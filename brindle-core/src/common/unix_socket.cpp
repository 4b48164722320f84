#include "common/unix_socket.hpp"

#include <sys/time.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <limits>

#include "common/write_all.hpp"

namespace brindle {

Result<UnixAddress> unix_address(std::string_view path) {
  if (path.find('\0') != std::string_view::npos) {
    return fail(Error::io("paths must not contain interior null bytes"));
  }
  UnixAddress result;
  if (path.size() >= sizeof result.address.sun_path) {
    return fail(Error::io("path must be shorter than SUN_LEN"));
  }
  result.address.sun_family = AF_UNIX;
  std::memcpy(result.address.sun_path, path.data(), path.size());
  // The terminating NUL is part of the address, except for the empty (unnamed) address.
  result.length = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + path.size() +
                                         (path.empty() ? 0 : 1));
  return result;
}

Result<UniqueFd> unix_stream_socket() {
  const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return fail(Error::last_os());
  return UniqueFd(fd);
}

Status connect_unix(int fd, const UnixAddress& address) {
  if (::connect(fd, reinterpret_cast<const sockaddr*>(&address.address), address.length) < 0) {
    return fail(Error::last_os());
  }
  return {};
}

Result<UniqueFd> connect_unix_path(std::string_view path) {
  auto socket = unix_stream_socket();
  if (!socket) return fail(socket.error());
  auto address = unix_address(path);
  if (!address) return fail(address.error());
  if (auto connected = connect_unix(socket->get(), *address); !connected) {
    return fail(connected.error());
  }
  return std::move(*socket);
}

Status set_socket_timeout(int fd, int option, Duration timeout) {
  if (timeout.is_zero()) return fail(Error::io("cannot set a 0 duration timeout"));
  constexpr auto max_secs = static_cast<std::uint64_t>(std::numeric_limits<time_t>::max());
  timeval value{};
  value.tv_sec = static_cast<time_t>(std::min(timeout.secs, max_secs));
  value.tv_usec = static_cast<suseconds_t>(timeout.nanos / 1000);
  if (value.tv_sec == 0 && value.tv_usec == 0) value.tv_usec = 1;
  if (::setsockopt(fd, SOL_SOCKET, option, &value, sizeof value) < 0) {
    return fail(Error::last_os());
  }
  return {};
}

Status send_all(int fd, std::string_view bytes) {
  return write_all(std::as_bytes(std::span(bytes)), [fd](const std::byte* data, std::size_t size) {
    return ::send(fd, data, size, MSG_NOSIGNAL);
  });
}

std::expected<std::size_t, int> receive(int fd, std::span<std::byte> buffer,
                                        bool resume_after_signal) noexcept {
  for (;;) {
    const ssize_t received = ::recv(fd, buffer.data(), buffer.size(), 0);
    if (received >= 0) return static_cast<std::size_t>(received);
    if (errno != EINTR || !resume_after_signal) return std::unexpected(errno);
  }
}

}  // namespace brindle
