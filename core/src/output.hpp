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

#include "fd.hpp"
#include "io_error.hpp"

namespace fennik {

inline constexpr std::size_t SHARED_FILE_BUFFER_BYTES = 131'072;
inline constexpr unsigned OUTPUT_FILE_MODE = 0666;  // before the umask

class SharedFile {
 public:
  // With `truncate`, empties (creating) the file first; then opens it for
  // appending, creating it if missing.
  static IoResult<SharedFile> open(const std::string& path, bool truncate);
  // Wraps a descriptor already open for appending.
  static SharedFile adopt(UniqueFd fd);

  SharedFile(SharedFile&& other) noexcept;
  SharedFile& operator=(SharedFile&& other) noexcept;
  SharedFile(const SharedFile&) = delete;
  SharedFile& operator=(const SharedFile&) = delete;
  // A last flush whose error is ignored.
  ~SharedFile();

  // Buffers bytes; never touches the file, never fails.
  void write(const void* data, std::size_t n) {
    if (n > cap_ - len_) grow(n);
    std::memcpy(buf_.get() + len_, data, n);
    len_ += n;
  }
  void write(std::string_view s) { write(s.data(), s.size()); }
  void write_all(std::string_view s) { write(s.data(), s.size()); }
  void put(char c) {
    if (len_ == cap_) grow(1);
    buf_[len_++] = c;
  }

  // Appends the buffer to the file under the lock. On a write error the
  // buffered bytes are dropped; on a lock error they are kept.
  IoStatus flush();

  std::size_t buffered() const noexcept { return len_; }
  int fd() const noexcept { return fd_.get(); }

 private:
  explicit SharedFile(UniqueFd fd);
  void grow(std::size_t more);

  UniqueFd fd_;
  std::unique_ptr<char[]> buf_;
  std::size_t len_ = 0;
  std::size_t cap_ = 0;
};

}  // namespace fennik
