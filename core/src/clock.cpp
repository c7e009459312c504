#include "clock.hpp"

#include <time.h>

#include <atomic>
#include <cstdio>
#include <cstring>
#include <functional>
#include <limits>

#if defined(__x86_64__) || defined(__i386__)
#include <cpuid.h>
#include <pthread.h>
#include <sched.h>
#include <x86intrin.h>

#include <thread>

#include "thread_name.hpp"
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

CounterSource fallback(ClockReason reason) noexcept {
  CounterSource s;
  s.reason = reason;
  return s;
}

CounterSource use_counter(std::uint64_t hz, const char* origin, ClockReason reason) noexcept {
  return {true, hz, origin, reason};
}

#if defined(__x86_64__) || defined(__i386__)

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
constexpr unsigned CPUID_POWER_LEAF = 0x80000007;
constexpr unsigned CPUID_INVARIANT_TSC_BIT = 1u << 8;
constexpr unsigned CPUID_HYPERVISOR_BIT = 1u << 31;
constexpr unsigned HYPERVISOR_BASE_LEAF = 0x40000000;
constexpr unsigned HYPERVISOR_TSC_KHZ_LEAF = 0x40000010;
// Spins between two looks at the check's deadline.
constexpr std::uint32_t SPINS_PER_DEADLINE_LOOK = 256;
constexpr char CPU_CHECK_THREAD_NAME[] = "fennik-clock";

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
  if (__get_cpuid_max(0x80000000, nullptr) < CPUID_POWER_LEAF) return false;
  __cpuid(CPUID_POWER_LEAF, a, b, c, d);
  return (d & CPUID_INVARIANT_TSC_BIT) != 0;
}

bool under_hypervisor() noexcept {
  unsigned a, b, c, d;
  __cpuid(1, a, b, c, d);
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

// The hand-off between the two threads of the cross-CPU check. `turn` counts
// hand-offs: the anchor plays the even turns, the roamer the odd ones; the
// release store of `turn` publishes `last`.
struct Handoff {
  std::atomic<std::uint64_t> turn{0};
  std::atomic<std::uint64_t> last{0};
  std::atomic<bool> stop{false};
  std::atomic<CpuCheck> verdict{CpuCheck::InStep};
  std::uint64_t deadline = 0;
  std::uint64_t turns = 0;
  std::int64_t roamer_skew = 0;

  // The first failure is the verdict; it also stops the other thread.
  void fail(CpuCheck why) noexcept {
    CpuCheck expected = CpuCheck::InStep;
    verdict.compare_exchange_strong(expected, why, std::memory_order_acq_rel);
    stop.store(true, std::memory_order_release);
  }

  // Spins until turn `n`; false once the check is stopped or out of time.
  bool await(std::uint64_t n) noexcept {
    for (std::uint32_t spins = 1;; ++spins) {
      if (turn.load(std::memory_order_acquire) == n) return true;
      if (stop.load(std::memory_order_acquire)) return false;
      if (spins % SPINS_PER_DEADLINE_LOOK == 0 && read_monotonic_ns() > deadline) {
        fail(CpuCheck::OutOfBudget);
        return false;
      }
      _mm_pause();
    }
  }

  // Reads the counter once turn `n` has come: the fence keeps the read after
  // the load that saw the turn, so a reading below the one handed over means
  // this CPU's counter is behind the other's.
  bool play(std::uint64_t n, std::int64_t skew = 0) noexcept {
    if (!await(n)) return false;
    _mm_lfence();
    const std::uint64_t now = __rdtsc() + static_cast<std::uint64_t>(skew);
    if (now < last.load(std::memory_order_relaxed)) {
      fail(CpuCheck::OutOfStep);
      return false;
    }
    last.store(now, std::memory_order_relaxed);
    turn.store(n + 1, std::memory_order_release);
    return true;
  }
};

// Pins the calling thread (only) to `cpu` and waits until it runs there; on
// failure the check's verdict says why.
bool pin_self(int cpu, Handoff& h) noexcept {
  cpu_set_t set;
  CPU_ZERO(&set);
  if (cpu >= 0 && cpu < CPU_SETSIZE) CPU_SET(cpu, &set);
  if (CPU_COUNT(&set) == 0 || pthread_setaffinity_np(pthread_self(), sizeof set, &set) != 0) {
    h.fail(CpuCheck::Failed);
    return false;
  }
  // The deadline is looked at here too, so that it bounds the check even
  // where no hand-off ever waits long.
  for (;;) {
    if (read_monotonic_ns() > h.deadline) {
      h.fail(CpuCheck::OutOfBudget);
      return false;
    }
    if (sched_getcpu() == cpu) return true;
    sched_yield();
  }
}

void anchor(Handoff& h, int cpu) noexcept {
  name_current_thread(CPU_CHECK_THREAD_NAME);
  if (!pin_self(cpu, h)) return;
  for (std::uint64_t n = 0; n < h.turns; n += 2) {
    if (!h.play(n)) return;
  }
}

void roamer(Handoff& h, std::span<const int> others) noexcept {
  name_current_thread(CPU_CHECK_THREAD_NAME);
  std::uint64_t n = 1;
  for (const int cpu : others) {
    // Moving while the anchor waits for its turn: the next reading is taken on `cpu`.
    if (!pin_self(cpu, h)) return;
    for (std::uint32_t i = 0; i < CPU_CHECK_HANDOFFS; ++i, n += 2) {
      if (!h.play(n, h.roamer_skew)) return;
    }
  }
}

#endif

}  // namespace

std::uint64_t read_monotonic_ns() noexcept {
  return timespec_ns(CLOCK_MONOTONIC);
}

std::optional<ClockRequest> parse_clock_request(const char* text) noexcept {
  if (text == nullptr || *text == '\0' || std::strcmp(text, "auto") == 0) {
    return ClockRequest::Automatic;
  }
  if (std::strcmp(text, "monotonic") == 0) return ClockRequest::Monotonic;
  return std::nullopt;
}

CounterSource choose_clock(const ClockFacts& f, ClockRequest request) noexcept {
  if (request == ClockRequest::Monotonic) return fallback(ClockReason::Forced);
  if (!f.invariant_tsc) return fallback(ClockReason::NotInvariant);
  if (f.kernel_tsc) {
    CounterSource kernel = use_counter(f.cpuid_hz, "cpuid", ClockReason::KernelTsc);
    if (kernel.hz == 0) kernel = use_counter(f.hypervisor_hz, "hypervisor", ClockReason::KernelTsc);
    if (kernel.hz == 0) kernel = use_counter(f.calibrated_hz, "calibrated", ClockReason::KernelTsc);
    return kernel.hz != 0 ? kernel : fallback(ClockReason::UnknownFrequency);
  }
  // On bare metal a kernel that passed over the TSC found fault with it.
  if (!f.hypervisor) return fallback(ClockReason::NotVirtual);
  if (!f.tsc_available) return fallback(ClockReason::TscUnstable);
  // The hypervisor's figure first: it is the guest's rate where the host
  // scales it. A kernel that was told the rate has it measured.
  CounterSource vm = use_counter(f.hypervisor_hz, "hypervisor", ClockReason::CheckedTsc);
  if (vm.hz == 0) vm = use_counter(f.cpuid_hz, "cpuid", ClockReason::CheckedTsc);
  if (vm.hz == 0 && f.kernel_knows_hz) {
    vm = use_counter(f.calibrated_hz, "calibrated", ClockReason::CheckedTsc);
  }
  if (vm.hz == 0) return fallback(ClockReason::UnknownFrequency);
  switch (f.cpus) {
    case CpuCheck::InStep:
      return vm;
    case CpuCheck::OutOfStep:
      return fallback(ClockReason::OutOfStep);
    case CpuCheck::OutOfBudget:
      return fallback(ClockReason::OutOfBudget);
    case CpuCheck::NotRun:
    case CpuCheck::Failed:
      break;
  }
  return fallback(ClockReason::CheckFailed);
}

#if defined(__x86_64__) || defined(__i386__)

std::vector<int> allowed_cpus() {
  std::vector<int> cpus;
  cpu_set_t set;
  CPU_ZERO(&set);
  if (sched_getaffinity(0, sizeof set, &set) != 0) return cpus;
  for (int cpu = 0; cpu < CPU_SETSIZE; ++cpu) {
    if (CPU_ISSET(cpu, &set)) cpus.push_back(cpu);
  }
  return cpus;
}

CpuCheck check_counters_in_step(std::span<const int> cpus, std::uint64_t budget_ns,
                                std::int64_t skew_ticks) noexcept {
  if (cpus.size() < 2) return CpuCheck::InStep;
  Handoff h;
  h.roamer_skew = skew_ticks;
  const std::uint64_t now = read_monotonic_ns();
  h.deadline = budget_ns > U64_MAX - now ? U64_MAX : now + budget_ns;
  h.turns = 2 * std::uint64_t{CPU_CHECK_HANDOFFS} * (cpus.size() - 1);
  {
    // Declared after `h`, so joined (on scope exit) before it goes.
    std::optional<std::jthread> players[2];
    try {
      players[0].emplace(anchor, std::ref(h), cpus[0]);
      players[1].emplace(roamer, std::ref(h), cpus.subspan(1));
    } catch (...) {
      h.fail(CpuCheck::Failed);
    }
  }
  return h.verdict.load(std::memory_order_acquire);
}

namespace {

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

CounterSource probe() noexcept {
  return choose_clock(probe_facts(), ClockRequest::Automatic);
}

}  // namespace

#else

std::vector<int> allowed_cpus() {
  return {};
}

CpuCheck check_counters_in_step(std::span<const int> cpus, std::uint64_t, std::int64_t) noexcept {
  return cpus.size() < 2 ? CpuCheck::InStep : CpuCheck::Failed;
}

namespace {

#if defined(__aarch64__)

CounterSource probe() noexcept {
  std::uint64_t hz;
  asm volatile("mrs %0, cntfrq_el0" : "=r"(hz));
  if (hz == 0) return fallback(ClockReason::NoCounter);
  return use_counter(hz, "cntfrq", ClockReason::CounterRegister);
}

#else

CounterSource probe() noexcept {
  return fallback(ClockReason::NoCounter);
}

#endif

}  // namespace

#endif

const CounterSource& counter_source() noexcept {
  static const CounterSource source = probe();
  return source;
}

CounterSource session_clock(ClockRequest request) noexcept {
  if (request == ClockRequest::Monotonic) return choose_clock({}, request);
  return counter_source();
}

namespace {

const char* reason_text(ClockReason reason) noexcept {
  switch (reason) {
    case ClockReason::KernelTsc:
      return "the kernel's clocksource";
    case ClockReason::CheckedTsc:
      return "invariant, in step across the allowed CPUs";
    case ClockReason::CounterRegister:
      return "the processor's counter";
    case ClockReason::Forced:
      return "FENNIK_CLOCK=monotonic";
    case ClockReason::NoCounter:
      return "no constant-rate counter";
    case ClockReason::NotInvariant:
      return "the TSC is not invariant";
    case ClockReason::NotVirtual:
      return "the kernel chose another clocksource over the TSC";
    case ClockReason::TscUnstable:
      return "the kernel marked the TSC unstable";
    case ClockReason::UnknownFrequency:
      return "the TSC frequency is not known";
    case ClockReason::OutOfStep:
      return "the TSC is out of step across CPUs";
    case ClockReason::OutOfBudget:
      return "the cross-CPU check ran out of time";
    case ClockReason::CheckFailed:
      return "the cross-CPU check could not run";
  }
  return "unknown";
}

}  // namespace

std::string describe_clock(const CounterSource& source) {
  if (!source.usable) return std::string("monotonic (") + reason_text(source.reason) + ")";
  const bool giga = source.hz >= NS_PER_SECOND;
  char rate[32];
  std::snprintf(rate, sizeof rate, "%.3f %s", static_cast<double>(source.hz) / (giga ? 1e9 : 1e6),
                giga ? "GHz" : "MHz");
#if defined(__x86_64__) || defined(__i386__)
  const char* name = "tsc";
#else
  const char* name = "counter";
#endif
  const std::string origin = source.origin;
  const std::string frequency = origin == "calibrated"   ? "calibrated"
                                : origin == "hypervisor" ? "from the hypervisor"
                                                         : "from " + origin;
  return std::string(name) + " " + rate + " (" + reason_text(source.reason) + "; frequency " +
         frequency + ")";
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
