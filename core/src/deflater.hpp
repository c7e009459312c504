// gzip compression of output bytes, for the formats whose readers take gzip
// (pprof always, trace-event JSON when its name asks). A build without zlib
// has no deflater: `Deflater::available()` says so before one is made.
#pragma once

#include <memory>
#include <string_view>

#include "byte_buffer.hpp"

namespace fennik {

// One compressor, reused member after member. Owned by one writer.
class Deflater {
 public:
  static bool available() noexcept;

  // Throws std::bad_alloc when zlib cannot be set up, std::logic_error in a
  // build without zlib.
  Deflater();
  ~Deflater();
  Deflater(const Deflater&) = delete;
  Deflater& operator=(const Deflater&) = delete;

  // Appends `plain` to `out`, compressed, as part of the current gzip
  // member; with `last` the member ends and the next call begins a new one.
  // False when zlib fails, which leaves `out` unusable.
  bool add(std::string_view plain, ByteBuffer& out, bool last);

 private:
  struct Stream;
  std::unique_ptr<Stream> stream_;
};

}  // namespace fennik
