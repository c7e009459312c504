// Reading the Protocol Buffers wire format: varints and the fields of one
// message, bounds-checked, without a schema.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>

namespace fennik::report {

enum WireType : std::uint8_t { VARINT = 0, FIXED64 = 1, LEN = 2, FIXED32 = 5 };
inline constexpr unsigned MAX_VARINT_BYTES = 10;

// Reads a varint at `p`, not past `end`; null when it runs past either.
inline const std::uint8_t* read_varint(const std::uint8_t* p, const std::uint8_t* end,
                                       std::uint64_t& value) noexcept {
  if (p < end && *p < 0x80) {
    value = *p;
    return p + 1;
  }
  std::uint64_t v = 0;
  for (unsigned shift = 0; shift < 7 * MAX_VARINT_BYTES && p < end; shift += 7) {
    const std::uint8_t b = *p++;
    v |= std::uint64_t{b & 0x7Fu} << shift;
    if (b < 0x80) {
      value = v;
      return p;
    }
  }
  return nullptr;
}

struct Field {
  std::uint32_t number = 0;
  std::uint8_t type = 0;
  std::uint64_t value = 0;  // a varint's or fixed field's value
  std::string_view bytes;   // a length-delimited field's content
  const std::uint8_t* data() const noexcept {
    return reinterpret_cast<const std::uint8_t*>(bytes.data());
  }
};

// The fields of one message in order; `ok()` is false once one was malformed.
class Fields {
 public:
  Fields(const std::uint8_t* p, const std::uint8_t* end) noexcept : p_(p), end_(end) {}
  explicit Fields(std::string_view bytes) noexcept
      : Fields(reinterpret_cast<const std::uint8_t*>(bytes.data()),
               reinterpret_cast<const std::uint8_t*>(bytes.data()) + bytes.size()) {}
  explicit Fields(const Field& f) noexcept : Fields(f.bytes) {}

  bool next(Field& f) noexcept {
    if (p_ >= end_) return false;
    std::uint64_t key;
    if ((p_ = read_varint(p_, end_, key)) == nullptr) return fail();
    f.number = static_cast<std::uint32_t>(key >> 3);
    f.type = static_cast<std::uint8_t>(key & 7);
    switch (f.type) {
      case VARINT:
        if ((p_ = read_varint(p_, end_, f.value)) == nullptr) return fail();
        return true;
      case FIXED64:
        return fixed(f, 8);
      case FIXED32:
        return fixed(f, 4);
      case LEN: {
        std::uint64_t n;
        if ((p_ = read_varint(p_, end_, n)) == nullptr) return fail();
        if (n > static_cast<std::uint64_t>(end_ - p_)) return fail();
        f.bytes = std::string_view(reinterpret_cast<const char*>(p_), n);
        p_ += n;
        return true;
      }
      default:
        return fail();
    }
  }
  bool ok() const noexcept { return ok_; }

 private:
  bool fail() noexcept {
    ok_ = false;
    p_ = end_;
    return false;
  }
  bool fixed(Field& f, unsigned n) noexcept {
    if (static_cast<std::size_t>(end_ - p_) < n) return fail();
    f.value = 0;
    for (unsigned i = 0; i < n; ++i) f.value |= std::uint64_t{p_[i]} << (8 * i);
    p_ += n;
    return true;
  }

  const std::uint8_t* p_;
  const std::uint8_t* end_;
  bool ok_ = true;
};

// The values of a repeated integer field, packed or not, appended to `out`.
template <class Out>
bool repeated_varints(const Field& f, Out& out) {
  if (f.type == VARINT) {
    out.push_back(f.value);
    return true;
  }
  if (f.type != LEN) return false;
  const std::uint8_t* p = f.data();
  const std::uint8_t* end = p + f.bytes.size();
  while (p < end) {
    std::uint64_t v;
    if ((p = read_varint(p, end, v)) == nullptr) return false;
    out.push_back(v);
  }
  return true;
}

}  // namespace fennik::report
