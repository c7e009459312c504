#include "gzip_out.hpp"

#include <new>

#if FENNIK_HAVE_ZLIB
#include <zlib.h>
#endif

namespace fennik::pprof {
namespace {

// Plain bytes gathered before they are compressed: large enough that zlib
// works on long runs, small beside the profile.
inline constexpr std::size_t PLAIN_CHUNK_BYTES = 256 * 1024;
#if FENNIK_HAVE_ZLIB
// 15-bit window with 16 added: zlib writes a gzip header and trailer.
inline constexpr int GZIP_WINDOW_BITS = 15 + 16;
inline constexpr int MEMORY_LEVEL = 8;
// Speed over the last few percent of size: the output thread pays for it.
inline constexpr int COMPRESSION_LEVEL = 3;
#endif

}  // namespace

#if FENNIK_HAVE_ZLIB
struct GzipOut::Stream {
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

bool gzip_available() noexcept {
  return true;
}

GzipOut::GzipOut(SharedFile& file)
    : file_(file), plain_(PLAIN_CHUNK_BYTES), stream_(std::make_unique<Stream>()) {}

IoStatus GzipOut::drain(bool last) {
  z_stream& z = stream_->z;
  z.next_in = reinterpret_cast<Bytef*>(plain_.data());
  z.avail_in = static_cast<uInt>(plain_.size());
  ByteBuffer& out = file_.buffer();
  for (;;) {
    const uInt room = static_cast<uInt>(deflateBound(&z, z.avail_in)) + 64;
    char* at = out.claim(room);
    z.next_out = reinterpret_cast<Bytef*>(at);
    z.avail_out = room;
    const int rc = deflate(&z, last ? Z_FINISH : Z_NO_FLUSH);
    out.commit(at + (room - z.avail_out));
    if (rc == Z_STREAM_END) break;
    if (rc != Z_OK && rc != Z_BUF_ERROR)
      return IoError::other("the profile could not be compressed");
    if (!last && z.avail_in == 0) break;
    if (IoStatus status = file_.flush_if_full()) return status;
  }
  plain_.clear();
  return file_.flush_if_full();
}
#else
struct GzipOut::Stream {};

bool gzip_available() noexcept {
  return false;
}

GzipOut::GzipOut(SharedFile& file) : file_(file), plain_(PLAIN_CHUNK_BYTES) {}

IoStatus GzipOut::drain(bool) {
  file_.write(plain_.view());
  plain_.clear();
  return file_.flush_if_full();
}
#endif

GzipOut::~GzipOut() = default;

IoStatus GzipOut::drain_if_full() {
  return plain_.size() >= PLAIN_CHUNK_BYTES ? drain(false) : IO_OK;
}

IoStatus GzipOut::finish() {
  if (IoStatus status = drain(true)) return status;
  return file_.flush();
}

}  // namespace fennik::pprof
