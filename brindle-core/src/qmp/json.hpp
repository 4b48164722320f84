// JSON values of the QMP client: parsing with a nesting limit and exact error positions, and the
// one compact writer for every JSON text the client emits (commands, results, error texts).
#pragma once

#include <charconv>
#include <concepts>
#include <expected>
#include <nlohmann/json.hpp>
#include <string>
#include <string_view>

namespace brindle::qmp {

// Objects are std::map: members come out in ascending byte order, and a duplicate key keeps the
// value parsed last.
using Json = nlohmann::json;

// Parses `text` as exactly one JSON value, optionally surrounded by JSON whitespace. An integer
// without fraction or exponent stays a 64-bit integer (signed when negative, unsigned otherwise)
// when it fits, every other number is a double; a number beyond the double range is refused.
// The error reads "{description} at line {line} column {column}".
std::expected<Json, std::string> parse_json(std::string_view text);

// Compact JSON: no whitespace, object keys in ascending byte order, only the escapes JSON
// requires (control characters as \b \t \n \f \r or \u00xx), everything else as UTF-8 bytes,
// doubles in shortest round-trip form with a ".0" kept on whole values (1e2 gives 100.0).
void write_json(std::string& out, const Json& value);
std::string to_json_text(const Json& value);

void write_json_string(std::string& out, std::string_view text);
template <std::integral Integer>
void write_json_integer(std::string& out, Integer value) {
  char digits[24];
  out.append(digits, std::to_chars(digits, digits + sizeof digits, value).ptr);
}
// Non-finite values have no JSON form; they cannot come from parsing and are an internal fault.
void write_json_double(std::string& out, double value);

}  // namespace brindle::qmp
