#include "stack_tree.hpp"

#include <gtest/gtest.h>

#include <cstdint>
#include <initializer_list>
#include <vector>

#include "event.hpp"

namespace fennik::pprof {
namespace {

using Codes = std::vector<std::uint32_t>;

NodeId enter(StackTree& t, std::initializer_list<std::uint32_t> stack) {
  NodeId n = StackTree::ROOT;
  for (const std::uint32_t code : stack) n = t.child(n, code);
  return n;
}

std::vector<Codes> charged(const StackTree& t) {
  std::vector<Codes> out;
  for (const NodeId n : t.charged_in_order()) out.push_back(t.codes_of(n));
  return out;
}

TEST(StackTree, SameStackIsSameNodeAndDifferentParentsAreNot) {
  StackTree t;
  const NodeId fg = enter(t, {1, 2});
  EXPECT_EQ(enter(t, {1, 2}), fg);
  EXPECT_NE(enter(t, {2}), t.parent(fg));  // g alone is not g under f
  EXPECT_EQ(t.code(fg), 2u);
  EXPECT_EQ(t.codes_of(fg), (Codes{1, 2}));
  EXPECT_EQ(t.node_count(), 4u);  // root, [1], [1,2], [2]
}

// Keys compare element by element from the outermost frame by code id (not by
// first use), and a stack comes before every longer stack it begins.
TEST(StackTree, ChargedStacksComeInKeyOrder) {
  StackTree t;
  for (const auto& s : {Codes{2}, Codes{1, 2}, Codes{1}, Codes{1, 0, 9}, Codes{0, 5}, Codes{1, 0},
                        Codes{MAX_CODE_ID}}) {
    NodeId n = StackTree::ROOT;
    for (const std::uint32_t c : s) n = t.child(n, c);
    t.charge(n, 1);
  }
  EXPECT_EQ(charged(t),
            (std::vector<Codes>{{0, 5}, {1}, {1, 0}, {1, 0, 9}, {1, 2}, {2}, {MAX_CODE_ID}}));
}

TEST(StackTree, UnchargedStacksAreLeftOutButTheirFramesCount) {
  StackTree t;
  enter(t, {7});     // entered, never charged
  enter(t, {3, 8});  // ditto, and 8 appears nowhere charged
  t.charge(enter(t, {4, 6, 5}), 10);
  t.charge(enter(t, {3}), 0);  // a zero charge is no time
  EXPECT_EQ(charged(t), (std::vector<Codes>{{4, 6, 5}}));
  // 4 and 6 hold no time themselves but are frames of a charged stack.
  EXPECT_EQ(t.charged_codes(), (Codes{4, 5, 6}));
}

TEST(StackTree, AFullTreeRefusesNewStacksButFindsItsOwn) {
  StackTree t(3);
  const NodeId f = t.child(StackTree::ROOT, 1);
  const NodeId fg = t.child(f, 2);
  EXPECT_EQ(t.child(f, 3), StackTree::NO_NODE);
  EXPECT_EQ(t.child(StackTree::ROOT, 1), f);
  EXPECT_EQ(t.child(f, 2), fg);
}

TEST(StackTree, ChargesAddUpAndSaturate) {
  StackTree t;
  const NodeId f = enter(t, {1});
  t.charge(f, 5);
  t.charge(f, 7);
  EXPECT_EQ(t.total(f), 12);
  t.charge(f, static_cast<std::uint64_t>(INT64_MAX) - 12);
  EXPECT_EQ(t.total(f), INT64_MAX);
  t.charge(f, 1);
  EXPECT_EQ(t.total(f), INT64_MAX);
  const NodeId g = enter(t, {2});
  t.charge(g, UINT64_MAX);
  EXPECT_EQ(t.total(g), INT64_MAX);
}

// Enough distinct stacks to regrow the child index several times; every one
// must still be found again afterwards.
TEST(StackTree, IndexSurvivesGrowth) {
  constexpr std::uint32_t WIDE = 5'000;
  StackTree t;
  std::vector<NodeId> nodes;
  for (std::uint32_t c = 0; c < WIDE; ++c) nodes.push_back(enter(t, {c % 7, c}));
  for (std::uint32_t c = 0; c < WIDE; ++c) ASSERT_EQ(enter(t, {c % 7, c}), nodes[c]) << c;
  EXPECT_EQ(t.node_count(), 1 + 7 + WIDE);
}

// Far deeper than a recursive walk could go on a thread's stack.
TEST(StackTree, VeryDeepStackIsWalkedWithoutRecursion) {
  constexpr std::uint32_t DEPTH = 300'000;
  StackTree t;
  NodeId n = StackTree::ROOT;
  for (std::uint32_t d = 0; d < DEPTH; ++d) n = t.child(n, d % 3);
  t.charge(n, 1);
  const std::vector<NodeId> order = t.charged_in_order();
  ASSERT_EQ(order.size(), 1u);
  EXPECT_EQ(order[0], n);
  EXPECT_EQ(t.codes_of(n).size(), DEPTH);
  EXPECT_EQ(t.charged_codes(), (Codes{0, 1, 2}));
}

}  // namespace
}  // namespace fennik::pprof
