#include "inflater.hpp"

#include <errno.h>
#include <unistd.h>

namespace fennik::report {
namespace {
constexpr int GZIP_WINDOW_BITS = 16 + MAX_WBITS;  // zlib: a gzip wrapper
constexpr std::size_t INPUT_BYTES = std::size_t{1} << 20;
}  // namespace

Inflater::Inflater(int fd) : fd_(fd), in_(INPUT_BYTES) {
  ready_ = inflateInit2(&z_, GZIP_WINDOW_BITS) == Z_OK;
  damaged_ = !ready_;
}

Inflater::~Inflater() {
  if (ready_) inflateEnd(&z_);
}

void Inflater::restart() {
  if (ready_) inflateReset(&z_);
  z_.avail_in = 0;
  input_ended_ = ended_ = between_members_ = false;
  damaged_ = !ready_;
}

std::ptrdiff_t Inflater::read(std::uint8_t* out, std::size_t n) {
  if (damaged_) return -1;
  z_.next_out = out;
  z_.avail_out = static_cast<uInt>(n);
  while (z_.avail_out == n && !ended_) {
    if (z_.avail_in == 0 && !input_ended_) {
      const ssize_t got = ::read(fd_, in_.data(), in_.size());
      if (got < 0 && errno == EINTR) continue;
      if (got < 0) return -1;
      input_ended_ = got == 0;
      z_.next_in = in_.data();
      z_.avail_in = static_cast<uInt>(got);
    }
    if (between_members_ && z_.avail_in == 0 && input_ended_) {
      ended_ = true;
      break;
    }
    const int rc = inflate(&z_, Z_NO_FLUSH);
    between_members_ = rc == Z_STREAM_END;
    if (rc == Z_STREAM_END) {
      inflateReset(&z_);  // another member may follow
    } else if (rc != Z_OK && !(rc == Z_BUF_ERROR && z_.avail_in == 0 && !input_ended_)) {
      damaged_ = true;  // corrupt, or cut before its end
      return -1;
    }
  }
  return static_cast<std::ptrdiff_t>(n - z_.avail_out);
}

}  // namespace fennik::report
