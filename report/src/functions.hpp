// The distinct functions a report names: a qualified name, a file and a first
// line, each given a dense id on first sight.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

namespace fennik::report {

struct Function {
  std::string name;
  std::string file;
  std::uint32_t line = 0;
};

class Functions {
 public:
  std::uint32_t id(std::string_view name, std::string_view file, std::uint32_t line) {
    key_.assign(name);
    key_.push_back('\0');
    key_.append(file);
    key_.push_back('\0');
    key_.append(std::to_string(line));
    auto [it, inserted] = ids_.try_emplace(key_, static_cast<std::uint32_t>(all_.size()));
    if (inserted) all_.push_back(Function{std::string(name), std::string(file), line});
    return it->second;
  }
  const Function& operator[](std::uint32_t id) const { return all_[id]; }
  std::size_t size() const noexcept { return all_.size(); }

 private:
  std::unordered_map<std::string, std::uint32_t> ids_;
  std::vector<Function> all_;
  std::string key_;
};

}  // namespace fennik::report
