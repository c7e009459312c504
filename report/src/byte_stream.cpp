#include "byte_stream.hpp"

#include <errno.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <utility>

namespace fennik::report {

ByteStream::ByteStream(int fd, std::string bytes) : fd_(fd) {
  if (fd_ < 0) {
    buf_.assign(bytes.begin(), bytes.end());
    end_ = buf_.size();
    eof_ = true;
  }
}

ByteStream::ByteStream(ByteStream&& o) noexcept
    : fd_(std::exchange(o.fd_, -1)),
      buf_(std::move(o.buf_)),
      begin_(o.begin_),
      end_(o.end_),
      offset_(o.offset_),
      eof_(o.eof_),
      error_(o.error_) {}

ByteStream& ByteStream::operator=(ByteStream&& o) noexcept {
  if (this != &o) {
    if (fd_ >= 0) ::close(fd_);
    fd_ = std::exchange(o.fd_, -1);
    buf_ = std::move(o.buf_);
    begin_ = o.begin_;
    end_ = o.end_;
    offset_ = o.offset_;
    eof_ = o.eof_;
    error_ = o.error_;
  }
  return *this;
}

ByteStream::~ByteStream() {
  if (fd_ >= 0) ::close(fd_);
}

bool ByteStream::rewind() {
  offset_ = 0;
  begin_ = 0;
  if (fd_ < 0) return true;  // every byte is still held
  end_ = 0;
  eof_ = false;
  return ::lseek(fd_, 0, SEEK_SET) == 0;
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
    const ssize_t got = ::read(fd_, buf_.data() + end_, buf_.size() - end_);
    if (got < 0 && errno == EINTR) continue;
    if (got < 0) error_ = errno;
    if (got <= 0) {
      eof_ = true;
      break;
    }
    end_ += static_cast<std::size_t>(got);
  }
  return end_ - begin_;
}

}  // namespace fennik::report
