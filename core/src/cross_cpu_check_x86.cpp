#include <pthread.h>
#include <sched.h>
#include <x86intrin.h>

#include <atomic>
#include <functional>
#include <optional>
#include <thread>

#include "clock.hpp"
#include "cross_cpu_check.hpp"
#include "thread_name.hpp"

#if !defined(__x86_64__) && !defined(__i386__)
#error "the cross-CPU check of the TSC is built for another processor"
#endif

namespace fennik {
namespace {

// Spins between two looks at the check's deadline.
constexpr std::uint32_t SPINS_PER_DEADLINE_LOOK = 256;
constexpr char CPU_CHECK_THREAD_NAME[] = "fennik-clock";

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

}  // namespace

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

}  // namespace fennik
