// A profile's string table under construction: distinct strings in order of
// first use, entry 0 being the empty string the format reserves.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

namespace fennik::pprof {

class Strings {
 public:
  static Strings with_empty_head() {
    Strings s;
    s.id("");
    return s;
  }

  // The index of `text`, appended first if it is new.
  std::uint64_t id(std::string_view text) {
    if (auto it = index_.find(text); it != index_.end()) return it->second;
    const std::uint64_t next = list_.size();
    list_.emplace_back(text);
    index_.emplace(list_.back(), next);
    return next;
  }

  const std::vector<std::string>& list() const noexcept { return list_; }
  std::vector<std::string> take_list() && { return std::move(list_); }

 private:
  Strings() = default;

  struct Hash {
    using is_transparent = void;
    std::size_t operator()(std::string_view s) const noexcept {
      return std::hash<std::string_view>{}(s);
    }
  };

  std::vector<std::string> list_;
  std::unordered_map<std::string, std::uint64_t, Hash, std::equal_to<>> index_;
};

}  // namespace fennik::pprof
