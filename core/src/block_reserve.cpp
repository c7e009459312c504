#include "block_reserve.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#ifdef __linux__
#include <linux/magic.h>
#include <sys/vfs.h>
#endif

namespace fennik {

BlockReserve BlockReserve::for_file(int fd) noexcept {
  BlockReserve reserve;
#ifdef __linux__
  struct statfs fs{};
  struct stat st{};
  // ext4 frees blocks past the end on any truncation; other file systems
  // may keep them when the size does not change.
  reserve.on_ = fd >= 0 && ::fstatfs(fd, &fs) == 0 && fs.f_type == EXT4_SUPER_MAGIC &&
                ::fstat(fd, &st) == 0 && S_ISREG(st.st_mode);
#else
  (void)fd;
#endif
  return reserve;
}

void BlockReserve::after_append(int fd) noexcept {
#ifdef __linux__
  if (!on_) return;
  // Appending leaves the offset at the file's end, wherever other writers
  // left it.
  const off_t end = ::lseek(fd, 0, SEEK_CUR);
  if (end < 0) {
    on_ = false;
    return;
  }
  if (end + RESERVE_CHUNK_BYTES / 2 <= reserved_to_) return;
  if (::fallocate(fd, FALLOC_FL_KEEP_SIZE, end, RESERVE_CHUNK_BYTES) != 0) {
    on_ = false;
    return;
  }
  reserved_ = true;
  reserved_to_ = end + RESERVE_CHUNK_BYTES;
#else
  (void)fd;
#endif
}

}  // namespace fennik
