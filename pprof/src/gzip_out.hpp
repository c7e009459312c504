// The profile's bytes on their way to the file, gzip-compressed as pprof's
// readers expect; a build without zlib passes them through as they are.
#pragma once

#include <memory>

#include "byte_buffer.hpp"
#include "io_error.hpp"
#include "output.hpp"

namespace fennik::pprof {

// Whether this build writes compressed profiles.
bool gzip_available() noexcept;

// Owned by the exporter's finish, for one profile.
class GzipOut {
 public:
  // Throws std::bad_alloc when the compressor cannot be set up.
  explicit GzipOut(SharedFile& file);
  ~GzipOut();
  GzipOut(const GzipOut&) = delete;
  GzipOut& operator=(const GzipOut&) = delete;

  // Where the profile's bytes are encoded; `drain` takes them from there.
  ByteBuffer& plain() noexcept { return plain_; }
  // Compresses what `plain()` holds into the file once there is enough of it.
  IoStatus drain_if_full();
  // Compresses the rest, ends the gzip member and flushes the file.
  IoStatus finish();

 private:
  struct Stream;
  IoStatus drain(bool last);

  SharedFile& file_;
  ByteBuffer plain_;
  std::unique_ptr<Stream> stream_;  // null without zlib
};

}  // namespace fennik::pprof
