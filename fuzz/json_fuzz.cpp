// The QMP client's JSON parser and writer. Whatever parses is written in compact form, and that
// text parses back to the very same value (types included: an unsigned integer stays unsigned, a
// double keeps its bits) and is written again to the same text. Nesting is refused from 128
// levels on, wherever the levels come from. Every refusal reads "... at line L column C" with a
// position inside the text and without the parser's own bookkeeping.
//
// Input: one byte W, then the text. The text is parsed as it is and also wrapped in W % 128
// arrays ("[" * W + text + "]" * W). Independently, the first eight bytes taken as a double go
// through the number writer.
#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <regex>
#include <string>
#include <string_view>

#include "common/utf8.hpp"
#include "qmp/json.hpp"
#include "qmp_support.hpp"

namespace {

using brindle::qmp::Json;

using fuzz::check;
using fuzz::same;

// Levels of arrays and objects: 0 for a scalar.
std::size_t depth(const Json& value) {
  std::size_t deepest = 0;
  if (value.is_array() || value.is_object()) {
    for (const Json& child : value) deepest = std::max(deepest, depth(child));
    return deepest + 1;
  }
  return 0;
}

// Compact: no JSON whitespace outside strings, and only one line.
bool compact(std::string_view text) {
  bool in_string = false, escaped = false;
  for (const char c : text) {
    if (in_string) {
      if (escaped) {
        escaped = false;
      } else if (c == '\\') {
        escaped = true;
      } else if (c == '"') {
        in_string = false;
      } else if (static_cast<unsigned char>(c) < 0x20) {
        return false;  // a control character must be escaped
      }
    } else if (c == '"') {
      in_string = true;
    } else if (c == ' ' || c == '\t' || c == '\n' || c == '\r') {
      return false;
    }
  }
  return !in_string;
}

void check_error(std::string_view text, const std::string& message) {
  static const std::regex positioned("^(.+) at line ([0-9]+) column ([0-9]+)$");
  std::smatch match;
  check(std::regex_match(message, match, positioned), "an error without its position", message);
  check(message.find("[json.exception") == std::string::npos &&
            message.find("last read") == std::string::npos,
        "an error with the parser's bookkeeping", message);
  check(brindle::is_valid_utf8(message), "an error that is not UTF-8", message);
  const std::size_t line = std::stoul(match[2]), column = std::stoul(match[3]);
  std::size_t lines = 1, start = 0;
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (text[i] != '\n') continue;
    if (++lines == line) start = i + 1;
  }
  check(line >= 1 && line <= lines, "an error on a line the text does not have", message);
  check(start + column <= text.size(), "an error column beyond the text", message);
}

// The library's own validator, which takes a NUL byte for the end of the text; no NUL can be
// part of JSON text.
bool library_accepts(std::string_view text) {
  return text.find('\0') == std::string_view::npos && Json::accept(text.begin(), text.end());
}

bool is_nesting_error(const std::string& message) {
  return message.starts_with("nesting deeper than 127 levels at line ");
}

// Parses, then checks what was parsed or the refusal. Returns the value's depth, or -1 (with
// `nesting` telling whether the refusal was for nesting).
long parse_and_check(std::string_view text, bool& nesting) {
  const auto parsed = brindle::qmp::parse_json(text);
  if (!parsed) {
    check_error(text, parsed.error());
    nesting = is_nesting_error(parsed.error());
    // The library's own validator agrees on everything but the limits this parser adds.
    if (!nesting && parsed.error().find("number out of range") != 0 &&
        !text.starts_with("\xEF\xBB\xBF")) {
      check(!library_accepts(text), "refused text the library accepts", parsed.error());
    }
    return -1;
  }
  check(library_accepts(text), "accepted text the library refuses");
  const std::size_t levels = depth(*parsed);
  check(levels <= brindle::qmp::kMaxJsonDepth, "a value nested deeper than the limit");

  const std::string written = brindle::qmp::to_json_text(*parsed);
  check(compact(written), "written text is not compact", written);
  check(brindle::is_valid_utf8(written), "written text is not UTF-8", written);
  const auto reparsed = brindle::qmp::parse_json(written);
  check(reparsed.has_value(), "written text does not parse", written);
  check(same(*parsed, *reparsed), "written text parses to another value", written);
  check(brindle::qmp::to_json_text(*reparsed) == written, "written twice, the texts differ",
        written);
  return static_cast<long>(levels);
}

void check_double(double value) {
  if (!std::isfinite(value)) return;
  std::string text;
  brindle::qmp::write_json_double(text, value);
  const auto parsed = brindle::qmp::parse_json(text);
  check(parsed.has_value() && parsed->is_number_float(), "a written double is not a double", text);
  const double back = parsed->get<double>();
  check(std::memcmp(&back, &value, sizeof value) == 0, "a written double reads back changed", text);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size == 0) return 0;
  const std::size_t wrap = data[0] % 128;
  const std::string_view text(reinterpret_cast<const char*>(data + 1), size - 1);

  if (text.size() >= sizeof(double)) {
    double value;
    std::memcpy(&value, text.data(), sizeof value);
    check_double(value);
  }

  bool nesting = false;
  const long levels = parse_and_check(text, nesting);

  std::string wrapped(wrap, '[');
  wrapped.append(text);
  wrapped.append(wrap, ']');
  bool wrapped_nesting = false;
  const long wrapped_levels = parse_and_check(wrapped, wrapped_nesting);
  if (levels >= 0) {
    const bool fits = static_cast<std::size_t>(levels) + wrap <= brindle::qmp::kMaxJsonDepth;
    check(fits == (wrapped_levels >= 0), "wrapping changed acceptance other than by depth");
    if (!fits) check(wrapped_nesting, "too deep after wrapping, but not refused for nesting");
    if (fits) check(wrapped_levels == levels + static_cast<long>(wrap), "wrapped depth is off");
  } else if (nesting) {
    // Refused text can become acceptable when wrapped ("1],[2"), but not nesting.
    check(wrapped_nesting, "wrapping hid a nesting refusal");
  }
  return 0;
}
