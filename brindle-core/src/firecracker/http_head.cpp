#include "firecracker/http_head.hpp"

#include <format>
#include <limits>

namespace brindle::firecracker {

namespace {

std::uint8_t byte_at(std::string_view s, std::size_t i) { return static_cast<std::uint8_t>(s[i]); }

bool is_ascii_space(std::uint8_t b) { return b == ' ' || (b >= 0x09 && b <= 0x0D); }

// The three-byte encodings of White_Space characters: U+1680, U+2000..U+200A, U+2028, U+2029,
// U+202F, U+205F, U+3000.
bool is_three_byte_space(std::uint8_t b0, std::uint8_t b1, std::uint8_t b2) {
  switch (b0) {
    case 0xE1:
      return b1 == 0x9A && b2 == 0x80;
    case 0xE2:
      if (b1 == 0x80) return (b2 >= 0x80 && b2 <= 0x8A) || b2 == 0xA8 || b2 == 0xA9 || b2 == 0xAF;
      return b1 == 0x81 && b2 == 0x9F;
    case 0xE3:
      return b1 == 0x80 && b2 == 0x80;
    default:
      return false;
  }
}

// Byte length of the Unicode White_Space character that starts `s`, or 0. Header text is
// decoded before it is parsed, so U+0085, U+00A0 and the wide spaces separate and trim too.
std::size_t leading_space(std::string_view s) {
  if (s.empty()) return 0;
  const std::uint8_t b0 = byte_at(s, 0);
  if (is_ascii_space(b0)) return 1;
  if (s.size() >= 2 && b0 == 0xC2 && (byte_at(s, 1) == 0x85 || byte_at(s, 1) == 0xA0)) return 2;
  if (s.size() >= 3 && is_three_byte_space(b0, byte_at(s, 1), byte_at(s, 2))) return 3;
  return 0;
}

// The same for the character that ends `s`. In valid UTF-8 the lead bytes above cannot be
// continuation bytes, so a match at the end is a whole character.
std::size_t trailing_space(std::string_view s) {
  const std::size_t n = s.size();
  if (n == 0) return 0;
  if (is_ascii_space(byte_at(s, n - 1))) return 1;
  if (n >= 2 && byte_at(s, n - 2) == 0xC2 &&
      (byte_at(s, n - 1) == 0x85 || byte_at(s, n - 1) == 0xA0)) {
    return 2;
  }
  if (n >= 3 && is_three_byte_space(byte_at(s, n - 3), byte_at(s, n - 2), byte_at(s, n - 1))) {
    return 3;
  }
  return 0;
}

std::string_view trim(std::string_view s) {
  while (std::size_t k = leading_space(s)) s.remove_prefix(k);
  while (std::size_t k = trailing_space(s)) s.remove_suffix(k);
  return s;
}

// The next whitespace-separated token of `s`, consumed from it; empty when none is left.
std::string_view next_token(std::string_view& s) {
  while (std::size_t k = leading_space(s)) s.remove_prefix(k);
  std::size_t end = 0;
  while (end < s.size() && leading_space(s.substr(end)) == 0) ++end;
  const std::string_view token = s.substr(0, end);
  s.remove_prefix(end);
  return token;
}

// Lines split at LF, one CR before the LF dropped; a last piece without LF counts when it is
// not empty, so an empty head has no lines.
class Lines {
 public:
  explicit Lines(std::string_view text) : rest_(text) {}

  bool next(std::string_view& line) {
    if (rest_.empty()) return false;
    const std::size_t lf = rest_.find('\n');
    if (lf == std::string_view::npos) {
      line = rest_;
      rest_ = {};
      return true;
    }
    line = rest_.substr(0, lf);
    if (line.ends_with('\r')) line.remove_suffix(1);
    rest_.remove_prefix(lf + 1);
    return true;
  }

 private:
  std::string_view rest_;
};

// Decimal unsigned numbers: one optional "+", then digits only. The first offending character
// decides: a non-digit, or a digit that takes the value above `max`.
std::expected<std::uint64_t, const char*> parse_unsigned(std::string_view text, std::uint64_t max) {
  if (text.empty()) return std::unexpected("cannot parse integer from empty string");
  if (text.front() == '+' && text.size() > 1) text.remove_prefix(1);
  std::uint64_t value = 0;
  for (const char c : text) {
    if (c < '0' || c > '9') return std::unexpected("invalid digit found in string");
    const auto digit = static_cast<std::uint64_t>(c - '0');
    if (value > (max - digit) / 10)
      return std::unexpected("number too large to fit in target type");
    value = value * 10 + digit;
  }
  return value;
}

bool is_content_length(std::string_view name) {
  constexpr std::string_view CONTENT_LENGTH = "content-length";
  if (name.size() != CONTENT_LENGTH.size()) return false;
  for (std::size_t i = 0; i < CONTENT_LENGTH.size(); ++i) {
    char c = name[i];
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    if (c != CONTENT_LENGTH[i]) return false;
  }
  return true;
}

}  // namespace

std::size_t find_head_end(std::string_view bytes, std::size_t searched) {
  // A terminator that ends inside the searched part would already have been found.
  const std::size_t from = searched > 3 ? searched - 3 : 0;
  if (bytes.size() < HEAD_TERMINATOR.size()) return std::string_view::npos;
  return bytes.find(HEAD_TERMINATOR, from);
}

Result<ResponseHead> parse_response_head(std::string_view head) {
  Lines lines(head);
  std::string_view status_line;
  if (!lines.next(status_line)) return fail(Error::protocol("missing HTTP status"));

  next_token(status_line);  // the protocol version, not examined
  const std::string_view code = next_token(status_line);
  if (code.empty()) return fail(Error::protocol("missing HTTP status code"));
  const auto status = parse_unsigned(code, std::numeric_limits<std::uint16_t>::max());
  if (!status) return fail(Error::protocol(std::format("invalid HTTP status: {}", status.error())));

  ResponseHead result;
  result.status = static_cast<std::uint16_t>(*status);
  std::string_view line;
  while (lines.next(line)) {
    const std::size_t colon = line.find(':');
    if (colon == std::string_view::npos || !is_content_length(line.substr(0, colon))) continue;
    const auto length =
        parse_unsigned(trim(line.substr(colon + 1)), std::numeric_limits<std::uint64_t>::max());
    if (!length) {
      return fail(Error::protocol(std::format("invalid Content-Length: {}", length.error())));
    }
    result.content_length = *length;
    break;
  }
  return result;
}

}  // namespace brindle::firecracker
