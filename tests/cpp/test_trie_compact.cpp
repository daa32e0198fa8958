// Compaction: the worked example, and agreement with a literal reading of the algorithm on grown
// random tries with random (and short) active and terminal vectors.
#include <gtest/gtest.h>

#include <cstdint>
#include <random>
#include <string>
#include <vector>

#include "test_trie_support.hpp"

namespace tesk {
namespace {

using trie_test::child_list;
using trie_test::count_list;
using trie_test::Counts;
using Flags = std::vector<std::uint8_t>;

CountTrie built(const SymbolRows& rows, std::uint64_t alphabet_size, std::uint64_t conditioning,
                std::uint64_t storage) {
  auto result = trie_test::full_trie(rows, alphabet_size, conditioning, storage);
  EXPECT_TRUE(result.has_value());
  return std::move(result).value();
}

// The algorithm as written: map, copy the kept nodes, then walk every kept node's lists.
CompactedTrie literal_compact(const CountTrie& trie, const Flags& active, const Flags& terminal) {
  const std::size_t n = trie.node_count();
  auto kept = [&](std::size_t i) { return i < active.size() && active[i] != 0; };
  std::vector<NodeId> map(n, kNoIndex);
  NodeVector nodes;
  Flags flags;
  for (std::size_t i = 0; i < n; ++i) {
    if (kept(i)) {
      map[i] = static_cast<NodeId>(nodes.size());
      const TrieNode& old = trie.nodes()[i];
      nodes.push_back(TrieNode{old.total, i == 0 ? kNoIndex : map[old.parent], kNoIndex, kNoIndex,
                               old.symbol, old.depth});
      flags.push_back(i < terminal.size() ? terminal[i] : 0);
    }
  }
  LinkVector links;
  CountVector counts;
  for (std::size_t i = 0; i < n; ++i) {
    if (!kept(i)) {
      continue;
    }
    TrieNode& target = nodes[map[i]];
    for (const ChildLink& link : trie_test::children(trie, static_cast<NodeId>(i))) {
      if (kept(link.child)) {
        links.push_back(ChildLink{link.symbol, map[link.child], target.first_child});
        target.first_child = static_cast<std::uint32_t>(links.size() - 1);
      }
    }
    for (const auto& [symbol, count] : count_list(trie, static_cast<NodeId>(i))) {
      counts.push_back(SymbolCount{count, symbol, target.first_count});
      target.first_count = static_cast<std::uint32_t>(counts.size() - 1);
    }
  }
  return CompactedTrie{CountTrie::from_parts(std::move(nodes), std::move(links), std::move(counts),
                                             trie.alphabet_size(), trie.storage_depth(),
                                             trie.sample_size()),
                       std::move(flags)};
}

// The raw vectors, not only the lists: their layout is part of the result.
void expect_identical(const CompactedTrie& expected, const CompactedTrie& actual) {
  const CountTrie& a = expected.trie;
  const CountTrie& b = actual.trie;
  ASSERT_EQ(expected.terminal, actual.terminal);
  ASSERT_EQ(a.node_count(), b.node_count());
  ASSERT_EQ(a.links().size(), b.links().size());
  ASSERT_EQ(a.counts().size(), b.counts().size());
  EXPECT_EQ(a.alphabet_size(), b.alphabet_size());
  EXPECT_EQ(a.storage_depth(), b.storage_depth());
  EXPECT_EQ(a.sample_size(), b.sample_size());
  for (std::size_t i = 0; i < a.nodes().size(); ++i) {
    const TrieNode& x = a.nodes()[i];
    const TrieNode& y = b.nodes()[i];
    ASSERT_TRUE(x.total == y.total && x.parent == y.parent && x.first_child == y.first_child &&
                x.first_count == y.first_count && x.symbol == y.symbol && x.depth == y.depth)
        << "node " << i;
  }
  for (std::size_t i = 0; i < a.links().size(); ++i) {
    ASSERT_TRUE(trie_test::same_link(a.links()[i], b.links()[i])) << "link " << i;
  }
  for (std::size_t i = 0; i < a.counts().size(); ++i) {
    const SymbolCount& x = a.counts()[i];
    const SymbolCount& y = b.counts()[i];
    ASSERT_TRUE(x.count == y.count && x.symbol == y.symbol && x.next == y.next) << "entry " << i;
  }
}

TEST(TrieCompact, WorkedExampleReversesEveryList) {
  const CompactedTrie result =
      CountTrie::compact(built({{0, 1, 0, 1}}, 2, 2, 2), Flags(5, 1), Flags{0, 1, 1, 0, 1});
  const CountTrie& trie = result.trie;
  ASSERT_EQ(trie.node_count(), 5u);
  EXPECT_EQ(child_list(trie, 0), (std::vector<NodeId>{1, 3}));
  EXPECT_EQ(count_list(trie, 0), (Counts{{0, 1}, {1, 1}}));
  EXPECT_EQ(trie.node(4).parent, 3u);
  EXPECT_EQ(trie.node(2).symbol, 0u);
  EXPECT_EQ(trie.sample_size(), 2u);
  EXPECT_EQ(result.terminal, (Flags{0, 1, 1, 0, 1}));
  // Filled node by node: the root's two links and two entries come first.
  EXPECT_EQ(trie.links()[0].child, 3u);
  EXPECT_EQ(trie.links()[1].child, 1u);
  EXPECT_EQ(trie.node(0).first_child, 1u);
  EXPECT_EQ(trie.node(0).first_count, 1u);
}

TEST(TrieCompact, ShortVectorsReadAsZero) {
  // Only the root and node 1 are flagged active; terminal covers the root alone.
  const CompactedTrie result =
      CountTrie::compact(built({{0, 1, 0, 1}}, 2, 2, 2), Flags{1, 1}, Flags{1});
  ASSERT_EQ(result.trie.node_count(), 2u);
  EXPECT_EQ(result.terminal, (Flags{1, 0}));
  EXPECT_EQ(child_list(result.trie, 0), (std::vector<NodeId>{1}));
  EXPECT_TRUE(child_list(result.trie, 1).empty());
  EXPECT_EQ(result.trie.links().size(), 1u);
}

TEST(TrieCompact, KeptNodeBelowADroppedParentHasNoParent) {
  const CompactedTrie result =
      CountTrie::compact(built({{0, 1, 0, 1}}, 2, 2, 2), Flags{1, 0, 1}, Flags{});
  ASSERT_EQ(result.trie.node_count(), 2u);
  EXPECT_EQ(result.trie.node(1).parent, kNoIndex);
  EXPECT_EQ(result.trie.node(1).depth, 2u);
  EXPECT_TRUE(result.trie.links().empty());
  EXPECT_EQ(result.terminal, (Flags{0, 0}));
}

TEST(TrieCompact, MatchesLiteralCompactionOnGrownTries) {
  std::mt19937_64 rng(4242);
  for (int round = 0; round < 300; ++round) {
    const std::uint64_t alphabet_size = round % 2 == 0 ? 3 : 40;
    const std::uint64_t depth = std::uniform_int_distribution<std::uint64_t>(0, 5)(rng);
    SymbolRows rows(std::uniform_int_distribution<int>(0, 3)(rng));
    for (SymbolSequence& row : rows) {
      row.resize(std::uniform_int_distribution<int>(0, 200)(rng));
      for (std::uint64_t& s : row) {
        s = std::uniform_int_distribution<std::uint64_t>(0, alphabet_size - 1)(rng);
      }
    }
    CountTrie trie = built(rows, alphabet_size, depth, depth);
    // Selection grows count-free children below some nodes.
    const std::size_t grown = trie.node_count();
    for (int k = 0; k < 20; ++k) {
      const auto parent =
          static_cast<NodeId>(std::uniform_int_distribution<std::size_t>(0, grown - 1)(rng));
      const auto symbol = static_cast<std::uint32_t>(
          std::uniform_int_distribution<std::uint64_t>(0, alphabet_size - 1)(rng));
      ASSERT_TRUE(trie_test::get_or_create_child(trie, parent, symbol).has_value());
    }
    const std::size_t n = trie.node_count();
    Flags active(std::uniform_int_distribution<std::size_t>(0, n + 2)(rng));
    Flags terminal(std::uniform_int_distribution<std::size_t>(0, n + 2)(rng));
    for (std::uint8_t& flag : active) {
      flag = std::uniform_int_distribution<int>(0, 3)(rng) != 0 ? 1 : 0;
    }
    if (!active.empty()) {
      active[0] = 1;
    } else {
      active.push_back(1);
    }
    for (std::uint8_t& flag : terminal) {
      flag = static_cast<std::uint8_t>(std::uniform_int_distribution<int>(0, 2)(rng));
    }
    SCOPED_TRACE("round " + std::to_string(round));
    const CompactedTrie expected = literal_compact(trie, active, terminal);
    expect_identical(expected, CountTrie::compact(std::move(trie), active, terminal));
  }
}

TEST(TrieCompact, EverythingActiveKeepsNodesAndReversesLists) {
  CountTrie trie = built({{2, 0, 1, 2, 2, 0, 1, 0, 2, 1}}, 3, 2, 2);
  const CountTrie copy = trie;
  const CompactedTrie result =
      CountTrie::compact(std::move(trie), Flags(copy.node_count(), 1), Flags{});
  ASSERT_EQ(result.trie.node_count(), copy.node_count());
  for (NodeId id = 0; id < copy.node_count(); ++id) {
    EXPECT_EQ(result.trie.node(id).total, copy.node(id).total);
    EXPECT_EQ(result.trie.node(id).parent, copy.node(id).parent);
    std::vector<NodeId> children = child_list(copy, id);
    Counts counts = count_list(copy, id);
    EXPECT_EQ(child_list(result.trie, id), std::vector<NodeId>(children.rbegin(), children.rend()));
    EXPECT_EQ(count_list(result.trie, id), Counts(counts.rbegin(), counts.rend()));
  }
}

}  // namespace
}  // namespace tesk
