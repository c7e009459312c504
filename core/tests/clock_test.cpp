#include "clock.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <random>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

#include "counter_probe.hpp"

namespace fennik {
namespace {

TEST(Clock, StartingNowTracksRealTime) {
  for (const ClockRequest request : {ClockRequest::Automatic, ClockRequest::Monotonic}) {
    const Clock c = Clock::starting_now(request);
    EXPECT_EQ(c.counter_mode(), session_clock(request).usable);
    const std::uint64_t t0 = c.now_ticks();
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    // A wrong frequency would be off by far more than scheduling noise; time
    // running backwards wraps to far too much.
    const std::uint64_t elapsed = c.ns_from_ticks(c.now_ticks()) - c.ns_from_ticks(t0);
    EXPECT_TRUE(elapsed >= 19'000'000u && elapsed < 2'000'000'000u) << elapsed;
  }
}

// Counter mode converts without dividing; it must still give the exact
// quotient, for frequencies below and above 1 GHz and ticks of any size.
TEST(Clock, CounterConversionIsTheExactQuotient) {
  __extension__ using u128 = unsigned __int128;
  std::mt19937_64 random(7);
  for (int i = 0; i < 100'000; ++i) {
    const std::uint64_t hz = 1'000'000 + random() % 6'000'000'000;
    const std::uint64_t d = random() >> (random() % 64);
    const u128 exact = static_cast<u128>(d) * NS_PER_SECOND / hz;
    if ((exact >> 64) != 0) continue;  // beyond what nanoseconds since the start can hold
    const Clock c = Clock::counter(hz, 5);
    ASSERT_EQ(c.ns_from_ticks(5 + d), static_cast<std::uint64_t>(exact))
        << "hz " << hz << " ticks " << d;
  }
}

// Nanoseconds to ticks over the whole u64 range, from starts near 0 and near
// the top, in both modes: never below the start, monotone, and the tick at
// which `ns` falls (ns_from_ticks brackets `ns` between it and the next),
// saturating at the largest tick once `ns` lies beyond it.
TEST(Clock, TicksFromNsIsMonotoneAndSaturates) {
  constexpr std::uint64_t TOP = ~std::uint64_t{0};
  std::mt19937_64 random(11);
  std::vector<std::uint64_t> ns_values = {0, 1, TOP - 1, TOP, 6'148'914'691'236'517'206};
  for (int i = 0; i < 2'000; ++i) ns_values.push_back(random() >> (random() % 64));
  std::sort(ns_values.begin(), ns_values.end());
  for (int c = 0; c < 40; ++c) {
    const std::uint64_t hz = c == 0 ? 3'000'000'000 : 1'000'000 + random() % 6'000'000'000;
    const std::uint64_t start = c % 2 ? TOP - (random() >> (random() % 64)) : random() >> 20;
    for (const Clock& clock : {Clock::counter(hz, start), Clock::nanos(start)}) {
      SCOPED_TRACE(testing::Message()
                   << "hz " << hz << " start " << start << " nanos " << !clock.counter_mode());
      std::uint64_t previous = start;
      for (const std::uint64_t ns : ns_values) {
        const std::uint64_t t = clock.ticks_from_ns(ns);
        ASSERT_GE(t, previous) << ns;
        previous = t;
        ASSERT_LE(clock.ns_from_ticks(t), ns) << ns;
        // The next tick's time would not fit in u64 nanoseconds.
        if (t == TOP || ns > TOP - NS_PER_SECOND) continue;
        ASSERT_GE(clock.ns_from_ticks(t + 1), ns) << ns;
      }
    }
  }
}

// Every input that fails makes the choice fall back to nanoseconds, the
// override wins over everything, and the kernel's own choice of the TSC needs
// no cross-CPU check.
TEST(Clock, ChoiceFallsBackWhenAnyConditionFails) {
  constexpr std::uint64_t HV = 2'100'000'000, CPUID = 2'000'000'000, CAL = 2'099'000'000;
  using R = ClockReason;
  const CpuCheck NR = CpuCheck::NotRun, IN = CpuCheck::InStep;
  const ClockRequest AUTO = ClockRequest::Automatic, MONO = ClockRequest::Monotonic;
  // Facts: invariant, kernel's clocksource is the TSC, TSC listed, kernel knows
  // the rate, hypervisor, CPUID rate, hypervisor rate, calibrated rate, check;
  // then the request, the reason and the rate (0: falls back).
  const std::tuple<ClockFacts, ClockRequest, ClockReason, std::uint64_t> cases[] = {
      {{1, 0, 1, 0, 1, 0, HV, 0, IN}, AUTO, R::CheckedTsc, HV},
      {{1, 0, 1, 0, 1, CPUID, HV, 0, IN}, AUTO, R::CheckedTsc, HV},
      {{1, 0, 1, 0, 1, CPUID, 0, 0, IN}, AUTO, R::CheckedTsc, CPUID},
      {{1, 0, 1, 1, 1, 0, 0, CAL, IN}, AUTO, R::CheckedTsc, CAL},
      {{1, 0, 1, 0, 1, 0, 0, CAL, IN}, AUTO, R::UnknownFrequency, 0},
      {{1, 0, 1, 0, 1, 0, HV, 0, IN}, MONO, R::Forced, 0},
      {{0, 0, 1, 0, 1, 0, HV, 0, IN}, AUTO, R::NotInvariant, 0},
      {{1, 0, 1, 0, 0, 0, HV, 0, IN}, AUTO, R::NotVirtual, 0},
      {{1, 0, 0, 0, 1, 0, HV, 0, IN}, AUTO, R::TscUnstable, 0},
      {{1, 0, 1, 0, 1, 0, HV, 0, CpuCheck::OutOfStep}, AUTO, R::OutOfStep, 0},
      {{1, 0, 1, 0, 1, 0, HV, 0, CpuCheck::OutOfBudget}, AUTO, R::OutOfBudget, 0},
      {{1, 0, 1, 0, 1, 0, HV, 0, CpuCheck::Failed}, AUTO, R::CheckFailed, 0},
      {{1, 0, 1, 0, 1, 0, HV, 0, NR}, AUTO, R::CheckFailed, 0},
      {{1, 1, 1, 0, 0, CPUID, HV, 0, NR}, AUTO, R::KernelTsc, CPUID},
      {{1, 1, 1, 0, 1, 0, HV, 0, CpuCheck::OutOfStep}, AUTO, R::KernelTsc, HV},
      {{1, 1, 1, 0, 0, 0, 0, CAL, NR}, AUTO, R::KernelTsc, CAL},
      {{1, 1, 1, 0, 0, 0, 0, 0, NR}, AUTO, R::UnknownFrequency, 0},
      {{0, 1, 1, 0, 0, CPUID, 0, 0, NR}, AUTO, R::NotInvariant, 0},
      {{1, 1, 1, 0, 0, CPUID, 0, 0, NR}, MONO, R::Forced, 0},
  };
  for (std::size_t i = 0; i < std::size(cases); ++i) {
    SCOPED_TRACE(i);
    const auto& [facts, request, reason, hz] = cases[i];
    const CounterSource s = choose_clock(facts, request);
    EXPECT_EQ(s.reason, reason);
    EXPECT_EQ(s.usable, hz != 0);
    EXPECT_EQ(s.hz, hz);
    EXPECT_EQ(
        describe_clock(s).rfind(s.usable ? std::string(COUNTER_NAME) + " " : "monotonic (", 0), 0u);
  }
  EXPECT_EQ(
      describe_clock(choose_clock(std::get<0>(cases[0]), AUTO)),
      std::string(COUNTER_NAME) +
          " 2.100 GHz (invariant, in step across the allowed CPUs; frequency from the hypervisor)");
  EXPECT_EQ(describe_clock(session_clock(MONO)), "monotonic (FENNIK_CLOCK=monotonic)");
  EXPECT_EQ(parse_clock_request(nullptr), AUTO);
  EXPECT_EQ(parse_clock_request("monotonic"), MONO);
  EXPECT_EQ(parse_clock_request("tsc"), std::nullopt);
}

}  // namespace
}  // namespace fennik
