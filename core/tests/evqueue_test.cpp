#include "evqueue.hpp"

#include <gtest/gtest.h>

#include <array>
#include <atomic>
#include <barrier>
#include <cstdlib>
#include <latch>
#include <new>
#include <optional>
#include <thread>
#include <tuple>
#include <vector>

#include "steady_producer.hpp"

// Allocation through operator new fails on a thread while this is set. The
// replacements stay out of line so the compiler does not pair malloc and
// free across them. Every single-object form is replaced (gtest allocates
// nothrow), so none of those reaches a sanitizer's own; the array forms are
// left paired with each other.
thread_local bool FAIL_ALLOCATIONS = false;

[[gnu::noinline]] void* operator new(std::size_t size, const std::nothrow_t&) noexcept {
  return FAIL_ALLOCATIONS ? nullptr : std::malloc(size == 0 ? 1 : size);
}
[[gnu::noinline]] void* operator new(std::size_t size) {
  void* p = ::operator new(size, std::nothrow);
  if (p == nullptr) throw std::bad_alloc();
  return p;
}
[[gnu::noinline]] void operator delete(void* p) noexcept {
  std::free(p);
}
[[gnu::noinline]] void operator delete(void* p, std::size_t) noexcept {
  std::free(p);
}

namespace fennik {
namespace {

const auto word = [](std::uint32_t code) { return make_word(KIND_START, code); };

// Each batch drained as its tid, base, size, first code, last delta, events
// lost before it and from when; an exit notice as zeros.
using Shape = std::array<std::uint64_t, 7>;
std::vector<Shape> drain_all(EventQueue& q) {
  std::vector<Drained> items;
  while (q.drain_batches(items, 1'000) != 0) continue;
  std::vector<Shape> out;
  for (const Drained& d : items) {
    const EventBatch* b = d.batch.get();
    out.push_back(b == nullptr
                      ? Shape{}
                      : Shape{b->tid, b->base, b->size(), b->events()[0].code(),
                              b->events()[b->size() - 1].delta(), b->lost_before, b->lost_tick});
  }
  return out;
}

// A batch ends at its 1,025th event, or at one whose delta from the base does
// not fit 32 bits (a clock that went backwards included); the next starts
// with delta 0.
TEST(Recording, ABatchEndsAtCapacityOrWhenTheDeltaOutgrows32Bits) {
  auto q = EventQueue::create(Clock::nanos(0));
  // Thread-local recording state outlives a test on its thread; each scenario
  // runs on a thread of its own so it starts from nothing.
  std::thread([&] {
    HOT.tid.store(77);
    for (std::uint32_t i = 0; i < BATCH_CAPACITY; ++i) record(*q, 100 + i, word(i));
    EXPECT_TRUE(drain_all(*q).empty()) << "a full batch waits for the next event";
    record(*q, 5'000, word(1'024));
    record(*q, 5'000 + 0xFFFFFFFFull, word(1));  // still fits
    record(*q, 5'000 + 0x1'0000'0000ull, word(2));
    record(*q, 5, word(3));
    q->close();
  }).join();
  EXPECT_EQ(drain_all(*q), (std::vector<Shape>{{77, 100, BATCH_CAPACITY, 0, BATCH_CAPACITY - 1},
                                               {77, 5'000, 2, 1'024, 0xFFFFFFFF},
                                               {77, 5'000 + 0x1'0000'0000ull, 1, 2, 0},
                                               {77, 5, 1, 3, 0},
                                               {}}));
  EXPECT_EQ(q->dropped.load(), 0u);
}

// No memory, or a slow path entered again on its own thread (a signal
// handler): the event is dropped and counted, and recording resumes after.
TEST(Recording, EventsThatCannotBeStoredAreCounted) {
  auto q = EventQueue::create(Clock::nanos(0));
  std::thread([&] {
    HOT.tid.store(9);
    FAIL_ALLOCATIONS = true;
    record(*q, 1, word(1));  // no list, no first batch
    FAIL_ALLOCATIONS = false;
    EXPECT_EQ(q->dropped.load(), 1u);
    for (std::uint32_t n = 0; n < BATCH_CAPACITY; ++n) record(*q, 2 + n, word(2));
    FAIL_ALLOCATIONS = true;
    record(*q, 5'000, word(3));  // no node for the full batch: it becomes a gap
    FAIL_ALLOCATIONS = false;
    EXPECT_EQ(q->dropped.load(), 1u + BATCH_CAPACITY);
    for (std::uint32_t n = 1; n < BATCH_CAPACITY; ++n) record(*q, 5'000 + n, word(4));
    COLD.in_use = true;
    record(*q, 7'000, word(5));
    COLD.in_use = false;
    EXPECT_EQ(q->dropped.load(), 2u + BATCH_CAPACITY);
    record(*q, 7'001, word(6));
    q->close();
  }).join();
  // The batch after the gap, the last event's, the exit notice.
  EXPECT_EQ(drain_all(*q), (std::vector<Shape>{
                               {9, 5'000, BATCH_CAPACITY, 3, BATCH_CAPACITY - 1, BATCH_CAPACITY, 2},
                               {9, 7'001, 1, 6, 0, 0, 0},
                               {}}));
}

// Written batches and list nodes come back to their thread: once as many
// batches exist as a thread can have on their way, it records on while every
// allocation on it fails, and the consumer, draining and recycling at the
// same time, sees every event in order.
TEST(Recording, ASteadyThreadRefillsWrittenBatchesWithoutAllocating) {
  constexpr std::uint32_t BATCHES = 300, AHEAD = 8;
  auto q = EventQueue::create(Clock::nanos(0));
  std::atomic<std::uint32_t> recycled{0};
  std::latch warm(1);
  std::jthread producer = testing::record_steadily(*q, BATCHES, AHEAD, recycled, warm);
  warm.wait();
  std::vector<Drained> items;
  std::vector<OwnedBatch> spent;
  std::uint64_t next = 0, out_of_order = 0;
  for (bool exited = false; !exited;) {
    items.clear();
    q->drain_batches(items, 4);
    for (Drained& d : items) {
      exited = exited || !d.batch;  // every batch of the thread came before
      if (!d.batch) continue;
      for (const PackedEvent e : d.batch->events()) {
        out_of_order += d.batch->base + e.delta() != next || e.code() != (next & MAX_CODE_ID);
        ++next;
      }
      spent.push_back(std::move(d.batch));
    }
    const auto n = static_cast<std::uint32_t>(spent.size());
    q->recycle(spent);
    recycled.fetch_add(n);
  }
  EXPECT_EQ(std::tuple(next, out_of_order, q->dropped.load()),
            std::tuple(std::uint64_t{BATCHES} * BATCH_CAPACITY, 0u, 0u));
}

// More busy threads than one round of take_tails has room for: each round
// goes on where the last had no room, so within two rounds every thread's
// partial batch moves on and the floor passes it; never above an event still
// waiting. A thread caught changing its mirror is passed over, not the end of
// the round, and the floor waits for it.
TEST(Tails, EveryBusyThreadMovesOnAndTheFloorFollows) {
  constexpr std::uint32_t THREADS = 300, ROUNDS = 4, PER_ROUND = 2, ROOM = 256;
  auto q = EventQueue::create(Clock::nanos(0));
  std::atomic<std::uint64_t> clock{1};
  std::vector<std::vector<std::uint64_t>> recorded(THREADS);  // each thread's ticks
  std::barrier sync(THREADS + 1);
  std::latch first_listed(1);
  std::vector<std::jthread> threads;
  for (std::uint32_t t = 0; t < THREADS; ++t) {
    threads.emplace_back([&, t] {
      // Thread 0's list comes first, where a round that gives up at the list
      // that raced with its thread would end at once.
      if (t != 0) first_listed.wait();
      for (std::uint32_t round = 0; round < ROUNDS; ++round) {
        for (std::uint32_t i = 0; i < PER_ROUND; ++i) {
          recorded[t].push_back(clock.fetch_add(1));
          record(*q, recorded[t].back(), word(t));
        }
        if (t == 0 && round == 0) first_listed.count_down();
        std::optional<SeqWrite> changing;
        if (t == 0 && round == ROUNDS - 1) changing.emplace(HOT);
        sync.arrive_and_wait();  // recorded
        sync.arrive_and_wait();  // taken
      }
    });
  }
  std::vector<std::size_t> moved(THREADS);
  std::uint64_t round_start = 1;
  // Returns early on a failure, but never between the threads' barriers.
  auto take_round = [&](std::uint32_t round) {
    const std::uint64_t now = clock.load();
    std::vector<Drained> out;
    const std::optional<std::uint64_t> floor = q->take_tails(out, ROOM, now);
    ASSERT_EQ(out.size(), ROOM);
    for (const Drained& d : out) {
      for (const PackedEvent e : d.batch->events()) {
        const std::uint32_t t = e.code();
        ASSERT_LT(moved[t], recorded[t].size());
        ASSERT_EQ(d.batch->base + e.delta(), recorded[t][moved[t]++]) << "moved twice or skipped";
      }
    }
    std::uint64_t oldest = now;  // of the events still waiting
    for (std::uint32_t t = 0; t < THREADS; ++t)
      if (moved[t] < recorded[t].size()) oldest = std::min(oldest, recorded[t][moved[t]]);
    EXPECT_EQ(floor.has_value(), round != ROUNDS - 1)
        << "a floor past a partial batch it could not read, or none";
    if (floor) {
      EXPECT_LE(*floor, oldest);
      EXPECT_GE(*floor, round > 0 ? round_start : 0) << "an earlier round's events still wait";
    }
    round_start = now;
  };
  for (std::uint32_t round = 0; round < ROUNDS; ++round) {
    SCOPED_TRACE(round);
    sync.arrive_and_wait();
    take_round(round);
    sync.arrive_and_wait();
  }
}

// A thread whose id an exited thread had waits for the older list to go
// before its partial batch moves on; meanwhile the floor waits for it too.
TEST(Tails, TheFloorWaitsForAListHeldBehindAnOlderOneOfItsId) {
  auto q = EventQueue::create(Clock::nanos(0));
  std::thread([&] {
    HOT.tid.store(5);
    record(*q, 10, word(1));
  }).join();
  std::vector<Drained> out;
  ASSERT_EQ(q->drain_batches(out, 1), 1u);  // the exited thread's list, emptied, stays
  std::latch recorded(1), taken(1);
  std::jthread later([&] {
    HOT.tid.store(5);
    record(*q, 100, word(2));
    recorded.count_down();
    taken.wait();
  });
  recorded.wait();
  out.clear();
  const std::optional<std::uint64_t> floor = q->take_tails(out, 256, 1'000);
  taken.count_down();
  EXPECT_TRUE(out.empty());
  EXPECT_EQ(floor, std::optional<std::uint64_t>(100));
}

}  // namespace
}  // namespace fennik
