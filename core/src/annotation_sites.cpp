#include "annotation_sites.hpp"

#include <mutex>

namespace fennik {

std::optional<std::uint32_t> AnnotationSites::intern(SiteInfo info) {
  std::string key = info.name;
  for (const std::string& k : info.keys) {
    key.push_back('\0');
    key += k;
  }
  {
    std::shared_lock<std::shared_mutex> g(lock_);
    if (auto it = index_.find(key); it != index_.end()) return it->second;
  }
  std::unique_lock<std::shared_mutex> g(lock_);
  if (auto it = index_.find(key); it != index_.end()) return it->second;
  if (sites_.size() >= ANNOTATION_SITE_CAPACITY) return std::nullopt;
  const auto id = static_cast<std::uint32_t>(sites_.size());
  sites_.push_back(std::move(info));
  index_.emplace(std::move(key), id);
  return id;
}

std::optional<SiteInfo> AnnotationSites::site(std::uint32_t id) const {
  std::shared_lock<std::shared_mutex> g(lock_);
  if (id >= sites_.size()) return std::nullopt;
  return sites_[id];
}

}  // namespace fennik
