// Tail reads while threads record, start, switch queues and exit, and while
// another thread drains: every copy is consistent and no read touches freed
// memory. Run under both ThreadSanitizer and AddressSanitizer.
#include <gtest/gtest.h>

#include <array>
#include <atomic>
#include <chrono>
#include <thread>
#include <utility>
#include <vector>

#include "evqueue.hpp"

namespace fennik {
namespace {

// With `drain` false there is no budget, so producers refill their batches
// in place, the hardest case for a copy taken while its owner writes; with
// it, drained batches come back to their threads to be refilled. Threads
// also start, switch queues and exit throughout, each of which frees a batch
// that the tail reader may have been looking at.
TEST(QueueStress, TailsOfRunningStartingAndExitingThreadsAreConsistentCopies) {
  for (const bool drain : {true, false}) {
    const std::uint64_t budget = drain ? DEFAULT_BUFFER_BYTES : 0;
    auto a = EventQueue::create(Clock::nanos(0), budget);
    auto b = EventQueue::create(Clock::nanos(0), budget);
    // Stopped and joined however the checks below leave the scope.
    std::vector<std::jthread> threads;
    // Ticks and codes both advance by one per event, so a consistent copy has
    // consecutive codes and deltas 0, 1, 2, ...
    auto record_run = [](EventQueue& q, std::uint32_t& n, std::uint32_t count) {
      for (std::uint32_t i = 0; i < count; ++i, ++n)
        record(q, 1'000 + n, make_word(KIND_START, n & MAX_CODE_ID));
    };
    for (std::uint32_t p = 0; p < 2; ++p) {
      threads.emplace_back([&, p](std::stop_token stop) {
        HOT.tid.store(p + 1);
        std::uint32_t n = 0;
        while (!stop.stop_requested()) record_run(*a, n, 1);
      });
    }
    threads.emplace_back([&](std::stop_token stop) {
      std::uint32_t round = 0;
      while (!stop.stop_requested()) {
        std::thread([&, round] {
          HOT.tid.store(3 + round % 2);
          std::uint32_t n = 0;
          for (std::uint32_t sw = 0; sw < 4; ++sw) record_run(sw % 2 ? *b : *a, n, 700 + 300 * sw);
        }).join();
        ++round;
      }
    });
    if (drain) {
      threads.emplace_back([&](std::stop_token stop) {
        std::vector<Drained> out;
        std::vector<OwnedBatch> spent;
        while (!stop.stop_requested()) {
          for (EventQueue* q : {a.get(), b.get()}) {
            out.clear();
            q->drain_batches(out, 64);
            // Given back to be refilled while tails of them may be read.
            for (Drained& d : out) spent.push_back(std::move(d.batch));
            q->recycle(spent);
          }
        }
      });
    }
    std::uint64_t copies = 0;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(400);
    while (std::chrono::steady_clock::now() < deadline) {
      for (EventQueue* q : {a.get(), b.get()}) {
        for (const EventBatch& tail : q->read_tails()) {
          ASSERT_TRUE(tail.size() >= 1 && tail.size() <= BATCH_CAPACITY && tail.tid >= 1 &&
                      tail.tid <= 4);
          const std::uint32_t first = tail.events()[0].code();
          for (std::uint32_t i = 0; i < tail.size(); ++i) {
            const PackedEvent e = tail.events()[i];
            ASSERT_EQ(std::pair(e.code(), e.delta()), std::pair((first + i) & MAX_CODE_ID, i))
                << "torn copy";
          }
          ++copies;
        }
      }
    }
    EXPECT_GT(copies, 0u);
  }
}

// The queue closes while threads record through the guarded step: at their
// first event, mid-batch or as a batch fills. No batch is taken over while its
// thread writes it: each thread's events are a drained prefix 0, 1, 2, ...
// and the rest are counted as dropped.
TEST(QueueStress, ClosingWhileThreadsRecordLosesNoEventUncounted) {
  constexpr std::uint32_t THREADS = 3;
  // The event whose step has begun when the queue closes.
  constexpr std::array<std::uint32_t, 6> AT{
      1, 2, 500, BATCH_CAPACITY, BATCH_CAPACITY + 1, 2 * BATCH_CAPACITY + 1};
  for (std::uint32_t round = 0; round < 4 * AT.size(); ++round) {
    const std::uint32_t at = AT[round % AT.size()];
    auto q = EventQueue::create(Clock::nanos(0));
    std::atomic<bool> stop{false};
    std::array<std::atomic<std::uint32_t>, THREADS> begun{};
    std::array<std::uint32_t, THREADS> calls{};
    std::vector<std::jthread> threads;
    for (std::uint32_t p = 0; p < THREADS; ++p) {
      threads.emplace_back([&, p] {
        HOT.tid.store(p + 1);
        for (std::uint32_t& n = calls[p]; !stop.load(std::memory_order_relaxed); ++n) {
          begun[p].store(n + 1, std::memory_order_release);
          record_guarded(*q, 1'000 + n, make_word(KIND_START, n));
        }
      });
    }
    for (const auto& b : begun) {
      while (b.load(std::memory_order_acquire) < at) std::this_thread::yield();
    }
    q->close();
    stop = true;
    threads.clear();
    std::vector<Drained> items;
    while (q->drain_batches(items, 1'000) != 0) continue;
    std::array<std::uint32_t, THREADS> drained{};
    for (const Drained& d : items) {
      for (std::uint32_t i = 0; d.batch && i < d.batch->size(); ++i)
        ASSERT_EQ(d.batch->events()[i].code(), drained.at(d.batch->tid - 1)++);
    }
    std::uint64_t undrained = 0;
    for (std::uint32_t p = 0; p < THREADS; ++p) {
      EXPECT_GE(drained[p] + 1, at);
      undrained += calls[p] - drained[p];
    }
    EXPECT_EQ(q->dropped.load(), undrained) << "closed at event " << at;
  }
}

}  // namespace
}  // namespace fennik
