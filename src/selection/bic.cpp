#include "selection/bic.hpp"

#include <algorithm>
#include <array>
#include <cmath>
#include <utility>
#include <vector>

#include "common/internal_failure.hpp"
#include "common/interruption.hpp"
#include "selection/selection_detail.hpp"

namespace tesk {

namespace {

// Most nodes have a small total; ln(c / N) for those is tabulated once per call (the same
// arguments, so the same bits).
constexpr std::uint64_t kTabulated = 32;

}  // namespace

BicScores bic_scores(const CountTrie& trie, double penalty) {
  const NodeVector& nodes = trie.nodes();
  const std::uint64_t alphabet_size = trie.alphabet_size();
  const std::uint64_t storage_depth = trie.storage_depth();
  ensure(storage_depth <= kMaxNodeDepth, "storage depth beyond the node depth limit");
  ensure_children_newest_first(trie);

  const double h = penalty * 0.5;
  const double q = static_cast<double>(alphabet_size - 1) * h;
  const double w =
      std::log(static_cast<double>(std::max<std::uint64_t>(trie.sample_size(), 1))) * q;

  BicScores result;
  result.leaf_penalty = w;
  result.plan.depth_split.assign(storage_depth + 1, 0);
  const std::size_t node_count = nodes.size();
  // Before a node is visited its slot holds the sum of its visited children's scores (all of
  // them, in list order, by then); afterwards the node's own score.
  std::vector<double>& score = result.score;
  score.assign(node_count, 0.0);
  std::vector<std::uint32_t> child_links(node_count, 0);
  std::vector<std::uint8_t>& node_split = result.plan.node_split;
  node_split.assign(node_count, 0);

  std::array<double, kTabulated * kTabulated> log_ratio{};
  for (std::uint64_t n = 1; n < kTabulated; ++n) {
    for (std::uint64_t c = 1; c <= n; ++c) {
      log_ratio[n * kTabulated + c] = std::log(static_cast<double>(c) / static_cast<double>(n));
    }
  }

  std::vector<SymbolTally> tallies;
  for (std::size_t v = node_count; v-- > 0;) {
    poll_interruption_every(v, 4);
    const TrieNode& node = nodes[v];
    ensure(node.depth <= storage_depth, "node deeper than the storage depth");
    double log_likelihood = 0.0;
    if (node.total > 0) {
      gather_counts_by_symbol(trie, node, tallies);
      const double total = static_cast<double>(node.total);
      const bool small = node.total < kTabulated;
      for (const SymbolTally& tally : tallies) {
        if (tally.count > 0) {
          const double count = static_cast<double>(tally.count);
          const double log_share = small ? log_ratio[node.total * kTabulated + tally.count]
                                         : std::log(count / total);
          log_likelihood += log_share * count;
        }
      }
    }

    double value = log_likelihood - w;
    const std::uint32_t children = child_links[v];
    if (node.depth != storage_depth && children != 0) {
      const double split = score[v] - static_cast<double>(alphabet_size - children) * w;
      if (split > value) {
        value = split;
        node_split[v] = 1;
      }
    }
    score[v] = value;
    if (v != kRoot) {
      score[node.parent] += value;
      ++child_links[node.parent];
    }
  }
  return result;
}

SplitPlan bic_split_plan(const CountTrie& trie, double penalty) {
  return std::move(bic_scores(trie, penalty).plan);
}

}  // namespace tesk
