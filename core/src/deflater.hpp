// gzip compression of output bytes, for the formats whose readers take gzip
// (pprof always, trace-event JSON when its name asks). libdeflate compresses
// when the build found it, zlib otherwise; a build with neither has no
// deflater: `Deflater::available()` says so before one is made.
#pragma once

#include <memory>
#include <string_view>

#include "byte_buffer.hpp"

namespace fennik {

// One compressor, reused member after member. Owned by one writer.
class Deflater {
 public:
  static bool available() noexcept;

  // Throws std::bad_alloc when the compressor cannot be set up,
  // std::logic_error in a build without one.
  Deflater();
  ~Deflater();
  Deflater(const Deflater&) = delete;
  Deflater& operator=(const Deflater&) = delete;

  // Appends `plain` to `out` as one complete gzip member. False when the
  // compressor fails, which leaves `out` unusable.
  bool add_member(std::string_view plain, ByteBuffer& out);

 private:
  struct Compressor;
  std::unique_ptr<Compressor> compressor_;
};

}  // namespace fennik
