// The QMP client's JSON, and the conversion of seconds to a duration.
// Input: one byte W, then the text, parsed as it is and wrapped in W % 128 arrays. The text's
// first sixteen bytes, as two doubles, also go through the writer and duration_from_secs.
#include <cmath>
#include <cstring>
#include <optional>
#include <regex>

#include "check.hpp"
#include "common/time.hpp"
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
    // 127 written out, not kMaxJsonDepth: a wrong constant must not move the check with it.
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

// Within half a nanosecond, checked exactly: seconds = m 2^e, both sides scaled by 2^-e.
static void check_duration(double seconds) {
  const auto duration = brindle::duration_from_secs(seconds);
  check(duration.has_value() == (seconds >= 0 && seconds < 0x1p64),
        "a duration for exactly the seconds from 0 to below 2^64");
  if (!duration) return;
  int e;
  const auto m = static_cast<std::uint64_t>(std::ldexp(std::frexp(seconds, &e), 53));
  e -= 53;
  using Exact = unsigned _BitInt(1280);
  const Exact wanted = static_cast<Exact>(m) * 1'000'000'000 << std::max(e, 0);
  const Exact got = (static_cast<Exact>(duration->secs) * 1'000'000'000 + duration->nanos)
                    << std::max(-e, 0);
  check(duration->nanos < 1'000'000'000 &&
            2 * (wanted > got ? wanted - got : got - wanted) <= Exact{1} << std::max(-e, 0),
        "a duration is the seconds within half a nanosecond");
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size == 0) return 0;
  const std::size_t wrap = data[0] % 128;
  const std::string_view text(reinterpret_cast<const char*>(data + 1), size - 1);
  for (std::size_t at = 0; at < 16 && at + 8 <= text.size(); at += 8) {
    double seconds;
    std::memcpy(&seconds, text.data() + at, 8);
    check_duration(seconds);
    if (std::isfinite(seconds)) check_round_trip(qmp::Json(seconds));
  }
  const auto levels = depth_of_parsed(text);
  const auto wrapped =
      depth_of_parsed(std::string(wrap, '[') + std::string(text) + std::string(wrap, ']'));
  check(!levels || wrapped.has_value() == (*levels + wrap <= 127),
        "wrapped in arrays, a value parses while at most 127 levels deep");
  return 0;
}
