// The session clock: raw ticks on the recording path, nanoseconds on the output side.
#pragma once

#include <cstdint>

#include "clock_choice.hpp"

#if defined(__x86_64__) || defined(__i386__)
#include <x86intrin.h>
#endif

namespace fennik {

enum class ClockMode : std::uint8_t {
  // Raw ticks are the processor's constant-rate counter; ns = d * ratio_num / ratio_den.
  Counter,
  // Raw ticks are already nanoseconds of the monotonic platform clock.
  Nanos,
};

inline constexpr std::uint64_t NS_PER_SECOND = 1'000'000'000;
// Where a time or deadline past the clock's range saturates.
inline constexpr std::uint64_t U64_MAX = UINT64_MAX;

// Reads the constant-rate counter directly. Only meaningful where the process
// clock source reports counter mode; the recording path calls it without going
// through a Clock so that no function call sits on the per-event path.
inline std::uint64_t read_counter() noexcept {
#if defined(__aarch64__)
  std::uint64_t v;
  asm volatile("mrs %0, cntvct_el0" : "=r"(v));
  return v;
#elif defined(__x86_64__) || defined(__i386__)
  return __rdtsc();
#else
  return 0;
#endif
}

// The monotonic platform clock in nanoseconds (the fallback's raw reading).
std::uint64_t read_monotonic_ns() noexcept;
// The monotonic clock without the kernel's rate corrections: what a
// counter's frequency is measured against.
std::uint64_t read_monotonic_raw_ns() noexcept;

struct Clock {
  ClockMode mode = ClockMode::Nanos;
  std::uint64_t ratio_num = NS_PER_SECOND;
  std::uint64_t ratio_den = 1;
  // Counter mode's ratio as whole nanoseconds per tick plus a 64-bit binary
  // fraction, so that converting an event's tick needs no division.
  std::uint64_t whole_ns_per_tick = NS_PER_SECOND;
  std::uint64_t fraction_ns_per_tick = 0;
  std::uint64_t start = 0;

  // Counter mode when session_clock(request) is usable, otherwise nanosecond
  // mode on the monotonic clock; `start` is the current raw tick.
  static Clock starting_now(ClockRequest request = ClockRequest::Automatic) noexcept;

  static Clock counter(std::uint64_t hz, std::uint64_t start) noexcept;
  static Clock nanos(std::uint64_t start) noexcept;

  bool counter_mode() const noexcept { return mode == ClockMode::Counter; }

  std::uint64_t now_ticks() const noexcept {
    return mode == ClockMode::Nanos ? read_monotonic_ns() : read_counter();
  }

  // Nanoseconds since `start`; 0 for ticks at or before it. Inline: the
  // output side converts every event's tick.
  std::uint64_t ns_from_ticks(std::uint64_t tick) const noexcept {
    __extension__ using u128 = unsigned __int128;
    if (tick <= start) return 0;
    const std::uint64_t d = tick - start;
    if (mode == ClockMode::Nanos) return d;
    // The fraction is short of the ratio by less than 2^-64, so this is the
    // exact quotient or one less: one less only when the shortfall, under d
    // units of 2^-64, could carry the product's fraction into the next whole
    // nanosecond. Then one more multiplication tells which.
    const u128 fraction = static_cast<u128>(d) * fraction_ns_per_tick;
    const auto q =
        static_cast<std::uint64_t>(static_cast<u128>(d) * whole_ns_per_tick + (fraction >> 64));
    if (static_cast<std::uint64_t>(fraction) < -d) return q;
    const u128 exact = static_cast<u128>(d) * ratio_num;
    return static_cast<u128>(q + 1) * ratio_den <= exact ? q + 1 : q;
  }

  // The raw tick `ns` nanoseconds after `start` (the last tick at or before
  // that moment), or the largest tick there is when that moment lies beyond it.
  std::uint64_t ticks_from_ns(std::uint64_t ns) const noexcept;

  // The same clock started `ns` nanoseconds earlier (at tick 0 at the
  // earliest), so that its times count from an earlier moment.
  Clock started_earlier(std::uint64_t ns) const noexcept {
    Clock earlier = *this;
    const std::uint64_t span = ticks_from_ns(ns) - start;
    earlier.start = start > span ? start - span : 0;
    return earlier;
  }
};

}  // namespace fennik
