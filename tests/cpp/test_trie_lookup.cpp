// Lookups on a stored (compacted) trie: exact contexts, the context chosen for a history, counts,
// context symbols and the smoothed distribution.
#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

#include "test_trie_support.hpp"

namespace tesk {
namespace {

using Flags = std::vector<std::uint8_t>;
using Symbols = std::vector<std::uint64_t>;

CountTrie stored(const SymbolRows& rows, std::uint64_t alphabet_size, std::uint64_t depth) {
  auto result = trie_test::full_trie(rows, alphabet_size, depth, depth);
  EXPECT_TRUE(result.has_value());
  const std::size_t n = result->node_count();
  return CountTrie::compact(std::move(result).value(), Flags(n, 1), Flags{}).trie;
}

// Every context of [0, 1, 0, 1, 1, 0] up to depth 2 over the alphabet {0, 1}.
class TrieLookup : public ::testing::Test {
 protected:
  CountTrie trie = stored({{0, 1, 0, 1, 1, 0}}, 2, 2);
  NodeId at(const Symbols& context) const {
    auto node = trie.find_context(context);
    EXPECT_TRUE(node.has_value());
    return node.value_or(kNoIndex);
  }
};

TEST_F(TrieLookup, FindContext) {
  EXPECT_EQ(trie.find_context(Symbols{}), std::optional<NodeId>(kRoot));
  EXPECT_EQ(trie.node(kRoot).total, trie.sample_size());
  const NodeId node = at({0, 1});  // 0 then 1: stored as 1 from the root, then 0
  EXPECT_EQ(trie.node(node).depth, 2u);
  EXPECT_EQ(trie.node(node).symbol, 0u);
  EXPECT_EQ(trie.node(trie.node(node).parent).symbol, 1u);
  // Longer than the stored depth, even though every suffix exists.
  EXPECT_FALSE(trie.find_context(Symbols{1, 0, 1}).has_value());
  // [0, 0] never occurs: the walk leaves the trie at its second step.
  EXPECT_FALSE(trie.find_context(Symbols{0, 0}).has_value());
  // A symbol beyond 32 bits never matches a stored one.
  EXPECT_FALSE(trie.find_context(Symbols{(1ULL << 32) + 1}).has_value());
}

TEST_F(TrieLookup, CountsAndContextSymbols) {
  const NodeId one = at({1});
  // After 1 came 0, 1, 0.
  EXPECT_EQ(trie_test::symbol_count(trie, one, 0), 2u);
  EXPECT_EQ(trie_test::symbol_count(trie, one, 1), 1u);
  EXPECT_EQ(trie_test::symbol_count(trie, one, 7), 0u);
  EXPECT_EQ(trie.transition_counts(one), (std::vector<std::uint64_t>{2, 1}));
  EXPECT_EQ(trie.transition_counts(kRoot), (std::vector<std::uint64_t>{2, 2}));
  EXPECT_EQ(trie.context_symbols(at({1, 0})), (Symbols{1, 0}));
  EXPECT_EQ(trie.context_symbols(kRoot), Symbols{});
  // A compacted trie lists children in ascending NodeId.
  const std::vector<ChildLink> children = trie_test::children(trie, kRoot);
  ASSERT_EQ(children.size(), 2u);
  EXPECT_LT(children[0].child, children[1].child);
}

TEST(TrieSmoothing, JeffreysOrderOfOperations) {
  // A = 2, N = 3, counts {0: 3}: 3.5 / 4 and 0.5 / 4.
  const CountTrie trie = stored({{1, 0, 1, 0, 1, 0}}, 2, 1);
  const NodeId one = trie.find_context(Symbols{1}).value();
  EXPECT_EQ(trie.jeffreys_probabilities(one), (std::vector<double>{0.875, 0.125}));
  // The root of [0, 1, 0, 1, 0, 1] at depth 1: {0: 2, 1: 3}.
  const CountTrie alternating = stored({{0, 1, 0, 1, 0, 1}}, 2, 1);
  EXPECT_EQ(alternating.jeffreys_probabilities(kRoot),
            (std::vector<double>{2.5 / 6.0, 3.5 / 6.0}));
  EXPECT_EQ(alternating.jeffreys_probabilities(alternating.find_context(Symbols{0}).value()),
            (std::vector<double>{0.125, 0.875}));
}

TEST(TrieSmoothing, CountFreeNodesAreUniform) {
  CountTrie trie = stored({{0, 1, 0}}, 3, 1);
  auto grown = trie_test::get_or_create_child(trie, kRoot, 2);
  ASSERT_TRUE(grown.has_value());
  EXPECT_EQ(trie.transition_counts(*grown), (std::vector<std::uint64_t>{0, 0, 0}));
  const double third = 0.5 / (3.0 * 0.5);
  EXPECT_EQ(trie.jeffreys_probabilities(*grown), (std::vector<double>{third, third, third}));
  const CountTrie empty = stored({}, 3, 2);
  EXPECT_EQ(empty.jeffreys_probabilities(kRoot), (std::vector<double>{third, third, third}));
}

TEST_F(TrieLookup, LongestSuffixFollowsTheHistoryToTheDeepestTerminal) {
  const std::size_t n = trie.node_count();
  const NodeId one = at({1});
  const NodeId one_zero = at({1, 0});  // history ending in 1, then 0
  const NodeId zero = at({0});
  const NodeId zero_one = at({0, 1});

  // The depth-1 contexts are the terminal ones.
  Flags terminal(n, 0);
  terminal[one] = terminal[zero] = 1;
  EXPECT_EQ(trie.longest_suffix(Symbols{0, 1, 1}, terminal), one);
  EXPECT_EQ(trie.longest_suffix(Symbols{0}, terminal), zero);
  EXPECT_EQ(trie.longest_suffix(Symbols{}, terminal), kRoot);

  // No terminal on the way: the deepest node reached.
  const Flags none(n, 0);
  EXPECT_EQ(trie.longest_suffix(Symbols{1, 0}, none), one_zero);
  EXPECT_EQ(trie.longest_suffix(Symbols{0}, none), zero);

  // A terminal node with children: the deepest terminal wins, not the last node reached.
  Flags shallow(n, 0);
  shallow[zero] = 1;
  EXPECT_EQ(trie.longest_suffix(Symbols{1, 0}, shallow), zero);
  shallow[one_zero] = 1;
  EXPECT_EQ(trie.longest_suffix(Symbols{1, 0}, shallow), one_zero);

  // Only the root terminal: the root for every history.
  Flags root_only(n, 0);
  root_only[kRoot] = 1;
  EXPECT_EQ(trie.longest_suffix(Symbols{1, 0}, root_only), kRoot);
  EXPECT_EQ(trie.longest_suffix(Symbols{0, 1}, root_only), kRoot);

  // Only the last storage_depth symbols count: [.., 0, 0, 1] reaches [0, 1], not [0, 0, 1].
  EXPECT_EQ(trie.longest_suffix(Symbols{1, 0, 0, 1}, none), zero_one);
}

TEST_F(TrieLookup, LongestSuffixReadsOnlyTheTerminalFlagsGiven) {
  const std::size_t n = trie.node_count();
  const NodeId zero = at({0});
  const NodeId one_zero = at({1, 0});
  // Nodes beyond a short vector are not terminal.
  EXPECT_EQ(trie.longest_suffix(Symbols{1, 0}, Flags{}), one_zero);
  EXPECT_EQ(trie.longest_suffix(Symbols{1, 0}, Flags(zero + 1, 1)), zero);
  // A terminal entry counts when non-zero, but the result is the best node only when the
  // merged flags have their lowest bit set.
  Flags two(n, 0);
  two[zero] = 2;
  EXPECT_EQ(trie.longest_suffix(Symbols{1, 0}, two), one_zero);
  two[kRoot] = 1;
  EXPECT_EQ(trie.longest_suffix(Symbols{1, 0}, two), zero);
}

TEST(TrieLookupDepthZero, LongestSuffixIsTheRoot) {
  const CountTrie trie = stored({{0, 1, 1}}, 2, 0);
  EXPECT_EQ(trie.longest_suffix(Symbols{0, 1}, Flags{1}), kRoot);
  EXPECT_FALSE(trie.find_context(Symbols{1}).has_value());
}

}  // namespace
}  // namespace tesk
