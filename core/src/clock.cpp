#include "clock.hpp"

#include <time.h>

namespace fennik {
namespace {

__extension__ using u128 = unsigned __int128;

std::uint64_t timespec_ns(clockid_t id) noexcept {
  timespec ts{};
  clock_gettime(id, &ts);
  return static_cast<std::uint64_t>(ts.tv_sec) * NS_PER_SECOND +
         static_cast<std::uint64_t>(ts.tv_nsec);
}

}  // namespace

std::uint64_t read_monotonic_ns() noexcept {
  return timespec_ns(CLOCK_MONOTONIC);
}

std::uint64_t read_monotonic_raw_ns() noexcept {
  return timespec_ns(CLOCK_MONOTONIC_RAW);
}

// Precision: counter mode converts with a 128-bit product and one truncating
// division, so the only error is the frequency's own: exact for the CPUID
// crystal ratio, within 0.5 ppm for the hypervisor's kHz figure, and about
// 25 ppm (the bracket width over 4 ms) for a calibrated frequency.
Clock Clock::starting_now(ClockRequest request) noexcept {
  const CounterSource src = session_clock(request);
  if (src.usable) return counter(src.hz, read_counter());
  return nanos(read_monotonic_ns());
}

Clock Clock::counter(std::uint64_t hz, std::uint64_t start) noexcept {
  Clock c;
  c.mode = ClockMode::Counter;
  c.ratio_num = NS_PER_SECOND;
  c.ratio_den = hz == 0 ? 1 : hz;
  c.whole_ns_per_tick = c.ratio_num / c.ratio_den;
  c.fraction_ns_per_tick = static_cast<std::uint64_t>(
      (static_cast<u128>(c.ratio_num % c.ratio_den) << 64) / c.ratio_den);
  c.start = start;
  return c;
}

Clock Clock::nanos(std::uint64_t start) noexcept {
  Clock c;
  c.mode = ClockMode::Nanos;
  c.start = start;
  return c;
}

std::uint64_t Clock::ticks_from_ns(std::uint64_t ns) const noexcept {
  // Wider than ticks: a counter faster than 1 GHz has more ticks than there
  // are nanoseconds in u64.
  const u128 span = mode == ClockMode::Counter ? static_cast<u128>(ns) * ratio_den / ratio_num : ns;
  return span > U64_MAX - start ? U64_MAX : start + static_cast<std::uint64_t>(span);
}

}  // namespace fennik
