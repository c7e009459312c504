// The session clock: raw ticks on the recording path, nanoseconds on the output side.
#pragma once

#include <cstdint>

#if defined(__x86_64__) || defined(__i386__)
#include <x86intrin.h>
#endif

namespace fennik {

enum class ClockMode : std::uint8_t {
  // Raw ticks are the processor's constant-rate counter; ns = d * ratio_num / ratio_den.
  Counter,
  // Raw ticks of a platform clock converted by a multiply and a right shift.
  Calibrated,
  // Raw ticks are already nanoseconds of the monotonic platform clock.
  Nanos,
};

inline constexpr std::uint64_t NS_PER_SECOND = 1'000'000'000;

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

// What the processor and kernel offer, probed once per process.
struct CounterSource {
  bool usable = false;      // counter mode may be used
  std::uint64_t hz = 0;     // counter frequency, never 0 when usable
  const char* origin = "";  // where the frequency came from, for reports
};

// Probes once (thread-safe) and caches for the life of the process.
const CounterSource& counter_source() noexcept;

struct Clock {
  ClockMode mode = ClockMode::Nanos;
  std::uint64_t ratio_num = NS_PER_SECOND;
  std::uint64_t ratio_den = 1;
  std::uint64_t scale = 1;
  std::uint32_t shift = 0;
  std::uint64_t start = 0;

  // Counter mode when the process's counter source is usable, otherwise
  // nanosecond mode on the monotonic clock; `start` is the current raw tick.
  static Clock starting_now() noexcept;

  static Clock counter(std::uint64_t hz, std::uint64_t start) noexcept;
  static Clock calibrated(std::uint64_t scale, std::uint32_t shift, std::uint64_t start) noexcept;
  static Clock nanos(std::uint64_t start) noexcept;

  bool counter_mode() const noexcept { return mode == ClockMode::Counter; }

  std::uint64_t now_ticks() const noexcept {
    return mode == ClockMode::Nanos ? read_monotonic_ns() : read_counter();
  }

  // Nanoseconds since `start`; 0 for ticks at or before it.
  std::uint64_t ns_from_ticks(std::uint64_t tick) const noexcept;

  // The raw tick `ns` nanoseconds after `start` (the smallest such tick in the
  // modes whose conversion is not linear in closed form).
  std::uint64_t ticks_from_ns(std::uint64_t ns) const noexcept;
};

}  // namespace fennik
