// Gzip-compressed bytes from a file, decompressed as they are read: one
// member or several in a row, as concatenated gzip files are. A build
// without zlib has none (`available()` is false).
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>

namespace fennik::report {

class Inflater {
 public:
  static bool available() noexcept;

  explicit Inflater(int fd);  // read from the current position; not owned
  ~Inflater();
  Inflater(const Inflater&) = delete;
  Inflater& operator=(const Inflater&) = delete;

  // Up to `n` decompressed bytes into `out`: their count, 0 at the end, or -1
  // on an error reading (errno says which) or a damaged stream (`damaged()`).
  std::ptrdiff_t read(std::uint8_t* out, std::size_t n);
  bool damaged() const noexcept { return damaged_; }
  // Starts again from the file's current position.
  void restart();

 private:
  struct Zlib;
  int fd_;
  std::unique_ptr<Zlib> z_;
  bool input_ended_ = false, ended_ = false, damaged_ = false;
  bool between_members_ = false;  // one ended; the input may end here
};

}  // namespace fennik::report
