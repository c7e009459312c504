#include "event.hpp"

#include <algorithm>

namespace fennik {

EventBatch::EventBatch(std::uint32_t capacity, std::uint64_t base_tick, std::uint32_t thread)
    : base(base_tick),
      tid(thread),
      data_(capacity == 0 ? nullptr : std::make_unique_for_overwrite<PackedEvent[]>(capacity)),
      cap_(capacity) {}

void EventBatch::decode_into(const Clock& clock, std::vector<Event>& out) const {
  // Geometric growth: callers decode many batches into one list.
  const std::size_t first = out.size();
  const std::size_t need = first + len_;
  if (out.capacity() < need) out.reserve(std::max(need, out.capacity() * 2));
  out.resize(need);
  Event* decoded = out.data() + first;
  for (std::uint32_t i = 0; i < len_; ++i) {
    const PackedEvent p = data_[i];
    decoded[i] = Event{clock.ns_from_ticks(base + p.delta()), tid, p.word()};
  }
}

}  // namespace fennik
