#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "evqueue.hpp"

namespace fennik {
namespace {

constexpr std::uint64_t CODE = 0x7f0012345678;
constexpr std::uint32_t ID = 7;

// A code-id generation that another thread moves, forgetting every cached
// code, right after the publishing thread reads it: the worst moment.
struct MovedOnRead {
  std::atomic<std::uint64_t>& value;
  std::uint64_t load(std::memory_order order) const noexcept {
    const std::uint64_t seen = value.load(order);
    std::thread([this] {
      value.fetch_add(1, std::memory_order_seq_cst);
      forget_cached_codes();
    }).join();
    return seen;
  }
};

TEST(CachedCode, ACodeForgottenWhileItIsPublishedIsNotCached) {
  ASSERT_TRUE(register_current());
  std::atomic<std::uint64_t> generation{3};
  HOT.code_gen = generation.load();
  publish_cached_code(HOT, CODE, ID, MovedOnRead{generation});
  EXPECT_EQ(HOT.cached_code.load(), NO_CODE);
  // Resolved again for the new generation, it stays.
  HOT.code_gen = generation.load();
  publish_cached_code(HOT, CODE, ID, generation);
  EXPECT_EQ(HOT.cached_code.load(), CODE);
  EXPECT_EQ(HOT.cached_id, ID);
  HOT.cached_code.store(NO_CODE);
}

// The session ended while the code was resolved: its queue's flush emptied
// every cached code before this thread publishes one.
TEST(CachedCode, ACodeResolvedWhileTheSessionEndsIsNotCached) {
  ASSERT_TRUE(register_current());
  auto q = EventQueue::create(Clock::nanos(0));
  std::atomic<std::uint64_t> generation{3};
  HOT.code_gen = generation.load();
  std::thread([&] { q->close(); }).join();
  publish_cached_code(HOT, *q, CODE, ID, generation);
  EXPECT_EQ(HOT.cached_code.load(), NO_CODE);
}

}  // namespace
}  // namespace fennik
