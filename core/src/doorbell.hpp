// A wake-up for the consumer thread, which otherwise sleeps between rounds:
// rung when buffered events pass a mark and when the session closes.
#pragma once

#include <chrono>
#include <condition_variable>
#include <mutex>

namespace fennik {

class Doorbell {
 public:
  void ring() noexcept {
    {
      std::lock_guard<std::mutex> g(lock_);
      rung_ = true;
    }
    rung_cv_.notify_one();
  }

  // Returns once rung (since the last return) or after `timeout`.
  void wait_for(std::chrono::nanoseconds timeout) {
    std::unique_lock<std::mutex> g(lock_);
    rung_cv_.wait_for(g, timeout, [this] { return rung_; });
    rung_ = false;
  }

 private:
  std::mutex lock_;
  std::condition_variable rung_cv_;
  bool rung_ = false;
};

}  // namespace fennik
