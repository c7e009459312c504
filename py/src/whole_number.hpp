// The decimal whole numbers that settings from the environment take.
#pragma once

#include <cstdint>
#include <limits>
#include <optional>

namespace fennik::py {

// A decimal whole number, '+' allowed in front; values past what 64 bits
// hold read as the largest. Nothing for any other text.
inline std::optional<std::uint64_t> parse_whole_number(const char* text) noexcept {
  constexpr std::uint64_t MAX = std::numeric_limits<std::uint64_t>::max();
  const char* p = text;
  if (*p == '+') ++p;
  if (*p == '\0') return std::nullopt;
  std::uint64_t value = 0;
  for (; *p != '\0'; ++p) {
    if (*p < '0' || *p > '9') return std::nullopt;
    const auto digit = static_cast<std::uint64_t>(*p - '0');
    value = value > (MAX - digit) / 10 ? MAX : value * 10 + digit;
  }
  return value;
}

}  // namespace fennik::py
