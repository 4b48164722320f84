#include "common/utf8.hpp"

#include <gtest/gtest.h>

#include <string>

namespace brindle {
namespace {

struct Lossy {
  std::string input;
  std::string expected;
};

class DecodeUtf8Lossy : public testing::TestWithParam<Lossy> {};

TEST_P(DecodeUtf8Lossy, ReplacesEachMaximalSubpart) {
  EXPECT_EQ(decode_utf8_lossy(GetParam().input), GetParam().expected);
  EXPECT_EQ(is_valid_utf8(GetParam().input), GetParam().input == GetParam().expected);
}

#define R "\xEF\xBF\xBD"
INSTANTIATE_TEST_SUITE_P(
    Cases, DecodeUtf8Lossy,
    testing::Values(Lossy{"", ""}, Lossy{"plain", "plain"},
                    Lossy{"caf\xC3\xA9 \xE2\x82\xAC \xF0\x9F\x98\x80",
                          "caf\xC3\xA9 \xE2\x82\xAC \xF0\x9F\x98\x80"},
                    // The Unicode Standard's example: 61 F1 80 80 E1 80 C2 62 80 63 80 BF 64.
                    Lossy{"\x61\xF1\x80\x80\xE1\x80\xC2\x62\x80\x63\x80\xBF\x64",
                          "a" R R R "b" R "c" R R "d"},
                    Lossy{"\xC0\xAF", R R},              // overlong lead bytes are single errors
                    Lossy{"\xE0\x80\x80", R R R},        // overlong three-byte form
                    Lossy{"\xED\xA0\x80", R R R},        // a surrogate
                    Lossy{"\xF4\x90\x80\x80", R R R R},  // above U+10FFFF
                    Lossy{"\xE2\x82", R},                // truncated at the end
                    Lossy{"\xF0\x9F\x98", R}, Lossy{"\xFF", R},
                    Lossy{std::string("a\0b", 3), std::string("a\0b", 3)}));
#undef R

}  // namespace
}  // namespace brindle
