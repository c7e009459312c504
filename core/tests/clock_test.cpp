#include "clock.hpp"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <limits>
#include <thread>

namespace fennik {
namespace {

constexpr std::uint64_t MAX = std::numeric_limits<std::uint64_t>::max();

// ticks_from_ns must give the smallest tick whose conversion reaches ns.
void expect_minimal_inverse(const Clock& c, std::uint64_t ns) {
  const std::uint64_t t = c.ticks_from_ns(ns);
  ASSERT_GE(t, c.start);
  if (t != MAX) {
    EXPECT_GE(c.ns_from_ticks(t), ns) << "ns=" << ns;
  }
  if (t > c.start) {
    EXPECT_LT(c.ns_from_ticks(t - 1), ns) << "ns=" << ns;
  }
}

TEST(ClockCounterMode, ConvertsWithTheFrequency) {
  const Clock c = Clock::counter(24'000'000, 1'000);
  EXPECT_EQ(c.ns_from_ticks(1'000 + 24'000'000), 1'000'000'000u);
  EXPECT_EQ(c.ticks_from_ns(1'000'000'000), 1'000u + 24'000'000u);
  EXPECT_EQ(c.ns_from_ticks(1'001), 41u);  // 1e9 / 24e6 = 41.67, truncated
  EXPECT_EQ(c.ticks_from_ns(0), c.start);
}

TEST(ClockCounterMode, WideProductsDoNotOverflow) {
  // d * 1e9 overflows 64 bits for d above ~1.8e10; the 128-bit product must not.
  const Clock c = Clock::counter(3'000'000'000, 0);
  const std::uint64_t day_ticks = 3'000'000'000ull * 86'400;
  EXPECT_EQ(c.ns_from_ticks(day_ticks), 86'400ull * 1'000'000'000);
  EXPECT_EQ(c.ticks_from_ns(86'400ull * 1'000'000'000), day_ticks);
}

TEST(ClockCounterMode, TicksFromNsSaturates) {
  const Clock c = Clock::counter(1'000'000'000'000, MAX - 10);  // 1 THz, start near the top
  EXPECT_EQ(c.ticks_from_ns(1'000'000), MAX);
}

TEST(ClockAllModes, TicksAtOrBeforeStartDecodeToZero) {
  for (const Clock& c :
       {Clock::counter(24'000'000, 500), Clock::calibrated(3, 1, 500), Clock::nanos(500)}) {
    EXPECT_EQ(c.ns_from_ticks(0), 0u);
    EXPECT_EQ(c.ns_from_ticks(499), 0u);
    EXPECT_EQ(c.ns_from_ticks(500), 0u);
    EXPECT_EQ(c.ticks_from_ns(0), 500u);
  }
}

TEST(ClockNanosMode, IsTheIdentityAfterStart) {
  const Clock c = Clock::nanos(100);
  EXPECT_EQ(c.ns_from_ticks(1'100), 1'000u);
  EXPECT_EQ(c.ticks_from_ns(1'000), 1'100u);
  EXPECT_EQ(c.ticks_from_ns(MAX), MAX);  // start + MAX saturates
}

TEST(ClockCalibratedMode, MultipliesThenShifts) {
  // scale 3, shift 1: 1.5 ns per tick.
  const Clock c = Clock::calibrated(3, 1, 10);
  EXPECT_EQ(c.ns_from_ticks(11), 1u);
  EXPECT_EQ(c.ns_from_ticks(12), 3u);
  EXPECT_EQ(c.ns_from_ticks(10 + 1'000), 1'500u);
  // A shift is taken modulo 128.
  EXPECT_EQ(Clock::calibrated(4, 129, 0).ns_from_ticks(10), 20u);
  // The 128-bit product keeps bits a 64-bit one would lose.
  EXPECT_EQ(Clock::calibrated(1ull << 40, 40, 0).ns_from_ticks(1ull << 60), 1ull << 60);
}

TEST(ClockCalibratedMode, TicksFromNsIsTheSmallestTickReachingNs) {
  for (const Clock& c : {Clock::calibrated(3, 1, 10), Clock::calibrated(1, 4, 7),
                         Clock::calibrated(0x1'0000'0001ull, 32, 1'000)}) {
    for (std::uint64_t ns : {0ull, 1ull, 2ull, 3ull, 17ull, 1'000ull, 123'456'789ull, 1ull << 40}) {
      expect_minimal_inverse(c, ns);
    }
  }
}

TEST(ClockCalibratedMode, UnreachableNsSaturates) {
  // 1/16 ns per tick starting near the top: most nanosecond values lie past the last tick.
  const Clock c = Clock::calibrated(1, 4, MAX - 100);
  EXPECT_EQ(c.ticks_from_ns(1'000'000), MAX);
  // A clock that never advances cannot reach anything but 0.
  const Clock stuck = Clock::calibrated(0, 0, 5);
  EXPECT_EQ(stuck.ticks_from_ns(1), MAX);
  EXPECT_EQ(stuck.ticks_from_ns(0), 5u);
}

TEST(ClockStartingNow, TracksRealTime) {
  const Clock c = Clock::starting_now();
  EXPECT_EQ(c.counter_mode(), counter_source().usable);
  if (c.counter_mode()) {
    EXPECT_EQ(c.ratio_den, counter_source().hz);
  }
  const std::uint64_t t0 = c.now_ticks();
  std::this_thread::sleep_for(std::chrono::milliseconds(20));
  const std::uint64_t t1 = c.now_ticks();
  ASSERT_GT(t1, t0);
  // A wrong frequency would be off by far more than scheduling noise.
  const std::uint64_t elapsed = c.ns_from_ticks(t1) - c.ns_from_ticks(t0);
  EXPECT_GE(elapsed, 19'000'000u);
  EXPECT_LT(elapsed, 2'000'000'000u);
}

}  // namespace
}  // namespace fennik
