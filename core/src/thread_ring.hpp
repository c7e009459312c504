// Bounded single-producer single-consumer rings of owned batches: each
// thread's ring to the consumer (serializer or recorder), and the serializer's
// hand-off ring.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <utility>

#include "event.hpp"

namespace fennik {

// Indices run modulo twice the capacity so that full (tail - head == capacity)
// and empty (tail == head) differ without a spare slot.
template <std::uint32_t Capacity>
class BatchRing {
 public:
  static constexpr std::uint32_t CAPACITY = Capacity;
  static constexpr std::uint32_t INDEX_MASK = 2 * Capacity - 1;
  static constexpr std::uint32_t SLOT_MASK = Capacity - 1;
  static_assert(Capacity != 0 && (Capacity & SLOT_MASK) == 0, "capacity must be a power of two");

  static std::uint32_t used(std::uint32_t head, std::uint32_t tail) noexcept {
    return (tail - head) & INDEX_MASK;
  }
  static std::uint32_t next(std::uint32_t i) noexcept { return (i + 1) & INDEX_MASK; }

  // Head and tail on their own lines: one is written by each side.
  alignas(64) std::atomic<std::uint32_t> head{0};
  alignas(64) std::atomic<std::uint32_t> tail{0};
  alignas(64) std::unique_ptr<EventBatch> slots[Capacity];
};

// The producing side's end.
template <std::uint32_t Capacity>
class BatchProducer {
  using Ring = BatchRing<Capacity>;

 public:
  explicit BatchProducer(std::shared_ptr<Ring> ring) : ring_(std::move(ring)) {}

  // Full by the cached head, and still full after one acquire reload.
  bool full() noexcept { return free_slots() == 0; }

  // Free slots; the head is reloaded (acquire) only when the cached view says full.
  std::uint32_t free_slots() noexcept {
    if (Ring::used(cached_head_, tail_) == Capacity) {
      cached_head_ = ring_->head.load(std::memory_order_acquire);
    }
    return Capacity - Ring::used(cached_head_, tail_);
  }

  // Moves `batch` into the ring unless it is full; then it stays with the caller.
  bool try_push(std::unique_ptr<EventBatch>& batch) noexcept {
    if (full()) return false;
    ring_->slots[tail_ & Ring::SLOT_MASK] = std::move(batch);
    tail_ = Ring::next(tail_);
    ring_->tail.store(tail_, std::memory_order_release);
    return true;
  }

 private:
  std::shared_ptr<Ring> ring_;
  std::uint32_t cached_head_ = 0;
  std::uint32_t tail_ = 0;
};

// The consuming side's end.
template <std::uint32_t Capacity>
class BatchConsumer {
  using Ring = BatchRing<Capacity>;

 public:
  explicit BatchConsumer(std::shared_ptr<Ring> ring) : ring_(std::move(ring)) {}

  // The oldest batch, or null when the ring is empty (after one acquire reload).
  std::unique_ptr<EventBatch> try_pop() noexcept {
    if (head_ == cached_tail_) {
      cached_tail_ = ring_->tail.load(std::memory_order_acquire);
      if (head_ == cached_tail_) return nullptr;
    }
    std::unique_ptr<EventBatch> batch = std::move(ring_->slots[head_ & Ring::SLOT_MASK]);
    head_ = Ring::next(head_);
    ring_->head.store(head_, std::memory_order_release);
    return batch;
  }

 private:
  std::shared_ptr<Ring> ring_;
  std::uint32_t head_ = 0;
  std::uint32_t cached_tail_ = 0;
};

// A new ring; it is freed, with any batches still in it, when both ends are gone.
template <std::uint32_t Capacity>
std::pair<BatchProducer<Capacity>, BatchConsumer<Capacity>> make_batch_ring() {
  auto ring = std::make_shared<BatchRing<Capacity>>();
  return {BatchProducer<Capacity>(ring), BatchConsumer<Capacity>(ring)};
}

// Each recording thread's ring, per queue.
inline constexpr std::uint32_t RING_CAPACITY = 64;
using ThreadRing = BatchRing<RING_CAPACITY>;
using RingProducer = BatchProducer<RING_CAPACITY>;
using RingConsumer = BatchConsumer<RING_CAPACITY>;
inline std::pair<RingProducer, RingConsumer> make_thread_ring() {
  return make_batch_ring<RING_CAPACITY>();
}

}  // namespace fennik
