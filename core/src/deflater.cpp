#include "deflater.hpp"

#include <new>
#include <stdexcept>

#if FENNIK_HAVE_LIBDEFLATE
#include <libdeflate.h>
#elif FENNIK_HAVE_ZLIB
#include <zlib.h>
#endif

namespace fennik {
namespace {

// Speed over the last few percent of size: the output thread pays for it.
// On JSON traces level 1 compresses about 17 to 1 with libdeflate (15 with
// zlib, whose level 3 gains 2% for a tenth more time).
inline constexpr int COMPRESSION_LEVEL = 1;

}  // namespace

#if FENNIK_HAVE_LIBDEFLATE
// libdeflate compresses whole buffers, which is what a member is here; on
// trace text it is 1.3 to 1.8 times as fast as zlib at the same level.
struct Deflater::Compressor {
  libdeflate_compressor* c = libdeflate_alloc_compressor(COMPRESSION_LEVEL);
  Compressor() {
    if (c == nullptr) throw std::bad_alloc();
  }
  ~Compressor() { libdeflate_free_compressor(c); }
  Compressor(const Compressor&) = delete;
  Compressor& operator=(const Compressor&) = delete;
};

bool Deflater::add_member(std::string_view plain, ByteBuffer& out) {
  libdeflate_compressor* c = compressor_->c;
  const std::size_t room = libdeflate_gzip_compress_bound(c, plain.size());
  char* at = out.claim(room);
  const std::size_t n = libdeflate_gzip_compress(c, plain.data(), plain.size(), at, room);
  out.commit(at + n);
  return n != 0;
}
#elif FENNIK_HAVE_ZLIB
namespace {

// A 32 KB window; 16 added asks zlib for a gzip header and trailer.
inline constexpr int GZIP_WINDOW_BITS = 15 + 16;
inline constexpr int MEMORY_LEVEL = 8;
// Room deflate may need besides its bound when a member ends.
inline constexpr uLong END_ROOM_BYTES = 64;

}  // namespace

struct Deflater::Compressor {
  z_stream z{};
  Compressor() {
    if (deflateInit2(&z, COMPRESSION_LEVEL, Z_DEFLATED, GZIP_WINDOW_BITS, MEMORY_LEVEL,
                     Z_DEFAULT_STRATEGY) != Z_OK) {
      throw std::bad_alloc();
    }
  }
  ~Compressor() { deflateEnd(&z); }
  Compressor(const Compressor&) = delete;
  Compressor& operator=(const Compressor&) = delete;
};

bool Deflater::add_member(std::string_view plain, ByteBuffer& out) {
  z_stream& z = compressor_->z;
  // zlib takes its input as non-const but does not write to it.
  z.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(plain.data()));
  z.avail_in = static_cast<uInt>(plain.size());
  for (;;) {
    // Room for all of the input at once: one deflate call takes it whole.
    const uLong room = deflateBound(&z, z.avail_in) + END_ROOM_BYTES;
    char* at = out.claim(room);
    z.next_out = reinterpret_cast<Bytef*>(at);
    z.avail_out = static_cast<uInt>(room);
    const int rc = deflate(&z, Z_FINISH);
    out.commit(at + (room - z.avail_out));
    if (rc == Z_STREAM_END) return deflateReset(&z) == Z_OK;
    if (rc != Z_OK && rc != Z_BUF_ERROR) return false;
  }
}
#endif

#if FENNIK_HAVE_LIBDEFLATE || FENNIK_HAVE_ZLIB
bool Deflater::available() noexcept {
  return true;
}

Deflater::Deflater() : compressor_(std::make_unique<Compressor>()) {}
#else
struct Deflater::Compressor {};

bool Deflater::available() noexcept {
  return false;
}

Deflater::Deflater() {
  throw std::logic_error("this build has no zlib");
}

bool Deflater::add_member(std::string_view, ByteBuffer&) {
  return false;
}
#endif

Deflater::~Deflater() = default;

}  // namespace fennik
