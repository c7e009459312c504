#include "inflater.hpp"

#include <errno.h>
#include <unistd.h>

#include <vector>

#if FENNIK_HAVE_ZLIB
#include <zlib.h>
#endif

namespace fennik::report {

#if FENNIK_HAVE_ZLIB

namespace {
constexpr int GZIP_WINDOW_BITS = 16 + MAX_WBITS;  // zlib: a gzip wrapper
constexpr std::size_t INPUT_BYTES = std::size_t{1} << 20;
}  // namespace

struct Inflater::Zlib {
  z_stream z{};
  bool ready = false;
  std::vector<std::uint8_t> in = std::vector<std::uint8_t>(INPUT_BYTES);
};

bool Inflater::available() noexcept {
  return true;
}

Inflater::Inflater(int fd) : fd_(fd), z_(std::make_unique<Zlib>()) {
  z_->ready = inflateInit2(&z_->z, GZIP_WINDOW_BITS) == Z_OK;
  damaged_ = !z_->ready;
}

Inflater::~Inflater() {
  if (z_->ready) inflateEnd(&z_->z);
}

void Inflater::restart() {
  if (z_->ready) inflateReset(&z_->z);
  z_->z.avail_in = 0;
  input_ended_ = ended_ = between_members_ = false;
  damaged_ = !z_->ready;
}

std::ptrdiff_t Inflater::read(std::uint8_t* out, std::size_t n) {
  if (damaged_) return -1;
  z_stream& z = z_->z;
  z.next_out = out;
  z.avail_out = static_cast<uInt>(n);
  while (z.avail_out == n && !ended_) {
    if (z.avail_in == 0 && !input_ended_) {
      const ssize_t got = ::read(fd_, z_->in.data(), z_->in.size());
      if (got < 0 && errno == EINTR) continue;
      if (got < 0) return -1;
      input_ended_ = got == 0;
      z.next_in = z_->in.data();
      z.avail_in = static_cast<uInt>(got);
    }
    if (between_members_ && z.avail_in == 0 && input_ended_) {
      ended_ = true;
      break;
    }
    const int rc = inflate(&z, Z_NO_FLUSH);
    between_members_ = rc == Z_STREAM_END;
    if (rc == Z_STREAM_END) {
      inflateReset(&z);  // another member may follow
    } else if (rc != Z_OK && !(rc == Z_BUF_ERROR && z.avail_in == 0 && !input_ended_)) {
      damaged_ = true;  // corrupt, or cut before its end
      return -1;
    }
  }
  return static_cast<std::ptrdiff_t>(n - z.avail_out);
}

#else

struct Inflater::Zlib {};
bool Inflater::available() noexcept {
  return false;
}
Inflater::Inflater(int fd) : fd_(fd), damaged_(true) {}
Inflater::~Inflater() = default;
void Inflater::restart() {}
std::ptrdiff_t Inflater::read(std::uint8_t*, std::size_t) {
  return -1;
}

#endif

}  // namespace fennik::report
