#include "cross_cpu_check.hpp"

#include <gtest/gtest.h>
#include <sched.h>

#include <fstream>
#include <string>

#include "clock.hpp"

namespace fennik {
namespace {

// The real check on this machine's CPUs. Where the kernel keeps the TSC it has
// found the counters in step itself, so the check must agree; it must catch an
// offset counter; CPUs that cannot be had and a spent budget fail (not hang);
// the caller's affinity is untouched.
TEST(CrossCpuCheck, OnThisMachine) {
  const std::vector<int> cpus = allowed_cpus();
  if (cpus.size() < 2) GTEST_SKIP() << "fewer than two CPUs to compare";
  cpu_set_t before, after;
  ASSERT_EQ(sched_getaffinity(0, sizeof before, &before), 0);

  std::ifstream f("/sys/devices/system/clocksource/clocksource0/current_clocksource");
  std::string clocksource;
  // The budget only bounds a check that cannot finish: it is generous for a
  // machine busy with other work, under a sanitizer.
  constexpr std::uint64_t BUDGET_NS = 30 * NS_PER_SECOND;
  if (std::getline(f, clocksource) && clocksource == "tsc") {
    EXPECT_EQ(check_counters_in_step(cpus, BUDGET_NS), CpuCheck::InStep);
  }
  // A counter about a millisecond behind or ahead of the first CPU's is caught.
  for (const std::int64_t skew : {-3'000'000, 3'000'000}) {
    EXPECT_EQ(check_counters_in_step(cpus, BUDGET_NS, skew), CpuCheck::OutOfStep);
  }
  EXPECT_EQ(check_counters_in_step(cpus, 0), CpuCheck::OutOfBudget);
  const int missing[] = {cpus[0], CPU_SETSIZE - 1};
  EXPECT_EQ(check_counters_in_step(missing, BUDGET_NS), CpuCheck::Failed);

  ASSERT_EQ(sched_getaffinity(0, sizeof after, &after), 0);
  EXPECT_TRUE(CPU_EQUAL(&before, &after));
}

}  // namespace
}  // namespace fennik
