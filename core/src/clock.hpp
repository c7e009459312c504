// The session clock: raw ticks on the recording path, nanoseconds on the output side.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

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

// How a session asks for its clock (FENNIK_CLOCK).
enum class ClockRequest : std::uint8_t {
  Automatic,  // the counter where it is known to be safe, else the monotonic clock
  Monotonic,  // nanoseconds of the monotonic clock, whatever the counter offers
};

inline constexpr char CLOCK_ENV[] = "FENNIK_CLOCK";
inline constexpr char CLOCK_ENV_VALUES[] = "auto, monotonic";

// Unset or empty means Automatic; nullopt for a value that is not one of
// CLOCK_ENV_VALUES.
std::optional<ClockRequest> parse_clock_request(const char* text) noexcept;

// The outcome of handing counter readings back and forth across CPUs.
enum class CpuCheck : std::uint8_t {
  NotRun,
  InStep,       // every reading after a hand-off was >= the one before it
  OutOfStep,    // some reading went backwards across a hand-off
  OutOfBudget,  // the check did not finish within its time budget
  Failed,       // the CPUs or threads could not be had (affinity, spawn)
};

// What the processor and kernel say about the x86 TSC; the inputs of the
// choice, probed once per process.
struct ClockFacts {
  bool invariant_tsc = false;       // CPUID: constant rate through power states
  bool kernel_tsc = false;          // the kernel's current clocksource is the TSC
  bool tsc_available = false;       // the kernel still lists the TSC (not marked unstable)
  bool kernel_knows_hz = false;     // the kernel was told the TSC frequency (tsc_known_freq)
  bool hypervisor = false;          // CPUID: running in a virtual machine
  std::uint64_t cpuid_hz = 0;       // CPUID crystal ratio; 0 when not reported
  std::uint64_t hypervisor_hz = 0;  // hypervisor timing leaf; 0 when not reported
  std::uint64_t calibrated_hz = 0;  // measured against the monotonic clock; 0 when not
  CpuCheck cpus = CpuCheck::NotRun;
};

// Why a session's clock is what it is.
enum class ClockReason : std::uint8_t {
  KernelTsc,        // counter: the kernel keeps the TSC as its clocksource
  CheckedTsc,       // counter: invariant, known frequency, in step across the allowed CPUs
  CounterRegister,  // counter: the processor's architectural counter and its frequency register
  Forced,           // monotonic: FENNIK_CLOCK=monotonic
  NoCounter,        // monotonic: no usable constant-rate counter on this processor
  NotInvariant,     // monotonic: the TSC's rate may change with power states
  NotVirtual,       // monotonic: outside a virtual machine the kernel chose another clocksource
  TscUnstable,      // monotonic: the kernel marked the TSC unstable
  UnknownFrequency,
  OutOfStep,
  OutOfBudget,
  CheckFailed,
};

// The clock a session uses: counter mode when `usable`, else nanoseconds.
struct CounterSource {
  bool usable = false;      // counter mode is chosen
  std::uint64_t hz = 0;     // counter frequency, never 0 when usable
  const char* origin = "";  // where the frequency came from, for reports
  ClockReason reason = ClockReason::NoCounter;
};

// The choice, from its inputs alone. The kernel's own choice of the TSC needs
// nothing more; in a virtual machine whose kernel chose another clocksource the
// TSC is used only with a frequency the platform reports (or one calibrated
// where the kernel was told it) and a cross-CPU check that found the counters
// in step.
CounterSource choose_clock(const ClockFacts& facts, ClockRequest request) noexcept;

// The automatic choice for this process: probes once (thread-safe), running
// the cross-CPU check only where the choice depends on it, and caches it.
const CounterSource& counter_source() noexcept;

// What a session started now with `request` uses; probes only for Automatic.
CounterSource session_clock(ClockRequest request) noexcept;

// One line for users: "tsc 2.100 GHz (...)" or "monotonic (reason)".
std::string describe_clock(const CounterSource& source);

// Time allowed for the cross-CPU check, once per process.
inline constexpr std::uint64_t CPU_CHECK_BUDGET_NS = 20'000'000;
// Readings handed to and from each CPU other than the first.
inline constexpr std::uint32_t CPU_CHECK_HANDOFFS = 256;

// The CPUs the calling thread may run on; empty when they cannot be read.
std::vector<int> allowed_cpus();

// A thread pinned to cpus[0] and a second one pinned to each other CPU in
// turn hand a counter reading back and forth, each checking that its own
// reading is not below the one it was handed. The calling thread's affinity is
// untouched; both threads are joined before this returns, after at most
// `budget_ns` plus however long the scheduler keeps one of them from running.
// Fewer than two CPUs pass trivially. `skew_ticks` is added to
// every reading taken off cpus[0], as a counter running ahead or behind would be.
CpuCheck check_counters_in_step(std::span<const int> cpus, std::uint64_t budget_ns,
                                std::int64_t skew_ticks = 0) noexcept;

struct Clock {
  ClockMode mode = ClockMode::Nanos;
  std::uint64_t ratio_num = NS_PER_SECOND;
  std::uint64_t ratio_den = 1;
  // Counter mode's ratio as whole nanoseconds per tick plus a 64-bit binary
  // fraction, so that converting an event's tick needs no division.
  std::uint64_t whole_ns_per_tick = NS_PER_SECOND;
  std::uint64_t fraction_ns_per_tick = 0;
  std::uint64_t scale = 1;
  std::uint32_t shift = 0;
  std::uint64_t start = 0;

  // Counter mode when session_clock(request) is usable, otherwise nanosecond
  // mode on the monotonic clock; `start` is the current raw tick.
  static Clock starting_now(ClockRequest request = ClockRequest::Automatic) noexcept;

  static Clock counter(std::uint64_t hz, std::uint64_t start) noexcept;
  static Clock calibrated(std::uint64_t scale, std::uint32_t shift, std::uint64_t start) noexcept;
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
    switch (mode) {
      case ClockMode::Counter: {
        // The fraction is short of the ratio by less than 2^-64, so this is
        // the exact quotient or one less; one multiplication tells which.
        const auto q =
            static_cast<std::uint64_t>(static_cast<u128>(d) * whole_ns_per_tick +
                                       ((static_cast<u128>(d) * fraction_ns_per_tick) >> 64));
        const u128 exact = static_cast<u128>(d) * ratio_num;
        return static_cast<u128>(q + 1) * ratio_den <= exact ? q + 1 : q;
      }
      case ClockMode::Calibrated:
        return static_cast<std::uint64_t>((static_cast<u128>(d) * scale) >> (shift % 128));
      case ClockMode::Nanos:
        break;
    }
    return d;
  }

  // The raw tick `ns` nanoseconds after `start` (the smallest such tick in the
  // modes whose conversion is not linear in closed form).
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
