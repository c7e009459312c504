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
  // Giving a known id to a different code is a reuse.
  void add(std::uint32_t id, CodeInfo info) {
    auto [it, added] = codes_.try_emplace(id, info);
    if (!added && it->second != info) {
      it->second = std::move(info);
      ++generation_;
    }
  }
  std::optional<CodeInfo> code(std::uint32_t id) const override {
    auto it = codes_.find(id);
    if (it == codes_.end()) return std::nullopt;
    return it->second;
  }
  std::uint64_t reuse_generation() const override { return generation_; }

 private:
  std::map<std::uint32_t, CodeInfo> codes_;
  std::uint64_t generation_ = 0;
};

class FakeThreads : public ThreadNames {
 public:
  void add(std::uint32_t tid, std::string name) { names_[tid] = std::move(name); }
  std::optional<std::string> name(std::uint32_t tid) const override {
    auto it = names_.find(tid);
    if (it == names_.end()) return std::nullopt;
    return it->second;
  }
  std::vector<std::pair<std::uint32_t, std::string>> snapshot() const override {
    return {names_.begin(), names_.end()};
  }
  void retire(std::uint32_t tid, std::uint64_t) override { names_.erase(tid); }

 private:
  std::map<std::uint32_t, std::string> names_;
};

}  // namespace fennik::testing
