// Thread id → the name Python's threading module gives the thread. Names are
// collected by the recording threads themselves and read by the output side.
#pragma once

#include <cstdint>
#include <mutex>
#include <optional>
#include <shared_mutex>
#include <string>
#include <string_view>
#include <unordered_map>
#include <utility>
#include <vector>

#include "sink.hpp"

namespace fennik {

// Names threading gives threads it did not start; never registered.
inline constexpr std::string_view PLACEHOLDER_THREAD_PREFIX = "Dummy-";

bool is_registrable_thread_name(std::string_view name) noexcept;

// Names per thread id, one entry per thread incarnation (thread_serial): a
// thread that reuses an exited thread's id does not take over its name while
// the exited thread's last events are still being written.
class ThreadRegistry : public ThreadNames {
 public:
  // True when the incarnation `serial` of `tid` has a name after the call.
  // `current_name` asks the interpreter for the calling thread's name; it runs
  // with no lock held.
  template <class NameFn>
  bool ensure(std::uint32_t tid, std::uint64_t serial, NameFn&& current_name) {
    {
      std::shared_lock<std::shared_mutex> g(lock_);
      if (has(tid, serial)) return true;
    }
    std::optional<std::string> name = current_name();
    if (!name || !is_registrable_thread_name(*name)) return false;
    std::unique_lock<std::shared_mutex> g(lock_);
    if (!has(tid, serial)) names_[tid].push_back(Entry{serial, std::move(*name)});
    return true;
  }

  // The oldest incarnation's name: the one whose events are written first.
  std::optional<std::string> name(std::uint32_t tid) const override;
  std::vector<std::pair<std::uint32_t, std::string>> snapshot() const override;
  void retire(std::uint32_t tid, std::uint64_t serial) override;

 private:
  struct Entry {
    std::uint64_t serial;
    std::string name;
  };
  bool has(std::uint32_t tid, std::uint64_t serial) const;

  mutable std::shared_mutex lock_;
  std::unordered_map<std::uint32_t, std::vector<Entry>> names_;  // per tid, oldest first
};

}  // namespace fennik
