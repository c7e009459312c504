// Assembles a dump's window: the flight recorder's batches, plus copies of
// the threads' partial batches, become one time-ordered list of events from
// one tick to another, with the call stacks that eviction and the window's
// edges cut closed again.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "clock.hpp"
#include "event.hpp"
#include "ring.hpp"

namespace fennik {

// Events a thread lost before the event at index `before` of the assembled
// list, from `ts_ns` on.
struct AssembledGap {
  std::size_t before;
  std::uint32_t tid;
  std::uint64_t ts_ns;
  std::uint64_t count;
};

struct Assembled {
  std::vector<Event> events;       // sorted by time, stable
  std::vector<AssembledGap> gaps;  // by `before`, then in time order
};

// Everything the ring holds and the tails add, from `from` to `until` (raw
// ticks, both inclusive). A tail with the tid and base of a ring batch is an
// older copy of it and is left out. `evicted_until` is the ring's.
// Frames open when the window starts come first, with their own times. A
// frame that closes with no start held gets a start of its own, at the
// thread's first held tick (or `evicted_until` if earlier), or after a gap at
// the thread's first tick past it, outermost frame first. A gap ends what was
// open on its thread, and so does a pause (`pauses_ns`, the times pauses
// began, in order); a frame that closes after a pause with no start held gets
// none.
Assembled assemble(const Ring& ring, std::span<const EventBatch> tails, const Clock& clock,
                   std::span<const std::uint64_t> pauses_ns, std::uint64_t evicted_until,
                   std::uint64_t from, std::uint64_t until);

}  // namespace fennik
