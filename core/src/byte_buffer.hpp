// A growable byte buffer that keeps its capacity when emptied, so a writer
// that renders into it batch after batch stops allocating once it is warm.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstring>
#include <memory>
#include <string_view>
#include <utility>

namespace fennik {

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
  std::string_view view() const noexcept { return {buf_.get(), len_}; }

  // Makes room for `n` more bytes; the unchecked writers below rely on it.
  void reserve_more(std::size_t n) {
    if (n > cap_ - len_) grow(n);
  }

  void append(std::string_view s) {
    reserve_more(s.size());
    append_unchecked(s);
  }
  void push_back(char c) {
    reserve_more(1);
    push_back_unchecked(c);
  }

  void append_unchecked(std::string_view s) noexcept {
    std::memcpy(buf_.get() + len_, s.data(), s.size());
    len_ += s.size();
  }
  void push_back_unchecked(char c) noexcept { buf_[len_++] = c; }
  // Raw access for number conversions: write at tail(), then commit the count.
  char* tail() noexcept { return buf_.get() + len_; }
  void commit(std::size_t n) noexcept { len_ += n; }

 private:
  void grow(std::size_t more) {
    const std::size_t want = std::max(len_ + more, cap_ * 2);
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
