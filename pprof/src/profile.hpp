// The subset of pprof's Profile message this exporter writes, and its
// encoding. Integer fields holding 0 are left out, as are all fields not here.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "byte_buffer.hpp"
#include "wire.hpp"

namespace fennik::pprof {

struct ValueType {
  std::int64_t type = 0;  // string index
  std::int64_t unit = 0;  // string index
};

struct Line {
  std::uint64_t function_id = 0;
  std::int64_t line = 0;
};

// Every location here is one function at its first line: exactly one Line.
struct Location {
  std::uint64_t id = 0;
  Line line;
};

// No system_name: pprof reads a function whose system_name equals its name
// as a symbol still to demangle and simplify, and drops what looks like C++
// template arguments from it ("<module>" and "<lambda>" come out empty).
// With none, pprof shows the name as written under every -symbolize mode.
struct Function {
  std::uint64_t id = 0;
  std::int64_t name = 0;      // string index
  std::int64_t filename = 0;  // string index
  std::int64_t start_line = 0;
};

// Everything of a Profile but its samples, which are encoded one at a time.
struct Profile {
  std::vector<ValueType> sample_type;
  std::vector<Location> location;
  std::vector<Function> function;
  std::vector<std::string> string_table;
  std::vector<std::int64_t> comment;  // string indices
};

// A Profile message is its fields back to back, in any order, the entries of
// a repeated field adding up; so a profile is written in pieces and is never
// in memory whole: encode_head, encode_sample for every sample, encode_tail.
// Each appends to `out`, or returns false with nothing appended if what it
// wrote did not come out at the size it computed first.

// The sample types.
bool encode_head(const Profile& profile, ByteBuffer& out);
// One Sample: its location ids, innermost first, and its one value.
bool encode_sample(std::span<const std::uint64_t> location_ids, std::int64_t value,
                   ByteBuffer& out);
// The same from its location ids already encoded as varints back to back.
bool encode_packed_sample(std::string_view packed_ids, std::int64_t value, ByteBuffer& out);
// The locations, functions, string table and comments.
bool encode_tail(const Profile& profile, ByteBuffer& out);

}  // namespace fennik::pprof
