// What the QMP harnesses share: reporting a broken invariant, comparing JSON values exactly,
// a channel whose monitor end is a socket pair filled before the call, and a model of how
// incoming lines become messages.
#pragma once

#include <fcntl.h>
#include <sys/socket.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "common/unique_fd.hpp"
#include "common/unix_socket.hpp"
#include "common/utf8.hpp"
#include "qmp/channel.hpp"
#include "qmp/json.hpp"

namespace fuzz {

using brindle::qmp::Json;

[[noreturn]] inline void failure(const char* what, std::string_view detail = {}) {
  std::fprintf(stderr, "invariant broken: %s\n", what);
  if (!detail.empty()) {
    std::fprintf(stderr, "  %.*s\n", static_cast<int>(std::min<std::size_t>(detail.size(), 2000)),
                 detail.data());
  }
  std::abort();
}

inline void check(bool ok, const char* what, std::string_view detail = {}) {
  if (!ok) failure(what, detail);
}

// Equal values of equal kinds: an integer and a double are different values here, and doubles
// are compared bit for bit (so -0.0 differs from 0.0). Integers compare by value whether held
// signed or unsigned: "-0" is held as a signed zero, written "0" and read back unsigned.
inline bool same(const Json& a, const Json& b) {
  if (a.is_number_integer() && b.is_number_integer()) {
    if (a.is_number_unsigned() == b.is_number_unsigned()) return a == b;
    const Json& u = a.is_number_unsigned() ? a : b;
    const Json& s = a.is_number_unsigned() ? b : a;
    return s.get<std::int64_t>() >= 0 &&
           static_cast<std::uint64_t>(s.get<std::int64_t>()) == u.get<std::uint64_t>();
  }
  if (a.type() != b.type()) return false;
  switch (a.type()) {
    case Json::value_t::number_float: {
      const double x = a.get<double>(), y = b.get<double>();
      return std::memcmp(&x, &y, sizeof x) == 0;
    }
    case Json::value_t::array: {
      const auto& xs = a.get_ref<const Json::array_t&>();
      const auto& ys = b.get_ref<const Json::array_t&>();
      if (xs.size() != ys.size()) return false;
      for (std::size_t i = 0; i < xs.size(); ++i) {
        if (!same(xs[i], ys[i])) return false;
      }
      return true;
    }
    case Json::value_t::object: {
      const auto& xs = a.get_ref<const Json::object_t&>();
      const auto& ys = b.get_ref<const Json::object_t&>();
      if (xs.size() != ys.size()) return false;
      for (auto x = xs.begin(), y = ys.begin(); x != xs.end(); ++x, ++y) {
        if (x->first != y->first || !same(x->second, y->second)) return false;
      }
      return true;
    }
    default:
      return a == b;
  }
}

// Every QMP error text is a JSON object with exactly "context" (an object) and "message" (a
// string), in that order.
inline void check_error_text(const brindle::qmp::QmpError& error) {
  const std::string text = error.text();
  check(brindle::is_valid_utf8(text), "an error text that is not UTF-8", text);
  const auto parsed = brindle::qmp::parse_json(text);
  check(parsed.has_value() && parsed->is_object() && parsed->size() == 2, "a malformed error",
        text);
  check(parsed->contains("context") && (*parsed)["context"].is_object(), "no context", text);
  check(parsed->contains("message") && (*parsed)["message"].is_string(), "no message", text);
  check(text.starts_with("{\"context\":"), "context is not first", text);
}

// A connected channel whose monitor end already holds the bytes it sends, followed by the end
// of its stream. The peer stays open for reading, so commands can be written and checked.
struct FilledChannel {
  brindle::qmp::QmpChannel channel{"/run/fuzz.sock"};
  brindle::UniqueFd peer;
  std::string sent;  // the bytes that fit into the socket, all of them before the end of stream

  explicit FilledChannel(std::string_view stream) {
    int pair[2];
    check(::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, pair) == 0, "socketpair");
    brindle::UniqueFd near(pair[0]);
    peer = brindle::UniqueFd(pair[1]);
    check(::fcntl(peer.get(), F_SETFL, O_NONBLOCK) == 0, "peer non-blocking");
    std::size_t written = 0;
    while (written < stream.size()) {
      const ssize_t n =
          ::send(peer.get(), stream.data() + written, stream.size() - written, MSG_NOSIGNAL);
      if (n <= 0) break;
      written += static_cast<std::size_t>(n);
    }
    sent.assign(stream.substr(0, written));
    ::shutdown(peer.get(), SHUT_WR);
    // Nothing should ever wait: every byte is there and the stream has ended.
    const auto timeout = brindle::Duration::from_millis(5000);
    check(brindle::set_socket_timeout(near.get(), SO_RCVTIMEO, timeout).has_value(), "rcvtimeo");
    check(brindle::set_socket_timeout(near.get(), SO_SNDTIMEO, timeout).has_value(), "sndtimeo");
    channel.reader.emplace(
        brindle::qmp::LineReader{brindle::UniqueFd(::fcntl(near.get(), F_DUPFD_CLOEXEC, 0)),
                                 std::make_unique<char[]>(brindle::qmp::kReadBufferSize)});
    check(static_cast<bool>(channel.reader->fd), "dup");
    channel.writer = std::move(near);
  }

  // Everything the channel wrote since the last call.
  std::string written_by_channel() {
    std::string out;
    char buffer[4096];
    for (;;) {
      const ssize_t n = ::recv(peer.get(), buffer, sizeof buffer, MSG_DONTWAIT);
      if (n <= 0) return out;
      out.append(buffer, static_cast<std::size_t>(n));
    }
  }
};

// One message as read_message must deliver it: a value, or the text of its error.
struct Message {
  std::optional<Json> value;
  std::string error;  // the message of the error when there is no value
};

// The messages of a stream that ends after its last byte: one per line feed, then the bytes
// after the last line feed (if any) as a final message. After them, reads fail with
// SocketClosed.
inline std::vector<Message> model_messages(std::string_view stream) {
  std::vector<Message> messages;
  while (!stream.empty()) {
    const std::size_t end = stream.find('\n');
    const std::size_t length = end == std::string_view::npos ? stream.size() : end + 1;
    const std::string_view line = stream.substr(0, length);
    stream.remove_prefix(length);
    if (!brindle::is_valid_utf8(line)) {
      messages.push_back({std::nullopt, "stream did not contain valid UTF-8"});
      continue;
    }
    auto value = brindle::qmp::parse_json(line);
    if (value) {
      messages.push_back({std::move(*value), {}});
    } else {
      messages.push_back({std::nullopt, std::move(value.error())});
    }
  }
  return messages;
}

// The outcome of one command under the classification rules, consuming messages from `next`.
struct Reply {
  enum Kind { Return, Failed, Error, Closed } kind;
  Json value;         // Return: the "return" value
  Json failed;        // Failed: the error object
  std::string error;  // Error: the read error's message
};

inline Reply model_reply(const std::vector<Message>& messages, std::size_t& next) {
  while (next < messages.size()) {
    const Message& message = messages[next++];
    if (!message.value) return {Reply::Error, {}, {}, message.error};
    const Json& value = *message.value;
    if (!value.is_object() || value.contains("event")) continue;
    if (value.contains("error") && value["error"].is_object()) {
      return {Reply::Failed, {}, value["error"], {}};
    }
    if (value.contains("return")) return {Reply::Return, value["return"], {}, {}};
  }
  return {Reply::Closed, {}, {}, {}};
}

inline std::optional<std::string> string_member(const Json& object, const char* name) {
  if (!object.contains(name) || !object[name].is_string()) return std::nullopt;
  return object[name].get<std::string>();
}

inline void check_socket_closed(const brindle::qmp::QmpResult<Json>& result) {
  check(!result && result.error().is<brindle::qmp::QmpError::SocketClosed>(),
        "reading past the end is not SocketClosed");
}

// A read failure: the error of a line that is not UTF-8 or not one JSON value.
inline void check_read_error(const brindle::qmp::QmpError& error, const std::string& expected) {
  using brindle::qmp::QmpError;
  check_error_text(error);
  check(error.message() == expected, "an error differs from the model", error.message());
  const bool utf8 = expected == "stream did not contain valid UTF-8";
  check(utf8 ? error.is<QmpError::IoError>() : error.is<QmpError::JsonError>(),
        "an error of the wrong kind");
}

inline void check_message(const brindle::qmp::QmpResult<Json>& got, const Message& expected) {
  if (expected.value) {
    check(got.has_value(), "a line the model parses was refused", got ? "" : got.error().text());
    check(same(*got, *expected.value), "a message differs from the model");
    return;
  }
  check(!got.has_value(), "a line the model refuses was accepted");
  check_read_error(got.error(), expected.error);
}

}  // namespace fuzz
