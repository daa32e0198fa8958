// Selected trees: dispatch, the expansion of split plans and the Peres-Shields walk.
#include <gtest/gtest.h>

#include <chrono>
#include <vector>

#include "selection/peres_shield.hpp"
#include "selection/select_tree.hpp"
#include "test_trie_support.hpp"

namespace tesk {
namespace {

using Flags = std::vector<std::uint8_t>;

CountTrie make_trie(const SymbolRows& rows, std::uint64_t alphabet_size,
                    std::uint64_t conditioning_depth, std::uint64_t storage_depth) {
  auto trie = trie_test::full_trie(rows, alphabet_size, conditioning_depth, storage_depth);
  EXPECT_TRUE(trie.has_value());
  return std::move(trie).value();
}

SymbolSequence cycle(std::initializer_list<std::uint64_t> pattern, std::size_t length) {
  SymbolSequence row;
  for (std::size_t i = 0; i < length; ++i) {
    row.push_back(pattern.begin()[i % pattern.size()]);
  }
  return row;
}

SelectionSettings config(SelectionMethod method) {
  return SelectionSettings{.method = method, .beta = 0.75, .penalty = 1.0};
}

TEST(SelectTree, RootOnlyTrieGivesTheRootUnderEveryMethod) {
  for (auto method : {SelectionMethod::bct, SelectionMethod::bic, SelectionMethod::peres_shield}) {
    for (std::uint64_t depth : {0u, 3u}) {
      CountTrie trie = make_trie({{1, 0}}, 2, 3, depth);  // too short to count anything
      auto tree = select_tree(trie, config(method));
      ASSERT_TRUE(tree.has_value());
      EXPECT_EQ(tree->active, Flags{1});
      EXPECT_EQ(tree->terminal, Flags{1});
      EXPECT_EQ(trie.node_count(), 1u);
    }
  }
}

TEST(SelectTree, SplitNodesGainTheirMissingChildrenInSymbolOrder) {
  // Alphabet 4 but contexts end only in 1 or 3: the root splits and gains 0 and 2 as NodeIds 3
  // and 4, count-free terminal leaves.
  for (auto method : {SelectionMethod::bct, SelectionMethod::bic}) {
    CountTrie trie = make_trie({cycle({1, 3}, 101)}, 4, 1, 1);
    ASSERT_EQ(trie.node_count(), 3u);
    auto tree = select_tree(trie, config(method));
    ASSERT_TRUE(tree.has_value());
    ASSERT_EQ(trie.node_count(), 5u);
    EXPECT_EQ(trie.node(3).symbol, 0u);
    EXPECT_EQ(trie.node(4).symbol, 2u);
    for (NodeId created : {3u, 4u}) {
      EXPECT_EQ(trie.node(created).parent, kRoot);
      EXPECT_EQ(trie.node(created).total, 0u);
    }
    EXPECT_EQ(tree->active, Flags(5, 1));
    EXPECT_EQ(tree->terminal, (Flags{0, 1, 1, 1, 1}));
  }
}

TEST(ExpandSplitPlan, CreatedNodesFollowTheDepthDecisions) {
  // Root {1: 1} with the single child [0]; count-free nodes split at depth 1, not at depth 2.
  CountTrie trie = make_trie({{0, 0, 1}}, 2, 2, 2);
  ASSERT_EQ(trie.node_count(), 3u);
  const SplitPlan plan{.node_split = {1, 0, 0}, .depth_split = {1, 1, 0}};
  auto tree = expand_split_plan(trie, plan, kMaxNodeCount);
  ASSERT_TRUE(tree.has_value());
  // The root gains [1] (NodeId 3), which splits into NodeIds 4 and 5 at depth 2.
  ASSERT_EQ(trie.node_count(), 6u);
  EXPECT_EQ(trie.node(3).depth, 1u);
  EXPECT_EQ(trie.node(4).parent, 3u);
  EXPECT_EQ(trie.node(5).symbol, 1u);
  EXPECT_EQ(tree->active, (Flags{1, 1, 0, 1, 1, 1}));
  EXPECT_EQ(tree->terminal, (Flags{0, 1, 0, 0, 1, 1}));
}

TEST(ExpandSplitPlan, NodeLimitIsReportedBeforeAnyChildIsCreated) {
  CountTrie trie = make_trie({{0, 0, 1}}, 3, 1, 1);  // root and [0]
  const SplitPlan plan{.node_split = {1, 0}, .depth_split = {0, 0}};
  auto refused = expand_split_plan(trie, plan, 3);  // 2 nodes + 2 missing > 3
  ASSERT_FALSE(refused.has_value());
  EXPECT_EQ(refused.error(), "count trie exceeded the u32 node limit");
  EXPECT_EQ(trie.node_count(), 2u);
  auto fits = expand_split_plan(trie, plan, 4);
  ASSERT_TRUE(fits.has_value());
  EXPECT_EQ(trie.node_count(), 4u);

  // The largest alphabet: the root alone cannot take 4,294,967,295 children.
  CountTrie wide = make_trie({}, kMaxNodeCount, 1, 1);
  auto too_many =
      expand_split_plan(wide, SplitPlan{.node_split = {1}, .depth_split = {0, 0}}, kMaxNodeCount);
  ASSERT_FALSE(too_many.has_value());
  EXPECT_EQ(too_many.error(), "count trie exceeded the u32 node limit");
  EXPECT_EQ(wide.node_count(), 1u);
}

TEST(SelectTree, LargestAlphabetStaysCheap) {
  const auto start = std::chrono::steady_clock::now();
  for (auto method : {SelectionMethod::bct, SelectionMethod::bic, SelectionMethod::peres_shield}) {
    CountTrie trie = make_trie({{7, 4294967294, 0, 7, 7, 3, 0, 0}}, kMaxNodeCount, 2, 2);
    const std::uint64_t before = trie.node_count();
    auto tree = select_tree(trie, SelectionSettings{.method = method, .beta = 0.9, .penalty = 1.0});
    ASSERT_TRUE(tree.has_value());
    EXPECT_EQ(trie.node_count(), before);
    EXPECT_EQ(tree->terminal[0], 1);
  }
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(500));
}

TEST(PeresShield, ThresholdTieKeepsBothContexts) {
  CountTrie trie = make_trie({cycle({0, 1}, 257)}, 2, 1, 1);
  const PeresShieldBounds bounds = peres_shield_bounds(trie);
  EXPECT_EQ(bounds.cap, 1u);
  EXPECT_EQ(bounds.threshold, 64.0);
  const SelectedTree tree = peres_shield_select(trie);
  EXPECT_EQ(tree.active, (Flags{1, 1, 1}));
  EXPECT_EQ(tree.terminal, (Flags{0, 1, 1}));

  CountTrie shorter = make_trie({cycle({0, 1}, 256)}, 2, 1, 1);
  EXPECT_EQ(peres_shield_bounds(shorter).threshold, 63.812408297925764);
  const SelectedTree root_alone = peres_shield_select(shorter);
  EXPECT_EQ(root_alone.active, (Flags{1, 0, 0}));
  EXPECT_EQ(root_alone.terminal, (Flags{1, 0, 0}));
  EXPECT_EQ(shorter.node_count(), 3u);
}

TEST(PeresShield, FewerThanAlphabetKeptChildrenLeaveTheNodeTerminal) {
  // Alphabet 3 with contexts [0] and [1] only: both deviate strongly and are kept, yet the root
  // has only two children, so it is terminal with active children.
  SymbolSequence row(1000, 0);
  row.insert(row.end(), 1000, 1);
  CountTrie trie = make_trie({row}, 3, 1, 1);
  const SelectedTree tree = peres_shield_select(trie);
  EXPECT_EQ(tree.active, (Flags{1, 1, 1}));
  EXPECT_EQ(tree.terminal, (Flags{1, 1, 1}));
}

// Counts set by hand, for deviations that rows would reach only at great length.
void observe(CountTrie& trie, NodeId node, std::uint32_t symbol, int times) {
  trie_test::add_observations(trie, node, symbol, times);
}

// The same trie with the root's observations as its sample size.
CountTrie counted(const CountTrie& trie) {
  return CountTrie::from_parts(trie.nodes(), trie.links(), trie.counts(), trie.alphabet_size(),
                               trie.storage_depth(), trie.node(kRoot).total);
}

TEST(PeresShield, KeptNodeUnderUnkeptParentStaysInactive) {
  // n = 2000 (threshold about 299, cap 2). [0] {0: 600, 1: 400} and [1] {0: 400, 1: 600} stay
  // within 100 of the root's {0: 1000, 1: 1000}; [0, 0] {0: 250, 1: 750} deviates from [0] by
  // 350 but from the root by only 250.
  CountTrie trie(2, 2);
  const NodeId zero = *trie_test::get_or_create_child(trie, kRoot, 0);
  const NodeId one = *trie_test::get_or_create_child(trie, kRoot, 1);
  const NodeId zero_zero = *trie_test::get_or_create_child(trie, zero, 0);
  observe(trie, kRoot, 0, 1000);
  observe(trie, kRoot, 1, 1000);
  observe(trie, zero, 0, 600);
  observe(trie, zero, 1, 400);
  observe(trie, one, 0, 400);
  observe(trie, one, 1, 600);
  observe(trie, zero_zero, 0, 250);
  observe(trie, zero_zero, 1, 750);
  trie = counted(trie);

  const PeresShieldBounds bounds = peres_shield_bounds(trie);
  ASSERT_EQ(bounds.cap, 2u);
  EXPECT_EQ(peres_shield_keep(trie, bounds), (Flags{0, 0, 0, 1}));
  const SelectedTree tree = peres_shield_select(trie);
  EXPECT_EQ(tree.active, (Flags{1, 0, 0, 0}));
  EXPECT_EQ(tree.terminal, (Flags{1, 0, 0, 0}));
}

TEST(PeresShield, SymbolsTheLongerContextNeverSawCount) {
  // n = 10000, threshold 1000. [0] {0: 1000, 1: 1000} is within 800 of the root's prediction on
  // the symbols it saw, but the root's 8000 twos predict 1600 that [0] never saw.
  CountTrie trie(3, 1);
  const NodeId zero = *trie_test::get_or_create_child(trie, kRoot, 0);
  const NodeId two = *trie_test::get_or_create_child(trie, kRoot, 2);
  observe(trie, kRoot, 0, 1000);
  observe(trie, kRoot, 1, 1000);
  observe(trie, kRoot, 2, 8000);
  observe(trie, zero, 0, 1000);
  observe(trie, zero, 1, 1000);
  observe(trie, two, 2, 8000);
  trie = counted(trie);
  EXPECT_EQ(peres_shield_keep(trie, peres_shield_bounds(trie)), (Flags{0, 1, 1}));
}

}  // namespace
}  // namespace tesk
