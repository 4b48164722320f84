// The core's pure steps, each against a table: an input, and the text its result reads as.
#include <gtest/gtest.h>
#include <unistd.h>

#include <format>
#include <string>
#include <utility>
#include <vector>

#include "common/utf8.hpp"
#include "disk/temp_path.hpp"
#include "firecracker/http_head.hpp"
#include "qmp/jobs.hpp"
#include "qmp/json.hpp"

namespace brindle {
namespace {

using namespace std::literals;
using Rows = std::vector<std::pair<std::string, std::string>>;

template <class Describe>
void check(const Rows& rows, Describe describe) {
  for (const auto& [input, expected] : rows) {
    EXPECT_EQ(describe(input), expected) << "for " << testing::PrintToString(input);
  }
}

TEST(ResponseHead, StatusThenTheFirstContentLength) {
  const std::string status = "invalid HTTP status: ", length = "invalid Content-Length: ";
  const std::string digit = "invalid digit found in string";
  const std::string large = "number too large to fit in target type";
  // clang-format off
  check(Rows{
      {"HTTP/1.1 200 OK", "200"}, {"HTTP/1.1 +200 OK", "200"}, {"HTTP/1.1 0 Zero", "0"},
      // Any Unicode white space separates, U+00A0 and U+3000 included.
      {"\t\xE2\x80\xA8HTTP/1.1\xC2\xA0" "201\xE3\x80\x80" "Created", "201"},
      {"HTTP/1.1\v404\f", "404"}, {"   \xC2\x85  ", "missing HTTP status code"},
      {"", "missing HTTP status"}, {"HTTP/1.1", "missing HTTP status code"},
      {"HTTP/1.1 2x0 OK", status + digit}, {"HTTP/1.1 -200", status + digit},
      {"HTTP/1.1 + OK", status + digit}, {"HTTP/1.1 70000", status + large},
      // The first offending character decides between the two details.
      {"HTTP/1.1 6553x", status + digit}, {"HTTP/1.1 99999x", status + large},
      {"HTTP/1.1 x\r\nContent-Length: y", status + digit},
      {"HTTP/1.1 200 OK\r\nContent-Length: 5", "200 5"},
      {"HTTP/1.1 200 OK\r\ncOnTeNt-LeNgTh:+5\r\nServer: x", "200 5"},
      {"HTTP/1.1 200 OK\nContent-Length: \t 5 \xC2\xA0", "200 5"},
      {"HTTP/1.1 200 OK\r\nContent-Length: 18446744073709551615", "200 18446744073709551615"},
      {"HTTP/1.1 200 OK\r\nContent-Length : 5", "200"},
      {"HTTP/1.1 200 OK\r\nContent-Length: 7\r\nContent-Length: 9", "200 7"},
      {"HTTP/1.1 200 OK\r\nContent-Length: x\r\nContent-Length: 9", length + digit},
      {"HTTP/1.1 200 OK\r\nContent-Length: -5", length + digit},
      {"HTTP/1.1 200 OK\r\nContent-Length: 5 5", length + digit},
      {"HTTP/1.1 200 OK\r\nContent-Length:  ", length + "cannot parse integer from empty string"},
      {"HTTP/1.1 200 OK\r\nContent-Length: 18446744073709551616", length + large}},
      // clang-format on
      [](const std::string& head) {
        const auto parsed = firecracker::parse_response_head(head);
        if (!parsed) return parsed.error().message();
        const auto status = std::to_string(parsed->status);
        return parsed->content_length ? std::format("{} {}", status, *parsed->content_length)
                                      : status;
      });
}

#define R "\xEF\xBF\xBD"
TEST(Utf8, EachMaximalSubpartBecomesOneReplacement) {
  check(Rows{{"caf\xC3\xA9 \xF0\x9F\x98\x80", "caf\xC3\xA9 \xF0\x9F\x98\x80"},
             // The Unicode Standard's example: 61 F1 80 80 E1 80 C2 62 80 63 80 BF 64.
             {"\x61\xF1\x80\x80\xE1\x80\xC2\x62\x80\x63\x80\xBF\x64", "a" R R R "b" R "c" R R "d"},
             {"\xC0\xAF", R R},              // overlong lead bytes
             {"\xE0\x80\x80", R R R},        // an overlong three-byte form
             {"\xED\xA0\x80", R R R},        // a surrogate
             {"\xF4\x90\x80\x80", R R R R},  // above U+10FFFF
             {"\xF0\x9F\x98", R},            // cut short at the end
             {"a\0b"s, "a\0b"s}},
        [](const std::string& bytes) {
          EXPECT_EQ(is_valid_utf8(bytes), decode_utf8_lossy(bytes) == bytes);
          return decode_utf8_lossy(bytes);
        });
}
#undef R

TEST(Json, ParsedThenWrittenCompactly) {
  const std::string deep = std::string(127, '[') + std::string(127, ']');
  const std::string syntax = "syntax error while parsing value - ";
  // clang-format off
  check(Rows{
      // Keys in ascending byte order (UTF-8 after ASCII), the last duplicate wins.
      {R"({"b":1,"a":{"d":[],"c":{}}})", R"({"a":{"c":{},"d":[]},"b":1})"},
      {"{\"\xc3\xa9\":1,\"z\":2,\"Z\":3}", "{\"Z\":3,\"z\":2,\"\xc3\xa9\":1}"},
      {R"({"a":1,"a":{"x":[1]},"a":"last"})", R"({"a":"last"})"},
      {" \t\r\n[ 1 , true , null , false ]\r\n ", "[1,true,null,false]"},
      // Integers stay integers while they fit; everything else is a double.
      {"-9223372036854775808", "-9223372036854775808"}, {"-0", "0"}, {"-0.0", "-0.0"},
      {"-9223372036854775809", "-9.223372036854776e18"}, {"1e15", "1000000000000000.0"},
      {"18446744073709551615", "18446744073709551615"}, {"1e16", "1e16"},
      {"18446744073709551616", "1.8446744073709552e19"}, {"0.0000015", "1.5e-6"},
      // Only the escapes JSON requires, in lowercase hexadecimal; the rest as UTF-8.
      {R"("\u0041\/\"\\\b\f\n\r\t\u0000\u001F\u007f\u00e9\ud83d\ude00")",
       "\"A/\\\"\\\\\\b\\f\\n\\r\\t\\u0000\\u001f\x7f\xc3\xa9\xf0\x9f\x98\x80\""},
      {deep, deep}, {"[" + deep + "]", "nesting deeper than 127 levels at line 1 column 128"},
      // Brackets inside strings do not count towards the depth.
      {"[\"[[{\\\"\"," + deep + "]", "nesting deeper than 127 levels at line 1 column 136"},
      {"[1,\n -1e400]", "number out of range at line 2 column 7"},
      {"", syntax + "unexpected end of input; expected '[', '{', or a literal at line 1 column 0"},
      {"{\"a\" 1}", "syntax error while parsing object separator - unexpected number literal; "
                    "expected ':' at line 1 column 6"},
      // The parser stops at a NUL byte as if the text ended there.
      {"{\"a\":1}\n\0"s, syntax + "invalid literal; expected end of input at line 2 column 1"},
      {"\xEF\xBB\xBF{}", syntax + "unexpected byte order mark at line 1 column 1"},
      {"\"a\nb\"", syntax + "invalid string: control character U+000A (LF) must be escaped to "
                            "\\u000A or \\n at line 2 column 0"}},
      // clang-format on
      [](const std::string& text) {
        const auto value = qmp::parse_json(text);
        return value ? qmp::to_json_text(*value) : value.error();
      });
}

TEST(JobFields, IntegersAsNumbersOrDigitStrings) {
  // clang-format off
  check(Rows{{"{}", "-"}, {R"({"m":-42})", "-42"}, {R"({"m":2.0})", "-"}, {R"({"m":true})", "-"},
             {R"({"m":-9223372036854775808})", "-9223372036854775808"},
             {R"({"m":9223372036854775808})", "-"}, {R"({"m":"9223372036854775808"})", "-"},
             // Strings: one optional sign, then decimal digits only.
             {R"({"m":"+12"})", "12"}, {R"({"m":"-007"})", "-7"}, {R"({"m":""})", "-"},
             {R"({"m":"+-1"})", "-"}, {R"({"m":"1.0"})", "-"},
             {"{\"m\":\"\xd9\xa3\"}", "-"}},  // a non-ASCII digit
        // clang-format on
        [](const std::string& object) {
          const auto parsed = qmp::Json::parse(object);
          const auto value = qmp::json_field_integer(parsed.contains("m") ? &parsed["m"] : nullptr);
          return value ? std::to_string(*value) : "-";
        });
}

TEST(JobRecords, OwnMemberOrderAndTheWholeValueOfABadList) {
  check(
      Rows{
          {R"([{"type":"t","total-progress":"10","status":"s","id":"j","extra":1}])",
           R"([{"job_id":"j","job_type":"t","status":"s","current_progress":0,)"
           R"("total_progress":10,"error":null}])"},
          {R"([{"error":null},{"error":"full"}])",
           R"([{"job_id":"null","job_type":"null","status":"null","current_progress":0,)"
           R"("total_progress":0,"error":"null"},{"job_id":"null","job_type":"null",)"
           R"("status":"null","current_progress":0,"total_progress":0,"error":"full"}])"},
          {R"({"a":1})",
           R"({"context":{"result":{"a":1}},"message":"Unexpected QMP query-jobs response"})"},
          {R"([{"id":"a"},[]])",
           R"({"context":{"result":[{"id":"a"},[]]},"message":"Unexpected QMP query-jobs response"})"}},
      [](const std::string& list) {
        const auto jobs = qmp::jobs_from_response(qmp::Json::parse(list));
        return jobs ? qmp::job_list_text(*jobs) : jobs.error().text();
      });
}

TEST(TemporaryPaths, TheSiblingOfTheFinalName) {
  // clang-format off
  check(Rows{{"/images/vm1/disk.img", "/images/vm1/disk.img.tmp"}, {"disk.img", "disk.img.tmp"},
             {"a//b//", "a/b.tmp"}, {"a/./b/./", "a/b.tmp"}, {"./a", "./a.tmp"},
             // No final name: empty, a root, "." alone, or ending in "..".
             {"", "target path has no filename: "}, {"./.", "target path has no filename: ./."},
             {"x/y/../", "target path has no filename: x/y/../"}},
        // clang-format on
        [](const std::string& target) {
          const auto path = disk::temp_path_for(target, ".tmp");
          return path ? *path : path.error().message();
        });
  // The copy's own suffix: the process and the moment, so that copies never share a name.
  const std::string suffix = disk::unique_temp_suffix();
  EXPECT_TRUE(suffix.starts_with(std::format(".tmp-{}-", getpid()))) << suffix;
  EXPECT_NE(suffix, disk::unique_temp_suffix());
}

}  // namespace
}  // namespace brindle
