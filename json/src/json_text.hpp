// Hand-rendered JSON pieces of the trace-event output: strings, integers,
// microsecond timestamps, and the per-code text around an event's fields.
#pragma once

#include <charconv>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "byte_buffer.hpp"
#include "sink.hpp"

namespace fennik::json {

// Shown for a code without a name (or one the code lookup does not know).
inline constexpr std::string_view UNKNOWN_QUALNAME = "<unknown>";

// Most bytes push_string can emit for one input byte: a control byte as \u00XX.
inline constexpr std::size_t MAX_ESCAPED_BYTES_PER_BYTE = 6;
// Longest decimal u64: 18446744073709551615; and u32: 4294967295.
inline constexpr std::size_t MAX_U64_DIGITS = 20;
inline constexpr std::size_t MAX_U32_DIGITS = 10;
// Longest timestamp: u64 max / 1000 in decimal, the point and three digits.
inline constexpr std::size_t MAX_MICROS_BYTES = 17 + 1 + 3;
inline constexpr std::uint64_t NS_PER_MICRO = 1000;

// Appends `text` as a JSON string, quotes included. Quotes, backslashes and
// control bytes are escaped; well-formed UTF-8 is copied byte for byte. Each
// ill-formed UTF-8 subsequence becomes U+FFFD, as Python's "replace" decoding
// does, because raw invalid bytes would make the whole file undecodable.
void push_string(ByteBuffer& out, std::string_view text);

// Claim/commit writers: `out` has MAX_U64_DIGITS / MAX_MICROS_BYTES of
// claimed room; they return the end of what they wrote.
inline char* put_u64(char* out, std::uint64_t value) noexcept {
  return std::to_chars(out, out + MAX_U64_DIGITS, value).ptr;
}

// Nanoseconds as microseconds with exactly three decimals (12005 -> 12.005).
inline char* put_micros(char* out, std::uint64_t ns) noexcept {
  out = put_u64(out, ns / NS_PER_MICRO);
  const auto frac = static_cast<unsigned>(ns % NS_PER_MICRO);
  out[0] = '.';
  out[1] = static_cast<char>('0' + frac / 100);
  out[2] = static_cast<char>('0' + frac / 10 % 10);
  out[3] = static_cast<char>('0' + frac % 10);
  return out + 4;
}

// Appends `value` in decimal.
inline void push_u64(ByteBuffer& out, std::uint64_t value) {
  out.commit(put_u64(out.claim(MAX_U64_DIGITS), value));
}

// Appends nanoseconds as microseconds (see put_micros).
inline void push_micros(ByteBuffer& out, std::uint64_t ns) {
  out.commit(put_micros(out.claim(MAX_MICROS_BYTES), ns));
}

// The constant text of one code's event objects: everything before the phase
// and everything between the tid and the kind text.
struct Template {
  std::string prefix;  // {"name":QUALNAME,"cat":"py","ph":"
  std::string suffix;  // ,"args":{"file":FILE,"line":LINE

  static Template of(const CodeInfo& info);
};

}  // namespace fennik::json
