#include "event.hpp"

namespace fennik {

EventBatch::EventBatch(std::uint32_t capacity, std::uint64_t base_tick, std::uint32_t thread)
    : base(base_tick),
      tid(thread),
      data_(capacity == 0 ? nullptr : std::make_unique_for_overwrite<PackedEvent[]>(capacity)),
      cap_(capacity) {}

void EventBatch::decode_into(const Clock& clock, Event* decoded) const noexcept {
  // Copies, so that the stores below cannot be taken to change them: the
  // clock's factors stay in registers through the loop.
  const Clock c = clock;
  const std::uint64_t from = base;
  const std::uint32_t thread = tid;
  const PackedEvent* packed = data_.get();
  for (std::uint32_t i = 0; i < len_; ++i) {
    const PackedEvent p = packed[i];
    decoded[i] = Event{c.ns_from_ticks(from + p.delta()), thread, p.word()};
  }
}

}  // namespace fennik
