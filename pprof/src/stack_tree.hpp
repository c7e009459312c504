// Wall time per distinct call stack, over all threads, kept as a prefix tree:
// one node per stack ever entered, identified by its parent stack and its
// innermost function. A thread's current stack is then a node, so charging
// time is one addition and entering a frame is one hash lookup, however deep
// the stack; no stack is ever copied or compared element by element.
//
// Read in key order (pre-order, children by ascending rank of their function)
// the charged nodes are the stacks ordered element by element from the
// outermost frame, a stack before every longer stack it begins.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "flat_map.hpp"

namespace fennik::pprof {

// A stack as a node of the tree; ROOT is the empty stack.
using NodeId = std::uint32_t;
// A function of the profile, numbered densely from 0 by its owner.
using FunctionSlot = std::uint32_t;
// Never a function: what is given once function slots are exhausted.
inline constexpr FunctionSlot NO_FUNCTION = UINT32_MAX;

class StackTree {
 public:
  static constexpr NodeId ROOT = 0;
  // Never a node: what `child` gives once node ids are exhausted.
  static constexpr NodeId NO_NODE = UINT32_MAX;

  StackTree();
  StackTree(StackTree&&) noexcept = default;
  StackTree& operator=(StackTree&&) noexcept = default;

  // The stack `parent` with `code` entered on top, created on first use, or
  // NO_NODE when the tree is full.
  NodeId child(NodeId parent, FunctionSlot code);

  // Adds to the node's total, saturating at the largest i64 (totals are
  // signed in the profile; a wild timestamp must not wrap a total negative).
  void charge(NodeId node, std::uint64_t ns) noexcept {
    Node& n = nodes_[node];
    const auto room = static_cast<std::uint64_t>(INT64_MAX - n.total);
    n.total = ns >= room ? INT64_MAX : n.total + static_cast<std::int64_t>(ns);
  }

  std::uint32_t code(NodeId node) const noexcept { return nodes_[node].code; }
  NodeId parent(NodeId node) const noexcept { return nodes_[node].parent; }
  std::int64_t total(NodeId node) const noexcept { return nodes_[node].total; }
  std::size_t node_count() const noexcept { return nodes_.size(); }

  // A stack and how many frames it has.
  struct Placed {
    NodeId node;
    std::uint32_t depth;
  };
  // The live stacks (charged, or begun by a charged one) in key order:
  // siblings by ascending rank[code]; a stack comes after the stack its
  // outer frames make, so a walk can keep the current stack as it goes.
  std::vector<Placed> live_in_order(const std::vector<std::uint64_t>& rank) const;
  // The charged stacks (total > 0), in key order.
  std::vector<NodeId> charged_in_order(const std::vector<std::uint64_t>& rank) const;
  // How many charged stacks each code's frames are part of, by code: the
  // times its id is written in a profile's samples.
  std::vector<std::uint64_t> frames_per_code(std::size_t codes) const;
  // The distinct codes of every frame of every charged stack, ascending.
  std::vector<FunctionSlot> charged_codes() const;
  // Forgets every total; the stacks themselves stay, so threads carry on.
  void clear_totals() noexcept;

  // The stack `node` stands for, outermost frame first.
  std::vector<std::uint32_t> codes_of(NodeId node) const;

 private:
  struct Node {
    NodeId parent;
    std::uint32_t code;
    std::int64_t total;
  };

  static constexpr std::size_t INITIAL_SLOTS = 1024;

  // (parent, code) -> child. The all-ones key, parent NO_NODE, never exists.
  static std::uint64_t key_of(NodeId parent, std::uint32_t code) noexcept {
    return static_cast<std::uint64_t>(parent) << 32 | code;
  }
  std::vector<std::uint8_t> live_marks() const;

  std::vector<Node> nodes_;
  FlatMap<std::uint64_t, NodeId> index_{INITIAL_SLOTS};
};

}  // namespace fennik::pprof
