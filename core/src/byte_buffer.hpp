// A growable byte buffer that keeps its capacity when emptied, so a writer
// that renders into it batch after batch stops allocating once it is warm.
//
// Raw writing goes through one protocol: claim(n) makes room for up to n
// bytes and returns where they go; the writer fills them and hands the end of
// what it wrote to commit(end). Encoders that know only an upper bound (a
// varint, a decimal number) write freely and commit exactly what they used.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstring>
#include <memory>
#include <string_view>
#include <utility>

namespace fennik {

// Copies `s` to `out` and returns the end: the claim/commit writers' step.
inline char* put_bytes(char* out, std::string_view s) noexcept {
  if (!s.empty()) std::memcpy(out, s.data(), s.size());  // an empty view may have no data
  return out + s.size();
}

class ByteBuffer {
 public:
  // Never less than this, so the storage always exists and empty copies are valid.
  static constexpr std::size_t MIN_CAPACITY = 64;

  explicit ByteBuffer(std::size_t capacity)
      : cap_(std::max(capacity, MIN_CAPACITY)),
        buf_(std::make_unique_for_overwrite<char[]>(cap_)) {}
  // A moved-from buffer is empty and regrows on its next write.
  ByteBuffer(ByteBuffer&& other) noexcept
      : cap_(std::exchange(other.cap_, 0)),
        buf_(std::move(other.buf_)),
        len_(std::exchange(other.len_, 0)) {}
  ByteBuffer& operator=(ByteBuffer&& other) noexcept {
    cap_ = std::exchange(other.cap_, 0);
    buf_ = std::move(other.buf_);
    len_ = std::exchange(other.len_, 0);
    return *this;
  }
  ByteBuffer(const ByteBuffer&) = delete;
  ByteBuffer& operator=(const ByteBuffer&) = delete;

  void clear() noexcept { len_ = 0; }
  bool empty() const noexcept { return len_ == 0; }
  std::size_t size() const noexcept { return len_; }
  std::size_t capacity() const noexcept { return cap_; }
  const char* data() const noexcept { return buf_.get(); }
  // Written bytes may be patched in place (a length filled in afterwards).
  char* data() noexcept { return buf_.get(); }
  std::string_view view() const noexcept { return {buf_.get(), len_}; }

  // Room for `n` more bytes, at the end of what is written.
  char* claim(std::size_t n) {
    if (n > cap_ - len_) grow(n);
    return buf_.get() + len_;
  }
  // Takes everything up to `end`, which lies within the last claim.
  void commit(const char* end) noexcept { len_ = static_cast<std::size_t>(end - buf_.get()); }
  // Forgets what was written past the first `n` bytes.
  void truncate(std::size_t n) noexcept { len_ = std::min(len_, n); }

  void append(std::string_view s) { commit(put_bytes(claim(s.size()), s)); }
  void push_back(char c) {
    char* p = claim(1);
    *p++ = c;
    commit(p);
  }

 private:
  void grow(std::size_t more) {
    const std::size_t want = std::max({len_ + more, cap_ * 2, MIN_CAPACITY});
    auto bigger = std::make_unique_for_overwrite<char[]>(want);
    if (len_ != 0) std::memcpy(bigger.get(), buf_.get(), len_);
    buf_ = std::move(bigger);
    cap_ = want;
  }

  std::size_t cap_;
  std::unique_ptr<char[]> buf_;
  std::size_t len_ = 0;
};

}  // namespace fennik
