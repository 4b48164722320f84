#include "common/time.hpp"

#include <time.h>

#include <bit>
#include <cerrno>
#include <cmath>
#include <limits>

namespace brindle {

namespace {
constexpr std::uint32_t NANOS_PER_SEC = 1'000'000'000;
}

std::optional<Duration> duration_from_secs(double seconds) {
  if (!(seconds >= 0.0) || !std::isfinite(seconds)) return std::nullopt;
  if (seconds >= 18446744073709551616.0) return std::nullopt;  // 2^64
  if (seconds == 0.0) return Duration{};

  // seconds = mantissa * 2^exponent exactly; split at the binary point in integer arithmetic.
  const auto bits = std::bit_cast<std::uint64_t>(seconds);
  const int biased = static_cast<int>((bits >> 52) & 0x7ff);
  std::uint64_t mantissa = bits & ((std::uint64_t{1} << 52) - 1);
  int exponent;
  if (biased == 0) {
    exponent = -1074;
  } else {
    mantissa |= std::uint64_t{1} << 52;
    exponent = biased - 1075;
  }
  if (exponent >= 0) return Duration{mantissa << exponent, 0};  // below 2^64, checked above

  const int shift = -exponent;
  if (shift >= 120) return Duration{};  // below 2^-67 s: far under half a nanosecond
  const std::uint64_t secs = shift >= 64 ? 0 : mantissa >> shift;
  const unsigned __int128 frac =
      shift >= 64 ? mantissa : mantissa & ((std::uint64_t{1} << shift) - 1);
  const unsigned __int128 scaled = frac * NANOS_PER_SEC;  // below 2^83
  unsigned __int128 nanos = scaled >> shift;
  const unsigned __int128 rest = scaled & ((static_cast<unsigned __int128>(1) << shift) - 1);
  const unsigned __int128 half = static_cast<unsigned __int128>(1) << (shift - 1);
  if (rest > half || (rest == half && (nanos & 1) != 0)) ++nanos;
  if (nanos == NANOS_PER_SEC) {
    if (secs == std::numeric_limits<std::uint64_t>::max()) return std::nullopt;
    return Duration{secs + 1, 0};
  }
  return Duration{secs, static_cast<std::uint32_t>(nanos)};
}

Instant Instant::now() {
  timespec ts{};
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return {static_cast<std::int64_t>(ts.tv_sec), static_cast<std::uint32_t>(ts.tv_nsec)};
}

std::optional<Instant> Instant::checked_add(Duration d) const {
  if (d.secs > static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max())) {
    return std::nullopt;
  }
  std::int64_t s;
  if (__builtin_add_overflow(secs, static_cast<std::int64_t>(d.secs), &s)) return std::nullopt;
  std::uint32_t n = nanos + d.nanos;
  if (n >= NANOS_PER_SEC) {
    n -= NANOS_PER_SEC;
    if (__builtin_add_overflow(s, 1, &s)) return std::nullopt;
  }
  return Instant{s, n};
}

void sleep_for(Duration d) {
  constexpr auto max_secs = static_cast<std::uint64_t>(std::numeric_limits<time_t>::max());
  timespec remaining{static_cast<time_t>(d.secs > max_secs ? max_secs : d.secs),
                     static_cast<long>(d.nanos)};
  while (nanosleep(&remaining, &remaining) == -1 && errno == EINTR) {
  }
}

}  // namespace brindle
