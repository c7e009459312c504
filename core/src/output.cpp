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

struct WriteOutcome {
  int failed_errno = 0;
  bool wrote_zero = false;
  std::size_t cut_short = 0;  // bytes of the part that failed, already in the file
};

// Writes `first` then `second` whole, retrying short writes; stops at the
// first error.
WriteOutcome write_all(int fd, std::string_view first, std::string_view second) {
  WriteOutcome outcome;
  for (std::string_view part : {first, second}) {
    const char* p = part.data();
    std::size_t left = part.size();
    while (left > 0) {
      const ssize_t n = ::write(fd, p, left);
      if (n < 0) {
        if (errno == EINTR) continue;
        outcome.failed_errno = errno;
        outcome.cut_short = part.size() - left;
        return outcome;
      }
      if (n == 0) {
        outcome.wrote_zero = true;
        outcome.cut_short = part.size() - left;
        return outcome;
      }
      p += n;
      left -= static_cast<std::size_t>(n);
    }
  }
  return outcome;
}

// The writers' whole-file lock; 0, or -1 with errno set.
int lock_file(int fd) {
  int rc;
  do {
    rc = ::flock(fd, LOCK_EX);
  } while (rc != 0 && errno == EINTR);
  return rc;
}

// Under the writers' lock, ends the file `bytes` before its end: bytes of
// ours a failed write cut short (a full disk), where readers would meet half
// a packet or a broken gzip member, or none, which gives back the blocks
// reserved past the end. Nothing for what is not a file.
void cut_end(int fd, std::size_t bytes) {
  const off_t end = ::lseek(fd, 0, SEEK_END);
  if (end < 0 || static_cast<std::size_t>(end) < bytes) return;
  const off_t kept = end - static_cast<off_t>(bytes);
  int rc;
  do {
    rc = ::ftruncate(fd, kept);
  } while (rc != 0 && errno == EINTR);
  // A descriptor that is not appending goes on writing from there.
  if (rc == 0) (void)::lseek(fd, kept, SEEK_SET);
}

}  // namespace

SharedFile::SharedFile(UniqueFd fd)
    : fd_(std::move(fd)),
      reserve_(BlockReserve::for_file(fd_.get())),
      buf_(SHARED_FILE_BUFFER_BYTES) {}

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
    close_out();
    fd_ = std::move(other.fd_);
    reserve_ = other.reserve_;
    buf_ = std::move(other.buf_);
    deflater_ = std::move(other.deflater_);
    packed_ = std::move(other.packed_);
    worker_ = std::move(other.worker_);
  }
  return *this;
}

SharedFile::~SharedFile() {
  close_out();
}

void SharedFile::close_out() noexcept {
  if (!fd_.valid()) return;
  // Describing an error allocates; out of memory here must not end the process.
  try {
    (void)flush();
  } catch (...) {
  }
  // Left as it is when the lock fails: reserved room, not data.
  if (reserve_.take_reserved() && lock_file(fd_.get()) == 0) {
    cut_end(fd_.get(), 0);
    (void)::flock(fd_.get(), LOCK_UN);
  }
}

void SharedFile::compress_each_flush() {
  deflater_ = std::make_unique<Deflater>();
}

void SharedFile::compress_alongside() noexcept {
  if (!deflater_ || worker_) return;
  try {
    worker_ = std::make_unique<DeflateWorker>();
  } catch (const std::exception&) {
    // No second thread: members compress on this one.
  }
}

IoStatus SharedFile::hand_over() {
  if (worker_->holding()) return flush();
  worker_->give(buf_);
  return IO_OK;
}

IoStatus SharedFile::flush() {
  const bool held = worker_ && worker_->holding();
  if (buf_.empty() && !held) return IO_OK;
  std::string_view bytes = buf_.view();
  bool failed = false;
  if (deflater_ && !buf_.empty()) {
    // Compressed before the lock is taken (other writers wait for the write
    // only), while the second thread finishes the member before it.
    packed_.clear();
    failed = !deflater_->add_member(bytes, packed_);
    bytes = packed_.view();
  }
  std::string_view earlier;
  if (held) {
    const ByteBuffer* member = worker_->wait();
    if (member == nullptr) {
      failed = true;
    } else {
      earlier = member->view();
    }
  }
  if (failed) {
    if (held) worker_->release();
    buf_.clear();
    return IoError::other(COMPRESSION_FAILED);
  }
  // Both stay in hand for the next flush.
  if (lock_file(fd_.get()) != 0) return IoError::from_errno(errno);

  // The error is described only once the lock is released: describing it
  // allocates, and a failed allocation must not leave the file locked.
  const WriteOutcome outcome = write_all(fd_.get(), earlier, bytes);
  if (outcome.failed_errno == 0 && !outcome.wrote_zero) {
    reserve_.after_append(fd_.get());
  } else if (outcome.cut_short > 0) {
    cut_end(fd_.get(), outcome.cut_short);
  }
  if (held) worker_->release();
  buf_.clear();
  (void)::flock(fd_.get(), LOCK_UN);
  if (outcome.failed_errno != 0) return IoError::from_errno(outcome.failed_errno);
  if (outcome.wrote_zero) return IoError{IoErrorKind::WriteZero, "failed to write whole buffer", 0};
  return IO_OK;
}

}  // namespace fennik
