#include "output.hpp"

#include <errno.h>
#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <algorithm>

namespace fennik {
namespace {

constexpr char COMPRESSION_FAILED[] = "the output could not be compressed";

int open_retrying(const char* path, int flags) {
  int fd;
  do {
    fd = ::open(path, flags | O_CLOEXEC, OUTPUT_FILE_MODE);
  } while (fd < 0 && errno == EINTR);
  return fd;
}

}  // namespace

SharedFile::SharedFile(UniqueFd fd) : fd_(std::move(fd)), buf_(SHARED_FILE_BUFFER_BYTES) {}

IoResult<SharedFile> SharedFile::open(const std::string& path, bool truncate) {
  if (truncate) {
    const int t = open_retrying(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC);
    if (t < 0) return IoError::from_errno(errno);
    ::close(t);
  }
  const int fd = open_retrying(path.c_str(), O_WRONLY | O_CREAT | O_APPEND);
  if (fd < 0) return IoError::from_errno(errno);
  return SharedFile(UniqueFd(fd));
}

SharedFile SharedFile::adopt(UniqueFd fd) {
  return SharedFile(std::move(fd));
}

SharedFile& SharedFile::operator=(SharedFile&& other) noexcept {
  if (this != &other) {
    flush_ignoring_errors();
    fd_ = std::move(other.fd_);
    buf_ = std::move(other.buf_);
    deflater_ = std::move(other.deflater_);
    packed_ = std::move(other.packed_);
  }
  return *this;
}

SharedFile::~SharedFile() {
  flush_ignoring_errors();
}

void SharedFile::flush_ignoring_errors() noexcept {
  if (!fd_.valid()) return;
  // Describing an error allocates; out of memory here must not end the process.
  try {
    (void)flush();
  } catch (...) {
  }
}

void SharedFile::compress_each_flush() {
  deflater_ = std::make_unique<Deflater>();
}

IoStatus SharedFile::flush() {
  if (buf_.empty()) return IO_OK;
  std::string_view bytes = buf_.view();
  if (deflater_) {
    // Compressed before the lock is taken: other writers wait for the write only.
    packed_.clear();
    if (!deflater_->add(bytes, packed_, true)) {
      buf_.clear();
      return IoError::other(COMPRESSION_FAILED);
    }
    bytes = packed_.view();
  }
  int rc;
  do {
    rc = ::flock(fd_.get(), LOCK_EX);
  } while (rc != 0 && errno == EINTR);
  if (rc != 0) return IoError::from_errno(errno);

  // The error is described only once the lock is released: describing it
  // allocates, and a failed allocation must not leave the file locked.
  int failed_errno = 0;
  bool wrote_zero = false;
  const char* p = bytes.data();
  std::size_t left = bytes.size();
  while (left > 0) {
    const ssize_t n = ::write(fd_.get(), p, left);
    if (n < 0) {
      if (errno == EINTR) continue;
      failed_errno = errno;
      break;
    }
    if (n == 0) {
      wrote_zero = true;
      break;
    }
    p += n;
    left -= static_cast<std::size_t>(n);
  }
  buf_.clear();
  (void)::flock(fd_.get(), LOCK_UN);
  if (failed_errno != 0) return IoError::from_errno(failed_errno);
  if (wrote_zero) return IoError{IoErrorKind::WriteZero, "failed to write whole buffer", 0};
  return IO_OK;
}

}  // namespace fennik
