// The buffered output file that several writers, in several processes, can
// append to: bytes collect in memory and reach the file only on flush, as one
// append under an exclusive whole-file lock, so flushed chunks never interleave.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <string>
#include <string_view>

#include "byte_buffer.hpp"
#include "deflater.hpp"
#include "fd.hpp"
#include "io_error.hpp"

namespace fennik {

inline constexpr std::size_t SHARED_FILE_BUFFER_BYTES = 131'072;
// flush_if_full writes the buffer out once it holds this much.
inline constexpr std::size_t SHARED_FILE_FLUSH_BYTES = SHARED_FILE_BUFFER_BYTES;
inline constexpr unsigned OUTPUT_FILE_MODE = 0666;  // before the umask

class SharedFile {
 public:
  // With `truncate`, empties (creating) the file first; then opens it for
  // appending, creating it if missing.
  static IoResult<SharedFile> open(const std::string& path, bool truncate);
  // Wraps a descriptor open for writing: for appending when other writers
  // share the file; a file this writer alone created is written at its offset.
  static SharedFile adopt(UniqueFd fd);

  SharedFile(SharedFile&& other) noexcept = default;
  SharedFile& operator=(SharedFile&& other) noexcept;
  SharedFile(const SharedFile&) = delete;
  SharedFile& operator=(const SharedFile&) = delete;
  // A last flush whose error is ignored.
  ~SharedFile();

  // Buffers bytes; never touches the file, never fails.
  void write(std::string_view s) { buf_.append(s); }
  void put(char c) { buf_.push_back(c); }
  // Writers render straight into the buffer; what they add goes out with
  // the next flush.
  ByteBuffer& buffer() noexcept { return buf_; }

  // Appends the buffer to the file under the lock. On a write error the
  // buffered bytes are dropped; on a lock error they are kept.
  IoStatus flush();
  // Flushes once SHARED_FILE_FLUSH_BYTES are buffered. Writers call it only
  // between the units other processes appending to the file must see whole
  // (a record, an object, a batch's worth), never inside one.
  IoStatus flush_if_full() { return buf_.size() >= SHARED_FILE_FLUSH_BYTES ? flush() : IO_OK; }

  // From now on each flush goes out as one complete gzip member, so that
  // writers in several processes appending to the file leave a valid gzip
  // file of many members. Throws as Deflater() does.
  void compress_each_flush();

  std::size_t buffered() const noexcept { return buf_.size(); }
  int fd() const noexcept { return fd_.get(); }

 private:
  explicit SharedFile(UniqueFd fd);
  void flush_ignoring_errors() noexcept;

  UniqueFd fd_;
  ByteBuffer buf_;
  std::unique_ptr<Deflater> deflater_;  // set when each flush is compressed
  ByteBuffer packed_{0};                // a flush's gzip member
};

}  // namespace fennik
