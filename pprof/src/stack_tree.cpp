#include "stack_tree.hpp"

#include <algorithm>
#include <bit>

namespace fennik::pprof {
namespace {

// Fibonacci hashing: the top bits of key * 2^64/phi spread consecutive parents
// and codes over the whole table.
constexpr std::uint64_t HASH_MULTIPLIER = 0x9E3779B97F4A7C15ull;

}  // namespace

StackTree::StackTree()
    : slots_(std::make_unique_for_overwrite<Slot[]>(INITIAL_SLOTS)),
      slot_mask_(INITIAL_SLOTS - 1),
      slot_shift_(64 - static_cast<unsigned>(std::countr_zero(INITIAL_SLOTS))) {
  static_assert(std::has_single_bit(INITIAL_SLOTS));
  for (std::size_t i = 0; i < INITIAL_SLOTS; ++i) slots_[i].key = EMPTY_KEY;
  nodes_.push_back(Node{ROOT, 0, 0});
}

std::size_t StackTree::home_of(std::uint64_t key) const noexcept {
  return static_cast<std::size_t>((key * HASH_MULTIPLIER) >> slot_shift_);
}

NodeId StackTree::child(NodeId parent, std::uint32_t code) {
  const std::uint64_t key = key_of(parent, code);
  std::size_t i = home_of(key);
  for (;;) {
    const Slot& s = slots_[i];
    if (s.key == key) return s.node;
    if (s.key == EMPTY_KEY) break;
    i = (i + 1) & slot_mask_;
  }

  // A new stack. Node ids stay below NO_NODE, which the index reserves.
  if (nodes_.size() >= NO_NODE) return NO_NODE;
  const auto node = static_cast<NodeId>(nodes_.size());
  nodes_.push_back(Node{parent, code, 0});
  const std::size_t slots = slot_mask_ + 1;
  // nodes_.size() - 1 entries are indexed once this one is in.
  if ((nodes_.size() - 1) * MAX_LOAD_DEN > slots * MAX_LOAD_NUM) {
    grow_index();  // re-inserts every node, this one included
    return node;
  }
  slots_[i] = Slot{key, node};
  return node;
}

void StackTree::grow_index() {
  const std::size_t slots = (slot_mask_ + 1) * 2;
  slots_ = std::make_unique_for_overwrite<Slot[]>(slots);
  for (std::size_t i = 0; i < slots; ++i) slots_[i].key = EMPTY_KEY;
  slot_mask_ = slots - 1;
  slot_shift_ = 64 - static_cast<unsigned>(std::countr_zero(slots));
  for (std::size_t n = 1; n < nodes_.size(); ++n) {
    const std::uint64_t key = key_of(nodes_[n].parent, nodes_[n].code);
    std::size_t i = home_of(key);
    while (slots_[i].key != EMPTY_KEY) i = (i + 1) & slot_mask_;
    slots_[i] = Slot{key, static_cast<NodeId>(n)};
  }
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

std::vector<NodeId> StackTree::charged_in_order(const std::vector<std::uint64_t>& rank) const {
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
  std::vector<NodeId> out;
  std::vector<NodeId> todo;
  auto push_children = [&](NodeId p) {
    for (std::uint32_t c = first[p + 1]; c-- > first[p];) todo.push_back(children[c]);
  };
  push_children(ROOT);
  while (!todo.empty()) {
    const NodeId n = todo.back();
    todo.pop_back();
    if (nodes_[n].total > 0) out.push_back(n);
    push_children(n);
  }
  return out;
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
