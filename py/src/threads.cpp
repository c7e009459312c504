#include "threads.hpp"

#include <algorithm>

namespace fennik {

bool is_registrable_thread_name(std::string_view name) noexcept {
  return !name.empty() && !name.starts_with(PLACEHOLDER_THREAD_PREFIX);
}

std::optional<std::string> ThreadRegistry::name(std::uint32_t tid) const {
  std::shared_lock<std::shared_mutex> g(lock_);
  auto it = names_.find(tid);
  if (it == names_.end()) return std::nullopt;
  return it->second;
}

std::vector<std::pair<std::uint32_t, std::string>> ThreadRegistry::snapshot() const {
  std::vector<std::pair<std::uint32_t, std::string>> all;
  {
    std::shared_lock<std::shared_mutex> g(lock_);
    all.assign(names_.begin(), names_.end());
  }
  std::stable_sort(all.begin(), all.end(),
                   [](const auto& a, const auto& b) { return a.first < b.first; });
  return all;
}

}  // namespace fennik
