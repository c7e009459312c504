// A small Protocol Buffers wire-format writer: varints, tags, varint and
// length-delimited fields, and nested messages whose length is backfilled.
// The product carries no protobuf runtime; exporters encode with this.
#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <span>
#include <string_view>

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
inline std::uint8_t* put_varint(std::uint8_t* out, std::uint64_t v) noexcept {
  while (v >= 0x80) {
    *out++ = static_cast<std::uint8_t>(v | 0x80);
    v >>= 7;
  }
  *out++ = static_cast<std::uint8_t>(v);
  return out;
}

// The encoding of one u64 held by value: for ids and lengths written by hand.
class Varint {
 public:
  explicit Varint(std::uint64_t v) noexcept
      : len_(static_cast<std::uint8_t>(put_varint(bytes_, v) - bytes_)) {}
  const std::uint8_t* data() const noexcept { return bytes_; }
  std::size_t size() const noexcept { return len_; }

 private:
  std::uint8_t bytes_[MAX_VARINT_BYTES];
  std::uint8_t len_;
};

// A growable byte buffer with protobuf field writers. Clearing keeps the
// capacity, so a reused buffer stops allocating once it has grown.
class Buffer {
 public:
  explicit Buffer(std::size_t capacity = 0);
  Buffer(Buffer&& other) noexcept;
  Buffer& operator=(Buffer&& other) noexcept;
  Buffer(const Buffer&) = delete;
  Buffer& operator=(const Buffer&) = delete;
  ~Buffer() = default;

  const std::uint8_t* data() const noexcept { return data_.get(); }
  std::size_t size() const noexcept { return len_; }
  std::size_t capacity() const noexcept { return cap_; }
  bool empty() const noexcept { return len_ == 0; }
  void clear() noexcept { len_ = 0; }

  // Raw writing: claim(n) makes room for up to n bytes and returns where they
  // go; commit(end) then takes everything up to `end` (at most n bytes on).
  std::uint8_t* claim(std::size_t n) {
    if (n > cap_ - len_) grow(n);
    return data_.get() + len_;
  }
  void commit(const std::uint8_t* end) noexcept {
    len_ = static_cast<std::size_t>(end - data_.get());
  }

  void push(std::uint8_t b) {
    if (len_ == cap_) grow(1);
    data_[len_++] = b;
  }
  void append(const void* p, std::size_t n) {
    if (n == 0) return;
    std::memcpy(claim(n), p, n);
    len_ += n;
  }
  void varint(std::uint64_t v) { commit(put_varint(claim(MAX_VARINT_BYTES), v)); }
  void tag(std::uint32_t field, WireType type) { varint(make_tag(field, type)); }

  // Scalar fields. uint32/uint64/bool/enum values go through uint_field;
  // int32/int64 through int_field (negative values take ten bytes, as the
  // wire format requires).
  void uint_field(std::uint32_t field, std::uint64_t v) {
    std::uint8_t* p = claim(2 * MAX_VARINT_BYTES);
    p = put_varint(p, make_tag(field, WireType::Varint));
    commit(put_varint(p, v));
  }
  void int_field(std::uint32_t field, std::int64_t v) {
    uint_field(field, static_cast<std::uint64_t>(v));
  }

  // Length-delimited fields: bytes, strings and pre-encoded messages.
  void bytes_field(std::uint32_t field, const void* p, std::size_t n) {
    std::uint8_t* q = claim(2 * MAX_VARINT_BYTES + n);
    q = put_varint(q, make_tag(field, WireType::Len));
    q = put_varint(q, n);
    if (n != 0) std::memcpy(q, p, n);
    commit(q + n);
  }
  void string_field(std::uint32_t field, std::string_view s) {
    bytes_field(field, s.data(), s.size());
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
    push(0);
    return Nested{len_ - 1};
  }
  void end_message(Nested m) {
    const std::size_t body = len_ - m.length_at - 1;
    if (body < 0x80) {
      data_[m.length_at] = static_cast<std::uint8_t>(body);
    } else {
      backfill_long(m.length_at, body);
    }
  }

 private:
  void grow(std::size_t more);
  void backfill_long(std::size_t length_at, std::size_t body);

  std::unique_ptr<std::uint8_t[]> data_;
  std::size_t len_ = 0;
  std::size_t cap_ = 0;
};

}  // namespace fennik::wire
