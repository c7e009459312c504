// The argument values of an annotation as the argument words that follow it
// in its thread's batch (KIND_ARG, 24 bits each), and back. Each value opens
// with a word whose top 3 bits say its type and whose low 21 bits hold a
// small value or a length; a 64-bit value takes three more words, a text one
// more word per 3 bytes of UTF-8.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "event.hpp"

namespace fennik {

// Argument words one annotation may carry; its text values are cut to fit.
inline constexpr std::uint32_t MAX_ARG_WORDS = 512;
static_assert(MAX_ARG_WORDS + 1 < BATCH_CAPACITY, "an annotation fits a batch whole");
// Characters of a text value (a string, or the repr of another value) kept.
inline constexpr std::size_t MAX_ARG_CHARS = 200;

struct ArgValue {
  enum class Type : std::uint8_t { None, Bool, Int, Float, Text };
  Type type = Type::None;
  std::int64_t integer = 0;  // Bool and Int
  double real = 0;
  std::string text;

  bool operator==(const ArgValue&) const = default;
};

// Encodes values into a caller's array of words, stopping (false) at the
// first value that does not fit; what was written stays whole.
class ArgWriter {
 public:
  ArgWriter(std::uint32_t* words, std::uint32_t capacity) noexcept
      : words_(words), capacity_(capacity) {}

  bool none() noexcept;
  bool boolean(bool value) noexcept;
  bool integer(std::int64_t value) noexcept;
  bool real(double value) noexcept;
  // The most UTF-8 bytes a text value written now can hold.
  std::uint32_t text_room() const noexcept;
  // `utf8` must fit text_room().
  bool text(std::string_view utf8) noexcept;
  std::uint32_t size() const noexcept { return size_; }

 private:
  bool put(std::uint32_t payload) noexcept;
  bool put64(std::uint32_t tag, std::uint64_t bits) noexcept;

  std::uint32_t* words_;
  std::uint32_t capacity_;
  std::uint32_t size_ = 0;
};

// How many of `events` from `from` on are argument words.
std::size_t arg_words_at(std::span<const Event> events, std::size_t from) noexcept;
// The values the argument words `args` hold; a value cut short ends the list.
std::vector<ArgValue> decode_args(std::span<const Event> args);

}  // namespace fennik
