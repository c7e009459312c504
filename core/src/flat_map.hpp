// A small open-addressing hash map from an unsigned integer key to a plain
// value, probed linearly: a lookup touches one or two adjacent slots and
// never allocates, which is what the exporters' per-event lookups need.
// One key value, `EMPTY`, marks a free slot and is never stored.
#pragma once

#include <bit>
#include <concepts>
#include <cstddef>
#include <cstdint>
#include <memory>

namespace fennik {

template <std::unsigned_integral Key, class Value, Key EMPTY = ~Key{0}>
class FlatMap {
 public:
  // A power of two, grown by doubling; at least 2 so the hash shift stays below 64.
  static constexpr std::size_t DEFAULT_SLOTS = 64;

  explicit FlatMap(std::size_t slots = DEFAULT_SLOTS) { reset(std::bit_ceil(slots | 2)); }
  FlatMap(FlatMap&&) noexcept = default;
  FlatMap& operator=(FlatMap&&) noexcept = default;

  const Value* find(Key key) const noexcept {
    return const_cast<FlatMap&>(*this).view().find(key);  // a lookup changes nothing
  }
  Value* find(Key key) noexcept { return view().find(key); }

 private:
  struct Slot {
    Key key;
    Value value;
  };

 public:
  // The table as it is now, for lookups in a loop that also writes through
  // char pointers: a copy held in locals need not be read again after every
  // such write. Valid until the next insert or clear.
  class View {
   public:
    Value* find(Key key) const noexcept {
      for (std::size_t i = home(key, shift_);; i = (i + 1) & mask_) {
        Slot& s = slots_[i];
        if (s.key == key) return &s.value;
        if (s.key == EMPTY) return nullptr;
      }
    }

   private:
    friend class FlatMap;
    View(Slot* slots, std::size_t mask, unsigned shift) noexcept
        : slots_(slots), mask_(mask), shift_(shift) {}
    Slot* slots_;
    std::size_t mask_;
    unsigned shift_;
  };
  View view() noexcept { return View(slots_.get(), mask_, shift_); }

  // `key` must be absent and not EMPTY. Returns the stored value.
  Value& insert(Key key, const Value& value) {
    // Keep the load at most one half so probe runs stay short.
    if (2 * (count_ + 1) > mask_ + 1) rehash();
    ++count_;
    return place(key, value);
  }

  // Forgets every key; the table keeps its size.
  void clear() noexcept {
    for (std::size_t i = 0; i <= mask_; ++i) slots_[i].key = EMPTY;
    count_ = 0;
  }
  std::size_t size() const noexcept { return count_; }

 private:
  static std::size_t home(Key key, unsigned shift) noexcept {
    // Fibonacci hashing: the product's top bits depend on every key bit, so
    // dense and strided keys alike spread over the table.
    return static_cast<std::size_t>((static_cast<std::uint64_t>(key) * 0x9E37'79B9'7F4A'7C15ull) >>
                                    shift);
  }
  std::size_t home(Key key) const noexcept { return home(key, shift_); }
  Value& place(Key key, const Value& value) noexcept {
    std::size_t i = home(key);
    while (slots_[i].key != EMPTY) i = (i + 1) & mask_;
    slots_[i] = Slot{key, value};
    return slots_[i].value;
  }
  void reset(std::size_t slots) {
    slots_ = std::make_unique_for_overwrite<Slot[]>(slots);
    for (std::size_t i = 0; i < slots; ++i) slots_[i].key = EMPTY;
    mask_ = slots - 1;
    shift_ = 64 - static_cast<unsigned>(std::countr_zero(slots));
  }
  void rehash() {
    std::unique_ptr<Slot[]> old = std::move(slots_);
    const std::size_t old_slots = mask_ + 1;
    reset(2 * old_slots);
    for (std::size_t i = 0; i < old_slots; ++i) {
      if (old[i].key != EMPTY) place(old[i].key, old[i].value);
    }
  }

  std::unique_ptr<Slot[]> slots_;
  std::size_t mask_ = 0;
  unsigned shift_ = 64;
  std::size_t count_ = 0;
};

}  // namespace fennik
