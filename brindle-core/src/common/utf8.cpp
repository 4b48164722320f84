#include "common/utf8.hpp"

#include <cstdint>

namespace brindle {

namespace {

constexpr std::string_view REPLACEMENT = "\xEF\xBF\xBD";

// Length of the well-formed sequence at `i`, or 0 when it is ill-formed; then `*subpart` is the
// length of its maximal subpart (at least 1), the bytes that one U+FFFD replaces.
std::size_t sequence_length(std::string_view s, std::size_t i, std::size_t* subpart) {
  const auto lead = static_cast<std::uint8_t>(s[i]);
  if (lead < 0x80) return 1;
  std::size_t length;
  std::uint8_t low = 0x80, high = 0xBF;  // range of the second byte
  if (lead >= 0xC2 && lead <= 0xDF) {
    length = 2;
  } else if (lead >= 0xE0 && lead <= 0xEF) {
    length = 3;
    if (lead == 0xE0) low = 0xA0;   // no overlong forms
    if (lead == 0xED) high = 0x9F;  // no surrogates
  } else if (lead >= 0xF0 && lead <= 0xF4) {
    length = 4;
    if (lead == 0xF0) low = 0x90;   // no overlong forms
    if (lead == 0xF4) high = 0x8F;  // nothing above U+10FFFF
  } else {
    *subpart = 1;
    return 0;
  }
  for (std::size_t k = 1; k < length; ++k) {
    if (i + k >= s.size()) {
      *subpart = k;
      return 0;
    }
    const auto byte = static_cast<std::uint8_t>(s[i + k]);
    const bool in_range = k == 1 ? byte >= low && byte <= high : byte >= 0x80 && byte <= 0xBF;
    if (!in_range) {
      *subpart = k;
      return 0;
    }
  }
  return length;
}

}  // namespace

bool is_valid_utf8(std::string_view bytes) {
  std::size_t i = 0, subpart = 0;
  while (i < bytes.size()) {
    // ASCII runs dominate protocol text.
    if (static_cast<std::uint8_t>(bytes[i]) < 0x80) {
      ++i;
      continue;
    }
    const std::size_t length = sequence_length(bytes, i, &subpart);
    if (length == 0) return false;
    i += length;
  }
  return true;
}

std::string decode_utf8_lossy(std::string_view bytes) {
  std::string out;
  out.reserve(bytes.size());
  std::size_t i = 0, subpart = 0;
  while (i < bytes.size()) {
    const std::size_t length = sequence_length(bytes, i, &subpart);
    if (length == 0) {
      out += REPLACEMENT;
      i += subpart;
    } else {
      out.append(bytes.substr(i, length));
      i += length;
    }
  }
  return out;
}

}  // namespace brindle
