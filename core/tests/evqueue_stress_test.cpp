// Several producers, one consumer: every event is delivered exactly once and
// in its thread's order, or counted as dropped; copies of running threads'
// partial batches are never torn. Also run under ThreadSanitizer.
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

// Producer p records under tid p + 1 events whose code is their sequence
// number on that thread and whose tick is 1,000 past it.
void produce(EventQueue& q, std::uint32_t p, std::uint32_t count) {
  HOT.tid.store(p + 1);
  for (std::uint32_t n = 0; n < count; ++n) record(q, 1'000 + n, make_word(KIND_START, n));
}

void run_stress(bool slow_consumer) {
  auto q = EventQueue::create(Clock::nanos(0));
  testing::CountDown recorded(PRODUCERS), release(1);
  std::vector<std::thread> producers;
  for (std::uint32_t p = 0; p < PRODUCERS; ++p) {
    producers.emplace_back([&, p] {
      produce(*q, p, EVENTS_PER_PRODUCER);
      recorded.count_down();
      release.wait();  // stay alive and idle while the session ends
    });
  }
  std::map<std::uint32_t, std::int64_t> last;  // per tid
  std::uint64_t delivered = 0;
  std::atomic<bool> producers_done{false};
  std::thread consumer([&] {
    // A stalled consumer: every ring fills up and the rest must be counted.
    if (slow_consumer) recorded.wait();
    std::vector<std::unique_ptr<EventBatch>> out;
    for (bool done = false; !done || !out.empty();) {
      done = producers_done.load(std::memory_order_acquire);
      out.clear();
      q->drain_batches(out, 16);
      for (const auto& b : out) {
        ASSERT_TRUE(b->tid >= 1 && b->tid <= PRODUCERS);
        ASSERT_LE(b->size(), BATCH_CAPACITY);
        auto [it, fresh] = last.try_emplace(b->tid, -1);
        for (const PackedEvent& e : b->events()) {
          ASSERT_GT(static_cast<std::int64_t>(e.code()), it->second) << "duplicate or reordered";
          ASSERT_EQ(b->base + e.delta(), 1'000u + e.code()) << "tick does not match its event";
          it->second = e.code();
          ++delivered;
        }
      }
    }
  });
  recorded.wait();
  q->dropped.fetch_add(flush_every_thread());
  producers_done.store(true, std::memory_order_release);
  consumer.join();
  release.count_down();
  for (auto& t : producers) t.join();

  EXPECT_EQ(delivered + q->dropped.load(), std::uint64_t{PRODUCERS} * EVENTS_PER_PRODUCER);
  if (slow_consumer) {
    EXPECT_GT(q->dropped.load(), 0u) << "a stalled consumer must have let rings fill";
  } else {
    EXPECT_EQ(last.size(), PRODUCERS);
  }
}

TEST(QueueStress, EveryEventDeliveredOnceInOrderOrCounted) {
  run_stress(false);
}

TEST(QueueStress, SlowConsumerDropsWholeBatchesAndCountsThem) {
  run_stress(true);
}

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
    // The tail reader is also the only consumer: drain like the recorder does.
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
