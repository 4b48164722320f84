#include <gtest/gtest.h>

#include <cerrno>
#include <cmath>
#include <cstring>
#include <limits>

#include "common/error.hpp"
#include "common/time.hpp"

namespace brindle {
namespace {

TEST(OsError, ReadsDescriptionThenNumber) {
  EXPECT_EQ(Error::os(ENOENT).message(), "No such file or directory (os error 2)");
  EXPECT_EQ(Error::os(EAGAIN).message(), "Resource temporarily unavailable (os error 11)");
  EXPECT_EQ(Error::os(ENOENT).os_code(), ENOENT);
  EXPECT_EQ(Error::os(ENOENT).kind(), ErrorKind::Os);
}

TEST(OsError, FixedTextsStandAlone) {
  const Error error = Error::io("failed to write whole buffer");
  EXPECT_EQ(error.message(), "failed to write whole buffer");
  EXPECT_EQ(error.os_code(), 0);
}

TEST(Panic, CarriesMessageAndLocation) {
  try {
    panic("broken invariant");
    FAIL();
  } catch (const Panic& fault) {
    EXPECT_STREQ(fault.what(), "broken invariant");
    EXPECT_NE(std::strstr(fault.where().file_name(), "common_test.cpp"), nullptr);
  }
}

struct Rounding {
  double seconds;
  Duration expected;
};

class DurationFromSecs : public testing::TestWithParam<Rounding> {};

TEST_P(DurationFromSecs, RoundsToNearestNanosecondTiesToEven) {
  const auto d = duration_from_secs(GetParam().seconds);
  ASSERT_TRUE(d.has_value());
  EXPECT_EQ(d->secs, GetParam().expected.secs);
  EXPECT_EQ(d->nanos, GetParam().expected.nanos);
}

INSTANTIATE_TEST_SUITE_P(
    Values, DurationFromSecs,
    testing::Values(Rounding{0.0, {0, 0}}, Rounding{0.001, {0, 1'000'000}},
                    Rounding{1.5, {1, 500'000'000}}, Rounding{0.1, {0, 100'000'000}},
                    // 1/1024 s and 3/1024 s are exact ties (976562.5 ns, 2929687.5 ns).
                    Rounding{1.0 / 1024, {0, 976'562}}, Rounding{3.0 / 1024, {0, 2'929'688}},
                    Rounding{1.4e-9, {0, 1}}, Rounding{0.4e-9, {0, 0}},
                    Rounding{0.9999999999, {1, 0}}, Rounding{5e-324, {0, 0}},
                    Rounding{18446744073709549568.0, {18446744073709549568ull, 0}}));

TEST(DurationFromSecs, RefusesWhatCannotBeRepresented) {
  EXPECT_FALSE(duration_from_secs(18446744073709551616.0));  // 2^64
  EXPECT_FALSE(duration_from_secs(std::numeric_limits<double>::infinity()));
  EXPECT_FALSE(duration_from_secs(std::nan("")));
  EXPECT_FALSE(duration_from_secs(-1.0));
}

TEST(Instant, AddsWithCarryAndDetectsOverflow) {
  const Instant base{10, 900'000'000};
  EXPECT_EQ(base.checked_add({1, 200'000'000}), (Instant{12, 100'000'000}));
  const Instant late{std::numeric_limits<std::int64_t>::max() - 1, 0};
  EXPECT_TRUE(late.checked_add({1, 0}).has_value());
  EXPECT_FALSE(late.checked_add({2, 0}).has_value());
  EXPECT_FALSE(base.checked_add({std::uint64_t{1} << 63, 0}).has_value());
}

TEST(Instant, IsMonotonicAndSleepWaitsTheWholeDuration) {
  const Instant before = Instant::now();
  sleep_for(Duration::from_millis(20));
  const Instant after = Instant::now();
  const auto limit = before.checked_add(Duration::from_millis(20));
  ASSERT_TRUE(limit.has_value());
  EXPECT_GE(after, *limit);
}

}  // namespace
}  // namespace brindle
