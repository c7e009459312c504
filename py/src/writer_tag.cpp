#include "writer_tag.hpp"

#include <fcntl.h>
#ifdef __linux__
#include <sys/vfs.h>
#endif

#include <cerrno>

#include "proto_exporter.hpp"

namespace fennik {
namespace {

// File systems whose byte-range locks the kernel keeps apart from flock(),
// which appends take on the whole file. Elsewhere (NFS, SMB, FUSE) a flock()
// may be carried out as a byte-range lock on the whole file, which a held
// tag would then block for good.
constexpr unsigned long LOCAL_FILE_SYSTEMS[] = {
    0xEF53,      // ext2, ext3, ext4
    0x58465342,  // XFS
    0x9123683E,  // Btrfs
    0x01021994,  // tmpfs
    0x794C7630,  // overlayfs
    0xF2F52010,  // F2FS
    0x2FC12FC1,  // ZFS
};

bool locks_stay_apart(int fd) noexcept {
#ifndef __linux__
  (void)fd;
  return false;  // other kernels: not known to
#else
  struct statfs fs{};
  if (::fstatfs(fd, &fs) != 0) return false;
  for (const unsigned long type : LOCAL_FILE_SYSTEMS) {
    if (static_cast<unsigned long>(fs.f_type) == type) return true;
  }
  return false;
#endif
}

enum class Claim : std::uint8_t { Held, Taken, Unsupported };

Claim try_claim(int fd, std::uint32_t tag) noexcept {
#ifdef F_OFD_SETLK
  struct flock lock{};
  lock.l_type = F_WRLCK;
  lock.l_whence = SEEK_SET;
  lock.l_start = WRITER_TAG_LOCK_OFFSET + tag;
  lock.l_len = 1;
  if (::fcntl(fd, F_OFD_SETLK, &lock) == 0) return Claim::Held;
  return errno == EAGAIN || errno == EACCES ? Claim::Taken : Claim::Unsupported;
#else
  (void)fd;
  (void)tag;
  return Claim::Unsupported;
#endif
}

}  // namespace

std::uint32_t claim_writer_tag(int fd, std::uint32_t pid) noexcept {
  if (!locks_stay_apart(fd)) return pid;
  for (std::uint32_t tag = 1; tag <= SMALL_WRITER_TAGS; ++tag) {
    switch (try_claim(fd, tag)) {
      case Claim::Held:
        return tag;
      case Claim::Unsupported:
        return pid;
      case Claim::Taken:
        break;
    }
  }
  // More writers at once than small tags: the others take large ones, held
  // the same way, so that no two live writers ever share one.
  constexpr std::uint32_t FIRST_LARGE = SMALL_WRITER_TAGS + 1;
  constexpr std::uint32_t LARGE_TAGS = (1u << PROTO_WRITER_TAG_BITS) - FIRST_LARGE;
  for (std::uint32_t i = 0; i < LARGE_WRITER_TAG_PROBES; ++i) {
    const std::uint32_t tag = FIRST_LARGE + (pid + i) % LARGE_TAGS;
    if (try_claim(fd, tag) == Claim::Held) return tag;
  }
  return pid;
}

}  // namespace fennik
