// The Firecracker client's response reading, over a socket pair holding the peer's bytes before
// the exchange starts, and the head search on the same bytes.
// Input: one byte of flags, then the peer's bytes. Flag bit 0: the peer stays open (the client
// is non-blocking, so a receive past the bytes fails with EAGAIN as a time-out would).
#include <fcntl.h>
#include <sys/socket.h>

#include "check.hpp"
#include "common/unique_fd.hpp"
#include "common/utf8.hpp"
#include "firecracker/api_request.hpp"
#include "firecracker/http_head.hpp"

namespace fc = brindle::firecracker;

constexpr std::string_view REQUEST =
    "PUT /fuzz HTTP/1.1\r\nHost: localhost\r\nAccept: application/json\r\n"
    "Content-Type: application/json\r\nContent-Length: 8\r\nConnection: close\r\n\r\n"
    "{\"\xC3\xA9\":1}";

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size == 0) return 0;
  const std::string_view bytes(reinterpret_cast<const char*>(data + 1), size - 1);

  // Pieces as receives bring them (sized by the bytes), each search resuming where the last ended.
  const std::size_t head_end = fc::find_head_end(bytes);
  check(head_end == bytes.find(fc::HEAD_TERMINATOR), "the head ends at the first CR LF CR LF");
  std::size_t have = 0, found = std::string_view::npos;
  while (found == std::string_view::npos && have < bytes.size()) {
    const std::size_t searched = have;
    have = std::min(bytes.size(), have + 1 + static_cast<unsigned char>(bytes[have]) % 7);
    found = fc::find_head_end(bytes.substr(0, have), searched);
  }
  check(found == head_end, "a search in pieces finds the head end of a whole search");

  int pair[2];
  check(::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, pair) == 0, "socketpair");
  const brindle::UniqueFd client(pair[0]), peer(pair[1]);
  (void)::send(peer.get(), bytes.data(), bytes.size(), MSG_DONTWAIT);  // as much as fits
  (data[0] & 1) ? ::fcntl(client.get(), F_SETFL, O_NONBLOCK) : ::shutdown(peer.get(), SHUT_WR);
  const auto got = fc::exchange(client.get(), "PUT", "/fuzz", "{\"\xC3\xA9\":1}");
  char request[REQUEST.size() + 1];
  const ssize_t arrived = ::recv(peer.get(), request, sizeof request, MSG_DONTWAIT);
  check(std::string_view(request, std::max<ssize_t>(arrived, 0)) == REQUEST,
        "the request arrives byte for byte");
  check(!got || !got->body || brindle::is_valid_utf8(*got->body), "a body is valid UTF-8");
  check(!got || !got->body || got->status != 204, "a 204 response has no body");
  return 0;
}
