#include "wire.hpp"

#include <cstring>

namespace fennik::wire {
namespace {

template <class T>
void packed_field(ByteBuffer& out, std::uint32_t field, std::span<const T> values) {
  if (values.empty()) return;
  std::size_t body = 0;
  for (const T v : values) body += varint_size(static_cast<std::uint64_t>(v));
  char* p = out.claim(2 * MAX_VARINT_BYTES + body);
  p = put_varint(p, make_tag(field, WireType::Len));
  p = put_varint(p, body);
  for (const T v : values) p = put_varint(p, static_cast<std::uint64_t>(v));
  out.commit(p);
}

}  // namespace

void Writer::packed_uint_field(std::uint32_t field, std::span<const std::uint64_t> values) {
  packed_field(out_, field, values);
}

void Writer::packed_int_field(std::uint32_t field, std::span<const std::int64_t> values) {
  packed_field(out_, field, values);
}

void Writer::backfill_long(std::size_t length_at, std::size_t body) {
  // The placeholder holds one byte; make room for the rest of the varint.
  const std::size_t extra = varint_size(body) - 1;
  char* end = out_.claim(extra) + extra;
  char* base = out_.data();
  std::memmove(base + length_at + 1 + extra, base + length_at + 1, body);
  put_varint(base + length_at, body);
  out_.commit(end);
}

}  // namespace fennik::wire
