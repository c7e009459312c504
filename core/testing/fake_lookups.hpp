// In-memory CodeLookup and ThreadNames for exporter and pipeline tests.
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "sink.hpp"

namespace fennik::testing {

class FakeCodes : public CodeLookup {
 public:
  FakeCodes() = default;
  FakeCodes(std::initializer_list<std::pair<const std::uint32_t, CodeInfo>> init) : codes_(init) {}
  void add(std::uint32_t id, CodeInfo info) { codes_[id] = std::move(info); }
  std::optional<CodeInfo> code(std::uint32_t id) const override {
    auto it = codes_.find(id);
    if (it == codes_.end()) return std::nullopt;
    return it->second;
  }

 private:
  std::map<std::uint32_t, CodeInfo> codes_;
};

class FakeThreads : public ThreadNames {
 public:
  FakeThreads() = default;
  FakeThreads(std::initializer_list<std::pair<const std::uint32_t, std::string>> init)
      : names_(init) {}
  void add(std::uint32_t tid, std::string name) { names_[tid] = std::move(name); }
  std::optional<std::string> name(std::uint32_t tid) const override {
    auto it = names_.find(tid);
    if (it == names_.end()) return std::nullopt;
    return it->second;
  }
  std::vector<std::pair<std::uint32_t, std::string>> snapshot() const override {
    return {names_.begin(), names_.end()};
  }

 private:
  std::map<std::uint32_t, std::string> names_;
};

}  // namespace fennik::testing
