#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <string>

#include "firecracker/api_request.hpp"
#include "firecracker/http_head.hpp"

namespace brindle::firecracker {
namespace {

struct HeadCase {
  std::string head;
  int status;  // -1 when parsing fails
  std::optional<std::uint64_t> length;
  std::string error;
};

void PrintTo(const HeadCase& c, std::ostream* out) { *out << testing::PrintToString(c.head); }

class ParseHead : public testing::TestWithParam<HeadCase> {};

TEST_P(ParseHead, StatusAndContentLength) {
  const HeadCase& c = GetParam();
  const auto head = parse_response_head(c.head);
  if (c.status < 0) {
    ASSERT_FALSE(head.has_value());
    EXPECT_EQ(head.error().kind(), ErrorKind::Protocol);
    EXPECT_EQ(head.error().message(), c.error);
  } else {
    ASSERT_TRUE(head.has_value()) << head.error().message();
    EXPECT_EQ(head->status, c.status);
    EXPECT_EQ(head->content_length, c.length);
  }
}

const std::string kDigit = "invalid digit found in string";
const std::string kTooLarge = "number too large to fit in target type";

INSTANTIATE_TEST_SUITE_P(
    StatusLine, ParseHead,
    testing::Values(
        HeadCase{"HTTP/1.1 200 OK", 200, {}, ""}, HeadCase{"HTTP/1.1 204", 204, {}, ""},
        HeadCase{"HTTP/1.1 +200 OK", 200, {}, ""}, HeadCase{"HTTP/1.1 0 Zero", 0, {}, ""},
        HeadCase{"HTTP/1.1 999 Odd", 999, {}, ""}, HeadCase{"HTTP/1.1 65535", 65535, {}, ""},
        HeadCase{"HTTP/1.1 00200", 200, {}, ""},
        // Runs of any Unicode white space separate, U+00A0 and U+3000 included.
        HeadCase{"\t HTTP/1.1\xC2\xA0\xE3\x80\x80"
                 "201\xE2\x80\xA8"
                 "Created",
                 201,
                 {},
                 ""},
        HeadCase{"HTTP/1.1\v404\f", 404, {}, ""}, HeadCase{"", -1, {}, "missing HTTP status"},
        HeadCase{"\r\nHTTP/1.1 200", -1, {}, "missing HTTP status code"},
        HeadCase{"HTTP/1.1", -1, {}, "missing HTTP status code"},
        HeadCase{"   \xC2\x85  ", -1, {}, "missing HTTP status code"},
        HeadCase{"HTTP/1.1 2x0 OK", -1, {}, "invalid HTTP status: " + kDigit},
        HeadCase{"HTTP/1.1 -200", -1, {}, "invalid HTTP status: " + kDigit},
        HeadCase{"HTTP/1.1 + OK", -1, {}, "invalid HTTP status: " + kDigit},
        HeadCase{"HTTP/1.1 ++2", -1, {}, "invalid HTTP status: " + kDigit},
        HeadCase{"HTTP/1.1 \xEF\xBC\x92", -1, {}, "invalid HTTP status: " + kDigit},
        HeadCase{"HTTP/1.1 70000", -1, {}, "invalid HTTP status: " + kTooLarge},
        HeadCase{"HTTP/1.1 65536", -1, {}, "invalid HTTP status: " + kTooLarge},
        // The first offending character decides between the two details.
        HeadCase{"HTTP/1.1 6553x", -1, {}, "invalid HTTP status: " + kDigit},
        HeadCase{"HTTP/1.1 99999x", -1, {}, "invalid HTTP status: " + kTooLarge},
        // A bad status wins over a bad length.
        HeadCase{"HTTP/1.1 x\r\nContent-Length: y", -1, {}, "invalid HTTP status: " + kDigit}));

INSTANTIATE_TEST_SUITE_P(
    ContentLength, ParseHead,
    testing::Values(
        HeadCase{"HTTP/1.1 200 OK\r\nContent-Length: 5", 200, 5, ""},
        HeadCase{"HTTP/1.1 200 OK\r\ncOnTeNt-LeNgTh:+5\r\nServer: x", 200, 5, ""},
        HeadCase{"HTTP/1.1 200 OK\nContent-Length: \t 5 \xC2\xA0", 200, 5, ""},
        HeadCase{"HTTP/1.1 200 OK\r\nContent-Length: 18446744073709551615", 200,
                 std::numeric_limits<std::uint64_t>::max(), ""},
        HeadCase{"HTTP/1.1 200 OK\r\nContent-Length : 5", 200, {}, ""},
        HeadCase{"HTTP/1.1 200 OK\r\n Content-Length: 5", 200, {}, ""},
        HeadCase{"HTTP/1.1 200 OK\r\nContent-Length 5", 200, {}, ""},
        HeadCase{"HTTP/1.1 200 OK\r\nX-Content-Length: 5", 200, {}, ""},
        // The Kelvin sign is not a K: only ASCII letters fold.
        HeadCase{"HTTP/1.1 200 OK\r\nContent-Length\xE2\x84\xAA: 5", 200, {}, ""},
        HeadCase{"HTTP/1.1 200 OK\r\nContent-Length: 7\r\nContent-Length: 9", 200, 7, ""},
        HeadCase{"HTTP/1.1 200 OK\r\nContent-Length: x\r\nContent-Length: 9",
                 -1,
                 {},
                 "invalid Content-Length: " + kDigit},
        HeadCase{
            "HTTP/1.1 200 OK\r\nContent-Length: -5", -1, {}, "invalid Content-Length: " + kDigit},
        HeadCase{
            "HTTP/1.1 200 OK\r\nContent-Length: 5 5", -1, {}, "invalid Content-Length: " + kDigit},
        HeadCase{
            "HTTP/1.1 200 OK\r\nContent-Length: 1:2", -1, {}, "invalid Content-Length: " + kDigit},
        HeadCase{"HTTP/1.1 200 OK\r\nContent-Length:  ",
                 -1,
                 {},
                 "invalid Content-Length: cannot parse integer from empty string"},
        HeadCase{"HTTP/1.1 200 OK\r\nContent-Length: 18446744073709551616",
                 -1,
                 {},
                 "invalid Content-Length: " + kTooLarge}));

TEST(FindHeadEnd, FindsTheFirstTerminatorOnlyPastWhatWasSearched) {
  EXPECT_EQ(find_head_end("\r\n\r"), std::string_view::npos);
  EXPECT_EQ(find_head_end("\r\n\r\n"), 0u);
  EXPECT_EQ(find_head_end("ab\r\n\r\n\r\n\r\n"), 2u);
  EXPECT_EQ(find_head_end("a\n\n\r\n"), std::string_view::npos);
  // A terminator split over two receives is found once the second part arrives.
  EXPECT_EQ(find_head_end("abc\r\n\r\nx", 5), 3u);
  EXPECT_EQ(find_head_end("abc\r\n\r\nx", 8), std::string_view::npos);
}

struct TimeoutCase {
  double seconds;
  Duration expected;
};

class SecondsToTimeout : public testing::TestWithParam<TimeoutCase> {};

TEST_P(SecondsToTimeout, FloorsAndRounds) {
  EXPECT_EQ(seconds_to_timeout(GetParam().seconds), GetParam().expected);
}

constexpr Duration kFloor{0, 1'000'000};

// Rounding itself is duration_from_secs's; what is particular here is the floor.
INSTANTIATE_TEST_SUITE_P(Values, SecondsToTimeout,
                         testing::Values(TimeoutCase{std::nan(""), kFloor},
                                         TimeoutCase{0.0, kFloor}, TimeoutCase{-5.0, kFloor},
                                         TimeoutCase{-std::numeric_limits<double>::infinity(),
                                                     kFloor},
                                         TimeoutCase{0.0009, kFloor}, TimeoutCase{0.001, kFloor},
                                         TimeoutCase{1.5, {1, 500'000'000}}));

TEST(SecondsToTimeoutPanics, AtTwoToTheSixtyFourAndInfinity) {
  for (const double seconds : {18446744073709551616.0, std::numeric_limits<double>::infinity()}) {
    try {
      seconds_to_timeout(seconds);
      ADD_FAILURE() << seconds << " converted";
    } catch (const Panic& fault) {
      EXPECT_STREQ(fault.what(),
                   "cannot convert float seconds to Duration: value is either too big or NaN");
    }
  }
}

}  // namespace
}  // namespace brindle::firecracker
