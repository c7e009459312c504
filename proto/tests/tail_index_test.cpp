#include "tail_index.hpp"

#include <gtest/gtest.h>

#include <cstdint>

namespace fennik {
namespace {

std::uint64_t begin_key(std::uint32_t tid, std::uint32_t code) {
  return (std::uint64_t{tid} << 32) | (std::uint64_t{code} << 1) | 1;
}

TEST(ProtoTailIndex, FindsEveryKeyAcrossRehashesAndNothingElse) {
  TailIndex index;
  EXPECT_EQ(index.find(0), nullptr);
  // Thread 0's end key is 0; it must be an ordinary key.
  index.insert(0, TailSpan{7, 8});
  // Enough keys to double the table several times, with keys that share
  // their low bits (same code on many threads) and their high bits.
  std::uint32_t n = 0;
  for (std::uint32_t tid = 1; tid <= 40; ++tid) {
    index.insert(std::uint64_t{tid} << 32, TailSpan{tid, 1});
    for (std::uint32_t code = 0; code < 200; ++code) {
      index.insert(begin_key(tid, code), TailSpan{n++, code});
    }
  }
  EXPECT_EQ(index.size(), 1 + 40 * 201u);

  ASSERT_NE(index.find(0), nullptr);
  EXPECT_EQ(index.find(0)->offset, 7u);
  n = 0;
  for (std::uint32_t tid = 1; tid <= 40; ++tid) {
    const TailSpan* end = index.find(std::uint64_t{tid} << 32);
    ASSERT_NE(end, nullptr);
    EXPECT_EQ(end->offset, tid);
    for (std::uint32_t code = 0; code < 200; ++code) {
      const TailSpan* s = index.find(begin_key(tid, code));
      ASSERT_NE(s, nullptr);
      EXPECT_EQ(s->offset, n++);
      EXPECT_EQ(s->length, code);
    }
    EXPECT_EQ(index.find(begin_key(tid, 200)), nullptr);
  }
  EXPECT_EQ(index.find(begin_key(41, 0)), nullptr);
  EXPECT_EQ(index.find(std::uint64_t{41} << 32), nullptr);

  index.clear();
  EXPECT_EQ(index.size(), 0u);
  EXPECT_EQ(index.find(0), nullptr);
  EXPECT_EQ(index.find(begin_key(1, 0)), nullptr);
  index.insert(begin_key(1, 0), TailSpan{3, 4});
  EXPECT_EQ(index.find(begin_key(1, 0))->offset, 3u);
}

}  // namespace
}  // namespace fennik
