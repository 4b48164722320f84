// The QMP channel: one monitor socket path and, while connected, two handles on one socket, and
// the operations that speak the protocol over it. Every operation blocks; the caller holds the
// client's lock and has released the interpreter lock.
#pragma once

#include <cstddef>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>

#include "common/time.hpp"
#include "common/unique_fd.hpp"
#include "qmp/error.hpp"
#include "qmp/json.hpp"

namespace brindle::qmp {

inline constexpr std::size_t kReadBufferSize = 8192;

// The reading handle: a duplicate of the writer's descriptor and the bytes received past the
// last line feed handed out.
struct LineReader {
  UniqueFd fd;
  std::unique_ptr<char[]> buffer;  // kReadBufferSize bytes
  std::size_t begin = 0;           // unread bytes are buffer[begin, end)
  std::size_t end = 0;
};

struct QmpChannel {
  explicit QmpChannel(std::string path) : socket_path(std::move(path)) {}

  std::string socket_path;  // as given, never validated; copied into every error
  std::optional<LineReader> reader;
  UniqueFd writer;  // empty means "not connected"

  bool connected() const { return static_cast<bool>(writer); }
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
QmpResult<Json> execute_command(QmpChannel& channel, std::string_view command);
QmpResult<Json> execute_command(QmpChannel& channel, std::string_view command,
                                const Json& arguments);

// Reads one line and parses it as one JSON value.
QmpResult<Json> read_message(QmpChannel& channel);

// Drops both handles; a channel that is not connected is left as it is. Never fails.
void close_channel(QmpChannel& channel);

}  // namespace brindle::qmp
