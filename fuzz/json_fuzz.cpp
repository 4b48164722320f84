// The QMP client's JSON: what parses is written back and reads as the same value; what does not
// gets a message with its place.
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

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const auto parsed = qmp::parse_json(std::string_view(reinterpret_cast<const char*>(data), size));
  if (parsed) {
    // 127 written out, not the core's constant: a wrong constant must not move the check with it.
    check(depth(*parsed) <= 127, "nothing deeper than 127 levels parses");
    check_round_trip(*parsed);
    return 0;
  }
  static const std::regex form(".+ at line [0-9]+ column [0-9]+");
  check(std::regex_match(parsed.error(), form) && !parsed.error().contains("last read:") &&
            !parsed.error().contains("json.exception"),
        "an error reads \"{description} at line {line} column {column}\"");
  return 0;
}
