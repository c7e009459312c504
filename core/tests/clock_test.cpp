#include "clock.hpp"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <thread>

namespace fennik {
namespace {

TEST(Clock, StartingNowTracksRealTime) {
  const Clock c = Clock::starting_now();
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
