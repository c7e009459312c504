#include "ring.hpp"

#include <limits>
#include <new>
#include <utility>

namespace fennik {

std::uint64_t held_batch_bytes(const EventBatch& batch) noexcept {
  return sizeof(EventBatch) + std::uint64_t{batch.capacity()} * sizeof(PackedEvent) +
         sizeof(std::unique_ptr<EventBatch>);
}

std::uint64_t end_tick(const EventBatch& batch) noexcept {
  return batch.empty() ? batch.base : batch.base + batch.events().back().delta();
}

void Ring::push(std::unique_ptr<EventBatch> batch) {
  if (!batch) return;
  const std::uint64_t held = held_batch_bytes(*batch);
  // Strong guarantee: if the deque cannot grow, the batch is freed with the
  // argument and the ring is as it was.
  batches_.push_back(std::move(batch));
  bytes_ += held;
  ++pushed_;
  evict_over_capacity();
}

void Ring::set_pin(std::optional<std::uint64_t> pin) noexcept {
  pin_ = pin;
  evict_over_capacity();
}

std::unique_ptr<EventBatch> Ring::pop_front() noexcept {
  if (batches_.empty()) return nullptr;
  std::unique_ptr<EventBatch> front = std::move(batches_.front());
  batches_.pop_front();
  bytes_ -= held_batch_bytes(*front);
  return front;
}

void Ring::set_hold(std::optional<std::uint64_t> hold) noexcept {
  hold_ = hold;
  evict_over_capacity();
}

std::optional<std::uint64_t> Ring::hard_limit() const noexcept {
  // Above twice the budget an open window no longer protects its batches;
  // a budget whose double does not fit has no such limit.
  if (capacity_ > std::numeric_limits<std::uint64_t>::max() / 2) return std::nullopt;
  return 2 * capacity_;
}

bool Ring::full() const noexcept {
  const std::optional<std::uint64_t> limit = hard_limit();
  return hold_ && limit && bytes_ >= *limit;
}

void Ring::evict_over_capacity() noexcept {
  const std::optional<std::uint64_t> limit = hard_limit();
  // The newest batch stays, however large.
  while (bytes_ > capacity_ && batches_.size() >= 2) {
    const EventBatch& front = *batches_.front();
    const std::uint64_t end = end_tick(front);
    if (hold_ && end >= *hold_) return;
    if (pin_ && end >= *pin_ && !(limit && bytes_ > *limit)) return;
    bytes_ -= held_batch_bytes(front);
    evicted_until_ = end;
    ++evicted_;
    // Without room to keep it, the batch is freed here.
    try {
      spent_.push_back(std::move(batches_.front()));
    } catch (const std::bad_alloc&) {
    }
    batches_.pop_front();
  }
}

}  // namespace fennik
