// Annotation site ids: one per distinct (name, argument names) a session's
// program used, given once and never reused, read by the output side.
#pragma once

#include <cstdint>
#include <optional>
#include <shared_mutex>
#include <string>
#include <unordered_map>
#include <vector>

#include "sink.hpp"

namespace fennik {

// Distinct sites a session tells apart; annotations of more are dropped and
// counted (a name made per call, such as f"request {n}", takes one each).
inline constexpr std::uint32_t ANNOTATION_SITE_CAPACITY = 1u << 16;

class AnnotationSites {
 public:
  // The site's id, given now if it is new; nothing once the table is full.
  std::optional<std::uint32_t> intern(SiteInfo info);
  std::optional<SiteInfo> site(std::uint32_t id) const;

 private:
  mutable std::shared_mutex lock_;
  std::vector<SiteInfo> sites_;
  std::unordered_map<std::string, std::uint32_t> index_;  // by name and keys, '\0'-joined
};

}  // namespace fennik
