#include "threads.hpp"

#include <algorithm>

namespace fennik {

bool is_registrable_thread_name(std::string_view name) noexcept {
  return !name.empty() && !name.starts_with(PLACEHOLDER_THREAD_PREFIX);
}

bool ThreadRegistry::has(std::uint32_t tid, std::uint64_t serial) const {
  auto it = names_.find(tid);
  if (it == names_.end()) return false;
  return std::any_of(it->second.begin(), it->second.end(),
                     [serial](const Entry& e) { return e.serial == serial; });
}

std::optional<std::string> ThreadRegistry::name(std::uint32_t tid) const {
  std::shared_lock<std::shared_mutex> g(lock_);
  auto it = names_.find(tid);
  if (it == names_.end() || it->second.empty()) return std::nullopt;
  return it->second.front().name;
}

std::vector<std::pair<std::uint32_t, std::string>> ThreadRegistry::snapshot() const {
  std::vector<std::pair<std::uint32_t, std::string>> all;
  {
    std::shared_lock<std::shared_mutex> g(lock_);
    for (const auto& [tid, entries] : names_) {
      if (!entries.empty()) all.emplace_back(tid, entries.front().name);
    }
  }
  std::sort(all.begin(), all.end(), [](const auto& a, const auto& b) { return a.first < b.first; });
  return all;
}

void ThreadRegistry::retire(std::uint32_t tid, std::uint64_t serial) {
  std::unique_lock<std::shared_mutex> g(lock_);
  auto it = names_.find(tid);
  if (it == names_.end()) return;
  // Incarnations are retired in order; one that was never named left no entry.
  std::erase_if(it->second, [serial](const Entry& e) { return e.serial <= serial; });
  if (it->second.empty()) names_.erase(it);
}

}  // namespace fennik
