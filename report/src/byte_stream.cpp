#include "byte_stream.hpp"

#include <errno.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <utility>

namespace fennik::report {

bool ByteStream::rewind() {
  offset_ = begin_ = end_ = 0;
  eof_ = false;
  if (inflater_) inflater_->restart();
  return ::lseek(fd_.get(), 0, SEEK_SET) == 0;
}

bool ByteStream::decompress() {
  inflater_ = std::make_unique<Inflater>(fd_.get());
  return rewind();
}

std::size_t ByteStream::refill(std::size_t n) {
  if (eof_) return end_ - begin_;
  // Keep what is unread at the front. The room grows as bytes arrive, not
  // as asked: a damaged length cannot make it larger than the file.
  if (begin_ > 0) {
    std::memmove(buf_.data(), buf_.data() + begin_, end_ - begin_);
    end_ -= begin_;
    begin_ = 0;
  }
  if (buf_.size() < STREAM_BLOCK_BYTES) buf_.resize(STREAM_BLOCK_BYTES);
  while (end_ < n && !eof_) {
    if (end_ == buf_.size()) buf_.resize(std::min(n, 2 * buf_.size()));
    const ssize_t got = inflater_ ? inflater_->read(buf_.data() + end_, buf_.size() - end_)
                                  : ::read(fd_.get(), buf_.data() + end_, buf_.size() - end_);
    if (got < 0 && errno == EINTR) continue;
    if (got < 0 && !damaged()) error_ = errno;
    if (got <= 0) {
      eof_ = true;
      break;
    }
    end_ += static_cast<std::size_t>(got);
  }
  return end_ - begin_;
}

}  // namespace fennik::report
