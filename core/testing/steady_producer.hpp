// A thread recording whole batches at a steady pace for recycling tests.
#pragma once

#include <atomic>
#include <cstdint>
#include <latch>
#include <thread>

#include "evqueue.hpp"

// Set on a thread, makes every allocation through operator new fail there
// (replaced in evqueue_test.cpp).
extern thread_local bool FAIL_ALLOCATIONS;

namespace fennik::testing {

// Records `batches` full batches into `q` on a thread of its own, event n at
// tick n with code n, never starting a batch more than `ahead` past the
// `recycled` count its consumer keeps. Once `ahead` + 1 batches exist, all
// new and all on their way, it counts `warm` down and every allocation on
// it fails, so that an event stored after that needed a batch or a list
// node come back. Joined when the returned thread is.
inline std::jthread record_steadily(EventQueue& q, std::uint32_t batches, std::uint32_t ahead,
                                    const std::atomic<std::uint32_t>& recycled, std::latch& warm) {
  return std::jthread([&q, batches, ahead, &recycled, &warm] {
    HOT.tid.store(3);
    std::uint64_t n = 0;
    for (std::uint32_t b = 0; b < batches; ++b) {
      if (b == ahead + 1) {
        FAIL_ALLOCATIONS = true;
        warm.count_down();
      }
      // A dropped event may mean a batch that never comes: no more waiting then.
      while (b > ahead && b - recycled.load() > ahead && q.dropped.load() == 0) {
        std::this_thread::yield();
      }
      for (std::uint32_t i = 0; i < BATCH_CAPACITY; ++i, ++n) {
        record(q, n, make_word(KIND_START, n & MAX_CODE_ID));
      }
    }
    FAIL_ALLOCATIONS = false;
  });
}

}  // namespace fennik::testing
