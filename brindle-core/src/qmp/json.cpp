#include "qmp/json.hpp"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <format>
#include <vector>

#include "common/error.hpp"

namespace brindle::qmp {

namespace {

// Arrays and objects may nest this deep; one level more is refused.
constexpr std::size_t MAX_JSON_DEPTH = 127;

// Builds the value tree from the parser's events, refusing containers nested too deep. The
// parser itself keeps its own state on the heap, so deep input cannot exhaust the stack.
class TreeBuilder {
 public:
  explicit TreeBuilder(Json& root) : root_(root) {}

  bool null() { return place(Json(nullptr)) != nullptr; }
  bool boolean(bool value) { return place(Json(value)) != nullptr; }
  bool number_integer(Json::number_integer_t value) { return place(Json(value)) != nullptr; }
  bool number_unsigned(Json::number_unsigned_t value) { return place(Json(value)) != nullptr; }
  bool number_float(Json::number_float_t value, const Json::string_t&) {
    return place(Json(value)) != nullptr;
  }
  bool string(Json::string_t& value) { return place(Json(std::move(value))) != nullptr; }
  bool binary(Json::binary_t&) { return false; }  // JSON text has no binary values

  bool start_object(std::size_t) { return open(Json::value_t::object); }
  bool start_array(std::size_t) { return open(Json::value_t::array); }
  bool end_object() { return close(); }
  bool end_array() { return close(); }
  bool key(Json::string_t& name) {
    // operator[] finds an existing member, so a repeated key is overwritten: the last one wins.
    member_ = &(*open_.back())[std::move(name)];
    return true;
  }

  bool parse_error(std::size_t position, const std::string& last_token,
                   const nlohmann::detail::exception& fault) {
    error_position_ = position;
    error_description_ = describe(last_token, fault);
    return false;
  }

  bool too_deep() const { return too_deep_; }
  std::size_t error_position() const { return error_position_; }
  const std::string& error_description() const { return error_description_; }

 private:
  Json* place(Json&& value) {
    if (open_.empty()) {
      root_ = std::move(value);
      return &root_;
    }
    Json& container = *open_.back();
    if (container.is_array()) {
      auto& items = container.get_ref<Json::array_t&>();
      items.push_back(std::move(value));
      return &items.back();
    }
    *member_ = std::move(value);
    return member_;
  }

  bool open(Json::value_t type) {
    if (open_.size() >= MAX_JSON_DEPTH) {
      too_deep_ = true;
      return false;
    }
    // Pointers stay valid: nothing is added to a container while a child of it is open.
    open_.push_back(place(Json(type)));
    return true;
  }

  bool close() {
    open_.pop_back();
    return true;
  }

  // The parser's own text, without its bookkeeping prefix and without the echo of the token,
  // which can be arbitrarily long (the position already points at it).
  static std::string describe(const std::string& last_token,
                              const nlohmann::detail::exception& fault) {
    if (fault.id == 406) return "number out of range";
    std::string text = fault.what();
    // Empty text gets the same account as text of whitespace only.
    if (text.find("empty input") != std::string::npos) {
      return "syntax error while parsing value - unexpected end of input; expected '[', '{', or "
             "a literal";
    }
    if (const auto start = text.find("syntax error"); start != std::string::npos) {
      text.erase(0, start);
    } else if (const auto colon = text.find(": "); colon != std::string::npos) {
      text.erase(0, colon + 2);
    }
    const std::string echo = "; last read: '" + last_token + "'";
    if (const auto at = text.find(echo); at != std::string::npos) text.erase(at, echo.size());
    return text;
  }

  Json& root_;
  std::vector<Json*> open_;
  Json* member_ = nullptr;
  bool too_deep_ = false;
  std::size_t error_position_ = 0;
  std::string error_description_;
};

// "{description} at line {l} column {c}". `consumed` counts the characters the parser read,
// the offending one included (end of input counts as one); the column is the number of bytes of
// that line up to and including the offending byte, or up to the end at the end of input.
std::string positioned(std::string_view text, std::size_t consumed, std::string_view description) {
  const std::size_t index = std::min(consumed, text.size());
  const std::string_view before = text.substr(0, index);
  const std::size_t last_newline = before.rfind('\n');
  const std::size_t line_start = last_newline == std::string_view::npos ? 0 : last_newline + 1;
  const auto line = 1 + std::count(before.begin(), before.begin() + line_start, '\n');
  return std::format("{} at line {} column {}", description, line, index - line_start);
}

// Offset of the bracket that opens the first container nested one level too deep. Only asked
// after the parser stopped there, so the text before it is well-formed JSON.
std::size_t offset_of_excess_nesting(std::string_view text) {
  std::size_t depth = 0;
  bool in_string = false, escaped = false;
  for (std::size_t i = 0; i < text.size(); ++i) {
    const char c = text[i];
    if (in_string) {
      if (escaped) {
        escaped = false;
      } else if (c == '\\') {
        escaped = true;
      } else if (c == '"') {
        in_string = false;
      }
    } else if (c == '"') {
      in_string = true;
    } else if (c == '[' || c == '{') {
      if (++depth > MAX_JSON_DEPTH) return i;
    } else if (c == ']' || c == '}') {
      --depth;
    }
  }
  panic("the parser reported excess nesting that the text does not have");
}

}  // namespace

std::expected<Json, std::string> parse_json(std::string_view text) {
  // The parser skips a leading byte order mark; JSON text allows none.
  if (text.starts_with("\xEF\xBB\xBF")) {
    return std::unexpected(
        positioned(text, 1, "syntax error while parsing value - unexpected byte order mark"));
  }
  Json root;
  TreeBuilder builder(root);
  if (Json::sax_parse(text.begin(), text.end(), &builder)) {
    // The parser takes a NUL byte for the end of the input, so one can follow a complete value
    // unseen; no NUL can belong to JSON text (inside a string it is refused as a control
    // character), so this one is the first thing after the value.
    if (const auto nul = text.find('\0'); nul != std::string_view::npos) {
      return std::unexpected(
          positioned(text, nul + 1,
                     "syntax error while parsing value - invalid literal; expected end of input"));
    }
    return root;
  }
  if (builder.too_deep()) {
    return std::unexpected(
        positioned(text, offset_of_excess_nesting(text) + 1, "nesting deeper than 127 levels"));
  }
  return std::unexpected(positioned(text, builder.error_position(), builder.error_description()));
}

void write_json_string(std::string& out, std::string_view text) {
  static constexpr char HEX[] = "0123456789abcdef";
  out += '"';
  std::size_t plain_from = 0;
  for (std::size_t i = 0; i < text.size(); ++i) {
    const auto c = static_cast<unsigned char>(text[i]);
    if (c >= 0x20 && c != '"' && c != '\\') continue;
    out.append(text.data() + plain_from, i - plain_from);
    plain_from = i + 1;
    switch (c) {
      case '"':
        out += "\\\"";
        break;
      case '\\':
        out += "\\\\";
        break;
      case '\b':
        out += "\\b";
        break;
      case '\t':
        out += "\\t";
        break;
      case '\n':
        out += "\\n";
        break;
      case '\f':
        out += "\\f";
        break;
      case '\r':
        out += "\\r";
        break;
      default:
        out += "\\u00";
        out += HEX[c >> 4];
        out += HEX[c & 0xf];
    }
  }
  out.append(text.data() + plain_from, text.size() - plain_from);
  out += '"';
}

void write_json_double(std::string& out, double value) {
  if (!std::isfinite(value)) panic("a non-finite number has no JSON form");
  // The shortest digits that read back as the same double, then laid out: plain notation for
  // decimal exponents -5 to 15, "1e16" / "1.5e-7" beyond.
  char buffer[40];
  const auto result =
      std::to_chars(buffer, buffer + sizeof buffer, value, std::chars_format::scientific);
  std::string_view scientific(buffer, result.ptr);
  if (scientific.front() == '-') {
    out += '-';
    scientific.remove_prefix(1);
  }
  const std::size_t e = scientific.find('e');
  char digits[20];
  int count = 0;
  for (const char c : scientific.substr(0, e)) {
    if (c != '.') digits[count++] = c;
  }
  int exponent = 0;
  std::string_view exponent_text = scientific.substr(e + 1);
  if (exponent_text.front() == '+') exponent_text.remove_prefix(1);
  std::from_chars(exponent_text.data(), exponent_text.data() + exponent_text.size(), exponent);

  const int point = exponent + 1;  // digits before the decimal point
  if (point >= 1 && point <= 16) {
    if (count <= point) {
      out.append(digits, count);
      out.append(point - count, '0');
      out += ".0";
    } else {
      out.append(digits, point);
      out += '.';
      out.append(digits + point, count - point);
    }
  } else if (point > -5 && point <= 0) {
    out += "0.";
    out.append(-point, '0');
    out.append(digits, count);
  } else {
    out += digits[0];
    if (count > 1) {
      out += '.';
      out.append(digits + 1, count - 1);
    }
    out += 'e';
    write_json_integer(out, point - 1);
  }
}

void write_json(std::string& out, const Json& value) {
  switch (value.type()) {
    case Json::value_t::null:
      out += "null";
      return;
    case Json::value_t::boolean:
      out += value.get<bool>() ? "true" : "false";
      return;
    case Json::value_t::number_integer:
      write_json_integer(out, value.get<Json::number_integer_t>());
      return;
    case Json::value_t::number_unsigned:
      write_json_integer(out, value.get<Json::number_unsigned_t>());
      return;
    case Json::value_t::number_float:
      write_json_double(out, value.get<Json::number_float_t>());
      return;
    case Json::value_t::string:
      write_json_string(out, value.get_ref<const Json::string_t&>());
      return;
    case Json::value_t::array: {
      out += '[';
      bool first = true;
      for (const Json& item : value.get_ref<const Json::array_t&>()) {
        if (!first) out += ',';
        first = false;
        write_json(out, item);
      }
      out += ']';
      return;
    }
    case Json::value_t::object: {
      out += '{';
      bool first = true;
      for (const auto& [name, member] : value.get_ref<const Json::object_t&>()) {
        if (!first) out += ',';
        first = false;
        write_json_string(out, name);
        out += ':';
        write_json(out, member);
      }
      out += '}';
      return;
    }
    case Json::value_t::binary:
    case Json::value_t::discarded:
      break;
  }
  panic("a JSON value without a text form reached the writer");
}

std::string to_json_text(const Json& value) {
  std::string out;
  write_json(out, value);
  return out;
}

}  // namespace brindle::qmp
