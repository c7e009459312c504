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

#include "block_reserve.hpp"
#include "byte_buffer.hpp"
#include "deflate_worker.hpp"
#include "deflater.hpp"
#include "fd.hpp"
#include "io_error.hpp"

namespace fennik {

// 1 MiB: the kernel takes appends this size at a lower cost per byte than
// 128 KB ones, and a gzip member this size compresses for less per byte.
inline constexpr std::size_t SHARED_FILE_BUFFER_BYTES = std::size_t{1} << 20;
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

  // Appends the buffer to the file under the lock, after the member still
  // compressing alongside, if any. On a write error the buffered bytes are
  // dropped; on a lock error they are kept.
  IoStatus flush();
  // Flushes once SHARED_FILE_FLUSH_BYTES are buffered. Writers call it only
  // between the units other processes appending to the file must see whole
  // (a record, an object, a batch's worth), never inside one. When members
  // compress alongside, a full buffer may instead be handed to the second
  // thread and written by the next flush.
  IoStatus flush_if_full() {
    if (buf_.size() < SHARED_FILE_FLUSH_BYTES) return IO_OK;
    return worker_ ? hand_over() : flush();
  }

  // From now on each flush goes out as one complete gzip member, so that
  // writers in several processes appending to the file leave a valid gzip
  // file of many members. Throws as Deflater() does.
  void compress_each_flush();
  // For a long output while the program waits for it: members compress two
  // at a time, on this thread and a second one, until the file is
  // destroyed. Only after compress_each_flush(); where the thread cannot
  // start, they compress one at a time as before.
  void compress_alongside() noexcept;

  std::size_t buffered() const noexcept { return buf_.size(); }
  int fd() const noexcept { return fd_.get(); }

 private:
  explicit SharedFile(UniqueFd fd);
  // The last flush, its error ignored, then what was reserved given back.
  void close_out() noexcept;
  IoStatus hand_over();

  UniqueFd fd_;
  BlockReserve reserve_;
  ByteBuffer buf_;
  std::unique_ptr<Deflater> deflater_;  // set when each flush is compressed
  ByteBuffer packed_{0};                // a flush's gzip member
  // Set by compress_alongside(); it holds a member between a hand-over and
  // the next flush, which the destructor's flush writes before it goes.
  std::unique_ptr<DeflateWorker> worker_;
};

}  // namespace fennik
