// The polling threads' idle wait: short first, doubling to a cap, so latency
// stays low without any wake-up signal from the traced threads.
#pragma once

#include <algorithm>
#include <chrono>
#include <thread>

namespace fennik {

inline constexpr std::chrono::microseconds BACKOFF_MIN{20};
inline constexpr std::chrono::microseconds BACKOFF_MAX{200};

class Backoff {
 public:
  void wait() {
    std::this_thread::sleep_for(delay_);
    delay_ = std::min(delay_ * 2, BACKOFF_MAX);
  }
  void reset() noexcept { delay_ = BACKOFF_MIN; }
  std::chrono::microseconds delay() const noexcept { return delay_; }

 private:
  std::chrono::microseconds delay_ = BACKOFF_MIN;
};

}  // namespace fennik
