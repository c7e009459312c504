// Copies of running threads' partial batches are never torn. Also run under
// ThreadSanitizer, whose scheduling makes a copy meet its writer far oftener.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>
#include <vector>

#include "evqueue.hpp"

namespace fennik {
namespace {

// With `drain` false the rings stay full and producers refill their batches
// in place, the hardest case for a copy taken while its owner writes.
void run_tail_reads(bool drain) {
  auto q = EventQueue::create(Clock::nanos(0));
  std::atomic<bool> stop{false};
  // Stops and joins the producers however the checks below leave the scope.
  struct Producers {
    std::atomic<bool>& stop;
    std::vector<std::thread> threads;
    ~Producers() {
      stop.store(true);
      for (auto& t : threads) t.join();
    }
  } producers{stop, {}};
  for (std::uint32_t p = 0; p < 2; ++p) {
    producers.threads.emplace_back([&, p] {
      // Each event's code is its sequence number, its tick 1,000 past it.
      HOT.tid.store(p + 1);
      for (std::uint32_t n = 0; !stop.load(std::memory_order_relaxed); ++n) {
        record(*q, 1'000 + n, make_word(KIND_START, n & MAX_CODE_ID));
      }
    });
  }
  std::uint64_t copies = 0;
  std::vector<std::unique_ptr<EventBatch>> out;
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(300);
  while (std::chrono::steady_clock::now() < deadline) {
    // The tail reader is also the only consumer, as in the flight recorder.
    out.clear();
    if (drain) q->drain_batches(out, 64);
    for (const EventBatch& tail : q->read_tails()) {
      ASSERT_TRUE(tail.size() >= 1 && tail.size() <= BATCH_CAPACITY);
      ASSERT_TRUE(tail.tid == 1 || tail.tid == 2);
      for (std::uint32_t i = 0; i < tail.size(); ++i) {
        const PackedEvent e = tail.events()[i];
        ASSERT_EQ(e.delta(), i) << "torn copy";
        ASSERT_EQ((tail.base - 1'000 + i) & MAX_CODE_ID, e.code()) << "torn copy";
      }
      ++copies;
    }
  }
  EXPECT_GT(copies, 0u);
}

TEST(QueueStress, TailsOfRunningThreadsAreConsistentCopies) {
  run_tail_reads(true);
}

TEST(QueueStress, TailsOfBatchesRefilledInPlaceAreConsistentCopies) {
  run_tail_reads(false);
}

}  // namespace
}  // namespace fennik
