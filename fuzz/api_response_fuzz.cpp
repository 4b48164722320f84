// One whole exchange with a peer whose every byte comes from the fuzzer: the response is put into
// a socket pair before the exchange starts, so no thread or time-out is needed. The outcome is
// compared with a model of the reading rules (receives of at most READ_CHUNK bytes, the head
// limit, the declared length, the body decoding), and the request must arrive intact.
//
// Input: one byte of flags, then the peer's bytes.
//   bit 0: after its bytes the peer keeps the connection open (the next receive would block;
//          the client socket is non-blocking, so it fails at once with EAGAIN as a time-out
//          would), instead of shutting down its writing side.
//   bits 1 and 2 both set: the peer has closed entirely before the request is sent.
#include <fcntl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <optional>
#include <string>
#include <string_view>

#include "common/time.hpp"
#include "common/unique_fd.hpp"
#include "common/unix_socket.hpp"
#include "common/utf8.hpp"
#include "firecracker/api_request.hpp"
#include "firecracker/http_head.hpp"

namespace {

namespace fc = brindle::firecracker;

constexpr std::string_view kRequest =
    "PUT /fuzz HTTP/1.1\r\nHost: localhost\r\nAccept: application/json\r\n"
    "Content-Type: application/json\r\nContent-Length: 7\r\nConnection: close\r\n\r\n"
    "{\"a\":1}";

[[noreturn]] void failure(const char* what) {
  std::fprintf(stderr, "api_response invariant broken: %s\n", what);
  std::abort();
}

void check(bool ok, const char* what) {
  if (!ok) failure(what);
}

struct Outcome {
  std::optional<fc::ApiResponse> response;
  brindle::ErrorKind kind = brindle::ErrorKind::Io;
  std::string error;
};

Outcome failed(brindle::ErrorKind kind, std::string message) {
  return {std::nullopt, kind, std::move(message)};
}

// What the exchange must make of `stream` when it sees end-of-file (or, with `open`, a receive
// that would block) after the last byte.
Outcome model(std::string_view stream, bool open) {
  // Running out of bytes: a receive that would block fails with EAGAIN, as an expired time-out
  // does; a closed peer fails with the phase's own error.
  const auto end_of_stream = [&](brindle::ErrorKind kind, std::string closed) {
    return open ? failed(brindle::ErrorKind::Os, brindle::Error::os(EAGAIN).message())
                : failed(kind, std::move(closed));
  };
  std::string received;
  std::size_t taken = 0, head_end;
  for (;;) {
    if (received.size() >= 4 &&
        (head_end = received.find(fc::kHeadTerminator)) != std::string::npos) {
      break;
    }
    if (taken == stream.size()) {
      return end_of_stream(brindle::ErrorKind::Protocol, "malformed HTTP response");
    }
    const std::size_t n = std::min(fc::READ_CHUNK, stream.size() - taken);
    received.append(stream.substr(taken, n));
    taken += n;
    if (received.size() > fc::MAX_HEAD_BYTES) {
      return failed(brindle::ErrorKind::Protocol, "HTTP response headers are too large");
    }
  }
  const std::string head =
      brindle::decode_utf8_lossy(std::string_view(received).substr(0, head_end));
  const auto parsed = fc::parse_response_head(head);
  if (!parsed) return failed(parsed.error().kind(), parsed.error().message());

  // Every byte after the head that the peer sent, whether it came with the head or later.
  std::string body = received.substr(head_end + 4);
  if (parsed->content_length) {
    const std::uint64_t length = *parsed->content_length;
    if (body.size() < length) body.append(stream.substr(taken));
    if (body.size() < length) {
      return end_of_stream(brindle::ErrorKind::Io, "failed to fill whole buffer");
    }
    body.resize(static_cast<std::size_t>(length));
  }
  fc::ApiResponse response{parsed->status, std::nullopt};
  if (parsed->status != 204 && !body.empty()) response.body = brindle::decode_utf8_lossy(body);
  return {response, brindle::ErrorKind::Io, ""};
}

// Writes as much of `bytes` as the socket buffer takes; returns how much that was.
std::size_t fill(int fd, std::string_view bytes) {
  std::size_t written = 0;
  while (written < bytes.size()) {
    const ssize_t n = ::send(fd, bytes.data() + written, bytes.size() - written, MSG_NOSIGNAL);
    if (n <= 0) break;
    written += static_cast<std::size_t>(n);
  }
  return written;
}

std::string drain(int fd) {
  std::string out;
  char buffer[4096];
  for (;;) {
    const ssize_t n = ::recv(fd, buffer, sizeof buffer, MSG_DONTWAIT);
    if (n <= 0) return out;
    out.append(buffer, static_cast<std::size_t>(n));
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size == 0) return 0;
  const std::uint8_t flags = data[0];
  const bool open = (flags & 1) != 0;
  const bool peer_gone = (flags & 6) == 6;
  const std::string_view bytes(reinterpret_cast<const char*>(data + 1), size - 1);

  int pair[2];
  check(::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, pair) == 0, "socketpair");
  brindle::UniqueFd client(pair[0]), peer(pair[1]);
  check(::fcntl(peer.get(), F_SETFL, O_NONBLOCK) == 0, "peer non-blocking");
  const std::size_t written = fill(peer.get(), bytes);
  if (open) {
    check(::fcntl(client.get(), F_SETFL, O_NONBLOCK) == 0, "client non-blocking");
  } else {
    ::shutdown(peer.get(), SHUT_WR);
  }
  if (peer_gone) peer.reset();
  // As api_request sets them; nothing here should ever wait for them.
  const auto timeout = brindle::Duration::from_millis(1000);
  check(brindle::set_socket_timeout(client.get(), SO_RCVTIMEO, timeout).has_value(), "rcvtimeo");
  check(brindle::set_socket_timeout(client.get(), SO_SNDTIMEO, timeout).has_value(), "sndtimeo");

  const auto got = fc::exchange(client.get(), "PUT", "/fuzz", "{\"a\":1}");

  if (peer_gone) {
    check(!got && got.error().message() == brindle::Error::os(EPIPE).message(),
          "a request to a closed peer must fail with EPIPE");
    return 0;
  }
  check(drain(peer.get()) == kRequest, "the request did not arrive byte for byte");

  const Outcome expected = model(bytes.substr(0, written), open);
  if (expected.response) {
    if (!got) std::fprintf(stderr, "unexpected error: %s\n", got.error().message().c_str());
    check(got.has_value(), "an exchange the model accepts failed");
    check(got->status == expected.response->status, "status differs from the model");
    check(got->body == expected.response->body, "body differs from the model");
    if (got->body) check(brindle::is_valid_utf8(*got->body), "body is not valid UTF-8");
  } else {
    if (got) std::fprintf(stderr, "expected error: %s\n", expected.error.c_str());
    check(!got.has_value(), "an exchange the model refuses succeeded");
    check(got.error().kind() == expected.kind, "error kind differs from the model");
    check(got.error().message() == expected.error, "error message differs from the model");
  }
  return 0;
}
