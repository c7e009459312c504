#include "clock_choice.hpp"

#include <cstdio>
#include <cstring>

#include "counter_probe.hpp"

namespace fennik {
namespace {

// Gigahertz and above are shown in GHz, below in MHz.
constexpr double GIGA = 1e9;
constexpr double MEGA = 1e6;

CounterSource fallback(ClockReason reason) noexcept {
  CounterSource s;
  s.reason = reason;
  return s;
}

CounterSource use_counter(std::uint64_t hz, const char* origin, ClockReason reason) noexcept {
  return {true, hz, origin, reason};
}

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

const CounterSource& counter_source() noexcept {
  static const CounterSource source = probe_counter();
  return source;
}

CounterSource session_clock(ClockRequest request) noexcept {
  if (request == ClockRequest::Monotonic) return choose_clock({}, request);
  return counter_source();
}

std::string describe_clock(const CounterSource& source) {
  if (!source.usable) return std::string("monotonic (") + reason_text(source.reason) + ")";
  const bool giga = static_cast<double>(source.hz) >= GIGA;
  char rate[32];
  std::snprintf(rate, sizeof rate, "%.3f %s", static_cast<double>(source.hz) / (giga ? GIGA : MEGA),
                giga ? "GHz" : "MHz");
  const std::string origin = source.origin;
  const std::string frequency = origin == "calibrated"   ? "calibrated"
                                : origin == "hypervisor" ? "from the hypervisor"
                                                         : "from " + origin;
  return std::string(COUNTER_NAME) + " " + rate + " (" + reason_text(source.reason) +
         "; frequency " + frequency + ")";
}

}  // namespace fennik
