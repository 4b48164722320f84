#include <gtest/gtest.h>
#include <unistd.h>

#include <ctime>
#include <format>
#include <ostream>
#include <string>

#include "disk/temp_path.hpp"

namespace brindle::disk {
namespace {

struct Naming {
  const char* target;
  const char* parent;  // nullptr: none
  const char* temp;    // nullptr: no final name
};

void PrintTo(const Naming& naming, std::ostream* out) { *out << '"' << naming.target << '"'; }

class TempPathFor : public testing::TestWithParam<Naming> {};

TEST_P(TempPathFor, NamesTheSiblingOfTheFinalComponent) {
  const Naming& n = GetParam();
  const auto parent = parent_of(n.target);
  EXPECT_EQ(parent.has_value(), n.parent != nullptr);
  if (parent && n.parent) {
    EXPECT_EQ(*parent, n.parent);
  }
  const auto temp = temp_path_for(n.target, ".tmp");
  if (n.temp == nullptr) {
    ASSERT_FALSE(temp.has_value());
    EXPECT_EQ(temp.error().message(), std::format("target path has no filename: {}", n.target));
  } else {
    ASSERT_TRUE(temp.has_value()) << temp.error().message();
    EXPECT_EQ(*temp, n.temp);
  }
}

INSTANTIATE_TEST_SUITE_P(
    Paths, TempPathFor,
    testing::Values(
        Naming{"/images/vm1/disk.img", "/images/vm1", "/images/vm1/disk.img.tmp"},
        Naming{"disk.img", "", "disk.img.tmp"}, Naming{"/disk.img", "/", "/disk.img.tmp"},
        Naming{"//disk.img", "/", "/disk.img.tmp"}, Naming{"a//b//", "a", "a/b.tmp"},
        Naming{"a/b/.", "a", "a/b.tmp"}, Naming{"a/./b/./", "a", "a/b.tmp"},
        Naming{"a/.", "", "a.tmp"}, Naming{"./a", ".", "./a.tmp"}, Naming{"../a", "..", "../a.tmp"},
        Naming{"a..", "", "a...tmp"}, Naming{"a/.../b", "a/...", "a/.../b.tmp"},
        // No final name: empty, a root, "." alone, or ending in "..".
        Naming{"", nullptr, nullptr}, Naming{"/", nullptr, nullptr}, Naming{"//", nullptr, nullptr},
        Naming{"/.", nullptr, nullptr}, Naming{".", "", nullptr}, Naming{"./.", "", nullptr},
        Naming{"..", "", nullptr}, Naming{"x/y/../", "x/y", nullptr}, Naming{"/..", "/", nullptr}));

TEST(UniqueTempSuffix, ProcessIdThenNanosecondsSinceTheEpoch) {
  timespec before{}, after{};
  clock_gettime(CLOCK_REALTIME, &before);
  const std::string suffix = unique_temp_suffix();
  clock_gettime(CLOCK_REALTIME, &after);

  const std::string prefix = std::format(".tmp-{}-", getpid());
  ASSERT_TRUE(suffix.starts_with(prefix)) << suffix;
  const std::string digits = suffix.substr(prefix.size());
  ASSERT_EQ(digits.find_first_not_of("0123456789"), std::string::npos) << suffix;
  const unsigned long long nanos = std::stoull(digits);
  EXPECT_GE(nanos, before.tv_sec * 1'000'000'000ull + before.tv_nsec);
  EXPECT_LE(nanos, after.tv_sec * 1'000'000'000ull + after.tv_nsec);
}

}  // namespace
}  // namespace brindle::disk
