// The build: the worked example, agreement with the position-by-position build on random inputs,
// and the order in which failures are reported.
#include <gtest/gtest.h>

#include <cstdint>
#include <random>
#include <string>
#include <vector>

#include "test_trie_support.hpp"
#include "trie/build/code_build.hpp"
#include "trie/build/node_count_bound.hpp"

namespace tesk {
namespace {

using trie_test::child_list;
using trie_test::count_list;
using trie_test::Counts;
using trie_test::expect_same_trie;
using trie_test::full_trie;
using trie_test::literal_build;
using trie_test::packed;

CountTrie built(const SymbolRows& rows, std::uint64_t alphabet_size, std::uint64_t conditioning,
                std::uint64_t storage) {
  auto result = full_trie(rows, alphabet_size, conditioning, storage);
  EXPECT_TRUE(result.has_value()) << (result ? "" : result.error());
  return std::move(result).value();
}

std::string build_error(const SymbolRows& rows, std::uint64_t alphabet_size,
                        std::uint64_t conditioning, std::uint64_t storage) {
  auto result = full_trie(rows, alphabet_size, conditioning, storage);
  EXPECT_FALSE(result.has_value());
  return result ? std::string("(built)") : result.error();
}

TEST(TrieBuild, WorkedExampleNodeForNode) {
  const CountTrie trie = built({{0, 1, 0, 1}}, 2, 2, 2);
  ASSERT_EQ(trie.node_count(), 5u);
  ASSERT_EQ(trie.links().size(), 4u);
  EXPECT_EQ(trie.sample_size(), 2u);
  EXPECT_EQ(trie.storage_depth(), 2u);
  EXPECT_EQ(trie.alphabet_size(), 2u);

  struct Expected {
    std::uint64_t total;
    NodeId parent;
    std::uint32_t symbol;
    std::uint16_t depth;
    Counts counts;
  };
  const std::vector<Expected> expected = {
      {2, kNoIndex, kNoIndex, 0, {{1, 1}, {0, 1}}},
      {1, 0, 1, 1, {{0, 1}}},
      {1, 1, 0, 2, {{0, 1}}},
      {1, 0, 0, 1, {{1, 1}}},
      {1, 3, 1, 2, {{1, 1}}},
  };
  for (NodeId id = 0; id < 5; ++id) {
    const TrieNode& node = trie.node(id);
    EXPECT_EQ(node.total, expected[id].total) << id;
    EXPECT_EQ(node.parent, expected[id].parent) << id;
    EXPECT_EQ(node.symbol, expected[id].symbol) << id;
    EXPECT_EQ(node.depth, expected[id].depth) << id;
    EXPECT_EQ(count_list(trie, id), expected[id].counts) << id;
  }
  EXPECT_EQ(child_list(trie, 0), (std::vector<NodeId>{3, 1}));
  EXPECT_EQ(child_list(trie, 1), (std::vector<NodeId>{2}));
  EXPECT_EQ(child_list(trie, 3), (std::vector<NodeId>{4}));
  EXPECT_TRUE(child_list(trie, 2).empty());
  // Link i leads to node i + 1, and each list runs newest first.
  for (std::size_t i = 0; i < trie.links().size(); ++i) {
    EXPECT_EQ(trie.links()[i].child, i + 1);
  }
  EXPECT_EQ(trie.links()[2].next, 0u);
}

TEST(TrieBuild, NothingCountedLeavesTheRootAlone) {
  for (const SymbolRows& rows : {SymbolRows{}, SymbolRows{{}, {1, 0}, {1}}}) {
    const CountTrie trie = built(rows, 2, 2, 2);
    EXPECT_EQ(trie.node_count(), 1u);
    EXPECT_EQ(trie.sample_size(), 0u);
    EXPECT_EQ(trie.node(0).total, 0u);
    EXPECT_EQ(trie.node(0).first_count, kNoIndex);
    EXPECT_EQ(trie.node(0).first_child, kNoIndex);
    EXPECT_EQ(trie.node(0).parent, kNoIndex);
    EXPECT_EQ(trie.node(0).symbol, kNoIndex);
    EXPECT_TRUE(trie.links().empty());
    EXPECT_TRUE(trie.counts().empty());
    EXPECT_EQ(trie.storage_depth(), 2u);
  }
}

TEST(TrieBuild, StorageDepthZeroCountsOnlyTheRoot) {
  const CountTrie trie = built({{3, 1, 3, 3, 0}, {1}}, 4, 1, 0);
  EXPECT_EQ(trie.node_count(), 1u);
  EXPECT_EQ(trie.sample_size(), 4u);
  EXPECT_EQ(trie.node(0).total, 4u);
  EXPECT_EQ(count_list(trie, 0), (Counts{{0, 1}, {3, 2}, {1, 1}}));
}

TEST(TrieBuild, RepeatedContextOnlyAddsCounts) {
  const CountTrie trie = built({{0, 0, 0, 0, 0}}, 2, 1, 1);
  ASSERT_EQ(trie.node_count(), 2u);
  EXPECT_EQ(trie.node(1).total, 4u);
  EXPECT_EQ(count_list(trie, 1), (Counts{{0, 4}}));
}

TEST(TrieBuild, RowsAreNeverJoined) {
  // Each row contributes only its own contexts: [1] is followed by 0 in row 0 only.
  const CountTrie trie = built({{1, 0}, {0, 1}}, 2, 1, 1);
  EXPECT_EQ(trie.sample_size(), 2u);
  EXPECT_EQ(trie.node_count(), 3u);
  EXPECT_EQ(count_list(trie, 1), (Counts{{0, 1}}));
  EXPECT_EQ(trie.node(1).symbol, 1u);
  EXPECT_EQ(count_list(trie, 2), (Counts{{1, 1}}));
}

TEST(TrieBuild, LargestAlphabet) {
  const std::uint64_t top = 4294967294ULL;
  const CountTrie trie = built({{top, 0, top, top}}, 4294967295ULL, 2, 2);
  ASSERT_EQ(trie.node_count(), 5u);
  EXPECT_EQ(trie.node(1).symbol, 0u);
  EXPECT_EQ(trie.node(2).symbol, top);
  EXPECT_EQ(count_list(trie, 0), (Counts{{static_cast<std::uint32_t>(top), 2}}));
}

// Rows drawn so that every table shape, retirement and the chains at the end are exercised:
// uniform symbols, a few symbols repeated with noise (deep contexts recur), and periodic rows.
SymbolRows random_rows(std::mt19937_64& rng, std::uint64_t alphabet_size) {
  SymbolRows rows(std::uniform_int_distribution<int>(0, 5)(rng));
  const int style = std::uniform_int_distribution<int>(0, 2)(rng);
  std::uniform_int_distribution<std::uint64_t> any_symbol(0, alphabet_size - 1);
  std::uniform_int_distribution<std::uint64_t> few_symbols(0, std::min<std::uint64_t>(alphabet_size, 3) - 1);
  for (SymbolSequence& row : rows) {
    row.resize(std::uniform_int_distribution<int>(0, 400)(rng));
    const std::size_t period = std::uniform_int_distribution<std::size_t>(1, 7)(rng);
    for (std::size_t i = 0; i < row.size(); ++i) {
      const bool noise = std::uniform_int_distribution<int>(0, 19)(rng) == 0;
      if (style == 0) {
        row[i] = any_symbol(rng);
      } else if (style == 2 && i >= period && !noise) {
        row[i] = row[i - period];
      } else {
        row[i] = few_symbols(rng);
      }
    }
  }
  return rows;
}

// Both builders of the full trie, over symbols packed in 1, 2 and 4 bytes (and, counting depth by
// depth, relabelled to the ranks of the symbols that occur).
std::vector<BuildPath> full_builders(std::uint64_t alphabet_size, std::uint64_t storage,
                                     const SymbolRows& rows, std::uint64_t conditioning) {
  std::uint64_t positions = 0;
  for (const SymbolSequence& row : rows) {
    positions += row.size() > conditioning ? row.size() - conditioning : 0;
  }
  if (detail::code_build_applies(alphabet_size, storage, positions)) {
    return {BuildPath::dense_codes, BuildPath::depth_by_depth};
  }
  return {BuildPath::depth_by_depth};
}

TEST(TrieBuild, MatchesPositionByPositionBuild) {
  std::mt19937_64 rng(20261208);
  const std::uint64_t alphabets[] = {2, 3, 4, 256, 257, 65537, 4294967295ULL};
  for (int round = 0; round < 700; ++round) {
    const std::uint64_t alphabet_size = alphabets[round % 7];
    const std::uint64_t storage = std::uniform_int_distribution<std::uint64_t>(0, 12)(rng);
    const std::uint64_t conditioning =
        storage + std::uniform_int_distribution<std::uint64_t>(0, 3)(rng);
    const SymbolRows rows = random_rows(rng, alphabet_size);
    SCOPED_TRACE("round " + std::to_string(round));
    auto expected = literal_build(rows, alphabet_size, conditioning, storage);
    ASSERT_TRUE(expected.has_value());
    for (const BuildPath path : full_builders(alphabet_size, storage, rows, conditioning)) {
      SCOPED_TRACE(path == BuildPath::dense_codes ? "by codes" : "by levels");
      auto actual = full_trie(rows, alphabet_size, conditioning, storage, TrieLimits{}, path);
      ASSERT_TRUE(actual.has_value()) << actual.error();
      expect_same_trie(*expected, *actual);
    }
  }
}

TEST(TrieBuild, MatchesOnLargerInputs) {
  // Enough positions for the hash tables to grow and for dense tables at every depth.
  std::mt19937_64 rng(7);
  for (const std::uint64_t alphabet_size : {2ULL, 4ULL, 256ULL, 70000ULL}) {
    // The reference walks long lists per position under large alphabets: keep those rows short.
    SymbolRows rows(3, SymbolSequence(alphabet_size > 4 ? 3000 : 20000));
    for (SymbolSequence& row : rows) {
      for (std::uint64_t& s : row) {
        s = std::uniform_int_distribution<std::uint64_t>(0, alphabet_size - 1)(rng);
      }
    }
    SCOPED_TRACE("alphabet " + std::to_string(alphabet_size));
    auto expected = literal_build(rows, alphabet_size, 10, 8);
    for (const BuildPath path : full_builders(alphabet_size, 8, rows, 10)) {
      SCOPED_TRACE(path == BuildPath::dense_codes ? "by codes" : "by levels");
      auto actual = full_trie(rows, alphabet_size, 10, 8, TrieLimits{}, path);
      ASSERT_TRUE(actual.has_value());
      expect_same_trie(*expected, *actual);
    }
  }
}

TEST(TrieBuild, DeepestStorageDepth) {
  // One row longer than the deepest allowed context: every counted position reaches depth
  // 65,535, and the periodic part keeps some positions counted all the way down.
  SymbolRows rows(1, SymbolSequence(65535 + 40));
  std::mt19937_64 rng(3);
  for (std::size_t i = 0; i < rows[0].size(); ++i) {
    rows[0][i] = i < 65535 ? i % 3 : std::uniform_int_distribution<std::uint64_t>(0, 2)(rng);
  }
  auto expected = literal_build(rows, 3, 65535, 65535);
  auto actual = full_trie(rows, 3, 65535, 65535);
  ASSERT_TRUE(actual.has_value());
  expect_same_trie(*expected, *actual);
  EXPECT_EQ(actual->sample_size(), 40u);
}

TEST(TrieBuild, StorageDepthAboveConditioningDepthFailsFirst) {
  EXPECT_EQ(build_error({}, 2, 1, 2), kStorageDepthMessage);
  EXPECT_EQ(build_error({{9, 9, 9}}, 2, 0, 1), kStorageDepthMessage);
}

TEST(TrieBuild, FirstBadSymbolIsReported) {
  EXPECT_EQ(build_error({{0, 1}, {2}}, 2, 0, 0), "symbol 2 at data[1][0] is outside 0..2");
  EXPECT_EQ(build_error({{5, 0, 7}}, 4, 0, 0), "symbol 5 at data[0][0] is outside 0..4");
  // A symbol that only conditions is checked too, and the alphabet size itself is outside.
  EXPECT_EQ(build_error({{0, 1, 0}, {1, 3, 0, 1}}, 3, 2, 1),
            "symbol 3 at data[1][1] is outside 0..3");
  EXPECT_EQ(build_error({{1}, {}, {0, 0, 0, 4, 9}}, 3, 5, 2),
            "symbol 4 at data[2][3] is outside 0..3");
  EXPECT_EQ(build_error({{18446744073709551615ULL}}, 4294967295ULL, 0, 0),
            "symbol 18446744073709551615 at data[0][0] is outside 0..4294967295");
}

TEST(TrieBuild, LimitsAndBadSymbolsAgreeWithPositionByPositionBuild) {
  std::mt19937_64 rng(99);
  int node_failures = 0;
  int entry_failures = 0;
  int symbol_failures = 0;
  for (int round = 0; round < 1500; ++round) {
    const std::uint64_t alphabet_size = round % 3 == 0 ? 300 : 3;
    const std::uint64_t storage = std::uniform_int_distribution<std::uint64_t>(0, 6)(rng);
    SymbolRows rows = random_rows(rng, alphabet_size);
    if (!rows.empty() && std::uniform_int_distribution<int>(0, 2)(rng) == 0) {
      SymbolSequence& row = rows[std::uniform_int_distribution<std::size_t>(0, rows.size() - 1)(rng)];
      row.push_back(alphabet_size + std::uniform_int_distribution<std::uint64_t>(0, 2)(rng));
    }
    auto full = literal_build(rows, alphabet_size, storage, storage);
    std::uint64_t nodes = 1000;
    std::uint64_t entries = 1000;
    if (full) {
      nodes = full->node_count();
      entries = full->counts().size();
    }
    // Exactly the limit as often as around it: an off-by-one shows only there.
    const auto near = [&](std::uint64_t exact, std::uint64_t least) {
      const int pick = std::uniform_int_distribution<int>(0, 3)(rng);
      return pick == 0   ? exact
             : pick == 1 ? std::max(exact, least + 1) - 1
             : pick == 2 ? exact + 1
                         : std::uniform_int_distribution<std::uint64_t>(least, exact + 1)(rng);
    };
    TrieLimits limits{near(nodes, 1), near(entries, 0)};
    if (round % 4 == 1) {
      limits.max_count_entries = kMaxCountEntries;
    }
    const std::vector<BuildPath> paths = full_builders(alphabet_size, storage, rows, storage);
    const BuildPath path = paths[static_cast<std::size_t>(round / 2) % paths.size()];
    SCOPED_TRACE("round " + std::to_string(round));
    auto expected = literal_build(rows, alphabet_size, storage, storage, limits);
    auto actual = full_trie(rows, alphabet_size, storage, storage, limits, path);
    ASSERT_EQ(expected.has_value(), actual.has_value());
    if (expected) {
      expect_same_trie(*expected, *actual);
      continue;
    }
    ASSERT_EQ(expected.error(), actual.error());
    node_failures += expected.error() == kNodeLimitMessage;
    entry_failures += expected.error() == kCountLimitMessage;
    symbol_failures += expected.error().starts_with("symbol");
  }
  EXPECT_GT(node_failures, 50);
  EXPECT_GT(entry_failures, 50);
  EXPECT_GT(symbol_failures, 50);
}

TEST(TrieBuild, EarlierRowsFailOnTheNodeLimitBeforeALaterBadSymbol) {
  const SymbolRows rows = {{0, 1, 1, 0, 1}, {0, 1, 2}};
  const TrieLimits tight{4, kMaxCountEntries};
  auto result = full_trie(rows, 2, 2, 2, tight);
  ASSERT_FALSE(result.has_value());
  EXPECT_EQ(result.error(), kNodeLimitMessage);
  // With room for the nodes of row 0 the bad symbol of row 1 is reported.
  auto roomy = full_trie(rows, 2, 2, 2, TrieLimits{7, kMaxCountEntries});
  ASSERT_FALSE(roomy.has_value());
  EXPECT_EQ(roomy.error(), "symbol 2 at data[1][2] is outside 0..2");
  // The node limit is reported even when the count entries overflow as well.
  auto both = full_trie(rows, 2, 2, 2, TrieLimits{4, 2});
  ASSERT_FALSE(both.has_value());
  EXPECT_EQ(both.error(), kNodeLimitMessage);
}

TEST(NodeCountBound, RefusesOnlyTriesOverTheLimit) {
  // One context per depth: the bound is exact, so it flips right at the node count (6).
  const SymbolRows zeros(1, SymbolSequence(1000, 0));
  EXPECT_EQ(bound_node_count(packed(zeros, 2), 5, 5, 5), NodeCountBound::over_limit);
  EXPECT_EQ(bound_node_count(packed(zeros, 2), 5, 5, 6), NodeCountBound::undecided);
  // Through the build, with a bad symbol in a later row: at the edge the node limit still comes
  // first, one node more and the bad symbol is reported.
  const SymbolRows then_bad = {zeros[0], {0, 1, 2}};
  for (const BuildPath path : {BuildPath::dense_codes, BuildPath::context_runs}) {
    auto refused = count_contexts(packed(then_bad, 2), 5, 5, true, TrieLimits{5}, path);
    ASSERT_FALSE(refused.has_value());
    EXPECT_EQ(refused.error(), kNodeLimitMessage);
    auto bad = count_contexts(packed(then_bad, 2), 5, 5, true, TrieLimits{6}, path);
    ASSERT_FALSE(bad.has_value());
    EXPECT_EQ(bad.error(), "symbol 2 at data[1][2] is outside 0..2");
  }
  // Never below the exact count, on every shape of rows.
  std::mt19937_64 rng(18);
  for (int round = 0; round < 300; ++round) {
    const std::uint64_t alphabet_size = round % 3 == 0 ? 70000 : 2 + round % 5;
    const std::uint64_t storage = std::uniform_int_distribution<std::uint64_t>(1, 30)(rng);
    const SymbolRows rows = random_rows(rng, alphabet_size);
    const auto exact = literal_build(rows, alphabet_size, storage, storage);
    ASSERT_TRUE(exact.has_value());
    EXPECT_EQ(bound_node_count(packed(rows, alphabet_size), storage, storage, exact->node_count()),
              NodeCountBound::undecided)
        << "round " << round;
  }
  // High-entropy rows far over the limit are refused from the bound alone (hashed contexts).
  SymbolRows noise(1, SymbolSequence(400000));
  for (std::uint64_t& symbol : noise[0]) {
    symbol = rng() % 4;
  }
  EXPECT_EQ(bound_node_count(packed(noise, 4), 80, 80, 400000 * 40), NodeCountBound::over_limit);
}

// The sorted contexts against plain comparison of their symbols: i.i.d. rows whose buckets are
// sorted by radix, contexts longer than one code (ties broken past it), ranks in 2 bytes, a
// repetitive row that the suffix array sorts, and contexts sorted in groups as they are read.
TEST(ContextRunsSort, OrdersContextsAndSharedLengthsAsComparingSymbols) {
  std::mt19937_64 rng(4);
  struct Case {
    std::uint64_t alphabet, depth, length, period;  // period 0: i.i.d.
    BuildPath path = BuildPath::context_runs;
  };
  constexpr BuildPath in_groups = BuildPath::context_runs_in_groups;
  for (const Case& c :
       {Case{4, 12, 60000, 0}, Case{4, 30, 60000, 0}, Case{4, 45, 30000, 0}, Case{300, 6, 40000, 0},
        Case{3, 40, 30000, 7}, Case{4, 12, 60000, 0, in_groups}, Case{4, 32, 60000, 0, in_groups},
        Case{300, 7, 40000, 0, in_groups}, Case{2, 64, 30000, 5, in_groups}}) {
    SymbolRows rows(2, SymbolSequence(c.length));
    for (SymbolSequence& row : rows) {
      for (std::size_t i = 0; i < row.size(); ++i) {
        row[i] = c.period != 0 && i >= c.period && rng() % 500 != 0 ? row[i - c.period]
                                                                      : rng() % c.alphabet;
      }
    }
    SCOPED_TRACE("alphabet " + std::to_string(c.alphabet) + " depth " + std::to_string(c.depth) +
                 (c.path == in_groups ? " in groups" : ""));
    auto counted =
        count_contexts(packed(rows, c.alphabet), c.depth, c.depth, true, TrieLimits{}, c.path);
    ASSERT_TRUE(counted.has_value());
    const ContextRuns& runs = std::get<ContextRuns>(counted.value());
    ASSERT_EQ(runs.sample_size(), 2 * (c.length - c.depth));
    std::vector<std::uint64_t> order;
    std::size_t blocks = 0;
    runs.visit_order([&](std::uint64_t first, auto block) {
      ASSERT_EQ(first, order.size());
      order.insert(order.end(), block.begin(), block.end());
      ++blocks;
    });
    ASSERT_EQ(order.size(), runs.sample_size());
    EXPECT_EQ(blocks > 1, c.path == in_groups);
    runs.visit_text([&](const auto& text) {
      for (std::size_t k = 1; k < order.size(); ++k) {
        std::uint64_t shared = 0;
        while (shared < c.depth && text[order[k - 1] + shared] == text[order[k] + shared]) {
          ++shared;
        }
        ASSERT_EQ(runs.shared()[k], shared) << k;
        ASSERT_TRUE(shared == c.depth || text[order[k - 1] + shared] < text[order[k] + shared])
            << k;
      }
    });
    if (c.depth <= 30) {
      const auto full = literal_build(rows, c.alphabet, c.depth, c.depth);
      ASSERT_TRUE(full.has_value());
      EXPECT_EQ(runs.literal_node_count(), full->node_count());
    }
  }
}

TEST(TrieBuild, DepthBeyondTheLargestNodeDepth) {
  const SymbolRows rows(1, SymbolSequence(70000, 1));
  auto deep = full_trie(rows, 2, 66000, 65536);
  ASSERT_FALSE(deep.has_value());
  EXPECT_EQ(deep.error(), kDepthOverflowMessage);
  // Nothing counted, nothing created.
  const SymbolRows short_rows = {{1, 0}};
  auto nothing = full_trie(short_rows, 2, 66000, 65536);
  ASSERT_TRUE(nothing.has_value());
  EXPECT_EQ(nothing->node_count(), 1u);
}

TEST(TrieGrowth, ExistingChildIsReturnedAndNewChildrenHeadTheList) {
  CountTrie trie = built({{0, 1, 0, 1}}, 2, 2, 2);
  auto existing = trie_test::get_or_create_child(trie, 0, 1);
  ASSERT_TRUE(existing.has_value());
  EXPECT_EQ(*existing, 1u);
  EXPECT_EQ(trie.node_count(), 5u);

  auto created = trie_test::get_or_create_child(trie, 2, 1);
  ASSERT_TRUE(created.has_value());
  EXPECT_EQ(*created, 5u);
  const TrieNode& node = trie.node(5);
  EXPECT_EQ(node.total, 0u);
  EXPECT_EQ(node.parent, 2u);
  EXPECT_EQ(node.depth, 3u);
  EXPECT_EQ(node.first_count, kNoIndex);
  EXPECT_EQ(trie.links().size(), 5u);
  EXPECT_EQ(trie.links()[4].child, 5u);
  // The newest child heads its parent's list.
  auto second = trie_test::get_or_create_child(trie, 0, 1);
  ASSERT_TRUE(second.has_value());
  auto newest = trie_test::get_or_create_child(trie, 2, 0);
  ASSERT_TRUE(newest.has_value());
  EXPECT_EQ(child_list(trie, 2), (std::vector<NodeId>{6, 5}));
}

TEST(TrieGrowth, DepthOverflowBelowTheDeepestNode) {
  SymbolRows rows(1, SymbolSequence(65536, 0));
  CountTrie trie = built(rows, 2, 65535, 65535);
  const NodeId deepest = static_cast<NodeId>(trie.node_count() - 1);
  ASSERT_EQ(trie.node(deepest).depth, 65535);
  auto child = trie_test::get_or_create_child(trie, deepest, 1);
  ASSERT_FALSE(child.has_value());
  EXPECT_EQ(child.error(), kDepthOverflowMessage);
  EXPECT_EQ(trie.node_count(), 65536u);
  EXPECT_EQ(trie.links().size(), 65535u);
}

TEST(BuilderChoice, CostRuleAtItsEdgesAndTheOtherCases) {
  // Dense tables while the deepest table (A^(D+1) cells) has at most two cells per counted
  // position, whatever the alphabet; sorted contexts past that, for bct and bic only.
  const auto choose = [](std::uint64_t alphabet, std::uint64_t length, std::uint64_t depth,
                         bool runs_wanted) {
    return choose_build_path(packed({SymbolSequence(length, 0)}, alphabet), depth, depth,
                             runs_wanted);
  };
  const std::uint64_t cells = 65536;  // 4^8 (depth 7), 2^16 (depth 15), 256^2 (depth 1)
  EXPECT_EQ(choose(4, cells / 2 + 7, 7, true), BuildPath::dense_codes);
  EXPECT_EQ(choose(4, cells / 2 + 6, 7, true), BuildPath::context_runs);
  EXPECT_EQ(choose(4, cells / 2 + 6, 7, false), BuildPath::dense_codes);
  EXPECT_EQ(choose(2, cells / 2 + 15, 15, true), BuildPath::dense_codes);
  EXPECT_EQ(choose(2, cells / 2 + 14, 15, true), BuildPath::context_runs);
  EXPECT_EQ(choose(256, cells / 2 + 1, 1, true), BuildPath::dense_codes);
  EXPECT_EQ(choose(256, cells / 2, 1, true), BuildPath::context_runs);
  // Without a context there is nothing to sort; where tables do not apply, the full trie is
  // counted depth by depth.
  EXPECT_EQ(choose(4, 100, 0, true), BuildPath::dense_codes);
  EXPECT_EQ(choose(70000, 1000, 3, false), BuildPath::depth_by_depth);
  EXPECT_EQ(choose(70000, 1000, 3, true), BuildPath::context_runs);
}

TEST(TrieBuild, PackedRowsOverAFewOfManySymbolsBuildTheSameTrie) {
  // Three symbols of 60,000 (and of 250) occur: the build counts their ranks and puts the
  // symbols back, which must leave every node, list and count as the plain build has them.
  std::mt19937_64 rng(5);
  for (const std::uint64_t alphabet_size : {250ULL, 60000ULL}) {
    const std::uint64_t used[] = {7, 200, alphabet_size - 1};
    SymbolRows rows(3);
    for (SymbolSequence& row : rows) {
      for (int i = 0; i < 3000; ++i) {
        row.push_back(used[rng() % 3]);
      }
    }
    for (const std::uint64_t depth : {2ULL, 6ULL}) {
      auto expected = literal_build(rows, alphabet_size, depth, depth);
      auto actual = full_trie(rows, alphabet_size, depth, depth);
      ASSERT_TRUE(expected.has_value() && actual.has_value());
      EXPECT_EQ(actual->alphabet_size(), alphabet_size);
      expect_same_trie(*expected, *actual);
    }
  }
}

}  // namespace
}  // namespace tesk
