// The rhythm of the thread that consumes a session's queue, streaming or
// recording: it drains in rounds, a round under steady load ends in time for
// the work done between rounds, and an idle consumer sleeps longer and longer
// between them (the queue rings it early when events pile up or it closes).
#pragma once

#include <chrono>
#include <cstddef>

#include "evqueue.hpp"

namespace fennik {

// Items taken from the queue per hold of its lock.
inline constexpr std::size_t DRAIN_ROUND_ITEMS = 64;
// The sleep after a round that found work, and the longest a round under
// load lasts: how often partial batches move on and the recycle floor is
// published, so the delay before a forgotten code id can be given out again.
inline constexpr std::chrono::milliseconds ROUND_INTERVAL{10};
// Rounds that find nothing double the sleep up to this.
inline constexpr std::chrono::milliseconds IDLE_INTERVAL_MAX{160};

class RoundPacer {
 public:
  explicit RoundPacer(EventQueue& queue) noexcept : queue_(queue) {}

  // Begins a round; whether the queue was closed at its start. Read before
  // draining: a close seen here means the session's last batches are in the
  // lists for this round to take, so a round that then finds nothing is the
  // last.
  bool start();
  // After a step that drained `taken` items: whether this round drains
  // again. It does while steps come back full, until ROUND_INTERVAL has
  // passed (of a queue that is closed, until it is empty).
  bool again(std::size_t taken);
  // Ends the round: no sleep when it was cut short with more to drain;
  // otherwise ROUND_INTERVAL after a round that did work, or twice the last
  // sleep (up to IDLE_INTERVAL_MAX) after one that did not.
  void rest(bool busy);

 private:
  EventQueue& queue_;
  std::chrono::steady_clock::time_point round_end_;
  std::chrono::milliseconds interval_ = ROUND_INTERVAL;
  bool closed_ = false;
  bool full_ = false;
};

}  // namespace fennik
