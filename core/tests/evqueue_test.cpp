#include "evqueue.hpp"

#include <gtest/gtest.h>

#include <functional>
#include <thread>

namespace fennik {
namespace {

using Batches = std::vector<std::unique_ptr<EventBatch>>;

// Thread-local recording state outlives a test on its thread; each scenario
// runs on a thread of its own so it starts from nothing.
void on_fresh_thread(const std::function<void()>& body) {
  std::thread(body).join();
}

std::uint32_t word(std::uint32_t code) {
  return make_word(KIND_START, code);
}

Batches drain_all(EventQueue& q) {
  Batches out;
  while (q.drain_batches(out, 1'000) != 0) {
  }
  return out;
}

TEST(Recording, ABatchEndsAtCapacityOrWhenTheDeltaOutgrows32Bits) {
  auto q = EventQueue::create(Clock::nanos(0));
  on_fresh_thread([&] {
    HOT.tid.store(77);
    for (std::uint32_t i = 0; i < BATCH_CAPACITY; ++i) record(*q, 100 + i, word(i));
    EXPECT_EQ(drain_all(*q).size(), 0u) << "a full batch waits for the next event";
    record(*q, 5'000, word(1'024));
    record(*q, 5'000 + 0xFFFFFFFFull, word(1));  // still fits
    record(*q, 5'000 + 0x1'0000'0000ull, word(2));
    record(*q, 5, word(3));  // below the base: wraps, so also a new batch
    flush_every_thread();
    Batches out = drain_all(*q);
    ASSERT_EQ(out.size(), 4u);
    EXPECT_EQ(out[0]->size(), BATCH_CAPACITY);
    EXPECT_EQ(out[0]->base, 100u);
    EXPECT_EQ(out[0]->tid, 77u);
    for (std::uint32_t i = 0; i < BATCH_CAPACITY; ++i) {
      EXPECT_EQ(out[0]->events()[i].delta(), i);
      EXPECT_EQ(out[0]->events()[i].code(), i);
    }
    EXPECT_EQ(out[1]->base, 5'000u);
    ASSERT_EQ(out[1]->size(), 2u);
    EXPECT_EQ(out[1]->events()[1].delta(), 0xFFFFFFFFu);
    EXPECT_EQ(out[2]->base, 5'000 + 0x1'0000'0000ull);
    EXPECT_EQ(out[3]->base, 5u);
  });
  EXPECT_EQ(q->dropped.load(), 0u);
}

}  // namespace
}  // namespace fennik
