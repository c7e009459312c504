// Bounded single-producer single-consumer rings: each thread's ring of batches
// to the consumer (serializer or recorder), and the serializer's hand-off ring.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <utility>

#include "event.hpp"

namespace fennik {

// How a ring's producer end went away; the consumer reads it once the ring is
// empty to tell "nothing more will come" from "nothing yet".
enum class ProducerEnd : std::uint8_t {
  Open,
  Detached,  // released while its thread lives on (it moved to another queue)
  Exited,    // released by its thread's exit
};

// Indices run modulo twice the capacity so that full (tail - head == capacity)
// and empty (tail == head) differ without a spare slot. `T` is moved in and
// out; a value-initialised `T` converts to false and stands for "nothing".
template <class T, std::uint32_t Capacity>
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
  // Stored with release after the producer's last push.
  std::atomic<ProducerEnd> producer_end{ProducerEnd::Open};
  alignas(64) T slots[Capacity];
};

// The producing side's end, or none when default-constructed or moved from.
// Releasing it marks the ring Detached unless it was closed otherwise before.
template <class T, std::uint32_t Capacity>
class BatchProducer {
  using Ring = BatchRing<T, Capacity>;

 public:
  BatchProducer() = default;
  explicit BatchProducer(std::shared_ptr<Ring> ring) : ring_(std::move(ring)) {}
  BatchProducer(BatchProducer&&) noexcept = default;
  BatchProducer& operator=(BatchProducer&& other) noexcept {
    close(ProducerEnd::Detached);
    ring_ = std::move(other.ring_);
    cached_head_ = other.cached_head_;
    tail_ = other.tail_;
    return *this;
  }
  ~BatchProducer() { close(ProducerEnd::Detached); }

  explicit operator bool() const noexcept { return ring_ != nullptr; }

  // Full by the cached head, and still full after one acquire reload.
  bool full() noexcept { return free_slots() == 0; }

  // Free slots; the head is reloaded (acquire) only when the cached view says full.
  std::uint32_t free_slots() noexcept {
    if (Ring::used(cached_head_, tail_) == Capacity) {
      cached_head_ = ring_->head.load(std::memory_order_acquire);
    }
    return Capacity - Ring::used(cached_head_, tail_);
  }

  // Moves `item` into the ring unless it is full; then it stays with the caller.
  bool try_push(T& item) noexcept {
    if (full()) return false;
    ring_->slots[tail_ & Ring::SLOT_MASK] = std::move(item);
    tail_ = Ring::next(tail_);
    ring_->tail.store(tail_, std::memory_order_release);
    return true;
  }

  // Says that no more pushes will come, and why; the first call counts.
  void close(ProducerEnd how) noexcept {
    if (!ring_) return;
    ProducerEnd open = ProducerEnd::Open;
    ring_->producer_end.compare_exchange_strong(open, how, std::memory_order_release,
                                                std::memory_order_relaxed);
  }

 private:
  std::shared_ptr<Ring> ring_;
  std::uint32_t cached_head_ = 0;
  std::uint32_t tail_ = 0;
};

// The consuming side's end.
template <class T, std::uint32_t Capacity>
class BatchConsumer {
  using Ring = BatchRing<T, Capacity>;

 public:
  BatchConsumer() = default;
  explicit BatchConsumer(std::shared_ptr<Ring> ring) : ring_(std::move(ring)) {}

  // The oldest item, or a value-initialised T when the ring is empty (after
  // one acquire reload).
  T try_pop() noexcept {
    if (head_ == cached_tail_) {
      cached_tail_ = ring_->tail.load(std::memory_order_acquire);
      if (head_ == cached_tail_) return T{};
    }
    T item = std::move(ring_->slots[head_ & Ring::SLOT_MASK]);
    head_ = Ring::next(head_);
    ring_->head.store(head_, std::memory_order_release);
    return item;
  }

  // Calls `f` on every item in the ring, oldest first, without taking them.
  template <class F>
  void for_each_queued(F&& f) noexcept {
    cached_tail_ = ring_->tail.load(std::memory_order_acquire);
    for (std::uint32_t i = head_; i != cached_tail_; i = Ring::next(i)) {
      f(ring_->slots[i & Ring::SLOT_MASK]);
    }
  }

  // Empty after one acquire reload of the tail.
  bool empty() noexcept {
    cached_tail_ = ring_->tail.load(std::memory_order_acquire);
    return head_ == cached_tail_;
  }

  ProducerEnd producer_end() const noexcept {
    return ring_->producer_end.load(std::memory_order_acquire);
  }

 private:
  std::shared_ptr<Ring> ring_;
  std::uint32_t head_ = 0;
  std::uint32_t cached_tail_ = 0;
};

// A new ring; it is freed, with any items still in it, when both ends are gone.
template <class T, std::uint32_t Capacity>
std::pair<BatchProducer<T, Capacity>, BatchConsumer<T, Capacity>> make_batch_ring() {
  auto ring = std::make_shared<BatchRing<T, Capacity>>();
  return {BatchProducer<T, Capacity>(ring), BatchConsumer<T, Capacity>(ring)};
}

// Each recording thread's ring, per queue.
inline constexpr std::uint32_t RING_CAPACITY = 64;
using OwnedBatch = std::unique_ptr<EventBatch>;
using RingProducer = BatchProducer<OwnedBatch, RING_CAPACITY>;
using RingConsumer = BatchConsumer<OwnedBatch, RING_CAPACITY>;
inline std::pair<RingProducer, RingConsumer> make_thread_ring() {
  return make_batch_ring<OwnedBatch, RING_CAPACITY>();
}

}  // namespace fennik
