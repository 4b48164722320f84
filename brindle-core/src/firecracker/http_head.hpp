// Reading the head of an HTTP/1.1 response: plain functions over bytes, so that they can be
// unit-tested and fuzzed without a socket.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string_view>

#include "common/error.hpp"

namespace brindle::firecracker {

inline constexpr std::string_view HEAD_TERMINATOR = "\r\n\r\n";

// Offset of the first CR LF CR LF in `bytes`, looking only at occurrences that end after
// `searched` (the bytes already searched without success), or npos.
std::size_t find_head_end(std::string_view bytes, std::size_t searched = 0);

struct ResponseHead {
  std::uint16_t status = 0;
  std::optional<std::uint64_t> content_length;  // the first Content-Length header, if any
};

// Reads the status code from the first line and the first Content-Length header from the
// others. `head` is valid UTF-8 (the bytes before the terminator, decoded with replacement).
// Fails with the Protocol errors "missing HTTP status", "missing HTTP status code",
// "invalid HTTP status: {detail}" and "invalid Content-Length: {detail}".
Result<ResponseHead> parse_response_head(std::string_view head);

}  // namespace brindle::firecracker
