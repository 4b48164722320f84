#include "firecracker/api_request.hpp"

#include <sys/socket.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <charconv>
#include <format>
#include <new>
#include <stdexcept>

#include "common/unix_socket.hpp"
#include "common/utf8.hpp"
#include "firecracker/http_head.hpp"

namespace brindle::firecracker {

namespace {

// Each receive while reading the response head asks for at most this many bytes.
constexpr std::size_t READ_CHUNK = 4096;
// More bytes than this received without the head ending fails the exchange (exactly this many
// are still accepted).
constexpr std::size_t MAX_HEAD_BYTES = 65536;
// The floor of every socket time-out, in seconds.
constexpr double MIN_TIMEOUT_SECS = 0.001;
// Bodies up to this size get their whole buffer at once; a larger declared length is only
// believed as far as bytes arrive, so a peer cannot make the call reserve memory it never fills.
constexpr std::size_t BODY_PREALLOCATE = std::size_t{1} << 20;

std::string format_request(std::string_view method, std::string_view path, std::string_view body) {
  constexpr std::string_view HEADERS =
      " HTTP/1.1\r\n"
      "Host: localhost\r\n"
      "Accept: application/json\r\n"
      "Content-Type: application/json\r\n"
      "Content-Length: ";
  constexpr std::string_view END = "\r\nConnection: close\r\n\r\n";
  std::array<char, 20> digits;
  const auto [end, ec] = std::to_chars(digits.data(), digits.data() + digits.size(), body.size());
  const std::string_view length(digits.data(), end);

  std::string request;
  request.reserve(method.size() + 1 + path.size() + HEADERS.size() + length.size() + END.size() +
                  body.size());
  request.append(method).append(" ").append(path).append(HEADERS);
  request.append(length).append(END).append(body);
  return request;
}

// Receives until the accumulation holds CR LF CR LF; returns the terminator's offset. Each
// receive asks for at most READ_CHUNK bytes, and is not repeated after an interruption.
Result<std::size_t> receive_head(int fd, std::string& received) {
  std::array<std::byte, READ_CHUNK> scratch;
  std::size_t searched = 0;
  for (;;) {
    if (const std::size_t end = find_head_end(received, searched); end != std::string::npos) {
      return end;
    }
    searched = received.size();
    const auto got = receive(fd, scratch, false);
    if (!got) return fail(Error::os(got.error()));
    if (*got == 0) return fail(Error::protocol("malformed HTTP response"));
    received.append(reinterpret_cast<const char*>(scratch.data()), *got);
    // Counted before the next search: the limit is on bytes received, not on the head.
    if (received.size() > MAX_HEAD_BYTES) {
      return fail(Error::protocol("HTTP response headers are too large"));
    }
  }
}

// A body receive that got nothing: the peer closed early, or the call failed.
Error body_receive_error(const std::expected<std::size_t, int>& got) {
  return got ? Error::io("failed to fill whole buffer") : Error::os(got.error());
}

// Receives the rest of a body of `length` bytes into `body`, which already holds the first part.
// The buffer grows with what arrives (at most doubling) instead of trusting the declared length.
Status receive_body(int fd, std::string& body, std::uint64_t length) {
  try {
    body.reserve(static_cast<std::size_t>(std::min<std::uint64_t>(length, BODY_PREALLOCATE)));
    while (body.size() < length) {
      if (body.size() == body.capacity()) {
        const std::uint64_t ahead = std::max(body.size(), BODY_PREALLOCATE);
        body.reserve(static_cast<std::size_t>(std::min(length, body.size() + ahead)));
      }
      const std::size_t filled = body.size();
      const auto room = static_cast<std::size_t>(
          std::min<std::uint64_t>(length - filled, body.capacity() - filled));
      std::expected<std::size_t, int> got;
      // Received straight into the string's spare capacity, which is never zero-filled first.
      body.resize_and_overwrite(filled + room, [&](char* data, std::size_t) noexcept {
        got = receive(fd, std::as_writable_bytes(std::span(data + filled, room)), true);
        return filled + got.value_or(0);
      });
      if (got.value_or(0) == 0) return fail(body_receive_error(got));
    }
    return {};
  } catch (const std::bad_alloc&) {
  } catch (const std::length_error&) {
  }
  return fail(
      Error::io(std::format("cannot allocate memory for a response body of {} bytes", length)));
}

// Receives and drops `missing` bytes: a 204 response's body is read only to be discarded.
Status skip_body(int fd, std::uint64_t missing) {
  std::array<std::byte, READ_CHUNK> scratch;
  while (missing > 0) {
    const auto want = static_cast<std::size_t>(std::min<std::uint64_t>(missing, READ_CHUNK));
    const auto got = receive(fd, std::span(scratch).first(want), true);
    if (got.value_or(0) == 0) return fail(body_receive_error(got));
    missing -= *got;
  }
  return {};
}

}  // namespace

Result<ApiResponse> exchange(int fd, std::string_view method, std::string_view path,
                             std::string_view body) {
  if (auto sent = send_all(fd, format_request(method, path, body)); !sent) {
    return fail(sent.error());
  }

  std::string received;
  const auto head_end = receive_head(fd, received);
  if (!head_end) return fail(head_end.error());
  const std::string_view raw_head = std::string_view(received).substr(0, *head_end);
  const auto head = is_valid_utf8(raw_head) ? parse_response_head(raw_head)
                                            : parse_response_head(decode_utf8_lossy(raw_head));
  if (!head) return fail(head.error());

  ApiResponse response{.status = head->status, .body = std::nullopt};
  // Without a declared length the body is what came with the head, and nothing more is read.
  received.erase(0, *head_end + HEAD_TERMINATOR.size());
  if (head->content_length) {
    const std::uint64_t length = *head->content_length;
    if (received.size() >= length) {
      received.resize(static_cast<std::size_t>(length));
    } else if (head->status == 204) {
      if (auto skipped = skip_body(fd, length - received.size()); !skipped) {
        return fail(skipped.error());
      }
    } else if (auto filled = receive_body(fd, received, length); !filled) {
      return fail(filled.error());
    }
  }
  if (head->status != 204 && !received.empty()) {
    response.body = is_valid_utf8(received) ? std::move(received) : decode_utf8_lossy(received);
  }
  return response;
}

Duration seconds_to_timeout(double seconds) {
  // NaN and everything below the floor, negative infinity included, become the floor.
  const double floored = seconds >= MIN_TIMEOUT_SECS ? seconds : MIN_TIMEOUT_SECS;
  const auto duration = duration_from_secs(floored);
  if (!duration) panic("cannot convert float seconds to Duration: value is either too big or NaN");
  return *duration;
}

Result<ApiResponse> api_request(std::string_view socket_path, std::string_view method,
                                std::string_view path, std::optional<std::string_view> body,
                                double timeout_seconds) {
  const Duration timeout = seconds_to_timeout(timeout_seconds);
  auto socket = connect_unix_path(socket_path);
  if (!socket) return fail(socket.error());
  // Set after connect(), which they do not bound; each bounds one send or receive call.
  if (auto set = set_socket_timeout(socket->get(), SO_RCVTIMEO, timeout); !set) {
    return fail(set.error());
  }
  if (auto set = set_socket_timeout(socket->get(), SO_SNDTIMEO, timeout); !set) {
    return fail(set.error());
  }
  return exchange(socket->get(), method, path, body.value_or(std::string_view()));
}

}  // namespace brindle::firecracker
