// The QMP client's JSON. Input: one byte W, then the text, parsed as it is and wrapped in W % 128
// arrays.
#include <optional>
#include <regex>

#include "check.hpp"
#include "qmp/json.hpp"

namespace qmp = brindle::qmp;

static std::size_t depth(const qmp::Json& value) {
  if (!value.is_structured()) return 0;
  std::size_t below = 0;
  for (const qmp::Json& child : value) below = std::max(below, depth(child));
  return below + 1;
}

static void check_round_trip(const qmp::Json& value) {
  const std::string text = qmp::to_json_text(value);
  const auto again = qmp::parse_json(text);
  // CBOR tells an integer from a double and keeps a double's bits.
  check(again && qmp::Json::to_cbor(*again) == qmp::Json::to_cbor(value) &&
            qmp::to_json_text(*again) == text,
        "written text reads back as the same value, which is written the same");
}

static std::optional<std::size_t> depth_of_parsed(std::string_view text) {
  const auto parsed = qmp::parse_json(text);
  if (parsed) {
    // 127 written out, not the core's constant: a wrong constant must not move the check with it.
    check(depth(*parsed) <= 127, "nothing deeper than 127 levels parses");
    check_round_trip(*parsed);
    return depth(*parsed);
  }
  static const std::regex form(".+ at line [0-9]+ column [0-9]+");
  check(std::regex_match(parsed.error(), form) && !parsed.error().contains("last read:") &&
            !parsed.error().contains("json.exception"),
        "an error reads \"{description} at line {line} column {column}\"");
  return std::nullopt;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size == 0) return 0;
  const std::size_t wrap = data[0] % 128;
  const std::string_view text(reinterpret_cast<const char*>(data + 1), size - 1);
  const auto levels = depth_of_parsed(text);
  const auto wrapped =
      depth_of_parsed(std::string(wrap, '[') + std::string(text) + std::string(wrap, ']'));
  check(!levels || wrapped.has_value() == (*levels + wrap <= 127),
        "wrapped in arrays, a value parses while at most 127 levels deep");
  return 0;
}
