#include "intern.hpp"

#include <algorithm>
#include <cstdlib>
#include <mutex>
#include <new>
#include <random>

#include "whole_number.hpp"

namespace fennik {

std::optional<std::uint32_t> parse_code_capacity(const char* text) noexcept {
  if (text == nullptr) return MAX_CODE_CAPACITY;
  const std::optional<std::uint64_t> value = py::parse_whole_number(text);
  if (!value) return std::nullopt;
  // Large but well-formed values mean "as many as possible".
  return static_cast<std::uint32_t>(std::clamp<std::uint64_t>(*value, 1, MAX_CODE_CAPACITY));
}

std::size_t Interner::SeededHash::operator()(std::uintptr_t key) const noexcept {
  // A 64-bit finaliser over the seeded key (splitmix64).
  std::uint64_t z = static_cast<std::uint64_t>(key) + seed;
  z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
  z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
  return static_cast<std::size_t>(z ^ (z >> 31));
}

Interner::Interner(std::uint32_t capacity)
    : index_(0, SeededHash{(static_cast<std::uint64_t>(std::random_device{}()) << 32) ^
                           std::random_device{}()}),
      capacity_(capacity == 0 ? 1 : std::min(capacity, MAX_CODE_CAPACITY)) {}

std::optional<std::uint32_t> Interner::lookup(std::uintptr_t address) const {
  std::shared_lock<std::shared_mutex> g(lock_);
  auto it = index_.find(address);
  if (it == index_.end()) return std::nullopt;
  return it->second;
}

std::optional<std::uint32_t> Interner::insert(std::uintptr_t address, CodeInfo info,
                                              std::uint64_t floor) {
  std::unique_lock<std::shared_mutex> g(lock_);
  if (auto it = index_.find(address); it != index_.end()) return it->second;
  // Parked in the order forgotten, so the oldest is the first to qualify.
  if (!forgotten_.empty() && forgotten_.front().second < floor) {
    const std::uint32_t id = forgotten_.front().first;
    index_.emplace(address, id);
    forgotten_.pop_front();
    entries_[id] = std::move(info);
    reuse_generation_.fetch_add(1, std::memory_order_release);
    return id;
  }
  if (entries_.size() >= capacity_) return std::nullopt;
  const auto id = static_cast<std::uint32_t>(entries_.size());
  entries_.push_back(std::move(info));
  try {
    index_.emplace(address, id);
  } catch (...) {
    entries_.pop_back();
    throw;
  }
  return id;
}

void Interner::leave_out(std::uintptr_t address) {
  std::unique_lock<std::shared_mutex> g(lock_);
  index_.emplace(address, LEFT_OUT);
}

bool Interner::forget(std::uintptr_t address, std::uint64_t now) {
  std::unique_lock<std::shared_mutex> g(lock_);
  auto it = index_.find(address);
  if (it == index_.end()) return false;
  const std::uint32_t id = it->second;
  // Unmapped first: a new code object at this address must never get the old id.
  index_.erase(it);
  // Cached by the callbacks as well, but no id was spent on it.
  if (id == LEFT_OUT) return true;
  try {
    forgotten_.emplace_back(id, now);
  } catch (const std::bad_alloc&) {
    // Out of memory: the id is never reused, which is safe.
  }
  return true;
}

std::optional<CodeInfo> Interner::code(std::uint32_t id) const {
  std::shared_lock<std::shared_mutex> g(lock_);
  if (id >= entries_.size()) return std::nullopt;
  return entries_[id];
}

}  // namespace fennik
