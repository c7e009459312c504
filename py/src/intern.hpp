// Code object → dense 24-bit code id, and code id → CodeInfo for the output
// side. One per session; ids of destroyed code objects are parked and reused
// only once no retained event can still name them.
#pragma once

#include <atomic>
#include <cstdint>
#include <deque>
#include <optional>
#include <shared_mutex>
#include <string>
#include <unordered_map>
#include <utility>
#include <vector>

#include "sink.hpp"

namespace fennik {

inline constexpr std::uint32_t MAX_CODE_CAPACITY = 1u << 24;  // 16,777,216
// What lookup gives for a code object the session leaves out.
inline constexpr std::uint32_t LEFT_OUT = ~std::uint32_t{0};
inline constexpr char CODE_CAPACITY_ENV[] = "FENNIK_CODE_CAPACITY";

// The capacity an environment value asks for: unset gives the maximum, 0
// gives 1, anything else is capped at the maximum. Malformed text (not a
// decimal integer) gives nothing; the caller warns and uses the maximum.
std::optional<std::uint32_t> parse_code_capacity(const char* text) noexcept;

class Interner {
 public:
  explicit Interner(std::uint32_t capacity);

  std::uint32_t capacity() const noexcept { return capacity_; }

  // The code object's id, LEFT_OUT for one left out, or nothing when unknown.
  std::optional<std::uint32_t> lookup(std::uintptr_t address) const;
  // Marks the code object at `address` as left out: no id is spent on it.
  void leave_out(std::uintptr_t address);
  // `info` was read from the code object before the call, outside the lock.
  // An id parked before `floor` is reused before a new one is taken: the
  // table grows only while no parked id can be reused yet. Gives nothing when
  // every id is out and none can be reused.
  std::optional<std::uint32_t> insert(std::uintptr_t address, CodeInfo info, std::uint64_t floor);
  // The code object at `address` was destroyed at tick `now`; true if it was known.
  bool forget(std::uintptr_t address, std::uint64_t now);
  std::optional<CodeInfo> code(std::uint32_t id) const;
  // Moves each time an id is reused.
  std::uint64_t reuse_generation() const noexcept {
    return reuse_generation_.load(std::memory_order_acquire);
  }

 private:
  // Keys are addresses; the seed keeps their layout from shaping the table.
  struct SeededHash {
    std::uint64_t seed;
    std::size_t operator()(std::uintptr_t key) const noexcept;
  };

  mutable std::shared_mutex lock_;
  std::vector<CodeInfo> entries_;
  std::deque<std::pair<std::uint32_t, std::uint64_t>> forgotten_;  // (id, tick), oldest first
  std::unordered_map<std::uintptr_t, std::uint32_t, SeededHash> index_;
  std::uint32_t capacity_;
  std::atomic<std::uint64_t> reuse_generation_{0};
};

}  // namespace fennik
