// Where each cached packet tail lies in the exporter's tail arena: an
// insert-only open-addressing map from a u64 tail key, probed linearly. It is
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
  // Never a tail key: begin keys have bit 0 set and at most 25 low bits in
  // use; end keys have their low 32 bits clear.
  static constexpr std::uint64_t NO_KEY = ~std::uint64_t{0};
  static constexpr std::size_t INITIAL_SLOTS = 1024;  // a power of two

  TailIndex();

  const TailSpan* find(std::uint64_t key) const noexcept {
    for (std::size_t i = slot_of(key);; i = (i + 1) & mask_) {
      const Slot& s = slots_[i];
      if (s.key == key) return &s.span;
      if (s.key == NO_KEY) return nullptr;
    }
  }
  // `key` must be absent.
  void insert(std::uint64_t key, TailSpan span);
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
