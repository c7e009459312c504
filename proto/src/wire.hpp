// A small Protocol Buffers wire-format writer: varints, tags, varint and
// length-delimited fields, and nested messages whose length is backfilled.
// The product carries no protobuf runtime; exporters encode with this, into
// a ByteBuffer through its claim/commit protocol.
#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string_view>

#include "byte_buffer.hpp"

namespace fennik::wire {

enum class WireType : std::uint8_t {
  Varint = 0,
  Fixed64 = 1,
  Len = 2,
  Fixed32 = 5,
};

// An unsigned LEB128 encoding of a u64 never takes more than this.
inline constexpr std::size_t MAX_VARINT_BYTES = 10;

// The key that precedes a field: field number and wire type.
constexpr std::uint64_t make_tag(std::uint32_t field, WireType type) noexcept {
  return (static_cast<std::uint64_t>(field) << 3) | static_cast<std::uint64_t>(type);
}

constexpr std::size_t varint_size(std::uint64_t v) noexcept {
  // ceil(significant bits / 7), at least 1, without a loop: 9/64 ~ 1/7.
  return (static_cast<std::size_t>(std::bit_width(v | 1)) * 9 + 64) / 64;
}

// Writes v at `out`, which must have MAX_VARINT_BYTES of room; returns the end.
inline char* put_varint(char* out, std::uint64_t v) noexcept {
  while (v >= 0x80) {
    *out++ = static_cast<char>(v | 0x80);
    v >>= 7;
  }
  *out++ = static_cast<char>(v);
  return out;
}

// Protobuf field writers appending to a buffer the writer does not own.
class Writer {
 public:
  explicit Writer(ByteBuffer& out) noexcept : out_(out) {}

  ByteBuffer& buffer() const noexcept { return out_; }

  void varint(std::uint64_t v) { out_.commit(put_varint(out_.claim(MAX_VARINT_BYTES), v)); }
  void tag(std::uint32_t field, WireType type) { varint(make_tag(field, type)); }

  // Scalar fields. uint32/uint64/bool/enum values go through uint_field;
  // int32/int64 through int_field (negative values take ten bytes, as the
  // wire format requires).
  void uint_field(std::uint32_t field, std::uint64_t v) {
    char* p = out_.claim(2 * MAX_VARINT_BYTES);
    p = put_varint(p, make_tag(field, WireType::Varint));
    out_.commit(put_varint(p, v));
  }
  void int_field(std::uint32_t field, std::int64_t v) {
    uint_field(field, static_cast<std::uint64_t>(v));
  }

  // Length-delimited fields: bytes, strings and pre-encoded messages.
  void string_field(std::uint32_t field, std::string_view s) {
    char* q = out_.claim(2 * MAX_VARINT_BYTES + s.size());
    q = put_varint(q, make_tag(field, WireType::Len));
    q = put_varint(q, s.size());
    out_.commit(put_bytes(q, s));
  }

  // Packed repeated varint fields; nothing is written for an empty list.
  void packed_uint_field(std::uint32_t field, std::span<const std::uint64_t> values);
  void packed_int_field(std::uint32_t field, std::span<const std::int64_t> values);

  // A nested message: begin_message writes the field's tag and a one-byte
  // length placeholder; the message's fields follow; end_message backfills the
  // length, moving the body when it needs a longer varint. Nests to any depth
  // as long as messages end in the reverse order they began.
  struct Nested {
    std::size_t length_at;
  };
  Nested begin_message(std::uint32_t field) {
    tag(field, WireType::Len);
    out_.push_back(0);
    return Nested{out_.size() - 1};
  }
  void end_message(Nested m) {
    const std::size_t body = out_.size() - m.length_at - 1;
    if (body < 0x80) {
      out_.data()[m.length_at] = static_cast<char>(body);
    } else {
      backfill_long(m.length_at, body);
    }
  }

 private:
  void backfill_long(std::size_t length_at, std::size_t body);

  ByteBuffer& out_;
};

}  // namespace fennik::wire
