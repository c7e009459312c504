// Packed events, batches of them, and their decoded form.
#pragma once

#include <array>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <vector>

#include "clock.hpp"

namespace fennik {

// Event kinds. Functions: 1..6. Annotations from the program: a span opens
// and closes a frame like a function, named by an annotation site (its code
// field holds the site id); an instant and a counter value open nothing. An
// argument word carries 24 bits of the values of the annotation before it
// (see annotation.hpp), with that annotation's tick, and is never split from
// it. Closing kinds are exactly Return, Yield, Unwind and SpanEnd; any value
// outside 1..11 opens a frame, and consumers name it "start".
inline constexpr std::uint8_t KIND_START = 1;
inline constexpr std::uint8_t KIND_RETURN = 2;
inline constexpr std::uint8_t KIND_YIELD = 3;
inline constexpr std::uint8_t KIND_RESUME = 4;
inline constexpr std::uint8_t KIND_UNWIND = 5;
inline constexpr std::uint8_t KIND_THROW = 6;
inline constexpr std::uint8_t KIND_SPAN_BEGIN = 7;
inline constexpr std::uint8_t KIND_SPAN_END = 8;
inline constexpr std::uint8_t KIND_INSTANT = 9;
inline constexpr std::uint8_t KIND_COUNTER = 10;
inline constexpr std::uint8_t KIND_ARG = 11;
inline constexpr std::uint8_t LAST_KIND = KIND_ARG;

inline constexpr unsigned CODE_BITS = 24;
inline constexpr std::uint32_t MAX_CODE_ID = (1u << CODE_BITS) - 1;  // 16,777,215
inline constexpr unsigned KIND_SHIFT = 24;

// An event's word: kind in the top 8 bits, code id in the low 24.
inline constexpr std::uint32_t make_word(std::uint8_t kind, std::uint32_t code) noexcept {
  return (static_cast<std::uint32_t>(kind) << KIND_SHIFT) | (code & MAX_CODE_ID);
}
inline constexpr std::uint8_t word_kind(std::uint32_t word) noexcept {
  return static_cast<std::uint8_t>(word >> KIND_SHIFT);
}
inline constexpr std::uint32_t word_code(std::uint32_t word) noexcept {
  return word & MAX_CODE_ID;
}
// Kinds that neither open nor close a frame: instants, counter values and
// argument words.
inline constexpr bool is_mark(std::uint8_t kind) noexcept {
  return kind >= KIND_INSTANT && kind <= KIND_ARG;
}
inline constexpr bool is_end(std::uint8_t kind) noexcept {
  return kind == KIND_RETURN || kind == KIND_YIELD || kind == KIND_UNWIND || kind == KIND_SPAN_END;
}
inline constexpr bool is_begin(std::uint8_t kind) noexcept {
  return !is_end(kind) && !is_mark(kind);
}
// What a kind does to the count of frames open: +1, -1 or 0, by table, so
// that a pass over every event counts without a branch on the kind (whose
// outcome follows the program's calls and is hard to predict).
inline constexpr std::array<std::int8_t, 256> DEPTH_STEP = [] {
  std::array<std::int8_t, 256> steps{};
  for (std::size_t k = 0; k < steps.size(); ++k) {
    const auto kind = static_cast<std::uint8_t>(k);
    steps[k] = is_end(kind) ? -1 : is_begin(kind) ? 1 : 0;
  }
  return steps;
}();
// Kinds the program's annotations record.
inline constexpr bool is_annotation(std::uint8_t kind) noexcept {
  return kind >= KIND_SPAN_BEGIN && kind <= LAST_KIND;
}
// Maps any kind value to the closed set 1..LAST_KIND (unknown values become start).
inline constexpr std::uint8_t known_kind(std::uint8_t kind) noexcept {
  return kind >= KIND_RETURN && kind <= LAST_KIND ? kind : KIND_START;
}
// The word that ends the frame `begin` opened when no end of its own was
// seen: a span ends as a span, a function as unwound.
inline constexpr std::uint32_t closing_word(std::uint32_t begin) noexcept {
  return make_word(word_kind(begin) == KIND_SPAN_BEGIN ? KIND_SPAN_END : KIND_UNWIND,
                   word_code(begin));
}

// One recorded event: bits 0-31 ticks since the batch base, 32-55 code id,
// 56-63 kind. Stored in batch buffers exactly as this 64-bit value.
struct PackedEvent {
  std::uint64_t raw;

  static constexpr PackedEvent pack(std::uint32_t delta, std::uint32_t word) noexcept {
    return {static_cast<std::uint64_t>(delta) | (static_cast<std::uint64_t>(word) << 32)};
  }
  constexpr std::uint32_t delta() const noexcept { return static_cast<std::uint32_t>(raw); }
  constexpr std::uint32_t word() const noexcept { return static_cast<std::uint32_t>(raw >> 32); }
  constexpr std::uint32_t code() const noexcept { return word_code(word()); }
  constexpr std::uint8_t kind() const noexcept { return word_kind(word()); }
};
static_assert(sizeof(PackedEvent) == 8);

// A decoded event as exporters receive it.
struct Event {
  std::uint64_t ts_ns;      // nanoseconds since the session clock's start
  std::uint32_t tid;        // producing thread
  std::uint32_t code_kind;  // the packed event's word, unchanged
};
static_assert(sizeof(Event) == 16);

inline constexpr std::uint32_t BATCH_CAPACITY = 1024;
inline constexpr std::size_t BATCH_BYTES = BATCH_CAPACITY * sizeof(PackedEvent);  // 8,192

// Up to BATCH_CAPACITY events of one thread, in recording order. One owner at a
// time: the producing thread, then its list, then the consumer that frees it.
class EventBatch {
 public:
  EventBatch(std::uint32_t capacity, std::uint64_t base, std::uint32_t tid);
  EventBatch(EventBatch&&) noexcept = default;
  EventBatch& operator=(EventBatch&&) noexcept = default;

  // A producer batch: BATCH_CAPACITY slots, empty.
  static std::unique_ptr<EventBatch> fresh(std::uint64_t base, std::uint32_t tid) {
    return std::make_unique<EventBatch>(BATCH_CAPACITY, base, tid);
  }

  std::uint64_t base;
  std::uint32_t tid;
  // Events of this thread lost just before this batch's first one, and the
  // tick of the first of them; the gap is shown where it happened.
  std::uint64_t lost_before = 0;
  std::uint64_t lost_tick = 0;
  // Events at the front that a tail reader already moved on (with the gap
  // before them); the consumer leaves them out.
  std::uint32_t skip = 0;

  std::uint32_t size() const noexcept { return len_; }
  std::uint32_t capacity() const noexcept { return cap_; }
  bool empty() const noexcept { return len_ == 0; }
  PackedEvent* slots() noexcept { return data_.get(); }
  const PackedEvent* slots() const noexcept { return data_.get(); }
  std::span<const PackedEvent> events() const noexcept { return {data_.get(), len_}; }

  // The producer writes slots through HOT's cursor; this records how many it wrote.
  void set_size(std::uint32_t n) noexcept { len_ = n; }
  // Writes one Event per packed event, in order, to `out`, which has room
  // for size() of them.
  void decode_into(const Clock& clock, Event* out) const noexcept;

 private:
  std::unique_ptr<PackedEvent[]> data_;
  std::uint32_t len_ = 0;
  std::uint32_t cap_ = 0;
};

// Slots that another thread may copy while their owner writes them are
// accessed atomically (relaxed; a plain move on the targets we build for).
inline void store_slot(PackedEvent* slot, PackedEvent e) noexcept {
  std::atomic_ref<std::uint64_t>(slot->raw).store(e.raw, std::memory_order_relaxed);
}
inline PackedEvent load_slot(const PackedEvent* slot,
                             std::memory_order order = std::memory_order_relaxed) noexcept {
  return {std::atomic_ref<std::uint64_t>(const_cast<PackedEvent*>(slot)->raw).load(order)};
}

}  // namespace fennik
