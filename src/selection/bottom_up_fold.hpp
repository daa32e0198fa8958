#pragma once
// bct and bic on a full trie: every node scored by the rule, children before parents (NodeIds
// from the highest down), each child's value added to its parent's running sum as it is found.
// That sums every child list in list order because a built or grown trie lists children newest
// first, that is by descending NodeId (checked first).

#include <cstdint>
#include <vector>

#include "common/internal_failure.hpp"
#include "common/interruption.hpp"
#include "selection/count_list.hpp"
#include "selection/list_order.hpp"
#include "selection/score_rules.hpp"
#include "trie/count_trie.hpp"

namespace tesk {

// Fills values (each node's value) and node_split (1 where the node is split).
template <class Rule>
void fold_bottom_up(const CountTrie& trie, const Rule& rule, std::vector<double>& values,
                    std::vector<std::uint8_t>& node_split) {
  const NodeVector& nodes = trie.nodes();
  ensure(trie.storage_depth() <= kMaxDepth, "storage depth beyond the node depth limit");
  ensure_children_newest_first(trie);
  const std::size_t node_count = nodes.size();
  // Before a node is visited its slot holds the sum of its visited children's values (all of
  // them, in list order, by then); afterwards the node's own value.
  values.assign(node_count, rule.sum_start());
  node_split.assign(node_count, 0);
  std::vector<std::uint32_t> children(node_count, 0);
  std::vector<SymbolTally> tallies;
  for (std::size_t v = node_count; v > 0;) {
    for (const std::size_t stop = poll_chunk_down(v, 0, 4); v > stop;) {
      --v;
      const TrieNode& node = nodes[v];
      ensure(node.depth <= trie.storage_depth(), "node deeper than the storage depth");
      gather_counts_by_symbol(trie, node, tallies);
      const SplitDecision decision =
          rule.decide(node.depth, rule.measure(node.total, tallies), values[v], children[v]);
      values[v] = decision.value;
      node_split[v] = decision.split ? 1 : 0;
      if (v != kRoot) {
        values[node.parent] += decision.value;
        ++children[node.parent];
      }
    }
  }
}

}  // namespace tesk
