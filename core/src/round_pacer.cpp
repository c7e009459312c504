#include "round_pacer.hpp"

#include <algorithm>

namespace fennik {

bool RoundPacer::start() {
  closed_ = queue_.closed();
  full_ = false;
  round_end_ = std::chrono::steady_clock::now() + ROUND_INTERVAL;
  return closed_;
}

bool RoundPacer::again(std::size_t taken) {
  full_ = taken == DRAIN_ROUND_ITEMS;
  return full_ && (closed_ || std::chrono::steady_clock::now() < round_end_);
}

void RoundPacer::rest(bool busy) {
  if (full_) return;
  interval_ = busy ? ROUND_INTERVAL : std::min(interval_ * 2, IDLE_INTERVAL_MAX);
  queue_.wait_for_work(interval_);
}

}  // namespace fennik
