// The x86 TSC: what CPUID and the kernel say about it, its frequency, and the
// cross-CPU check where the choice turns on it.
#include <cpuid.h>

#include <cstdio>
#include <cstring>
#include <limits>

#include "clock.hpp"
#include "counter_probe.hpp"

#if !defined(__x86_64__) && !defined(__i386__)
#error "the x86 counter probe is built for another processor"
#endif

namespace fennik {

const char COUNTER_NAME[] = "tsc";

namespace {

__extension__ using u128 = unsigned __int128;

constexpr char CURRENT_CLOCKSOURCE_PATH[] =
    "/sys/devices/system/clocksource/clocksource0/current_clocksource";
constexpr char AVAILABLE_CLOCKSOURCE_PATH[] =
    "/sys/devices/system/clocksource/clocksource0/available_clocksource";
constexpr char CPUINFO_PATH[] = "/proc/cpuinfo";
// Longer than a processor flags line.
constexpr std::size_t TEXT_LINE_MAX = 16384;
// One calibration per process, against the unslewed monotonic clock.
constexpr std::uint64_t CALIBRATION_NS = 4'000'000;
constexpr int CALIBRATION_BRACKETS = 16;
constexpr unsigned CPUID_TSC_LEAF = 0x15;
constexpr unsigned CPUID_EXTENDED_BASE_LEAF = 0x80000000;
constexpr unsigned CPUID_POWER_LEAF = 0x80000007;
constexpr unsigned CPUID_FEATURES_LEAF = 1;
constexpr unsigned CPUID_INVARIANT_TSC_BIT = 1u << 8;
constexpr unsigned CPUID_HYPERVISOR_BIT = 1u << 31;
constexpr unsigned HYPERVISOR_BASE_LEAF = 0x40000000;
constexpr unsigned HYPERVISOR_TSC_KHZ_LEAF = 0x40000010;
constexpr std::uint64_t HZ_PER_KHZ = 1000;

// Whether the first line of `path` that starts with `key` ("" for the very
// first line) lists `word` among its words.
bool lists_word(const char* path, const char* key, const char* word) noexcept {
  std::FILE* f = std::fopen(path, "re");
  if (f == nullptr) return false;
  char line[TEXT_LINE_MAX];
  bool found = false;
  while (std::fgets(line, sizeof line, f) != nullptr) {
    if (std::strncmp(line, key, std::strlen(key)) != 0) continue;
    const auto separator = [](char c) { return c == ' ' || c == '\t' || c == '\n' || c == ':'; };
    const std::size_t n = std::strlen(word);
    for (const char* p = line; *p != '\0' && !found;) {
      while (separator(*p)) ++p;
      const char* end = p;
      while (*end != '\0' && !separator(*end)) ++end;
      found = static_cast<std::size_t>(end - p) == n && std::strncmp(p, word, n) == 0;
      p = end;
    }
    break;
  }
  std::fclose(f);
  return found;
}

bool invariant_tsc() noexcept {
  unsigned a, b, c, d;
  if (__get_cpuid_max(CPUID_EXTENDED_BASE_LEAF, nullptr) < CPUID_POWER_LEAF) return false;
  __cpuid(CPUID_POWER_LEAF, a, b, c, d);
  return (d & CPUID_INVARIANT_TSC_BIT) != 0;
}

bool under_hypervisor() noexcept {
  unsigned a, b, c, d;
  __cpuid(CPUID_FEATURES_LEAF, a, b, c, d);
  return (c & CPUID_HYPERVISOR_BIT) != 0;
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
  if (!under_hypervisor()) return 0;
  __cpuid(HYPERVISOR_BASE_LEAF, a, b, c, d);
  if (a < HYPERVISOR_TSC_KHZ_LEAF) return 0;
  __cpuid(HYPERVISOR_TSC_KHZ_LEAF, a, b, c, d);
  return static_cast<std::uint64_t>(a) * HZ_PER_KHZ;
}

// A (tsc, ns) pair whose tsc read sits between two clock reads; the tightest
// bracket of several bounds the pairing error by its width.
struct Pair {
  std::uint64_t tsc;
  std::uint64_t ns;
};

Pair tight_pair() noexcept {
  Pair best{0, 0};
  std::uint64_t best_width = std::numeric_limits<std::uint64_t>::max();
  for (int i = 0; i < CALIBRATION_BRACKETS; ++i) {
    const std::uint64_t before = read_monotonic_raw_ns();
    const std::uint64_t tsc = read_counter();
    const std::uint64_t after = read_monotonic_raw_ns();
    if (after - before < best_width) {
      best_width = after - before;
      best = {tsc, before + (after - before) / 2};
    }
  }
  return best;
}

std::uint64_t calibrate_tsc_hz() noexcept {
  const Pair first = tight_pair();
  while (read_monotonic_raw_ns() - first.ns < CALIBRATION_NS) {
  }
  const Pair last = tight_pair();
  const std::uint64_t dns = last.ns - first.ns;
  if (dns == 0 || last.tsc <= first.tsc) return 0;
  return static_cast<std::uint64_t>(static_cast<u128>(last.tsc - first.tsc) * NS_PER_SECOND / dns);
}

ClockFacts probe_facts() noexcept {
  ClockFacts f;
  f.invariant_tsc = invariant_tsc();
  f.kernel_tsc = lists_word(CURRENT_CLOCKSOURCE_PATH, "", "tsc");
  f.tsc_available = lists_word(AVAILABLE_CLOCKSOURCE_PATH, "", "tsc");
  f.kernel_knows_hz = lists_word(CPUINFO_PATH, "flags", "tsc_known_freq");
  f.hypervisor = under_hypervisor();
  f.cpuid_hz = cpuid_tsc_hz();
  f.hypervisor_hz = hypervisor_tsc_hz();
  if (!f.invariant_tsc) return f;
  // The costly inputs only where the choice turns on them.
  const bool reported = f.cpuid_hz != 0 || f.hypervisor_hz != 0;
  const bool vm_path = !f.kernel_tsc && f.hypervisor && f.tsc_available;
  if (!reported && (f.kernel_tsc || (vm_path && f.kernel_knows_hz))) {
    f.calibrated_hz = calibrate_tsc_hz();
  }
  if (vm_path && (reported || f.calibrated_hz != 0)) {
    try {
      const std::vector<int> cpus = allowed_cpus();
      f.cpus = cpus.empty() ? CpuCheck::Failed : check_counters_in_step(cpus, CPU_CHECK_BUDGET_NS);
    } catch (...) {
      f.cpus = CpuCheck::Failed;
    }
  }
  return f;
}

}  // namespace

CounterSource probe_counter() noexcept {
  return choose_clock(probe_facts(), ClockRequest::Automatic);
}

}  // namespace fennik
