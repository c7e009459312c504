// The per-session hub of thread rings, and the recording step that feeds it.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <vector>

#include "clock.hpp"
#include "event.hpp"
#include "thread_ring.hpp"
#include "tls.hpp"

namespace fennik {

// A tail read that keeps colliding with its writer gives up after this many tries.
inline constexpr int TAIL_READ_ATTEMPTS = 8;

// Ids of queues; 0 never names one and marks a thread that has recorded nowhere.
extern std::atomic<std::uint64_t> NEXT_QUEUE_ID;

class alignas(64) EventQueue {
 public:
  explicit EventQueue(const Clock& clock);
  EventQueue(const EventQueue&) = delete;
  EventQueue& operator=(const EventQueue&) = delete;

  static std::shared_ptr<EventQueue> create(const Clock& clock) {
    return std::make_shared<EventQueue>(clock);
  }

  const std::uint64_t queue_id;
  const Clock clock;
  // Events lost to full rings (and, added by the tracer, to session-end flushes).
  std::atomic<std::uint64_t> dropped{0};

  // The recording step's slow side: the thread's first event in this queue, a
  // full batch, or a delta that does not fit in 32 bits.
  static void slow_path(EventQueue& queue, Hot& hot, std::uint64_t now, std::uint32_t tid,
                        std::uint32_t word) noexcept;
  // Creates the calling thread's ring and first batch for `queue`.
  static void init_producer(EventQueue& queue, Cold& cold, Hot& hot, std::uint64_t now,
                            std::uint32_t tid);

  // Moves whole batches out of the rings, round-robin from a rotating start,
  // emptying each ring before visiting the next; stops once `max` are taken
  // (but takes one whenever one is available). Returns the number appended.
  std::size_t drain_batches(std::vector<std::unique_ptr<EventBatch>>& out, std::size_t max);

  // Copies of the partly filled batches of threads recording into this queue,
  // taken without stopping them; at most one per registered thread.
  std::vector<EventBatch> read_tails() const;

  void close() noexcept { closed_.store(true, std::memory_order_seq_cst); }
  bool closed() const noexcept { return closed_.load(std::memory_order_acquire); }

  std::uint64_t recycle_floor() const noexcept {
    return recycle_floor_.load(std::memory_order_acquire);
  }
  void publish_recycle_floor(std::uint64_t tick) noexcept {
    recycle_floor_.store(tick, std::memory_order_release);
  }

  std::size_t ring_count() const;

 private:
  mutable std::mutex lock_;
  std::vector<RingConsumer> shared_;  // guarded by lock_; never shrinks
  std::atomic<std::uint64_t> rotor_{0};
  std::atomic<bool> closed_{false};
  std::atomic<std::uint64_t> recycle_floor_{0};
};

// The recording step: one store of the packed event and a release store of the
// cursor, unless the batch is full, the delta overflows 32 bits, or this is
// the thread's first event in the queue.
inline void record(EventQueue& queue, std::uint64_t now, std::uint32_t word) noexcept {
  Hot& hot = HOT;
  PackedEvent* cursor = hot.cursor.load(std::memory_order_relaxed);
  const std::uint64_t delta = now - hot.base.load(std::memory_order_relaxed);
  if (cursor < hot.end.load(std::memory_order_relaxed) && (delta >> 32) == 0 &&
      hot.queue_id.load(std::memory_order_relaxed) == queue.queue_id) [[likely]] {
    store_slot(cursor, PackedEvent::pack(static_cast<std::uint32_t>(delta), word));
    hot.cursor.store(cursor + 1, std::memory_order_release);
    return;
  }
  EventQueue::slow_path(queue, hot, now, hot.tid.load(std::memory_order_relaxed), word);
}

}  // namespace fennik
