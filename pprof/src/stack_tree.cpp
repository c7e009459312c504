#include "stack_tree.hpp"

#include <algorithm>

namespace fennik::pprof {

StackTree::StackTree() {
  nodes_.push_back(Node{ROOT, 0, 0});
}

NodeId StackTree::child(NodeId parent, std::uint32_t code) {
  const std::uint64_t key = key_of(parent, code);
  if (const NodeId* found = index_.find(key)) return *found;
  // A new stack. Node ids stay below NO_NODE, which marks a full tree.
  if (nodes_.size() >= NO_NODE) return NO_NODE;
  const auto node = static_cast<NodeId>(nodes_.size());
  nodes_.push_back(Node{parent, code, 0});
  index_.insert(key, node);
  return node;
}

// A node is live when it or a stack it begins holds time. A child is always
// created after its parent, so one pass from the newest node marks them all.
std::vector<std::uint8_t> StackTree::live_marks() const {
  std::vector<std::uint8_t> live(nodes_.size(), 0);
  for (std::size_t n = nodes_.size(); n-- > 1;) {
    if (nodes_[n].total > 0) live[n] = 1;
    if (live[n]) live[nodes_[n].parent] = 1;
  }
  return live;
}

std::vector<StackTree::Placed> StackTree::live_in_order(
    const std::vector<std::uint64_t>& rank) const {
  const std::vector<std::uint8_t> live = live_marks();

  // The live children of every node, grouped by parent, each group sorted by code.
  std::vector<std::uint32_t> first(nodes_.size() + 1, 0);
  for (std::size_t n = 1; n < nodes_.size(); ++n) {
    if (live[n]) ++first[nodes_[n].parent + 1];
  }
  for (std::size_t n = 1; n < first.size(); ++n) first[n] += first[n - 1];
  std::vector<NodeId> children(first.back());
  std::vector<std::uint32_t> fill(first.begin(), first.end() - 1);
  for (std::size_t n = 1; n < nodes_.size(); ++n) {
    if (live[n]) children[fill[nodes_[n].parent]++] = static_cast<NodeId>(n);
  }
  for (std::size_t p = 0; p < nodes_.size(); ++p) {
    std::sort(children.begin() + first[p], children.begin() + first[p + 1],
              [&](NodeId a, NodeId b) {
                const std::uint32_t ca = nodes_[a].code;
                const std::uint32_t cb = nodes_[b].code;
                return rank[ca] < rank[cb];
              });
  }

  // Pre-order walk with an explicit stack: stacks can be far deeper than the
  // thread's own call stack could recurse.
  std::vector<Placed> out;
  std::vector<Placed> todo;
  auto push_children = [&](NodeId p, std::uint32_t depth) {
    for (std::uint32_t c = first[p + 1]; c-- > first[p];) todo.push_back({children[c], depth});
  };
  push_children(ROOT, 1);
  while (!todo.empty()) {
    const Placed n = todo.back();
    todo.pop_back();
    out.push_back(n);
    push_children(n.node, n.depth + 1);
  }
  return out;
}

std::vector<NodeId> StackTree::charged_in_order(const std::vector<std::uint64_t>& rank) const {
  std::vector<NodeId> out;
  for (const Placed& p : live_in_order(rank)) {
    if (nodes_[p.node].total > 0) out.push_back(p.node);
  }
  return out;
}

std::vector<std::uint64_t> StackTree::frames_per_code(std::size_t codes) const {
  // A node's frame is in every charged stack of its subtree; children come
  // after their parents, so one pass from the newest node sums the subtrees.
  std::vector<std::uint64_t> below(nodes_.size(), 0);
  std::vector<std::uint64_t> frames(codes, 0);
  for (std::size_t n = nodes_.size(); n-- > 1;) {
    below[n] += nodes_[n].total > 0;
    below[nodes_[n].parent] += below[n];
    if (nodes_[n].code < codes) frames[nodes_[n].code] += below[n];
  }
  return frames;
}

std::vector<FunctionSlot> StackTree::charged_codes() const {
  const std::vector<std::uint8_t> live = live_marks();
  std::vector<FunctionSlot> codes;
  for (std::size_t n = 1; n < nodes_.size(); ++n) {
    if (live[n]) codes.push_back(nodes_[n].code);
  }
  std::sort(codes.begin(), codes.end());
  codes.erase(std::unique(codes.begin(), codes.end()), codes.end());
  return codes;
}

void StackTree::clear_totals() noexcept {
  for (Node& n : nodes_) n.total = 0;
}

std::vector<std::uint32_t> StackTree::codes_of(NodeId node) const {
  std::vector<std::uint32_t> codes;
  for (NodeId n = node; n != ROOT; n = nodes_[n].parent) codes.push_back(nodes_[n].code);
  std::reverse(codes.begin(), codes.end());
  return codes;
}

}  // namespace fennik::pprof
