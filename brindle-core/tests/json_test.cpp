#include "qmp/json.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <string>
#include <utility>

#include "common/error.hpp"

namespace brindle::qmp {
namespace {

std::string round_trip(std::string_view text) {
  auto value = parse_json(text);
  if (!value) return "error: " + value.error();
  return to_json_text(*value);
}

std::string nested(std::size_t depth) { return std::string(depth, '[') + std::string(depth, ']'); }

class RoundTrip : public testing::TestWithParam<std::pair<std::string, std::string>> {};

TEST_P(RoundTrip, WritesCompactCanonicalText) {
  EXPECT_EQ(round_trip(GetParam().first), GetParam().second);
}

INSTANTIATE_TEST_SUITE_P(
    Values, RoundTrip,
    testing::Values(
        // Keys in ascending byte order (UTF-8 after ASCII), the last duplicate wins.
        std::pair{R"({"b":1,"a":{"d":[],"c":{}}})", R"({"a":{"c":{},"d":[]},"b":1})"},
        std::pair{"{\"\xc3\xa9\":1,\"z\":2,\"Z\":3}", "{\"Z\":3,\"z\":2,\"\xc3\xa9\":1}"},
        std::pair{R"({"a":1,"a":{"x":[1]},"a":"last"})", R"({"a":"last"})"},
        std::pair{" \t\r\n[ 1 , true , null , false ]\r\n ", "[1,true,null,false]"},
        // Integers stay integers while they fit; everything else is a double.
        std::pair{"-9223372036854775808", "-9223372036854775808"},
        std::pair{"-9223372036854775809", "-9.223372036854776e18"},
        std::pair{"18446744073709551615", "18446744073709551615"},
        std::pair{"18446744073709551616", "1.8446744073709552e19"}, std::pair{"-0", "0"},
        std::pair{"-0.0", "-0.0"}, std::pair{"1e2", "100.0"}, std::pair{"1E+2", "100.0"},
        std::pair{"2.50", "2.5"}, std::pair{"0.1", "0.1"}, std::pair{"1e15", "1000000000000000.0"},
        std::pair{"1e16", "1e16"}, std::pair{"123456789012345678", "123456789012345678"},
        std::pair{"1234567890123456789.0", "1.2345678901234568e18"},
        std::pair{"0.00001", "0.00001"}, std::pair{"0.0000015", "1.5e-6"},
        std::pair{"1.5e-7", "1.5e-7"}, std::pair{"5e-324", "5e-324"}, std::pair{"1e-400", "0.0"},
        std::pair{"1.7976931348623157e308", "1.7976931348623157e308"},
        // Only the escapes JSON requires, in lowercase hexadecimal; the rest as UTF-8.
        std::pair{R"("\u0041\/\"\\\b\f\n\r\t\u0001\u001F\u007f\u00e9\ud83d\ude00")",
                  "\"A/\\\"\\\\\\b\\f\\n\\r\\t\\u0001\\u001f\x7f\xc3\xa9\xf0\x9f\x98\x80\""},
        std::pair{R"("\u0000")", R"("\u0000")"}));

TEST(JsonWriter, WritesDoublesThatDoNotComeFromText) {
  std::string out;
  write_json_double(out, 1.0 / 3);
  EXPECT_EQ(out, "0.3333333333333333");
  out.clear();
  write_json_double(out, -1e300);
  EXPECT_EQ(out, "-1e300");
  EXPECT_THROW(write_json_double(out, std::numeric_limits<double>::infinity()), Panic);
  EXPECT_THROW(write_json_double(out, std::nan("")), Panic);
}

TEST(JsonParser, KeepsIntegerKinds) {
  EXPECT_TRUE(parse_json("-1")->is_number_integer());
  EXPECT_TRUE(parse_json("1")->is_number_unsigned());
  EXPECT_TRUE(parse_json("1.0")->is_number_float());
  EXPECT_TRUE(parse_json("1e0")->is_number_float());
}

TEST(JsonParser, AcceptsNestingUpTo127Levels) {
  EXPECT_EQ(round_trip(nested(127)), nested(127));
  std::string objects;
  for (int i = 0; i < 126; ++i) objects += "{\"k\":";
  objects += "[]" + std::string(126, '}');
  EXPECT_EQ(round_trip(objects), objects);
}

class ParseError : public testing::TestWithParam<std::pair<std::string, std::string>> {};

TEST_P(ParseError, NamesTheFaultAndItsPosition) {
  auto value = parse_json(GetParam().first);
  ASSERT_FALSE(value.has_value()) << GetParam().first;
  EXPECT_EQ(value.error(), GetParam().second);
}

INSTANTIATE_TEST_SUITE_P(
    Texts, ParseError,
    testing::Values(
        std::pair{nested(128), "nesting deeper than 127 levels at line 1 column 128"},
        // Brackets inside strings do not count towards the depth.
        std::pair{"[\"[[{\\\"\"," + nested(127) + "]",
                  "nesting deeper than 127 levels at line 1 column 136"},
        std::pair{"\n" + nested(200), "nesting deeper than 127 levels at line 2 column 128"},
        std::pair{"1e400", "number out of range at line 1 column 5"},
        std::pair{"[1,\n -1e400]", "number out of range at line 2 column 7"},
        std::pair{"",
                  "syntax error while parsing value - unexpected end of input; expected '[', "
                  "'{', or a literal at line 1 column 0"},
        std::pair{"{",
                  "syntax error while parsing object key - unexpected end of input; "
                  "expected string literal at line 1 column 1"},
        std::pair{"[1,\n2,\nx]",
                  "syntax error while parsing value - invalid literal at line 3 "
                  "column 1"},
        std::pair{"1 2",
                  "syntax error while parsing value - unexpected number literal; expected "
                  "end of input at line 1 column 3"},
        std::pair{"{\"a\" 1}",
                  "syntax error while parsing object separator - unexpected number "
                  "literal; expected ':' at line 1 column 6"},
        // The parser stops at a NUL byte as if the text ended there; what follows still counts.
        std::pair{std::string("1\0 2", 4),
                  "syntax error while parsing value - invalid literal; expected end of input at "
                  "line 1 column 2"},
        std::pair{std::string("{\"a\":1}\n\0", 9),
                  "syntax error while parsing value - invalid literal; expected end of input at "
                  "line 2 column 1"},
        std::pair{"\xEF\xBB\xBF{}",
                  "syntax error while parsing value - unexpected byte order "
                  "mark at line 1 column 1"},
        std::pair{"\"a\nb\"",
                  "syntax error while parsing value - invalid string: control "
                  "character U+000A (LF) must be escaped to \\u000A or \\n at line 2 "
                  "column 0"}));

}  // namespace
}  // namespace brindle::qmp
