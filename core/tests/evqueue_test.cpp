#include "evqueue.hpp"

#include <gtest/gtest.h>

#include <thread>

namespace fennik {
namespace {

// A batch ends at its 1,024th event, or at an event whose tick is not within
// 2^32 - 1 ticks past the batch's first (ticks may also go backwards).
TEST(Recording, ABatchEndsAtCapacityOrWhenTheDeltaOutgrows32Bits) {
  auto q = EventQueue::create(Clock::nanos(0));
  std::vector<std::unique_ptr<EventBatch>> out;
  // A fresh thread: its recording state starts from nothing.
  std::thread([&] {
    HOT.tid.store(77);
    for (std::uint32_t i = 0; i < BATCH_CAPACITY; ++i)
      record(*q, 100 + i, make_word(KIND_START, i));
    EXPECT_EQ(q->drain_batches(out, 10), 0u) << "a full batch waits for the next event";
    record(*q, 5'000, make_word(KIND_START, 1'024));
    record(*q, 5'000 + 0xFFFFFFFFull, make_word(KIND_START, 1));  // still fits
    record(*q, 5'000 + 0x1'0000'0000ull, make_word(KIND_START, 2));
    record(*q, 5, make_word(KIND_START, 3));
    flush_every_thread();
  }).join();
  ASSERT_EQ(q->drain_batches(out, 10), 4u);
  EXPECT_EQ(q->dropped.load(), 0u);
  ASSERT_EQ(out[0]->size(), BATCH_CAPACITY);
  EXPECT_EQ(out[0]->base, 100u);
  EXPECT_EQ(out[0]->tid, 77u);
  for (std::uint32_t i = 0; i < BATCH_CAPACITY; ++i) {
    EXPECT_EQ(out[0]->events()[i].raw, PackedEvent::pack(i, make_word(KIND_START, i)).raw);
  }
  ASSERT_EQ(out[1]->size(), 2u);
  EXPECT_EQ(out[1]->base, 5'000u);
  EXPECT_EQ(out[1]->events()[1].delta(), 0xFFFFFFFFu);
  EXPECT_EQ(out[2]->base, 5'000 + 0x1'0000'0000ull);
  EXPECT_EQ(out[3]->base, 5u);
}

}  // namespace
}  // namespace fennik
