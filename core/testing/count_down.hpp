// A one-shot count-down latch on a mutex and condition variable, which
// ThreadSanitizer sees as synchronisation (the standard latch's futex wait
// may not be).
#pragma once

#include <condition_variable>
#include <cstdint>
#include <mutex>

namespace fennik::testing {

class CountDown {
 public:
  explicit CountDown(std::uint32_t count) : count_(count) {}
  void count_down() {
    std::lock_guard<std::mutex> g(m_);
    if (count_ != 0 && --count_ == 0) cv_.notify_all();
  }
  void wait() {
    std::unique_lock<std::mutex> l(m_);
    cv_.wait(l, [this] { return count_ == 0; });
  }

 private:
  std::mutex m_;
  std::condition_variable cv_;
  std::uint32_t count_;
};

}  // namespace fennik::testing
