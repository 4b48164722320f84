// Time-out conversion and deadline arithmetic, which take any float a caller passes: the
// conversion is the nearest nanosecond, never moves backwards as the input grows, and fails only
// where it must; adding to an instant agrees with plain 128-bit arithmetic.
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <optional>

#include "common/error.hpp"
#include "common/time.hpp"
#include "firecracker/api_request.hpp"

namespace {

using brindle::Duration;
using brindle::Instant;

[[noreturn]] void failure(const char* what, double x) {
  std::fprintf(stderr, "time invariant broken for %a: %s\n", x, what);
  std::abort();
}

constexpr double kTwoTo64 = 18446744073709551616.0;

void check_conversion(double x) {
  const std::optional<Duration> d = brindle::duration_from_secs(x);
  const bool convertible = x >= 0.0 && x < kTwoTo64;  // false for NaN and the infinities
  if (d.has_value() != convertible) failure("converts exactly when 0 <= x < 2^64", x);
  if (!d) return;
  if (d->nanos >= 1'000'000'000u) failure("nanoseconds not below one second", x);
  // Both sides are exact in long double (64-bit mantissa); so is their difference here.
  const long double error =
      (static_cast<long double>(x) - static_cast<long double>(d->secs)) * 1e9L - d->nanos;
  if (std::fabs(error) > 0.5L + 1e-6L) failure("not the nearest nanosecond", x);
}

void check_order(double a, double b) {
  if (!(a <= b)) std::swap(a, b);
  const auto da = brindle::duration_from_secs(a), db = brindle::duration_from_secs(b);
  if (da && db && *da > *db) failure("conversion is not monotonic", a);
}

void check_timeout(double x) {
  std::optional<Duration> d;
  try {
    d = brindle::firecracker::seconds_to_timeout(x);
  } catch (const brindle::Panic&) {
  }
  const bool converts = !(x >= kTwoTo64);  // NaN and everything small take the floor
  if (d.has_value() != converts) failure("seconds_to_timeout panics exactly from 2^64 up", x);
  if (d && *d < Duration::from_millis(1)) failure("time-out below the 1 ms floor", x);
}

void check_add(std::int64_t secs, std::uint32_t nanos, std::uint64_t dsecs, std::uint32_t dnanos) {
  nanos %= 1'000'000'000u;
  dnanos %= 1'000'000'000u;
  const Instant start{secs, nanos};
  const auto sum = start.checked_add(Duration{dsecs, dnanos});
  const __int128 total_nanos = static_cast<__int128>(nanos) + dnanos;
  const __int128 total_secs = static_cast<__int128>(secs) + dsecs + total_nanos / 1'000'000'000;
  const bool fits = dsecs <= static_cast<std::uint64_t>(INT64_MAX) && total_secs <= INT64_MAX &&
                    total_secs >= INT64_MIN;
  if (sum.has_value() != fits) failure("checked_add overflow test", static_cast<double>(secs));
  if (sum && (sum->secs != static_cast<std::int64_t>(total_secs) ||
              sum->nanos != static_cast<std::uint32_t>(total_nanos % 1'000'000'000))) {
    failure("checked_add sum", static_cast<double>(secs));
  }
}

template <class T>
T take(const std::uint8_t*& data, std::size_t& size) {
  T value{};
  const std::size_t n = std::min(size, sizeof value);
  std::memcpy(&value, data, n);
  data += n;
  size -= n;
  return value;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const auto a = take<double>(data, size);
  const auto b = take<double>(data, size);
  check_conversion(a);
  check_conversion(b);
  check_order(a, b);
  check_timeout(a);
  const auto secs = take<std::int64_t>(data, size);
  const auto nanos = take<std::uint32_t>(data, size);
  const auto dsecs = take<std::uint64_t>(data, size);
  const auto dnanos = take<std::uint32_t>(data, size);
  check_add(secs, nanos, dsecs, dnanos);
  return 0;
}
