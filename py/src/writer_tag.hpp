// The tag that keeps the packet sequences of writers appending to one
// protobuf output apart (the first writer, which created the file, has 0).
//
// A writer's tag takes its sequence ids to tag << 7 and up, so every event
// packet of a child carries its tag's varint bytes. A process id makes
// three to five of them; tags 1 to SMALL_WRITER_TAGS make two. Writers agree
// on the small tags through the file itself: each holds a lock on one byte
// far past the file's end, the byte its tag names, for as long as it has the
// file open, so a tag is free again once its writer is done with the file.
// A later writer may then take it: each of a writer's sequences begins by
// clearing its state, as a thread's does when it reuses an ended one's.
//
//   file:  [ packets appended by every writer ... ]   ...   [1][2]...[127][128]...
//                                                 lock bytes: WRITER_TAG_LOCK_OFFSET + tag
#pragma once

#include <cstdint>

namespace fennik {

inline constexpr std::uint32_t SMALL_WRITER_TAGS = 127;
// Large tags tried, from one the process id picks, once every small tag is held.
inline constexpr std::uint32_t LARGE_WRITER_TAG_PROBES = 64;
// Far past any file's end; no data is ever there.
inline constexpr std::int64_t WRITER_TAG_LOCK_OFFSET = std::int64_t{1} << 62;

// The lowest free small tag, else a free large one; `pid` itself where the
// file's system may not keep these locks apart from the whole-file ones that
// serialize appends (network file systems), or where none is free. The lock
// belongs to `fd`'s open file and goes when its last descriptor closes.
std::uint32_t claim_writer_tag(int fd, std::uint32_t pid) noexcept;

}  // namespace fennik
