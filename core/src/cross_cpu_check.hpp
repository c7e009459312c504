// Whether the x86 TSCs of the CPUs a process may run on are in step: the
// check that decides for the TSC in a virtual machine whose kernel chose
// another clocksource. Built for x86 processors only.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

namespace fennik {

// The outcome of handing counter readings back and forth across CPUs.
enum class CpuCheck : std::uint8_t {
  NotRun,
  InStep,       // every reading after a hand-off was >= the one before it
  OutOfStep,    // some reading went backwards across a hand-off
  OutOfBudget,  // the check did not finish within its time budget
  Failed,       // the CPUs or threads could not be had (affinity, spawn)
};

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

}  // namespace fennik
