#include "wire.hpp"

#include <gtest/gtest.h>

#include <cstdint>
#include <limits>
#include <string>
#include <vector>

namespace fennik::wire {
namespace {

using Bytes = std::vector<std::uint8_t>;

Bytes bytes_of(const Buffer& b) {
  return {b.data(), b.data() + b.size()};
}

TEST(ProtoWireVarint, EncodesKnownValues) {
  const std::pair<std::uint64_t, Bytes> cases[] = {
      {0, {0x00}},
      {1, {0x01}},
      {127, {0x7F}},
      {128, {0x80, 0x01}},
      {300, {0xAC, 0x02}},
      {16'383, {0xFF, 0x7F}},
      {16'384, {0x80, 0x80, 0x01}},
      {0xFFFF'FFFF, {0xFF, 0xFF, 0xFF, 0xFF, 0x0F}},
      {std::numeric_limits<std::uint64_t>::max(),
       {0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0x01}},
  };
  for (const auto& [value, want] : cases) {
    const Varint v(value);
    EXPECT_EQ(Bytes(v.data(), v.data() + v.size()), want) << value;
    Buffer b;
    b.varint(value);
    EXPECT_EQ(bytes_of(b), want) << value;
  }
}

TEST(ProtoWireVarint, SizeChangesExactlyAtSevenBitBoundaries) {
  for (unsigned bits = 1; bits < 64; ++bits) {
    const std::uint64_t below = (std::uint64_t{1} << bits) - 1;
    const std::size_t want = (bits + 6) / 7;
    EXPECT_EQ(varint_size(below), want) << bits;
    EXPECT_EQ(Varint(below).size(), want) << bits;
    EXPECT_EQ(varint_size(below + 1), (bits + 7) / 7) << bits;
  }
  EXPECT_EQ(varint_size(std::numeric_limits<std::uint64_t>::max()), MAX_VARINT_BYTES);
}

TEST(ProtoWireFields, ScalarEncodings) {
  Buffer b;
  b.uint_field(1, 150);
  EXPECT_EQ(bytes_of(b), (Bytes{0x08, 0x96, 0x01}));

  // Field 34 needs a two-byte tag.
  b.clear();
  b.uint_field(34, 1);
  EXPECT_EQ(bytes_of(b), (Bytes{0x90, 0x02, 0x01}));

  // int32/int64 negatives are sign-extended to ten bytes.
  b.clear();
  b.int_field(2, -1);
  EXPECT_EQ(bytes_of(b), (Bytes{0x10, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0x01}));
}

TEST(ProtoWireFields, LengthDelimitedAndPacked) {
  Buffer b;
  b.string_field(2, "hi");
  b.string_field(2, "");
  b.bytes_field(3, "\x00\x01", 2);
  EXPECT_EQ(bytes_of(b), (Bytes{0x12, 0x02, 'h', 'i', 0x12, 0x00, 0x1A, 0x02, 0x00, 0x01}));

  b.clear();
  const std::uint64_t u[] = {1, 300};
  b.packed_uint_field(4, u);
  b.packed_uint_field(5, {});  // nothing at all for an empty list
  const std::int64_t s[] = {-1, 2};
  b.packed_int_field(6, s);
  EXPECT_EQ(bytes_of(b),
            (Bytes{0x22, 0x03, 0x01, 0xAC, 0x02,  //
                   0x32, 0x0B, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0x01, 0x02}));
}

TEST(ProtoWireNested, LengthIsBackfilledAroundTheOneByteBoundary) {
  for (const std::size_t body : {0u, 125u, 126u, 127u, 128u, 300u, 20'000u}) {
    Buffer b;
    b.uint_field(1, 7);
    const auto m = b.begin_message(2);
    for (std::size_t i = 0; i < body; ++i) b.push(static_cast<std::uint8_t>(i));
    b.end_message(m);
    b.uint_field(3, 9);

    Bytes want{0x08, 0x07, 0x12};
    const Varint len(body);
    want.insert(want.end(), len.data(), len.data() + len.size());
    for (std::size_t i = 0; i < body; ++i) want.push_back(static_cast<std::uint8_t>(i));
    want.insert(want.end(), {0x18, 0x09});
    EXPECT_EQ(bytes_of(b), want) << body;
  }
}

TEST(ProtoWireNested, InnerAndOuterLengthsBothGrow) {
  // outer 1 { inner 2 { string 3 = 200 x } }: both lengths need two bytes.
  Buffer b;
  const auto outer = b.begin_message(1);
  const auto inner = b.begin_message(2);
  b.string_field(3, std::string(200, 'x'));
  b.end_message(inner);
  b.uint_field(4, 1);
  b.end_message(outer);

  Bytes want{0x0A, 0xD0, 0x01, 0x12, 0xCB, 0x01, 0x1A, 0xC8, 0x01};
  want.insert(want.end(), 200, 'x');
  want.insert(want.end(), {0x20, 0x01});
  EXPECT_EQ(bytes_of(b), want);
}

TEST(ProtoWireBuffer, GrowsFromNothingKeepsBytesAndReusesCapacity) {
  Buffer b;
  EXPECT_EQ(b.capacity(), 0u);
  Bytes want;
  for (int i = 0; i < 5'000; ++i) {
    b.uint_field(1, static_cast<std::uint64_t>(i));
    const Varint v(static_cast<std::uint64_t>(i));
    want.push_back(0x08);
    want.insert(want.end(), v.data(), v.data() + v.size());
  }
  EXPECT_EQ(bytes_of(b), want);

  const std::size_t cap = b.capacity();
  b.clear();
  EXPECT_TRUE(b.empty());
  b.append(want.data(), want.size());
  EXPECT_EQ(b.capacity(), cap);
  EXPECT_EQ(bytes_of(b), want);

  Buffer moved(std::move(b));
  EXPECT_EQ(bytes_of(moved), want);
  EXPECT_EQ(b.size(), 0u);  // NOLINT: a moved-from buffer is empty and reusable
  b.push(0x42);
  EXPECT_EQ(bytes_of(b), Bytes{0x42});
}

TEST(ProtoWireBuffer, ClaimAndCommitWriteInPlace) {
  Buffer b(4);
  std::uint8_t* p = b.claim(3 * MAX_VARINT_BYTES);
  ASSERT_GE(b.capacity(), 3 * MAX_VARINT_BYTES);
  *p++ = 0x40;
  p = put_varint(p, 1'000'000);
  b.commit(p);
  EXPECT_EQ(bytes_of(b), (Bytes{0x40, 0xC0, 0x84, 0x3D}));
}

}  // namespace
}  // namespace fennik::wire
