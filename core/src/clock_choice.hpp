// Which clock a session uses: the processor's constant-rate counter where it
// is known to be safe, else the monotonic platform clock, and why.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "cross_cpu_check.hpp"

namespace fennik {

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

}  // namespace fennik
