// The bounded single-producer single-consumer ring that carries one thread's
// full batches to the consumer (serializer or recorder).
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <utility>

#include "event.hpp"

namespace fennik {

inline constexpr std::uint32_t RING_CAPACITY = 64;

// Indices run modulo twice the capacity so that full (tail - head == capacity)
// and empty (tail == head) differ without a spare slot.
class ThreadRing {
 public:
  static constexpr std::uint32_t INDEX_MASK = 2 * RING_CAPACITY - 1;
  static constexpr std::uint32_t SLOT_MASK = RING_CAPACITY - 1;
  static_assert((RING_CAPACITY & SLOT_MASK) == 0, "capacity must be a power of two");

  static bool full(std::uint32_t head, std::uint32_t tail) noexcept {
    return ((tail - head) & INDEX_MASK) == RING_CAPACITY;
  }
  static std::uint32_t next(std::uint32_t i) noexcept { return (i + 1) & INDEX_MASK; }

  // Head and tail on their own lines: one is written by each side.
  alignas(64) std::atomic<std::uint32_t> head{0};
  alignas(64) std::atomic<std::uint32_t> tail{0};
  alignas(64) std::unique_ptr<EventBatch> slots[RING_CAPACITY];
};

// The producing thread's end, kept in its COLD.
class RingProducer {
 public:
  explicit RingProducer(std::shared_ptr<ThreadRing> ring) : ring_(std::move(ring)) {}

  // Full by the cached head, and still full after one acquire reload.
  bool full() noexcept {
    if (!ThreadRing::full(cached_head_, tail_)) return false;
    cached_head_ = ring_->head.load(std::memory_order_acquire);
    return ThreadRing::full(cached_head_, tail_);
  }

  // Moves `batch` into the ring unless it is full; then it stays with the caller.
  bool try_push(std::unique_ptr<EventBatch>& batch) noexcept {
    if (full()) return false;
    ring_->slots[tail_ & ThreadRing::SLOT_MASK] = std::move(batch);
    tail_ = ThreadRing::next(tail_);
    ring_->tail.store(tail_, std::memory_order_release);
    return true;
  }

 private:
  std::shared_ptr<ThreadRing> ring_;
  std::uint32_t cached_head_ = 0;
  std::uint32_t tail_ = 0;
};

// The consumer's end, kept in the queue's list of rings.
class RingConsumer {
 public:
  explicit RingConsumer(std::shared_ptr<ThreadRing> ring) : ring_(std::move(ring)) {}

  // The oldest batch, or null when the ring is empty (after one acquire reload).
  std::unique_ptr<EventBatch> try_pop() noexcept {
    if (head_ == cached_tail_) {
      cached_tail_ = ring_->tail.load(std::memory_order_acquire);
      if (head_ == cached_tail_) return nullptr;
    }
    std::unique_ptr<EventBatch> batch = std::move(ring_->slots[head_ & ThreadRing::SLOT_MASK]);
    head_ = ThreadRing::next(head_);
    ring_->head.store(head_, std::memory_order_release);
    return batch;
  }

 private:
  std::shared_ptr<ThreadRing> ring_;
  std::uint32_t head_ = 0;
  std::uint32_t cached_tail_ = 0;
};

// A new ring; it is freed, with any batches still in it, when both ends are gone.
inline std::pair<RingProducer, RingConsumer> make_thread_ring() {
  auto ring = std::make_shared<ThreadRing>();
  return {RingProducer(ring), RingConsumer(ring)};
}

}  // namespace fennik
