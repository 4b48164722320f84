// Durations, monotonic instants and sleeping, with the exact rounding and range rules the
// time-out conversions need (a double of seconds is converted exactly, not through a product).
#pragma once

#include <compare>
#include <cstdint>
#include <optional>

namespace brindle {

struct Duration {
  std::uint64_t secs = 0;
  std::uint32_t nanos = 0;  // below 1,000,000,000

  bool is_zero() const { return secs == 0 && nanos == 0; }
  friend auto operator<=>(const Duration&, const Duration&) = default;

  static constexpr Duration from_millis(std::uint64_t ms) {
    return {ms / 1000, static_cast<std::uint32_t>(ms % 1000 * 1'000'000)};
  }
};

// A finite, non-negative number of seconds rounded to the nearest nanosecond, ties to even.
// Empty when the value is NaN, negative, infinite, or 2^64 seconds or more.
std::optional<Duration> duration_from_secs(double seconds);

// A point on the monotonic clock, which changes of the wall clock do not move.
struct Instant {
  std::int64_t secs = 0;
  std::uint32_t nanos = 0;

  static Instant now();
  // Empty when the sum leaves the clock's range (about 2^63 seconds).
  std::optional<Instant> checked_add(Duration d) const;
  friend auto operator<=>(const Instant&, const Instant&) = default;
};

// Sleeps for the whole duration; an interruption by a signal resumes for what remains.
void sleep_for(Duration d);

}  // namespace brindle
