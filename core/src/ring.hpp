// The flight recorder's memory: the most recent batches of every thread,
// bounded in bytes, with a pin that keeps an open snapshot window from being
// evicted (up to a hard limit) and a hold that keeps what dumps asked for
// and not yet written need (whatever the limit).
#pragma once

#include <cstdint>
#include <deque>
#include <memory>
#include <optional>
#include <vector>

#include "event.hpp"

namespace fennik {

// What one held batch costs: its allocated slots (not its filled length),
// the batch itself and its place in the ring.
std::uint64_t held_batch_bytes(const EventBatch& batch) noexcept;
// The batch's base plus its last event's delta; its base when it is empty.
std::uint64_t end_tick(const EventBatch& batch) noexcept;

// Owned by the recorder thread alone; nothing in it is locked.
class Ring {
 public:
  explicit Ring(std::uint64_t capacity) : capacity_(capacity) {}

  // Appends at the back, then evicts what is over the capacity.
  void push(std::unique_ptr<EventBatch> batch);
  // Replaces the pin (the earliest start of the open windows), then evicts.
  void set_pin(std::optional<std::uint64_t> pin) noexcept;
  // Replaces the hold: no batch that ends at or after it is evicted. Then
  // evicts what a lower or absent hold gives up.
  void set_hold(std::optional<std::uint64_t> hold) noexcept;
  // Removes and hands over the oldest batch (null when empty); evicted_until
  // is left as it was.
  std::unique_ptr<EventBatch> pop_front() noexcept;

  // Oldest first, in the order pushed.
  const std::deque<std::unique_ptr<EventBatch>>& batches() const noexcept { return batches_; }
  std::uint64_t bytes() const noexcept { return bytes_; }
  std::uint64_t capacity() const noexcept { return capacity_; }
  std::optional<std::uint64_t> pin() const noexcept { return pin_; }
  // Held batches fill it up to the hard limit: a push now would take memory
  // no eviction gives back.
  bool full() const noexcept;
  // The end tick of the batch evicted last; 0 before the first eviction.
  std::uint64_t evicted_until() const noexcept { return evicted_until_; }
  // Batches evicted since this was last emptied, for their threads to refill
  // (see EventQueue::recycle): the owner empties it.
  std::vector<std::unique_ptr<EventBatch>>& evicted_batches() noexcept { return spent_; }
  // Batches ever pushed and ever evicted (pop_front does not count): the
  // batches pushed before the n-th push are all gone once evicted() >= n.
  std::uint64_t pushed() const noexcept { return pushed_; }
  std::uint64_t evicted() const noexcept { return evicted_; }

 private:
  void evict_over_capacity() noexcept;
  std::optional<std::uint64_t> hard_limit() const noexcept;

  std::optional<std::uint64_t> pin_;
  std::optional<std::uint64_t> hold_;
  std::deque<std::unique_ptr<EventBatch>> batches_;
  std::vector<std::unique_ptr<EventBatch>> spent_;
  std::uint64_t bytes_ = 0;
  const std::uint64_t capacity_;
  std::uint64_t evicted_until_ = 0;
  std::uint64_t pushed_ = 0;
  std::uint64_t evicted_ = 0;
};

}  // namespace fennik
