#include "annotation_args.hpp"

#include <bit>

namespace fennik {
namespace {

constexpr unsigned TAG_SHIFT = 21;
constexpr std::uint32_t DATA_MASK = (1u << TAG_SHIFT) - 1;
constexpr std::uint32_t TAG_NONE = 0;
constexpr std::uint32_t TAG_BOOL = 1;
constexpr std::uint32_t TAG_SMALL_INT = 2;  // the value in the 21 data bits
constexpr std::uint32_t TAG_INT = 3;        // 64 bits in three more words
constexpr std::uint32_t TAG_FLOAT = 4;      // the double's bits in three more words
constexpr std::uint32_t TAG_TEXT = 5;       // the byte length; 3 bytes a word follow
constexpr std::int64_t SMALL_INT_LIMIT = std::int64_t{1} << (TAG_SHIFT - 1);
constexpr unsigned WORD_BITS = 24;
constexpr unsigned BYTES_PER_WORD = 3;
constexpr std::uint32_t WORD_MASK = (1u << WORD_BITS) - 1;

}  // namespace

bool ArgWriter::put(std::uint32_t payload) noexcept {
  if (size_ >= capacity_) return false;
  words_[size_++] = make_word(KIND_ARG, payload);
  return true;
}

bool ArgWriter::put64(std::uint32_t tag, std::uint64_t bits) noexcept {
  if (capacity_ - size_ < 4) return false;
  put(tag << TAG_SHIFT);
  for (unsigned shift = 0; shift < 64; shift += WORD_BITS) {
    put(static_cast<std::uint32_t>(bits >> shift) & WORD_MASK);
  }
  return true;
}

bool ArgWriter::none() noexcept {
  return put(TAG_NONE << TAG_SHIFT);
}

bool ArgWriter::boolean(bool value) noexcept {
  return put((TAG_BOOL << TAG_SHIFT) | (value ? 1 : 0));
}

bool ArgWriter::integer(std::int64_t value) noexcept {
  if (value >= -SMALL_INT_LIMIT && value < SMALL_INT_LIMIT) {
    return put((TAG_SMALL_INT << TAG_SHIFT) | (static_cast<std::uint32_t>(value) & DATA_MASK));
  }
  return put64(TAG_INT, static_cast<std::uint64_t>(value));
}

bool ArgWriter::real(double value) noexcept {
  return put64(TAG_FLOAT, std::bit_cast<std::uint64_t>(value));
}

std::uint32_t ArgWriter::text_room() const noexcept {
  return size_ >= capacity_ ? 0 : (capacity_ - size_ - 1) * BYTES_PER_WORD;
}

bool ArgWriter::text(std::string_view utf8) noexcept {
  if (size_ >= capacity_ || utf8.size() > text_room() || utf8.size() > DATA_MASK) return false;
  put((TAG_TEXT << TAG_SHIFT) | static_cast<std::uint32_t>(utf8.size()));
  for (std::size_t i = 0; i < utf8.size(); i += BYTES_PER_WORD) {
    std::uint32_t word = 0;
    for (std::size_t b = 0; b < BYTES_PER_WORD && i + b < utf8.size(); ++b) {
      word |= static_cast<std::uint32_t>(static_cast<unsigned char>(utf8[i + b])) << (8 * b);
    }
    put(word);
  }
  return true;
}

std::size_t arg_words_at(std::span<const Event> events, std::size_t from) noexcept {
  std::size_t n = 0;
  while (from + n < events.size() && word_kind(events[from + n].code_kind) == KIND_ARG) ++n;
  return n;
}

std::vector<ArgValue> decode_args(std::span<const Event> args) {
  std::vector<ArgValue> out;
  std::size_t i = 0;
  const auto next = [&] { return word_code(args[i++].code_kind); };
  const auto bits64 = [&](std::uint64_t& bits) {
    if (args.size() - i < 3) return false;
    bits = 0;
    for (unsigned shift = 0; shift < 64; shift += WORD_BITS) bits |= std::uint64_t{next()} << shift;
    return true;
  };
  while (i < args.size()) {
    const std::uint32_t head = next();
    const std::uint32_t data = head & DATA_MASK;
    ArgValue v;
    std::uint64_t bits = 0;
    switch (head >> TAG_SHIFT) {
      case TAG_NONE:
        break;
      case TAG_BOOL:
        v.type = ArgValue::Type::Bool;
        v.integer = data != 0;
        break;
      case TAG_SMALL_INT:
        v.type = ArgValue::Type::Int;
        v.integer = (static_cast<std::int64_t>(data) ^ SMALL_INT_LIMIT) - SMALL_INT_LIMIT;
        break;
      case TAG_INT:
        if (!bits64(bits)) return out;
        v.type = ArgValue::Type::Int;
        v.integer = static_cast<std::int64_t>(bits);
        break;
      case TAG_FLOAT:
        if (!bits64(bits)) return out;
        v.type = ArgValue::Type::Float;
        v.real = std::bit_cast<double>(bits);
        break;
      case TAG_TEXT: {
        if ((args.size() - i) * BYTES_PER_WORD < data) return out;
        v.type = ArgValue::Type::Text;
        v.text.reserve(data);
        while (v.text.size() < data) {
          const std::uint32_t word = next();
          for (unsigned b = 0; b < BYTES_PER_WORD && v.text.size() < data; ++b) {
            v.text.push_back(static_cast<char>((word >> (8 * b)) & 0xFF));
          }
        }
        break;
      }
      default:
        return out;
    }
    out.push_back(std::move(v));
  }
  return out;
}

}  // namespace fennik
