// Where each cached packet tail of one sequence lies in that sequence's tail
// arena: an open-addressing map from a u64 tail key, probed linearly. It is
// looked up once per exported event, so it stays flat and branch-light.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>

namespace fennik {

struct TailSpan {
  std::uint32_t offset;
  std::uint32_t length;
};

class TailIndex {
 public:
  // Marks an empty slot, so it is never stored: tail keys hold a 24-bit code
  // id and a begin bit, far below it.
  static constexpr std::uint64_t NO_KEY = ~std::uint64_t{0};
  static constexpr std::size_t INITIAL_SLOTS = 64;  // a power of two, grown by doubling

  TailIndex();

  const TailSpan* find(std::uint64_t key) const noexcept {
    for (std::size_t i = slot_of(key);; i = (i + 1) & mask_) {
      const Slot& s = slots_[i];
      if (s.key == key) return &s.span;
      if (s.key == NO_KEY) return nullptr;
    }
  }
  // `key` must be absent and not NO_KEY.
  void insert(std::uint64_t key, TailSpan span);
  // Forgets every key; the table keeps its size.
  void clear() noexcept;
  std::size_t size() const noexcept { return count_; }

 private:
  struct Slot {
    std::uint64_t key;
    TailSpan span;
  };

  std::size_t slot_of(std::uint64_t key) const noexcept {
    // Fibonacci hashing: the product's top bits depend on every key bit.
    return static_cast<std::size_t>((key * 0x9E3779B97F4A7C15ull) >> shift_);
  }
  void rehash(std::size_t slots);

  std::unique_ptr<Slot[]> slots_;
  std::size_t mask_ = 0;
  unsigned shift_ = 64;
  std::size_t count_ = 0;
};

}  // namespace fennik
