// The QMP channel: one monitor socket path and, while connected, its connection; and the
// operations that speak the protocol over it. Every operation blocks; the caller holds the
// client's lock (qmp/client.hpp) and has released the interpreter lock.
#pragma once

#include <cstddef>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>

#include "common/error.hpp"
#include "common/time.hpp"
#include "common/unique_fd.hpp"
#include "qmp/error.hpp"
#include "qmp/json.hpp"

namespace brindle::qmp {

// One connected monitor socket: the writing handle, and the reading handle (a duplicate of the
// same socket) with the bytes received past the last line handed out.
struct Connection {
  // Takes a connected socket; fails when it cannot be duplicated.
  static Result<Connection> over(UniqueFd socket);

  UniqueFd writer;
  UniqueFd reader;
  std::unique_ptr<char[]> buffer;  // 8 KiB
  std::size_t begin = 0;           // unread bytes are buffer[begin, end)
  std::size_t end = 0;
};

struct QmpChannel {
  explicit QmpChannel(std::string path) noexcept : socket_path(std::move(path)) {}

  std::string socket_path;               // as given, never validated; copied into every error
  std::optional<Connection> connection;  // empty while not connected

  bool connected() const { return connection.has_value(); }
};

// Seconds as a time-out: non-positive, NaN and infinite values give zero; others are rounded to
// the nearest nanosecond, ties to even. Empty for finite values of 2^64 seconds or more.
std::optional<Duration> seconds_to_duration(double seconds);

// Connects with attempts 50 ms apart until `timeout` passes, reads the greeting and negotiates
// capabilities under min(timeout, 1 s), then sets `read_timeout` on the socket. Returns at once,
// looking at neither value, when the channel is already connected. A failed handshake leaves
// the channel closed.
QmpStatus open_channel(QmpChannel& channel, double timeout, double read_timeout);

// Sends one command (connecting first with 5 s / 30 s if needed) and returns its reply's
// "return" value. Events and unusable lines met on the way are dropped. A failure leaves the
// channel as it was.
QmpResult<Json> execute_command(QmpChannel& channel, std::string_view command,
                                const Json* arguments = nullptr);
// The same for a command whose return value is not wanted.
QmpStatus run_command(QmpChannel& channel, std::string_view command,
                      const Json* arguments = nullptr);

// Reads one line and parses it as one JSON value.
QmpResult<Json> read_message(QmpChannel& channel);

// Drops the connection, if any. Never fails.
void close_channel(QmpChannel& channel);

}  // namespace brindle::qmp
