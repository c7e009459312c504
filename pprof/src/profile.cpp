#include "profile.hpp"

#include <span>

namespace fennik::pprof {
namespace {

using wire::make_tag;
using wire::varint_size;
using wire::WireType;

// Field numbers of pprof's profile.proto.
namespace profile_field {
constexpr std::uint32_t SAMPLE_TYPE = 1;
constexpr std::uint32_t SAMPLE = 2;
constexpr std::uint32_t LOCATION = 4;
constexpr std::uint32_t FUNCTION = 5;
constexpr std::uint32_t STRING_TABLE = 6;
constexpr std::uint32_t COMMENT = 13;
}  // namespace profile_field
namespace value_type_field {
constexpr std::uint32_t TYPE = 1;
constexpr std::uint32_t UNIT = 2;
}  // namespace value_type_field
namespace sample_field {
constexpr std::uint32_t LOCATION_ID = 1;
constexpr std::uint32_t VALUE = 2;
}  // namespace sample_field
namespace location_field {
constexpr std::uint32_t ID = 1;
constexpr std::uint32_t LINE = 4;
}  // namespace location_field
namespace line_field {
constexpr std::uint32_t FUNCTION_ID = 1;
constexpr std::uint32_t LINE = 2;
}  // namespace line_field
namespace function_field {
constexpr std::uint32_t ID = 1;
constexpr std::uint32_t NAME = 2;
constexpr std::uint32_t FILENAME = 4;
constexpr std::uint32_t START_LINE = 5;
}  // namespace function_field

// The field writers claim room for a tag and a length beyond the payload
// before they know how short those are; this much slack past the exact size
// keeps the buffer from growing more than once.
constexpr std::size_t WRITER_SLACK_BYTES = 2 * wire::MAX_VARINT_BYTES;

std::size_t tag_size(std::uint32_t field, WireType type) {
  return varint_size(make_tag(field, type));
}

// int64 and uint64 fields alike are plain varints; 0 is not written.
std::size_t varint_field_size(std::uint32_t field, std::uint64_t v) {
  return v == 0 ? 0 : tag_size(field, WireType::Varint) + varint_size(v);
}
std::size_t varint_field_size(std::uint32_t field, std::int64_t v) {
  return varint_field_size(field, static_cast<std::uint64_t>(v));
}
std::size_t len_field_size(std::uint32_t field, std::size_t body) {
  return tag_size(field, WireType::Len) + varint_size(body) + body;
}

void put_varint_field(wire::Writer& out, std::uint32_t field, std::uint64_t v) {
  if (v != 0) out.uint_field(field, v);
}
void put_varint_field(wire::Writer& out, std::uint32_t field, std::int64_t v) {
  if (v != 0) out.int_field(field, v);
}
void put_message_head(wire::Writer& out, std::uint32_t field, std::size_t body) {
  out.tag(field, WireType::Len);
  out.varint(body);
}

template <class T>
std::size_t packed_body_size(std::span<const T> values) {
  std::size_t n = 0;
  for (const T v : values) n += varint_size(static_cast<std::uint64_t>(v));
  return n;
}
template <class T>
std::size_t packed_field_size(std::uint32_t field, std::span<const T> values) {
  return values.empty() ? 0 : len_field_size(field, packed_body_size(values));
}

std::size_t value_type_body(const ValueType& v) {
  return varint_field_size(value_type_field::TYPE, v.type) +
         varint_field_size(value_type_field::UNIT, v.unit);
}

std::size_t sample_body(std::span<const std::uint64_t> ids, std::span<const std::int64_t> value) {
  return packed_field_size(sample_field::LOCATION_ID, ids) +
         packed_field_size(sample_field::VALUE, value);
}

std::size_t line_body(const Line& l) {
  return varint_field_size(line_field::FUNCTION_ID, l.function_id) +
         varint_field_size(line_field::LINE, l.line);
}
std::size_t location_body(const Location& l) {
  return varint_field_size(location_field::ID, l.id) +
         len_field_size(location_field::LINE, line_body(l.line));
}

std::size_t function_body(const Function& f) {
  return varint_field_size(function_field::ID, f.id) +
         varint_field_size(function_field::NAME, f.name) +
         varint_field_size(function_field::FILENAME, f.filename) +
         varint_field_size(function_field::START_LINE, f.start_line);
}

// Runs `write` into `out` and keeps what it wrote only if that came to
// exactly `size` bytes: the sizes and the writers must agree, or the
// lengths written before nested messages would make the file corrupt.
template <class Write>
bool write_exactly(ByteBuffer& out, std::size_t size, Write write) {
  const std::size_t start = out.size();
  out.claim(size + WRITER_SLACK_BYTES);
  wire::Writer writer(out);
  write(writer);
  if (out.size() - start == size) return true;
  out.truncate(start);
  return false;
}

}  // namespace

bool encode_head(const Profile& p, ByteBuffer& buffer) {
  std::size_t size = 0;
  for (const ValueType& v : p.sample_type) {
    size += len_field_size(profile_field::SAMPLE_TYPE, value_type_body(v));
  }
  return write_exactly(buffer, size, [&](wire::Writer& out) {
    for (const ValueType& v : p.sample_type) {
      put_message_head(out, profile_field::SAMPLE_TYPE, value_type_body(v));
      put_varint_field(out, value_type_field::TYPE, v.type);
      put_varint_field(out, value_type_field::UNIT, v.unit);
    }
  });
}

bool encode_sample(std::span<const std::uint64_t> location_ids, std::int64_t value,
                   ByteBuffer& buffer) {
  const std::span<const std::int64_t> values(&value, 1);
  const std::size_t body = sample_body(location_ids, values);
  return write_exactly(buffer, len_field_size(profile_field::SAMPLE, body), [&](wire::Writer& out) {
    put_message_head(out, profile_field::SAMPLE, body);
    out.packed_uint_field(sample_field::LOCATION_ID, location_ids);
    out.packed_int_field(sample_field::VALUE, values);
  });
}

bool encode_packed_sample(std::string_view packed_ids, std::int64_t value, ByteBuffer& buffer) {
  const std::span<const std::int64_t> values(&value, 1);
  const std::size_t ids_field =
      packed_ids.empty() ? 0 : len_field_size(sample_field::LOCATION_ID, packed_ids.size());
  const std::size_t body = ids_field + packed_field_size(sample_field::VALUE, values);
  return write_exactly(buffer, len_field_size(profile_field::SAMPLE, body), [&](wire::Writer& out) {
    put_message_head(out, profile_field::SAMPLE, body);
    if (!packed_ids.empty()) {
      put_message_head(out, sample_field::LOCATION_ID, packed_ids.size());
      out.buffer().append(packed_ids);
    }
    out.packed_int_field(sample_field::VALUE, values);
  });
}

bool encode_tail(const Profile& p, ByteBuffer& buffer) {
  std::size_t size = 0;
  for (const Location& l : p.location)
    size += len_field_size(profile_field::LOCATION, location_body(l));
  for (const Function& f : p.function)
    size += len_field_size(profile_field::FUNCTION, function_body(f));
  for (const std::string& s : p.string_table)
    size += len_field_size(profile_field::STRING_TABLE, s.size());
  size += packed_field_size(profile_field::COMMENT, std::span<const std::int64_t>(p.comment));

  return write_exactly(buffer, size, [&](wire::Writer& out) {
    for (const Location& l : p.location) {
      put_message_head(out, profile_field::LOCATION, location_body(l));
      put_varint_field(out, location_field::ID, l.id);
      put_message_head(out, location_field::LINE, line_body(l.line));
      put_varint_field(out, line_field::FUNCTION_ID, l.line.function_id);
      put_varint_field(out, line_field::LINE, l.line.line);
    }
    for (const Function& f : p.function) {
      put_message_head(out, profile_field::FUNCTION, function_body(f));
      put_varint_field(out, function_field::ID, f.id);
      put_varint_field(out, function_field::NAME, f.name);
      put_varint_field(out, function_field::FILENAME, f.filename);
      put_varint_field(out, function_field::START_LINE, f.start_line);
    }
    // Every entry is written, the empty head too: indices are positions.
    for (const std::string& s : p.string_table) out.string_field(profile_field::STRING_TABLE, s);
    out.packed_int_field(profile_field::COMMENT, p.comment);
  });
}

}  // namespace fennik::pprof
