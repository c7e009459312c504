// Several producers, one consumer: every event is delivered exactly once and
// in its thread's order, or counted as dropped. Also run under ThreadSanitizer.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <map>
#include <thread>
#include <vector>
#include "count_down.hpp"

#include "evqueue.hpp"

namespace fennik {
namespace {

constexpr std::uint32_t PRODUCERS = 4;
#if defined(__SANITIZE_THREAD__)
constexpr std::uint32_t EVENTS_PER_PRODUCER = 150'000;
#else
constexpr std::uint32_t EVENTS_PER_PRODUCER = 1'000'000;
#endif
static_assert(EVENTS_PER_PRODUCER <= MAX_CODE_ID);

// Producer p records events whose code is their sequence number on that
// thread, under tid p + 1; ticks advance with the sequence number.
void produce(EventQueue& q, std::uint32_t p, std::uint32_t count) {
  HOT.tid.store(p + 1);
  for (std::uint32_t n = 0; n < count; ++n) record(q, 1'000 + n, make_word(KIND_START, n));
}

struct PerThread {
  std::int64_t last = -1;
  std::uint64_t delivered = 0;
};

// Checks one batch against what was delivered before it on its thread.
void accept(std::map<std::uint32_t, PerThread>& seen, const EventBatch& b) {
  ASSERT_GE(b.tid, 1u);
  ASSERT_LE(b.tid, PRODUCERS);
  PerThread& t = seen[b.tid];
  for (const PackedEvent& e : b.events()) {
    const auto n = static_cast<std::int64_t>(e.code());
    ASSERT_GT(n, t.last) << "duplicate or reordered event on tid " << b.tid;
    ASSERT_EQ(b.base + e.delta(), 1'000u + e.code()) << "tick does not match its event";
    t.last = n;
    ++t.delivered;
  }
}

void run_stress(bool slow_consumer) {
  auto q = EventQueue::create(Clock::nanos(0));
  testing::CountDown recorded(PRODUCERS);
  testing::CountDown release(1);
  std::vector<std::thread> producers;
  for (std::uint32_t p = 0; p < PRODUCERS; ++p) {
    producers.emplace_back([&, p] {
      produce(*q, p, EVENTS_PER_PRODUCER);
      recorded.count_down();
      release.wait();  // stay alive and idle while the session ends
    });
  }

  std::map<std::uint32_t, PerThread> seen;
  std::atomic<bool> producers_done{false};
  std::thread consumer([&] {
    // A stalled consumer: every ring fills up and the rest must be counted.
    if (slow_consumer) recorded.wait();
    std::vector<Drained> out;
    for (;;) {
      const bool done = producers_done.load(std::memory_order_acquire);
      out.clear();
      q->drain_batches(out, 16);
      for (const auto& d : out) accept(seen, *d.batch);
      if (done && out.empty()) break;
    }
  });

  recorded.wait();
  q->close();
  producers_done.store(true, std::memory_order_release);
  consumer.join();
  release.count_down();
  for (auto& t : producers) t.join();

  std::uint64_t delivered = 0;
  for (const auto& [tid, t] : seen) delivered += t.delivered;
  EXPECT_EQ(delivered + q->dropped.load(), std::uint64_t{PRODUCERS} * EVENTS_PER_PRODUCER);
  if (!slow_consumer) {
    EXPECT_EQ(seen.size(), PRODUCERS);
  } else {
    EXPECT_GT(q->dropped.load(), 0u) << "a stalled consumer must have let rings fill";
  }
}

TEST(QueueStress, EveryEventDeliveredOnceInOrderOrCounted) {
  run_stress(false);
}

TEST(QueueStress, SlowConsumerDropsWholeBatchesAndCountsThem) {
  run_stress(true);
}

// With `drain` false the rings stay full and producers refill their batches
// in place, the hardest case for a copy taken while its owner writes. Threads
// also start, switch queues and exit throughout, each of which frees a batch
// that the tail reader may have been looking at.
void run_tail_reads(bool drain) {
  auto a = EventQueue::create(Clock::nanos(0));
  auto b = EventQueue::create(Clock::nanos(0));
  std::atomic<bool> stop{false};
  // Stops and joins the threads however the checks below leave the scope.
  struct Threads {
    std::atomic<bool>& stop;
    std::vector<std::thread> threads;
    ~Threads() {
      stop.store(true);
      for (auto& t : threads) t.join();
    }
  } threads{stop, {}};
  // Ticks and codes both advance by one per event, so a consistent copy has
  // consecutive codes and deltas 0, 1, 2, ...
  auto record_run = [](EventQueue& q, std::uint32_t& n, std::uint32_t count) {
    for (std::uint32_t i = 0; i < count; ++i, ++n)
      record(q, 1'000 + n, make_word(KIND_START, n & MAX_CODE_ID));
  };
  for (std::uint32_t p = 0; p < 2; ++p) {
    threads.threads.emplace_back([&, p] {
      HOT.tid.store(p + 1);
      std::uint32_t n = 0;
      while (!stop.load(std::memory_order_relaxed)) record_run(*a, n, 1);
    });
  }
  threads.threads.emplace_back([&] {
    std::uint32_t round = 0;
    while (!stop.load(std::memory_order_relaxed)) {
      std::thread([&, round] {
        HOT.tid.store(3 + round % 2);
        std::uint32_t n = 0;
        for (std::uint32_t sw = 0; sw < 4; ++sw) record_run(sw % 2 ? *b : *a, n, 700 + 300 * sw);
      }).join();
      ++round;
    }
  });
  if (drain) {
    threads.threads.emplace_back([&] {
      std::vector<Drained> out;
      while (!stop.load(std::memory_order_relaxed)) {
        out.clear();
        a->drain_batches(out, 64);
        b->drain_batches(out, 64);
      }
    });
  }
  std::uint64_t copies = 0;
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(400);
  while (std::chrono::steady_clock::now() < deadline) {
    for (EventQueue* q : {a.get(), b.get()}) {
      for (const EventBatch& tail : q->read_tails()) {
        ASSERT_GE(tail.size(), 1u);
        ASSERT_LE(tail.size(), BATCH_CAPACITY);
        ASSERT_TRUE(tail.tid >= 1 && tail.tid <= 4);
        const PackedEvent first = tail.events()[0];
        for (std::uint32_t i = 0; i < tail.size(); ++i) {
          const PackedEvent e = tail.events()[i];
          ASSERT_EQ(e.code(), (first.code() + i) & MAX_CODE_ID) << "torn copy";
          ASSERT_EQ(e.delta(), i) << "torn copy";
        }
        ++copies;
      }
    }
  }
  EXPECT_GT(copies, 0u);
}

TEST(QueueStress, TailsOfRunningStartingAndExitingThreadsAreConsistentCopies) {
  run_tail_reads(true);
}

TEST(QueueStress, TailsOfBatchesRefilledInPlaceAreConsistentCopies) {
  run_tail_reads(false);
}

}  // namespace
}  // namespace fennik
