// The subset of pprof's Profile message this exporter writes, and its
// encoding. Integer fields holding 0 are left out, as are all fields not here.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
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

// Samples kept flat, so that a profile of many stacks is a few arrays rather
// than one allocation per sample.
struct Samples {
  std::vector<std::uint64_t> location_ids;  // every sample's ids, innermost first, back to back
  std::vector<std::size_t> ends;            // one past each sample's last id in location_ids
  std::vector<std::int64_t> values;         // one per sample: the profile has one sample type

  std::size_t size() const noexcept { return values.size(); }
};

struct Profile {
  std::vector<ValueType> sample_type;
  Samples sample;
  std::vector<Location> location;
  std::vector<Function> function;
  std::vector<std::string> string_table;
  std::vector<std::int64_t> comment;  // string indices
};

// The exact number of bytes `encode` produces.
std::size_t encoded_size(const Profile& profile);

// Appends the encoded message to `out`; false, with nothing appended, if the
// encoding did not come out at the computed size.
bool encode(const Profile& profile, ByteBuffer& out);

}  // namespace fennik::pprof
