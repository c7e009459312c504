#include "clock.hpp"

#include <gtest/gtest.h>
#include <sched.h>

#include <chrono>
#include <cstdint>
#include <cstring>
#include <fstream>
#include <string>
#include <thread>

namespace fennik {
namespace {

TEST(Clock, StartingNowTracksRealTime) {
  for (const ClockRequest request : {ClockRequest::Automatic, ClockRequest::Monotonic}) {
    const Clock c = Clock::starting_now(request);
    EXPECT_EQ(c.counter_mode(), session_clock(request).usable);
    const std::uint64_t t0 = c.now_ticks();
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    const std::uint64_t t1 = c.now_ticks();
    ASSERT_GT(t1, t0);
    // A wrong frequency would be off by far more than scheduling noise.
    const std::uint64_t elapsed = c.ns_from_ticks(t1) - c.ns_from_ticks(t0);
    EXPECT_GE(elapsed, 19'000'000u);
    EXPECT_LT(elapsed, 2'000'000'000u);
  }
}

// Every input that fails makes the choice fall back to nanoseconds, the
// override wins over everything, and the kernel's own choice of the TSC needs
// no cross-CPU check.
TEST(Clock, ChoiceFallsBackWhenAnyConditionFails) {
  constexpr std::uint64_t HV_HZ = 2'100'000'000, CPUID_HZ = 2'000'000'000, CAL_HZ = 2'099'000'000;
  // A virtual machine whose kernel chose another clocksource; every condition met.
  const ClockFacts vm{.invariant_tsc = true,
                      .tsc_available = true,
                      .hypervisor = true,
                      .hypervisor_hz = HV_HZ,
                      .cpus = CpuCheck::InStep};
  ClockFacts kernel = vm;
  kernel.kernel_tsc = true;
  kernel.hypervisor = false;
  kernel.cpus = CpuCheck::NotRun;
  struct Case {
    const char* name;
    ClockFacts facts;
    ClockRequest request;
    ClockReason reason;
    std::uint64_t hz;  // 0: falls back
  };
  const auto with = [](ClockFacts f, auto change) {
    change(f);
    return f;
  };
  const ClockRequest AUTO = ClockRequest::Automatic, MONO = ClockRequest::Monotonic;
  const Case cases[] = {
      {"vm", vm, AUTO, ClockReason::CheckedTsc, HV_HZ},
      {"vm cpuid", with(vm, [](auto& f) { f.hypervisor_hz = 0, f.cpuid_hz = CPUID_HZ; }), AUTO,
       ClockReason::CheckedTsc, CPUID_HZ},
      {"vm forced", vm, MONO, ClockReason::Forced, 0},
      {"kernel forced", kernel, MONO, ClockReason::Forced, 0},
      {"not invariant", with(vm, [](auto& f) { f.invariant_tsc = false; }), AUTO,
       ClockReason::NotInvariant, 0},
      {"kernel not invariant", with(kernel, [](auto& f) { f.invariant_tsc = false; }), AUTO,
       ClockReason::NotInvariant, 0},
      {"bare metal", with(vm, [](auto& f) { f.hypervisor = false; }), AUTO, ClockReason::NotVirtual,
       0},
      {"marked unstable", with(vm, [](auto& f) { f.tsc_available = false; }), AUTO,
       ClockReason::TscUnstable, 0},
      {"calibrated only", with(vm, [](auto& f) { f.hypervisor_hz = 0, f.calibrated_hz = CAL_HZ; }),
       AUTO, ClockReason::UnknownFrequency, 0},
      {"calibrated, known to the kernel",
       with(vm,
            [](auto& f) {
              f.hypervisor_hz = 0, f.calibrated_hz = CAL_HZ, f.kernel_knows_hz = true;
            }),
       AUTO, ClockReason::CheckedTsc, CAL_HZ},
      {"out of step", with(vm, [](auto& f) { f.cpus = CpuCheck::OutOfStep; }), AUTO,
       ClockReason::OutOfStep, 0},
      {"out of budget", with(vm, [](auto& f) { f.cpus = CpuCheck::OutOfBudget; }), AUTO,
       ClockReason::OutOfBudget, 0},
      {"check failed", with(vm, [](auto& f) { f.cpus = CpuCheck::Failed; }), AUTO,
       ClockReason::CheckFailed, 0},
      {"check not run", with(vm, [](auto& f) { f.cpus = CpuCheck::NotRun; }), AUTO,
       ClockReason::CheckFailed, 0},
      {"kernel", kernel, AUTO, ClockReason::KernelTsc, HV_HZ},
      {"kernel cpuid first", with(kernel, [](auto& f) { f.cpuid_hz = CPUID_HZ; }), AUTO,
       ClockReason::KernelTsc, CPUID_HZ},
      {"kernel calibrated",
       with(kernel, [](auto& f) { f.hypervisor_hz = 0, f.calibrated_hz = CAL_HZ; }), AUTO,
       ClockReason::KernelTsc, CAL_HZ},
      {"kernel no frequency", with(kernel, [](auto& f) { f.hypervisor_hz = 0; }), AUTO,
       ClockReason::UnknownFrequency, 0},
      {"kernel ignores check", with(kernel, [](auto& f) { f.cpus = CpuCheck::OutOfStep; }), AUTO,
       ClockReason::KernelTsc, HV_HZ},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const CounterSource s = choose_clock(c.facts, c.request);
    EXPECT_EQ(s.reason, c.reason);
    EXPECT_EQ(s.usable, c.hz != 0);
    EXPECT_EQ(s.hz, c.hz);
    EXPECT_EQ(describe_clock(s).rfind(s.usable ? "tsc " : "monotonic (", 0), 0u);
  }
  EXPECT_EQ(describe_clock(choose_clock(kernel, AUTO)),
            "tsc 2.100 GHz (the kernel's clocksource; frequency from hypervisor)");
  EXPECT_EQ(describe_clock(session_clock(MONO)), "monotonic (FENNIK_CLOCK=monotonic)");

  EXPECT_EQ(parse_clock_request(nullptr), AUTO);
  EXPECT_EQ(parse_clock_request(""), AUTO);
  EXPECT_EQ(parse_clock_request("auto"), AUTO);
  EXPECT_EQ(parse_clock_request("monotonic"), MONO);
  EXPECT_EQ(parse_clock_request("tsc"), std::nullopt);
  EXPECT_EQ(parse_clock_request("Monotonic"), std::nullopt);
}

bool kernel_clocksource_is_tsc() {
  std::ifstream f("/sys/devices/system/clocksource/clocksource0/current_clocksource");
  std::string name;
  return std::getline(f, name) && name == "tsc";
}

// The real check on this machine's CPUs. Where the kernel keeps the TSC it has
// found the counters in step itself, so the check must agree, and must catch an
// offset counter; CPUs that cannot be had and a spent budget fail promptly; the caller's affinity
// is untouched.
TEST(Clock, CrossCpuCheckOnThisMachine) {
  const std::vector<int> cpus = allowed_cpus();
#if !defined(__x86_64__) && !defined(__i386__)
  GTEST_SKIP() << "the check reads the x86 TSC";
#endif
  if (cpus.size() < 2) GTEST_SKIP() << "fewer than two CPUs to compare";
  cpu_set_t before, after;
  ASSERT_EQ(sched_getaffinity(0, sizeof before, &before), 0);

  const CpuCheck full = check_counters_in_step(cpus, NS_PER_SECOND);
  if (kernel_clocksource_is_tsc()) {
    EXPECT_EQ(full, CpuCheck::InStep);
  } else {
    EXPECT_NE(full, CpuCheck::NotRun);
  }
  // A counter about a millisecond behind or ahead of the first CPU's is caught.
  for (const std::int64_t skew : {-3'000'000, 3'000'000}) {
    EXPECT_EQ(check_counters_in_step(cpus, NS_PER_SECOND, skew), CpuCheck::OutOfStep);
  }
  EXPECT_EQ(check_counters_in_step(cpus, 0), CpuCheck::OutOfBudget);
  const int missing[] = {cpus[0], CPU_SETSIZE - 1};
  const auto t0 = std::chrono::steady_clock::now();
  EXPECT_EQ(check_counters_in_step(missing, NS_PER_SECOND), CpuCheck::Failed);
  EXPECT_LT(std::chrono::steady_clock::now() - t0, std::chrono::milliseconds(500));

  ASSERT_EQ(sched_getaffinity(0, sizeof after, &after), 0);
  EXPECT_TRUE(CPU_EQUAL(&before, &after));
}

}  // namespace
}  // namespace fennik
