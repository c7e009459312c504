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

class ThreadRegistry : public ThreadNames {
 public:
  // True when `tid` has a name after the call. `current_name` asks the
  // interpreter for the calling thread's name; it runs with no lock held.
  template <class NameFn>
  bool ensure(std::uint32_t tid, NameFn&& current_name) {
    {
      std::shared_lock<std::shared_mutex> g(lock_);
      if (names_.contains(tid)) return true;
    }
    std::optional<std::string> name = current_name();
    if (!name || !is_registrable_thread_name(*name)) return false;
    std::unique_lock<std::shared_mutex> g(lock_);
    names_.try_emplace(tid, std::move(*name));  // the first name registered stays
    return true;
  }

  std::optional<std::string> name(std::uint32_t tid) const override;
  std::vector<std::pair<std::uint32_t, std::string>> snapshot() const override;

 private:
  mutable std::shared_mutex lock_;
  std::unordered_map<std::uint32_t, std::string> names_;
};

}  // namespace fennik
