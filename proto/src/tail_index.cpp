#include "tail_index.hpp"

#include <algorithm>
#include <bit>

namespace fennik {

TailIndex::TailIndex() {
  static_assert(std::has_single_bit(INITIAL_SLOTS) && INITIAL_SLOTS >= 2,
                "the hash shift must stay below 64");
  rehash(INITIAL_SLOTS);
}

void TailIndex::insert(std::uint64_t key, TailSpan span) {
  // Keep the load at most one half so probes stay short.
  if (2 * (count_ + 1) > mask_ + 1) rehash(2 * (mask_ + 1));
  std::size_t i = slot_of(key);
  while (slots_[i].key != NO_KEY) i = (i + 1) & mask_;
  slots_[i] = Slot{key, span};
  ++count_;
}

void TailIndex::clear() noexcept {
  for (std::size_t i = 0; i <= mask_; ++i) slots_[i].key = NO_KEY;
  count_ = 0;
}

void TailIndex::rehash(std::size_t slots) {
  std::unique_ptr<Slot[]> old = std::move(slots_);
  const std::size_t old_slots = old ? mask_ + 1 : 0;
  slots_ = std::make_unique_for_overwrite<Slot[]>(slots);
  for (std::size_t i = 0; i < slots; ++i) slots_[i].key = NO_KEY;
  mask_ = slots - 1;
  shift_ = 64 - static_cast<unsigned>(std::countr_zero(slots));
  for (std::size_t i = 0; i < old_slots; ++i) {
    if (old[i].key == NO_KEY) continue;
    std::size_t j = slot_of(old[i].key);
    while (slots_[j].key != NO_KEY) j = (j + 1) & mask_;
    slots_[j] = old[i];
  }
}

}  // namespace fennik
