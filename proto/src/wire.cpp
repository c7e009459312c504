#include "wire.hpp"

#include <algorithm>
#include <utility>

namespace fennik::wire {
namespace {

// Smallest allocation of a buffer that starts without capacity.
constexpr std::size_t MIN_GROWTH_BYTES = 64;

}  // namespace

Buffer::Buffer(std::size_t capacity)
    : data_(capacity ? std::make_unique_for_overwrite<std::uint8_t[]>(capacity) : nullptr),
      cap_(capacity) {}

Buffer::Buffer(Buffer&& other) noexcept
    : data_(std::move(other.data_)),
      len_(std::exchange(other.len_, 0)),
      cap_(std::exchange(other.cap_, 0)) {}

Buffer& Buffer::operator=(Buffer&& other) noexcept {
  if (this != &other) {
    data_ = std::move(other.data_);
    len_ = std::exchange(other.len_, 0);
    cap_ = std::exchange(other.cap_, 0);
  }
  return *this;
}

void Buffer::grow(std::size_t more) {
  const std::size_t want = std::max({len_ + more, cap_ * 2, MIN_GROWTH_BYTES});
  auto bigger = std::make_unique_for_overwrite<std::uint8_t[]>(want);
  if (len_ != 0) std::memcpy(bigger.get(), data_.get(), len_);
  data_ = std::move(bigger);
  cap_ = want;
}

void Buffer::packed_uint_field(std::uint32_t field, std::span<const std::uint64_t> values) {
  if (values.empty()) return;
  std::size_t body = 0;
  for (const std::uint64_t v : values) body += varint_size(v);
  std::uint8_t* p = claim(2 * MAX_VARINT_BYTES + body);
  p = put_varint(p, make_tag(field, WireType::Len));
  p = put_varint(p, body);
  for (const std::uint64_t v : values) p = put_varint(p, v);
  commit(p);
}

void Buffer::packed_int_field(std::uint32_t field, std::span<const std::int64_t> values) {
  if (values.empty()) return;
  std::size_t body = 0;
  for (const std::int64_t v : values) body += varint_size(static_cast<std::uint64_t>(v));
  std::uint8_t* p = claim(2 * MAX_VARINT_BYTES + body);
  p = put_varint(p, make_tag(field, WireType::Len));
  p = put_varint(p, body);
  for (const std::int64_t v : values) p = put_varint(p, static_cast<std::uint64_t>(v));
  commit(p);
}

void Buffer::backfill_long(std::size_t length_at, std::size_t body) {
  // The placeholder holds one byte; make room for the rest of the varint.
  const std::size_t extra = varint_size(body) - 1;
  claim(extra);
  std::uint8_t* base = data_.get();
  std::memmove(base + length_at + 1 + extra, base + length_at + 1, body);
  put_varint(base + length_at, body);
  len_ += extra;
}

}  // namespace fennik::wire
