#include "qmp/channel.hpp"

#include <fcntl.h>
#include <sys/socket.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstring>

#include "common/unix_socket.hpp"
#include "common/utf8.hpp"

namespace brindle::qmp {

namespace {

constexpr std::size_t READ_BUFFER_SIZE = 8192;
constexpr Duration RETRY_PAUSE = Duration::from_millis(50);
constexpr Duration MAX_HANDSHAKE_TIMEOUT{1, 0};
constexpr double AUTO_CONNECT_TIMEOUT = 5.0;
constexpr double AUTO_READ_TIMEOUT = 30.0;

// What is left until `deadline`, or zero once it has passed.
Duration remaining_until(Instant deadline) {
  const Instant now = Instant::now();
  if (now >= deadline) return {};
  std::int64_t secs = deadline.secs - now.secs;
  std::int64_t nanos = static_cast<std::int64_t>(deadline.nanos) - now.nanos;
  if (nanos < 0) {
    nanos += 1'000'000'000;
    --secs;
  }
  return {static_cast<std::uint64_t>(secs), static_cast<std::uint32_t>(nanos)};
}

// One connect attempt. A monitor whose listen queue is full would hold a blocking connect
// indefinitely, so the attempt is bounded by what is left of the deadline.
Result<UniqueFd> connect_once(const std::string& path, Instant deadline) {
  auto socket = unix_stream_socket();
  if (!socket) return fail(socket.error());
  auto address = unix_address(path);
  if (!address) return fail(address.error());
  const Duration bound = std::max(remaining_until(deadline), Duration{0, 1});
  if (auto set = set_socket_timeout(socket->get(), SO_SNDTIMEO, bound); !set) {
    return fail(set.error());
  }
  if (auto connected = connect_unix(socket->get(), *address); !connected) {
    return fail(connected.error());
  }
  return std::move(*socket);
}

Status set_timeouts(int fd, Duration timeout) {
  if (auto set = set_socket_timeout(fd, SO_RCVTIMEO, timeout); !set) return set;
  return set_socket_timeout(fd, SO_SNDTIMEO, timeout);
}

// The greeting and capability negotiation on a freshly connected channel, then the time-out of
// all later traffic.
QmpStatus handshake(QmpChannel& channel, Duration read_timeout) {
  auto greeting = read_message(channel);
  if (!greeting) return fail(std::move(greeting.error()));
  if (!greeting->is_object() || !greeting->contains("QMP")) {
    return fail(QmpError::InvalidGreeting{channel.socket_path, std::move(*greeting)});
  }
  if (auto negotiated = run_command(channel, "qmp_capabilities"); !negotiated) return negotiated;
  const Connection& connection = *channel.connection;
  Status set = set_timeouts(connection.writer.get(), read_timeout);
  if (set) set = set_socket_timeout(connection.reader.get(), SO_RCVTIMEO, read_timeout);
  if (!set) return fail(io_error(channel.socket_path, set.error()));
  return {};
}

// Fills the empty buffer with one receive: the count received, 0 at the end of the stream.
Result<std::size_t> refill(Connection& connection) {
  connection.begin = connection.end = 0;
  const auto received =
      receive(connection.reader.get(),
              std::as_writable_bytes(std::span(connection.buffer.get(), READ_BUFFER_SIZE)), true);
  if (!received) return fail(Error::os(received.error()));
  connection.end = *received;
  return *received;
}

QmpResult<Json> parse_message(const QmpChannel& channel, std::string_view line) {
  if (!is_valid_utf8(line)) {
    return fail(QmpError::IoError{channel.socket_path, "stream did not contain valid UTF-8"});
  }
  auto value = parse_json(line);
  if (!value) return fail(QmpError::JsonError{channel.socket_path, std::move(value.error())});
  return std::move(*value);
}

}  // namespace

Result<Connection> Connection::over(UniqueFd socket) {
  UniqueFd duplicate(::fcntl(socket.get(), F_DUPFD_CLOEXEC, 0));
  if (!duplicate) return fail(Error::last_os());
  return Connection{std::move(socket), std::move(duplicate),
                    std::make_unique_for_overwrite<char[]>(READ_BUFFER_SIZE)};
}

std::optional<Duration> seconds_to_duration(double seconds) {
  if (!(seconds > 0.0) || std::isinf(seconds)) return Duration{};
  return duration_from_secs(seconds);
}

QmpStatus open_channel(QmpChannel& channel, double timeout, double read_timeout) {
  if (channel.connected()) return {};

  const auto total = seconds_to_duration(timeout);
  const auto later = seconds_to_duration(read_timeout);
  if (!total || !later) return fail(timeout_too_large(channel.socket_path));
  const auto deadline = Instant::now().checked_add(*total);
  if (!deadline) return fail(timeout_too_large(channel.socket_path));
  const Duration step = std::min(*total, MAX_HANDSHAKE_TIMEOUT);

  // At least one attempt; the deadline is looked at only after a failure, and the pause is
  // never shortened, so one more attempt can follow up to 50 ms after the deadline.
  UniqueFd socket;
  for (;;) {
    if (auto connected = connect_once(channel.socket_path, *deadline)) {
      socket = std::move(*connected);
      break;
    }
    if (Instant::now() >= *deadline) return fail(QmpError::ConnectTimeout{channel.socket_path});
    sleep_for(RETRY_PAUSE);
  }

  if (auto set = set_timeouts(socket.get(), step); !set) {
    return fail(io_error(channel.socket_path, set.error()));
  }
  auto connection = Connection::over(std::move(socket));
  if (!connection) return fail(io_error(channel.socket_path, connection.error()));
  channel.connection = std::move(*connection);

  if (auto done = handshake(channel, *later); !done) {
    close_channel(channel);
    return done;
  }
  return {};
}

QmpResult<Json> execute_command(QmpChannel& channel, std::string_view command,
                                const Json* arguments) {
  if (!channel.connected()) {
    if (auto opened = open_channel(channel, AUTO_CONNECT_TIMEOUT, AUTO_READ_TIMEOUT); !opened) {
      return fail(std::move(opened.error()));
    }
  }

  // Keys in ascending order: "arguments" before "execute"; never an "id".
  std::string message;
  message.reserve(32 + command.size());
  message += '{';
  if (arguments != nullptr) {
    message += "\"arguments\":";
    write_json(message, *arguments);
    message += ',';
  }
  message += "\"execute\":";
  write_json_string(message, command);
  message += "}\n";

  if (!channel.connected()) return fail(QmpError::NotConnected{channel.socket_path});
  if (auto sent = send_all(channel.connection->writer.get(), message); !sent) {
    return fail(io_error(channel.socket_path, sent.error()));
  }

  // Replies carry no id: the first reply after the command is its reply.
  for (;;) {
    auto reply = read_message(channel);
    if (!reply) return fail(std::move(reply.error()));
    if (!reply->is_object()) continue;
    auto& members = reply->get_ref<Json::object_t&>();
    if (members.contains("event")) continue;
    if (auto error = members.find("error"); error != members.end() && error->second.is_object()) {
      QmpError::CommandFailed failed{channel.socket_path, std::string(command), {}, {}};
      const auto& details = error->second;
      if (auto c = details.find("class"); c != details.end() && c->is_string()) {
        failed.error_class = c->get<std::string>();
      }
      if (auto d = details.find("desc"); d != details.end() && d->is_string()) {
        failed.desc = d->get<std::string>();
      }
      return fail(std::move(failed));
    }
    if (auto result = members.find("return"); result != members.end()) {
      return std::move(result->second);
    }
  }
}

QmpStatus run_command(QmpChannel& channel, std::string_view command, const Json* arguments) {
  if (auto result = execute_command(channel, command, arguments); !result) {
    return fail(std::move(result.error()));
  }
  return {};
}

QmpResult<Json> read_message(QmpChannel& channel) {
  if (!channel.connection) return fail(QmpError::NotConnected{channel.socket_path});
  Connection& connection = *channel.connection;

  // A line that lies whole in the buffer is parsed where it is; a longer one is collected.
  std::string collected;
  for (;;) {
    if (connection.begin == connection.end) {
      auto received = refill(connection);
      if (!received) return fail(io_error(channel.socket_path, received.error()));
      if (*received == 0) break;  // end of stream ends the line
    }
    const char* start = connection.buffer.get() + connection.begin;
    const std::size_t available = connection.end - connection.begin;
    const auto* newline = static_cast<const char*>(std::memchr(start, '\n', available));
    if (newline == nullptr) {
      collected.append(start, available);
      connection.begin = connection.end;
      continue;
    }
    const std::size_t length = static_cast<std::size_t>(newline - start) + 1;
    connection.begin += length;
    if (collected.empty()) return parse_message(channel, std::string_view(start, length));
    collected.append(start, length);
    break;
  }
  if (collected.empty()) return fail(QmpError::SocketClosed{channel.socket_path});
  return parse_message(channel, collected);
}

void close_channel(QmpChannel& channel) { channel.connection.reset(); }

}  // namespace brindle::qmp
