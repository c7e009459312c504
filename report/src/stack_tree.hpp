// Call stacks merged across time: one node per distinct path of functions
// from an outermost frame, with the time spent in it as the innermost frame.
// A flame graph draws it; its memory grows with distinct stacks.
#pragma once

#include <cstdint>
#include <vector>

#include "flat_map.hpp"

namespace fennik::report {

class StackTree {
 public:
  static constexpr std::uint32_t ROOT = 0;
  struct Node {
    std::uint32_t parent;
    std::uint32_t fn;
    std::uint64_t self_ns = 0;
    std::uint64_t total_ns = 0;  // filled by totals()
  };

  StackTree() { nodes_.push_back(Node{ROOT, 0}); }

  // The child of `node` for `fn`, made on first use.
  std::uint32_t child(std::uint32_t node, std::uint32_t fn) {
    const std::uint64_t key = (std::uint64_t{node} << 32) | fn;
    if (const std::uint32_t* found = children_.find(key)) return *found;
    const auto id = static_cast<std::uint32_t>(nodes_.size());
    nodes_.push_back(Node{node, fn});
    children_.insert(key, id);
    return id;
  }
  void charge(std::uint32_t node, std::uint64_t ns) noexcept { nodes_[node].self_ns += ns; }

  // Sums every node's subtree into its total (children come after parents).
  void totals() noexcept {
    for (Node& n : nodes_) n.total_ns = n.self_ns;
    for (std::size_t i = nodes_.size(); i-- > 1;)
      nodes_[nodes_[i].parent].total_ns += nodes_[i].total_ns;
  }
  const std::vector<Node>& nodes() const noexcept { return nodes_; }

 private:
  std::vector<Node> nodes_;
  FlatMap<std::uint64_t, std::uint32_t> children_;
};

}  // namespace fennik::report
