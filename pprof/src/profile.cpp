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

std::span<const std::uint64_t> sample_ids(const Samples& s, std::size_t i) {
  const std::size_t begin = i == 0 ? 0 : s.ends[i - 1];
  return std::span<const std::uint64_t>(s.location_ids).subspan(begin, s.ends[i] - begin);
}
std::span<const std::int64_t> sample_values(const Samples& s, std::size_t i) {
  return std::span<const std::int64_t>(s.values).subspan(i, 1);
}
std::size_t sample_body(const Samples& s, std::size_t i) {
  return packed_field_size(sample_field::LOCATION_ID, sample_ids(s, i)) +
         packed_field_size(sample_field::VALUE, sample_values(s, i));
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

}  // namespace

std::size_t encoded_size(const Profile& p) {
  std::size_t n = 0;
  for (const ValueType& v : p.sample_type) {
    n += len_field_size(profile_field::SAMPLE_TYPE, value_type_body(v));
  }
  for (std::size_t i = 0; i < p.sample.size(); ++i) {
    n += len_field_size(profile_field::SAMPLE, sample_body(p.sample, i));
  }
  for (const Location& l : p.location)
    n += len_field_size(profile_field::LOCATION, location_body(l));
  for (const Function& f : p.function)
    n += len_field_size(profile_field::FUNCTION, function_body(f));
  for (const std::string& s : p.string_table)
    n += len_field_size(profile_field::STRING_TABLE, s.size());
  n += packed_field_size(profile_field::COMMENT, std::span<const std::int64_t>(p.comment));
  return n;
}

bool encode(const Profile& p, ByteBuffer& buffer) {
  const std::size_t size = encoded_size(p);
  const std::size_t start = buffer.size();
  buffer.claim(size + WRITER_SLACK_BYTES);
  wire::Writer out(buffer);

  for (const ValueType& v : p.sample_type) {
    put_message_head(out, profile_field::SAMPLE_TYPE, value_type_body(v));
    put_varint_field(out, value_type_field::TYPE, v.type);
    put_varint_field(out, value_type_field::UNIT, v.unit);
  }
  for (std::size_t i = 0; i < p.sample.size(); ++i) {
    put_message_head(out, profile_field::SAMPLE, sample_body(p.sample, i));
    out.packed_uint_field(sample_field::LOCATION_ID, sample_ids(p.sample, i));
    out.packed_int_field(sample_field::VALUE, sample_values(p.sample, i));
  }
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

  // The sizes above and the writers must agree; a mismatch would be a corrupt file.
  if (buffer.size() - start == size) return true;
  buffer.truncate(start);
  return false;
}

}  // namespace fennik::pprof
