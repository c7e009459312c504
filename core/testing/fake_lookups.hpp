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

struct FakeCodes : CodeLookup {
  // Giving a known id to a different code is a reuse.
  void add(std::uint32_t id, CodeInfo info) {
    auto [it, added] = codes.try_emplace(id, info);
    if (!added && it->second != info) it->second = std::move(info), ++generation;
  }
  std::optional<CodeInfo> code(std::uint32_t id) const override {
    auto it = codes.find(id);
    return it == codes.end() ? std::nullopt : std::optional(it->second);
  }
  std::uint64_t reuse_generation() const override { return generation; }
  std::map<std::uint32_t, CodeInfo> codes;
  std::uint64_t generation = 0;
};

struct FakeThreads : ThreadNames {
  void add(std::uint32_t tid, std::string name) { names[tid] = std::move(name); }
  std::optional<std::string> name(std::uint32_t tid) const override {
    auto it = names.find(tid);
    return it == names.end() ? std::nullopt : std::optional(it->second);
  }
  std::vector<std::pair<std::uint32_t, std::string>> snapshot() const override {
    return {names.begin(), names.end()};
  }
  void retire(std::uint32_t tid, std::uint64_t) override { names.erase(tid); }
  std::map<std::uint32_t, std::string> names;
};

}  // namespace fennik::testing
