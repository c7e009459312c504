// The callbacks' per-thread caches: code ids by code object, and the frames
// whose opening event was lost. They live on the heap, one block per thread
// that records, and the thread reaches them through a thread-local pointer.
//
// Why not in thread-local storage itself: the C library keeps a little static
// TLS spare (512 bytes by default) for modules loaded after the program
// started, and places such a module's whole TLS block there only if it fits.
// Then the TLS descriptor that reaches HOT returns a constant offset from the
// thread pointer; otherwise it takes its dynamic side, which looks the block
// up in the thread's table of blocks, on every event. The caches alone are
// 4.6 KB.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

#include "lost_opens.hpp"

namespace fennik::py {

inline constexpr std::size_t CODE_CACHE_SLOTS = 256;

// A direct-mapped cache slot: a code object's address (0: empty) and its id.
struct CodeSlot {
  std::uint64_t code;
  std::uint32_t id;
};

struct ThreadCaches {
  std::array<CodeSlot, CODE_CACHE_SLOTS> codes{};
  LostOpens lost_opens{};
};

// The calling thread's code slots, for the callbacks' fast path: its caches'
// own, or until it has caches (and again after its exit has freed them) a
// shared table that matches no code. Written only by thread_caches and at the
// thread's exit.
[[gnu::visibility("hidden")]] extern constinit thread_local const CodeSlot* CODE_SLOTS;

// The calling thread's caches, made on first use and kept until the thread
// exits. Null once the exit freed them, and when memory ran out for them in
// session `queue_id` (tried again in a later session, whose frames all begin
// after the failure); the thread's events are then lost.
ThreadCaches* thread_caches(std::uint64_t queue_id) noexcept;

// Empties the calling thread's code slots, if it has any.
void empty_code_cache() noexcept;

}  // namespace fennik::py
