// Room reserved ahead of an output file's end. Appending makes the file
// system find blocks for each new page as it is written (ext4's delayed
// allocation accounts every one of them on the writing thread): about a
// third of the kernel's time per byte written. With the blocks reserved a
// chunk at a time, an append only copies. What is still reserved past the
// end when a writer is done is given back, so the file takes no more room
// than its bytes.
#pragma once

#include <sys/types.h>

#include <utility>

namespace fennik {

// 16 MiB: one reservation per 16 flushes of a full buffer.
inline constexpr off_t RESERVE_CHUNK_BYTES = off_t{16} << 20;

// One writer's reservations on one file; owned by the SharedFile writing it.
// Several writers, in several processes, may reserve on the same file.
class BlockReserve {
 public:
  // Reserves only on file systems that give reserved blocks back when the
  // file is truncated to its own size (ext4); elsewhere it does nothing.
  static BlockReserve for_file(int fd) noexcept;

  // After an append under the writers' lock: reserves the next chunk once
  // less than half of one is left past the file's end. Stops for good at
  // the first refusal (no space, no support): writes report their own errors.
  void after_append(int fd) noexcept;
  // Whether this writer may have left blocks reserved past the file's end,
  // once: the writer done with the file gives them back by truncating it to
  // its own size under the writers' lock, which on ext4 frees every block
  // past the end, other writers' too (one still writing only finds its next
  // appends unreserved until it reserves again).
  bool take_reserved() noexcept { return std::exchange(reserved_, false); }

 private:
  bool on_ = false;
  bool reserved_ = false;
  off_t reserved_to_ = 0;
};

}  // namespace fennik
