#include "thread_ring.hpp"

#include <gtest/gtest.h>

namespace fennik {
namespace {

std::unique_ptr<EventBatch> tagged(std::uint64_t tag) {
  return std::make_unique<EventBatch>(1, tag, 0);
}

TEST(ThreadRing, HoldsExactlyItsCapacityAndKeepsOrderAcrossWraps) {
  auto [producer, consumer] = make_thread_ring();
  std::uint64_t pushed = 0, popped = 0;
  // Many laps so the indices wrap around twice the capacity several times.
  for (int lap = 0; lap < 5; ++lap) {
    for (std::uint32_t i = 0; i < RING_CAPACITY; ++i) {
      auto b = tagged(pushed);
      ASSERT_TRUE(producer.try_push(b));
      ASSERT_EQ(b, nullptr);
      ++pushed;
    }
    auto extra = tagged(999);
    EXPECT_TRUE(producer.full());
    EXPECT_FALSE(producer.try_push(extra));
    ASSERT_NE(extra, nullptr) << "a refused batch stays with the caller";
    // Drain a varying amount so head and tail meet at different offsets.
    const std::uint32_t take = RING_CAPACITY - static_cast<std::uint32_t>(lap) * 7;
    for (std::uint32_t i = 0; i < take; ++i) {
      auto b = consumer.try_pop();
      ASSERT_NE(b, nullptr);
      EXPECT_EQ(b->base, popped++);
    }
    while (auto b = consumer.try_pop()) EXPECT_EQ(b->base, popped++);
    EXPECT_EQ(consumer.try_pop(), nullptr);
  }
  EXPECT_EQ(pushed, popped);
}

TEST(ThreadRing, BatchesLeftInsideAreFreedWithTheLastEnd) {
  // Run under AddressSanitizer this fails on a leak.
  auto [producer, consumer] = make_thread_ring();
  for (int i = 0; i < 10; ++i) {
    auto b = tagged(static_cast<std::uint64_t>(i));
    ASSERT_TRUE(producer.try_push(b));
  }
  {
    RingProducer gone = std::move(producer);
  }
  EXPECT_EQ(consumer.producer_end(), ProducerEnd::Detached);
  auto b = consumer.try_pop();
  ASSERT_NE(b, nullptr);
  EXPECT_EQ(b->base, 0u);
}

}  // namespace
}  // namespace fennik
