#include "event.hpp"

#include <gtest/gtest.h>

#include <algorithm>

#include <cstring>
#include <vector>

namespace fennik {
namespace {

TEST(PackedEvent, BitLayout) {
  const PackedEvent e = PackedEvent::pack(0xDEADBEEF, make_word(KIND_YIELD, 0xABCDEF));
  EXPECT_EQ(e.raw, 0x03ABCDEF'DEADBEEFull);
  EXPECT_EQ(e.delta(), 0xDEADBEEFu);
  EXPECT_EQ(e.code(), 0xABCDEFu);
  EXPECT_EQ(e.kind(), KIND_YIELD);
  EXPECT_EQ(e.word(), 0x03ABCDEFu);
  std::uint64_t bytes;
  std::memcpy(&bytes, &e, sizeof e);
  EXPECT_EQ(bytes, e.raw);
}

TEST(PackedEvent, CodeFieldNeverSpillsIntoKind) {
  EXPECT_EQ(MAX_CODE_ID, 16'777'215u);
  EXPECT_EQ(word_code(make_word(KIND_START, MAX_CODE_ID)), MAX_CODE_ID);
  const std::uint32_t w = make_word(KIND_RETURN, MAX_CODE_ID + 1);  // 2^24 wraps to 0
  EXPECT_EQ(word_code(w), 0u);
  EXPECT_EQ(word_kind(w), KIND_RETURN);
}

TEST(Kinds, OnlyReturnYieldAndUnwindClose) {
  for (int k = 0; k < 256; ++k) {
    const auto kind = static_cast<std::uint8_t>(k);
    const bool closes = k == 2 || k == 3 || k == 5;
    EXPECT_EQ(is_begin(kind), !closes) << k;
  }
}

TEST(Kinds, UnknownValuesReadAsStart) {
  EXPECT_EQ(known_kind(0), KIND_START);
  EXPECT_EQ(known_kind(7), KIND_START);
  EXPECT_EQ(known_kind(255), KIND_START);
  for (std::uint8_t k = 1; k <= 6; ++k) EXPECT_EQ(known_kind(k), k);
}

// A batch holding `events`, as the recording thread leaves it.
EventBatch batch_of(std::uint64_t base, std::uint32_t tid, std::vector<PackedEvent> events) {
  EventBatch b(static_cast<std::uint32_t>(events.size()), base, tid);
  std::copy(events.begin(), events.end(), b.slots());
  b.set_size(static_cast<std::uint32_t>(events.size()));
  return b;
}

TEST(EventBatch, DecodeAddsBaseAndConverts) {
  const Clock clock = Clock::counter(2'000'000'000, 1'000);  // 0.5 ns per tick
  EventBatch b = batch_of(1'000 + 10, 42,
                          {PackedEvent::pack(0, make_word(KIND_START, 7)),
                           PackedEvent::pack(0xFFFFFFFF, make_word(KIND_RETURN, 7))});
  std::vector<Event> out{{1, 2, 3}};  // decoding appends
  b.decode_into(clock, out);
  ASSERT_EQ(out.size(), 3u);
  EXPECT_EQ(out[1].ts_ns, 5u);
  EXPECT_EQ(out[1].tid, 42u);
  EXPECT_EQ(out[1].code_kind, make_word(KIND_START, 7));
  // base + a full 32-bit delta is computed in 64 bits.
  EXPECT_EQ(out[2].ts_ns, (10ull + 0xFFFFFFFFull) / 2);
  EXPECT_EQ(out[2].code_kind, make_word(KIND_RETURN, 7));
}

TEST(EventBatch, DecodeBeforeStartIsZeroAndEmptyAppendsNothing) {
  const Clock clock = Clock::nanos(5'000);
  EventBatch b = batch_of(4'000, 1,
                          {PackedEvent::pack(999, make_word(KIND_START, 1)),      // tick 4,999
                           PackedEvent::pack(1'001, make_word(KIND_START, 1))});  // tick 5,001
  std::vector<Event> out;
  b.decode_into(clock, out);
  ASSERT_EQ(out.size(), 2u);
  EXPECT_EQ(out[0].ts_ns, 0u);
  EXPECT_EQ(out[1].ts_ns, 1u);
  EventBatch empty(BATCH_CAPACITY, 0, 1);
  empty.decode_into(clock, out);
  EXPECT_EQ(out.size(), 2u);
}

}  // namespace
}  // namespace fennik
