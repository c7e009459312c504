// A window onto a file read front to back in blocks, so that a reader's
// memory does not grow with the file: at most the largest record read at
// once, plus a block.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <utility>
#include <vector>

#include "fd.hpp"
#include "inflater.hpp"

namespace fennik::report {

inline constexpr std::size_t STREAM_BLOCK_BYTES = std::size_t{4} << 20;

class ByteStream {
 public:
  explicit ByteStream(UniqueFd fd) : fd_(std::move(fd)) {}

  // Makes at least `n` bytes available from the current position, fewer only
  // at the end of the file; returns how many are. An error reading leaves
  // `error()` (an errno) or `damaged()` set, and reads as the end.
  std::size_t need(std::size_t n) { return end_ - begin_ >= n ? end_ - begin_ : refill(n); }
  const std::uint8_t* data() const noexcept { return buf_.data() + begin_; }
  std::size_t available() const noexcept { return end_ - begin_; }
  void consume(std::size_t n) noexcept {
    begin_ += n;
    offset_ += n;
  }
  // Back to the start, for another reading; false when the file cannot seek.
  bool rewind();
  // From the start again, reading the file as gzip-compressed.
  bool decompress();
  // Bytes consumed so far.
  std::uint64_t offset() const noexcept { return offset_; }
  const std::optional<int>& error() const noexcept { return error_; }
  bool damaged() const noexcept { return inflater_ && inflater_->damaged(); }

 private:
  std::size_t refill(std::size_t n);

  UniqueFd fd_;
  std::unique_ptr<Inflater> inflater_;
  std::vector<std::uint8_t> buf_;
  std::size_t begin_ = 0, end_ = 0;
  std::uint64_t offset_ = 0;
  bool eof_ = false;
  std::optional<int> error_;
};

}  // namespace fennik::report
