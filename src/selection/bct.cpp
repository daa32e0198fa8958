#include "selection/bct.hpp"

#include <array>
#include <cmath>
#include <utility>
#include <vector>

#include "common/internal_failure.hpp"
#include "common/interruption.hpp"
#include "selection/selection_detail.hpp"

namespace tesk {

namespace {

// -ln_gamma(0.5), bit for bit: a symbol with count 0 adds exactly +0.0 to the estimate, which is
// why only a node's count entries are summed.
constexpr double kMinusLnGammaHalf = -0.5723649429246995;

// Counts and totals this small recur at most nodes; their ln_gamma values are tabulated once per
// call (the same arguments, so the same bits).
constexpr std::uint64_t kTabulated = 64;

}  // namespace

BctScores bct_scores(const CountTrie& trie, double beta) {
  const NodeVector& nodes = trie.nodes();
  const std::uint64_t alphabet_size = trie.alphabet_size();
  const std::uint64_t storage_depth = trie.storage_depth();
  ensure(storage_depth <= kMaxNodeDepth, "storage depth beyond the node depth limit");
  ensure_children_newest_first(trie);

  const double log_leaf = std::log(beta);
  const double log_split = std::log1p(-beta);
  const double alphabet = static_cast<double>(alphabet_size);
  const double half_A = alphabet * 0.5;

  BctScores result;
  std::vector<double>& unseen_log_pm = result.unseen_log_pm;
  std::vector<std::uint8_t>& depth_split = result.plan.depth_split;
  unseen_log_pm.assign(storage_depth + 1, 0.0);
  depth_split.assign(storage_depth + 1, 0);
  for (std::uint64_t d = storage_depth; d-- > 0;) {
    const double candidate = unseen_log_pm[d + 1] * alphabet + log_split;
    if (candidate > log_leaf) {
      unseen_log_pm[d] = candidate;
      depth_split[d] = 1;
    } else {
      unseen_log_pm[d] = log_leaf;
    }
  }

  std::array<double, kTabulated> ln_gamma_count;  // ln_gamma(c + 0.5)
  std::array<double, kTabulated> ln_gamma_total;  // ln_gamma(N + half_A)
  for (std::uint64_t i = 0; i < kTabulated; ++i) {
    ln_gamma_count[i] = ln_gamma(static_cast<double>(i) + 0.5);
    ln_gamma_total[i] = ln_gamma(static_cast<double>(i) + half_A);
  }
  const double ln_gamma_half_A = ln_gamma(half_A);

  const std::size_t node_count = nodes.size();
  // Before a node is visited its slot holds log_split plus the values of the children visited so
  // far (all of them, in list order, by then); afterwards the node's own log_pm.
  std::vector<double>& log_pm = result.log_pm;
  log_pm.assign(node_count, log_split);
  std::vector<std::uint32_t> child_links(node_count, 0);
  std::vector<std::uint8_t>& node_split = result.plan.node_split;
  node_split.assign(node_count, 0);

  std::vector<SymbolTally> tallies;
  for (std::size_t v = node_count; v-- > 0;) {
    poll_interruption_every(v, 4);
    const TrieNode& node = nodes[v];
    ensure(node.depth <= storage_depth, "node deeper than the storage depth");
    gather_counts_by_symbol(trie, node, tallies);

    double log_kt =
        ln_gamma_half_A - (node.total < kTabulated
                               ? ln_gamma_total[node.total]
                               : ln_gamma(static_cast<double>(node.total) + half_A));
    for (const SymbolTally& tally : tallies) {
      const double ln_gamma_c = tally.count < kTabulated
                                    ? ln_gamma_count[tally.count]
                                    : ln_gamma(static_cast<double>(tally.count) + 0.5);
      log_kt += ln_gamma_c + kMinusLnGammaHalf;
    }

    double value = log_kt;
    if (node.depth != storage_depth) {
      const double missing = static_cast<double>(alphabet_size - child_links[v]);
      const double split = log_pm[v] + missing * unseen_log_pm[node.depth + 1];
      const double leaf = log_kt + log_leaf;
      if (split > leaf) {
        value = split;
        node_split[v] = 1;
      } else {
        value = leaf;
      }
    }
    log_pm[v] = value;
    if (v != kRoot) {
      log_pm[node.parent] += value;
      ++child_links[node.parent];
    }
  }
  return result;
}

SplitPlan bct_split_plan(const CountTrie& trie, double beta) {
  return std::move(bct_scores(trie, beta).plan);
}

}  // namespace tesk
