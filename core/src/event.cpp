#include "event.hpp"

#include <algorithm>
#include <cstring>

namespace fennik {

const char* kind_name(std::uint8_t kind) noexcept {
  switch (known_kind(kind)) {
    case KIND_RETURN:
      return "return";
    case KIND_YIELD:
      return "yield";
    case KIND_RESUME:
      return "resume";
    case KIND_UNWIND:
      return "unwind";
    case KIND_THROW:
      return "throw";
    default:
      return "start";
  }
}

EventBatch::EventBatch(std::uint32_t capacity, std::uint64_t base_tick, std::uint32_t thread)
    : base(base_tick),
      tid(thread),
      data_(capacity == 0 ? nullptr : std::make_unique_for_overwrite<PackedEvent[]>(capacity)),
      cap_(capacity) {}

void EventBatch::push(PackedEvent e) {
  if (len_ == cap_) {
    const std::uint32_t grown = std::max<std::uint32_t>(cap_ * 2, 16);
    auto bigger = std::make_unique_for_overwrite<PackedEvent[]>(grown);
    if (len_ != 0) std::memcpy(bigger.get(), data_.get(), len_ * sizeof(PackedEvent));
    data_ = std::move(bigger);
    cap_ = grown;
  }
  data_[len_++] = e;
}

void EventBatch::decode_into(const Clock& clock, std::vector<Event>& out) const {
  // Geometric growth: callers decode many batches into one list.
  const std::size_t need = out.size() + len_;
  if (out.capacity() < need) out.reserve(std::max(need, out.capacity() * 2));
  for (std::uint32_t i = 0; i < len_; ++i) {
    const PackedEvent p = data_[i];
    const std::uint64_t tick = base + p.delta();
    out.push_back(Event{clock.ns_from_ticks(tick), tid, p.word()});
  }
}

}  // namespace fennik
