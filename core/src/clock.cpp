#include "clock.hpp"

#include <time.h>

#include <cstdio>
#include <cstring>
#include <limits>

#if defined(__x86_64__) || defined(__i386__)
#include <cpuid.h>
#endif

namespace fennik {
namespace {

__extension__ using u128 = unsigned __int128;
constexpr std::uint64_t U64_MAX = std::numeric_limits<std::uint64_t>::max();

std::uint64_t timespec_ns(clockid_t id) noexcept {
  timespec ts{};
  clock_gettime(id, &ts);
  return static_cast<std::uint64_t>(ts.tv_sec) * NS_PER_SECOND +
         static_cast<std::uint64_t>(ts.tv_nsec);
}

#if defined(__x86_64__) || defined(__i386__)

constexpr char CLOCKSOURCE_PATH[] =
    "/sys/devices/system/clocksource/clocksource0/current_clocksource";
// One calibration per process, against the unslewed monotonic clock.
constexpr std::uint64_t CALIBRATION_NS = 4'000'000;
constexpr int CALIBRATION_BRACKETS = 16;
constexpr unsigned CPUID_TSC_LEAF = 0x15;
constexpr unsigned CPUID_POWER_LEAF = 0x80000007;
constexpr unsigned CPUID_INVARIANT_TSC_BIT = 1u << 8;
constexpr unsigned CPUID_HYPERVISOR_BIT = 1u << 31;
constexpr unsigned HYPERVISOR_BASE_LEAF = 0x40000000;
constexpr unsigned HYPERVISOR_TSC_KHZ_LEAF = 0x40000010;

// The kernel only keeps the TSC as its clock source when it found it stable
// and synchronised across CPUs; that is the guarantee counter mode needs.
bool kernel_uses_tsc() noexcept {
  std::FILE* f = std::fopen(CLOCKSOURCE_PATH, "re");
  if (f == nullptr) return false;
  char buf[32] = {};
  const bool ok = std::fgets(buf, sizeof buf, f) != nullptr;
  std::fclose(f);
  return ok && std::strncmp(buf, "tsc", 3) == 0 && (buf[3] == '\n' || buf[3] == '\0');
}

bool invariant_tsc() noexcept {
  unsigned a, b, c, d;
  if (__get_cpuid_max(0x80000000, nullptr) < CPUID_POWER_LEAF) return false;
  __cpuid(CPUID_POWER_LEAF, a, b, c, d);
  return (d & CPUID_INVARIANT_TSC_BIT) != 0;
}

std::uint64_t cpuid_tsc_hz() noexcept {
  unsigned a = 0, b = 0, c = 0, d = 0;
  if (__get_cpuid_max(0, nullptr) >= CPUID_TSC_LEAF) {
    __cpuid_count(CPUID_TSC_LEAF, 0, a, b, c, d);
    // a: denominator, b: numerator of the TSC/crystal ratio; c: crystal Hz.
    if (a != 0 && b != 0 && c != 0) return static_cast<std::uint64_t>(c) * b / a;
  }
  return 0;
}

std::uint64_t hypervisor_tsc_hz() noexcept {
  unsigned a, b, c, d;
  __cpuid(1, a, b, c, d);
  if ((c & CPUID_HYPERVISOR_BIT) == 0) return 0;
  __cpuid(HYPERVISOR_BASE_LEAF, a, b, c, d);
  if (a < HYPERVISOR_TSC_KHZ_LEAF) return 0;
  __cpuid(HYPERVISOR_TSC_KHZ_LEAF, a, b, c, d);
  return static_cast<std::uint64_t>(a) * 1000;
}

// A (tsc, ns) pair whose tsc read sits between two clock reads; the tightest
// bracket of several bounds the pairing error by its width.
struct Pair {
  std::uint64_t tsc;
  std::uint64_t ns;
};

Pair tight_pair() noexcept {
  Pair best{0, 0};
  std::uint64_t best_width = U64_MAX;
  for (int i = 0; i < CALIBRATION_BRACKETS; ++i) {
    const std::uint64_t before = timespec_ns(CLOCK_MONOTONIC_RAW);
    const std::uint64_t tsc = read_counter();
    const std::uint64_t after = timespec_ns(CLOCK_MONOTONIC_RAW);
    if (after - before < best_width) {
      best_width = after - before;
      best = {tsc, before + (after - before) / 2};
    }
  }
  return best;
}

std::uint64_t calibrate_tsc_hz() noexcept {
  const Pair first = tight_pair();
  while (timespec_ns(CLOCK_MONOTONIC_RAW) - first.ns < CALIBRATION_NS) {
  }
  const Pair last = tight_pair();
  const std::uint64_t dns = last.ns - first.ns;
  if (dns == 0 || last.tsc <= first.tsc) return 0;
  return static_cast<std::uint64_t>(static_cast<u128>(last.tsc - first.tsc) * NS_PER_SECOND / dns);
}

CounterSource probe() noexcept {
  CounterSource s;
  if (!invariant_tsc() || !kernel_uses_tsc()) return s;
  if ((s.hz = cpuid_tsc_hz()) != 0) {
    s.origin = "cpuid";
  } else if ((s.hz = hypervisor_tsc_hz()) != 0) {
    s.origin = "hypervisor";
  } else if ((s.hz = calibrate_tsc_hz()) != 0) {
    s.origin = "calibrated";
  }
  s.usable = s.hz != 0;
  return s;
}

#elif defined(__aarch64__)

CounterSource probe() noexcept {
  CounterSource s;
  std::uint64_t hz;
  asm volatile("mrs %0, cntfrq_el0" : "=r"(hz));
  s.hz = hz;
  s.usable = hz != 0;
  s.origin = "cntfrq";
  return s;
}

#else

CounterSource probe() noexcept {
  return {};
}

#endif

}  // namespace

std::uint64_t read_monotonic_ns() noexcept {
  return timespec_ns(CLOCK_MONOTONIC);
}

const CounterSource& counter_source() noexcept {
  static const CounterSource source = probe();
  return source;
}

// Precision: counter mode converts with a 128-bit product and one truncating
// division, so the only error is the frequency's own: exact for the CPUID
// crystal ratio, within 0.5 ppm for the hypervisor's kHz figure, and about
// 25 ppm (the bracket width over 4 ms) for a calibrated frequency.
Clock Clock::starting_now() noexcept {
  const CounterSource& src = counter_source();
  if (src.usable) return counter(src.hz, read_counter());
  return nanos(read_monotonic_ns());
}

Clock Clock::counter(std::uint64_t hz, std::uint64_t start) noexcept {
  Clock c;
  c.mode = ClockMode::Counter;
  c.ratio_num = NS_PER_SECOND;
  c.ratio_den = hz == 0 ? 1 : hz;
  c.start = start;
  return c;
}

Clock Clock::calibrated(std::uint64_t scale, std::uint32_t shift, std::uint64_t start) noexcept {
  Clock c;
  c.mode = ClockMode::Calibrated;
  c.scale = scale;
  c.shift = shift % 128;
  c.start = start;
  return c;
}

Clock Clock::nanos(std::uint64_t start) noexcept {
  Clock c;
  c.mode = ClockMode::Nanos;
  c.start = start;
  return c;
}

std::uint64_t Clock::ns_from_ticks(std::uint64_t tick) const noexcept {
  if (tick <= start) return 0;
  const std::uint64_t d = tick - start;
  switch (mode) {
    case ClockMode::Counter:
      return static_cast<std::uint64_t>(static_cast<u128>(d) * ratio_num / ratio_den);
    case ClockMode::Calibrated:
      return static_cast<std::uint64_t>((static_cast<u128>(d) * scale) >> (shift % 128));
    case ClockMode::Nanos:
      break;
  }
  return d;
}

std::uint64_t Clock::ticks_from_ns(std::uint64_t ns) const noexcept {
  const auto add_sat = [](std::uint64_t a, std::uint64_t b) {
    return a > U64_MAX - b ? U64_MAX : a + b;
  };
  if (mode == ClockMode::Counter) {
    const auto q = static_cast<std::uint64_t>(static_cast<u128>(ns) * ratio_den / ratio_num);
    return add_sat(start, q);
  }
  // Smallest t >= start with ns_from_ticks(t) >= ns: bracket by doubling, then bisect.
  std::uint64_t lo = start;
  std::uint64_t hi = add_sat(start, 1);
  if (ns_from_ticks(hi) < ns) {
    std::uint64_t offset = 1;
    for (;;) {
      if (offset >= (std::uint64_t{1} << 63)) return U64_MAX;
      const std::uint64_t previous = offset;
      offset *= 2;
      hi = add_sat(start, offset);
      if (ns_from_ticks(hi) >= ns) {
        lo = add_sat(start, previous);
        break;
      }
    }
  }
  while (lo < hi) {
    const std::uint64_t mid = lo + (hi - lo) / 2;
    if (ns_from_ticks(mid) < ns) {
      lo = mid + 1;
    } else {
      hi = mid;
    }
  }
  return lo;
}

}  // namespace fennik
