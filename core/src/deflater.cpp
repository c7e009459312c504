#include "deflater.hpp"

#include <new>
#include <stdexcept>

#if FENNIK_HAVE_ZLIB
#include <zlib.h>
#endif

namespace fennik {

#if FENNIK_HAVE_ZLIB
namespace {

// A 32 KB window; 16 added asks zlib for a gzip header and trailer.
inline constexpr int GZIP_WINDOW_BITS = 15 + 16;
inline constexpr int MEMORY_LEVEL = 8;
// Speed over the last few percent of size: the output thread pays for it.
// On JSON traces level 1 compresses about 14 to 1 against level 3's 14.3, in
// nine tenths of the time.
inline constexpr int COMPRESSION_LEVEL = 1;
// Room deflate may need besides its bound when a member ends.
inline constexpr uLong END_ROOM_BYTES = 64;

}  // namespace

struct Deflater::Stream {
  z_stream z{};
  Stream() {
    if (deflateInit2(&z, COMPRESSION_LEVEL, Z_DEFLATED, GZIP_WINDOW_BITS, MEMORY_LEVEL,
                     Z_DEFAULT_STRATEGY) != Z_OK) {
      throw std::bad_alloc();
    }
  }
  ~Stream() { deflateEnd(&z); }
  Stream(const Stream&) = delete;
  Stream& operator=(const Stream&) = delete;
};

bool Deflater::available() noexcept {
  return true;
}

Deflater::Deflater() : stream_(std::make_unique<Stream>()) {}

bool Deflater::add(std::string_view plain, ByteBuffer& out, bool last) {
  z_stream& z = stream_->z;
  // zlib takes its input as non-const but does not write to it.
  z.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(plain.data()));
  z.avail_in = static_cast<uInt>(plain.size());
  for (;;) {
    // Room for all of the input at once: one deflate call takes it whole.
    const uLong room = deflateBound(&z, z.avail_in) + END_ROOM_BYTES;
    char* at = out.claim(room);
    z.next_out = reinterpret_cast<Bytef*>(at);
    z.avail_out = static_cast<uInt>(room);
    const int rc = deflate(&z, last ? Z_FINISH : Z_NO_FLUSH);
    out.commit(at + (room - z.avail_out));
    if (rc == Z_STREAM_END) return deflateReset(&z) == Z_OK;
    if (rc != Z_OK && rc != Z_BUF_ERROR) return false;
    if (!last && z.avail_in == 0) return true;
  }
}
#else
struct Deflater::Stream {};

bool Deflater::available() noexcept {
  return false;
}

Deflater::Deflater() {
  throw std::logic_error("this build has no zlib");
}

bool Deflater::add(std::string_view, ByteBuffer&, bool) {
  return false;
}
#endif

Deflater::~Deflater() = default;

}  // namespace fennik
