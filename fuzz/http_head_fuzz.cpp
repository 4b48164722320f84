// The response head reader against a second, deliberately plain reading of the same grammar:
// the terminator search must find the same offset however the bytes arrive, and the status and
// Content-Length must agree with a parser that works on decoded code points instead of bytes.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "common/utf8.hpp"
#include "firecracker/http_head.hpp"

namespace {

using brindle::firecracker::find_head_end;
using brindle::firecracker::parse_response_head;
using brindle::firecracker::ResponseHead;

[[noreturn]] void failure(const char* what) {
  std::fprintf(stderr, "http_head invariant broken: %s\n", what);
  std::abort();
}

void check(bool ok, const char* what) {
  if (!ok) failure(what);
}

// --- the plain reading -----------------------------------------------------------------------

struct Expected {
  std::optional<ResponseHead> head;
  std::string error;
};

// Code points of valid UTF-8, with the byte offset where each starts.
struct CodePoint {
  char32_t value;
  std::size_t offset, length;
};

std::vector<CodePoint> code_points(std::string_view s) {
  std::vector<CodePoint> out;
  for (std::size_t i = 0; i < s.size();) {
    const auto b = static_cast<unsigned char>(s[i]);
    const std::size_t n = b < 0x80 ? 1 : b < 0xE0 ? 2 : b < 0xF0 ? 3 : 4;
    char32_t v = n == 1 ? b : n == 2 ? (b & 0x1F) : n == 3 ? (b & 0x0F) : (b & 0x07);
    for (std::size_t k = 1; k < n; ++k)
      v = (v << 6) | (static_cast<unsigned char>(s[i + k]) & 0x3F);
    out.push_back({v, i, n});
    i += n;
  }
  return out;
}

// The Unicode White_Space property, listed as the standard lists it.
bool white_space(char32_t c) {
  return (c >= 0x09 && c <= 0x0D) || c == 0x20 || c == 0x85 || c == 0xA0 || c == 0x1680 ||
         (c >= 0x2000 && c <= 0x200A) || c == 0x2028 || c == 0x2029 || c == 0x202F || c == 0x205F ||
         c == 0x3000;
}

std::vector<std::string> tokens(std::string_view line) {
  std::vector<std::string> out;
  std::string current;
  bool in_token = false;
  for (const CodePoint& cp : code_points(line)) {
    if (white_space(cp.value)) {
      if (in_token) out.push_back(current);
      current.clear();
      in_token = false;
    } else {
      current.append(line.substr(cp.offset, cp.length));
      in_token = true;
    }
  }
  if (in_token) out.push_back(current);
  return out;
}

std::string_view trimmed(std::string_view s) {
  const auto cps = code_points(s);
  std::size_t first = 0, last = cps.size();
  while (first < last && white_space(cps[first].value)) ++first;
  while (last > first && white_space(cps[last - 1].value)) --last;
  if (first == last) return {};
  return s.substr(cps[first].offset,
                  cps[last - 1].offset + cps[last - 1].length - cps[first].offset);
}

// Decimal digits after an optional "+", in arbitrary precision (128 bits is plenty to see the
// first digit that overflows `max`).
std::optional<std::string> number_error(std::string_view text, std::uint64_t max,
                                        std::uint64_t& value) {
  if (text.empty()) return "cannot parse integer from empty string";
  if (text == "+") return "invalid digit found in string";
  if (text[0] == '+') text.remove_prefix(1);
  unsigned __int128 v = 0;
  for (const char c : text) {
    if (c < '0' || c > '9') return "invalid digit found in string";
    v = v * 10 + static_cast<unsigned>(c - '0');
    if (v > max) return "number too large to fit in target type";
  }
  value = static_cast<std::uint64_t>(v);
  return std::nullopt;
}

Expected plain_parse(std::string_view head) {
  std::vector<std::string_view> lines;
  for (std::size_t start = 0; start < head.size();) {
    const std::size_t lf = head.find('\n', start);
    std::string_view line = head.substr(start, lf == std::string_view::npos ? lf : lf - start);
    if (lf != std::string_view::npos && !line.empty() && line.back() == '\r') line.remove_suffix(1);
    lines.push_back(line);
    start = lf == std::string_view::npos ? head.size() : lf + 1;
  }
  if (lines.empty()) return {std::nullopt, "missing HTTP status"};
  const auto status_tokens = tokens(lines[0]);
  if (status_tokens.size() < 2) return {std::nullopt, "missing HTTP status code"};
  std::uint64_t status = 0;
  if (auto error = number_error(status_tokens[1], 65535, status)) {
    return {std::nullopt, "invalid HTTP status: " + *error};
  }
  ResponseHead result{static_cast<std::uint16_t>(status), std::nullopt};
  for (std::size_t i = 1; i < lines.size(); ++i) {
    const std::size_t colon = lines[i].find(':');
    if (colon == std::string_view::npos || colon != 14) continue;
    std::string name(lines[i].substr(0, colon));
    for (char& c : name) c = (c >= 'A' && c <= 'Z') ? static_cast<char>(c + 32) : c;
    if (name != "content-length") continue;
    std::uint64_t length = 0;
    if (auto error = number_error(trimmed(lines[i].substr(colon + 1)), UINT64_MAX, length)) {
      return {std::nullopt, "invalid Content-Length: " + *error};
    }
    result.content_length = length;
    break;
  }
  return {result, ""};
}

void check_same(const brindle::Result<ResponseHead>& got, const Expected& expected) {
  if (expected.head) {
    check(got.has_value(), "a head the plain reading accepts is refused");
    check(got->status == expected.head->status, "status differs");
    check(got->content_length == expected.head->content_length, "Content-Length differs");
  } else {
    check(!got.has_value(), "a head the plain reading refuses is accepted");
    check(got.error().kind() == brindle::ErrorKind::Protocol, "head error is not Protocol");
    check(got.error().message() == expected.error, "head error message differs");
  }
}

// --- the terminator search -------------------------------------------------------------------

void check_search(std::string_view bytes) {
  const std::size_t whole = bytes.find(brindle::firecracker::kHeadTerminator);
  check(find_head_end(bytes) == whole, "search from 0 differs from a plain find");

  // Arrivals in pieces whose sizes come from the bytes themselves, as the receive loop searches.
  std::uint32_t state = 2166136261u ^ static_cast<std::uint32_t>(bytes.size());
  std::size_t have = 0, searched = 0;
  while (true) {
    const std::string_view prefix = bytes.substr(0, have);
    const std::size_t found = find_head_end(prefix, searched);
    check(found == prefix.find(brindle::firecracker::kHeadTerminator),
          "incremental search differs from a search from 0");
    if (found != std::string_view::npos || have == bytes.size()) break;
    searched = have;
    state = state * 1664525u + 1013904223u + static_cast<unsigned char>(bytes[have]);
    have = std::min(bytes.size(), have + 1 + (state >> 24) % 9);
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view bytes(reinterpret_cast<const char*>(data), size);
  check_search(bytes);

  // The head as the exchange hands it over: the bytes before the terminator, decoded.
  const std::size_t end = find_head_end(bytes);
  const std::string_view raw = end == std::string_view::npos ? bytes : bytes.substr(0, end);
  const std::string head =
      brindle::is_valid_utf8(raw) ? std::string(raw) : brindle::decode_utf8_lossy(raw);
  const auto parsed = parse_response_head(head);
  check_same(parsed, plain_parse(head));

  // What was read re-formats into a head that reads back the same.
  if (parsed) {
    std::string again = "HTTP/1.1 " + std::to_string(parsed->status) + " Reason\r\nServer: x";
    if (parsed->content_length) {
      again += "\r\ncontent-LENGTH:\t" + std::to_string(*parsed->content_length) + " ";
    }
    const auto reread = parse_response_head(again);
    check(reread.has_value() && reread->status == parsed->status &&
              reread->content_length == parsed->content_length,
          "a parsed head does not re-format to an accepted one");
  }

  // Bytes that were never decoded break the precondition, but must still be read safely.
  (void)parse_response_head(raw);
  return 0;
}
