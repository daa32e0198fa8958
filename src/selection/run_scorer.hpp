#pragma once
// The bottom-up half of selecting over runs: a visitor of the folded trie (trie/run_walk.hpp)
// that scores every node with bct's or bic's rule, carries the split decisions up each run, and
// keeps only the nodes the decisions can still reach. Its value for the root is the full trie's.

#include <algorithm>
#include <cstdint>
#include <span>
#include <vector>

#include "common/interruption.hpp"
#include "selection/score_rules.hpp"
#include "trie/run_walk.hpp"

namespace tesk {

// A node of the folded trie that the selected tree may reach: the bottom of a run, with what the
// run's top needs. Nodes no split decision can reach are dropped as soon as that is known.
struct RunRecord {
  std::uint64_t first;  // key of the first position under it
  std::uint64_t total;
  std::uint64_t tallies_begin;
  std::uint64_t children_begin;  // its children's records, when it is split
  std::uint32_t tallies_size;
  std::uint32_t children_size;
  std::int32_t context;
  std::uint32_t depth;      // of the bottom node
  std::uint32_t top_depth;  // of the top node (the bottom itself when the run is one node long)
  bool split;               // the bottom node is split
  bool top_split;           // the top node is split; then so is every node of the run
};

// Where a subtree's records begin in the three arenas.
struct ArenaMark {
  std::uint64_t records;
  std::uint64_t tallies;
  std::uint64_t children;
};

template <class Rule>
class RunScorer {
 public:
  struct Node {
    double top_value;  // the value of the run's top node, which the parent sums
    std::uint64_t first;
    std::uint64_t record;
    ArenaMark subtree;
  };

  RunScorer(const Rule& rule, std::uint32_t storage_depth)
      : rule_(rule), storage_depth_(storage_depth) {}

  Node leaf(std::uint32_t parent_depth, std::span<const RunTally> tallies, std::int32_t context) {
    const ArenaMark mark = here();
    const std::uint32_t top_depth = parent_depth + 1;
    const std::uint64_t total = total_of(tallies);
    // A tail: a leaf at its top.
    const double value = rule_.leaf_value(top_depth, rule_.measure(total, tallies));
    const std::uint64_t record =
        add_record(tallies, total, context, storage_depth_, top_depth, false, false);
    return Node{value, records_[record].first, record, mark};
  }

  Node branch(std::uint32_t depth, std::uint32_t parent_depth, std::span<const Node> children,
              std::span<const RunTally> tallies, std::int32_t context) {
    const std::uint64_t total = total_of(tallies);
    const double measure = rule_.measure(total, tallies);
    const SplitDecision own = rule_.decide(depth, measure, children_sum(children), children.size());
    // Up the run: each node has this one's counts and one child; once one is a leaf, so is
    // every node above it, with the same value (below the storage depth a leaf's value does not
    // depend on its depth).
    double top_value = own.value;
    bool top_split = own.split;
    for (std::uint32_t d = depth; d-- > parent_depth + 1 && top_split;) {
      poll_interruption_every(d, 2);
      const SplitDecision up = rule_.decide(d, measure, rule_.sum_start() + top_value, 1);
      top_value = up.value;
      top_split = up.split;
    }
    return close(depth, parent_depth + 1, own.split, top_split, top_value, children, tallies,
                 total, context);
  }

  Node root(std::span<const Node> children, std::span<const RunTally> tallies) {
    const std::uint64_t total = total_of(tallies);
    const SplitDecision own =
        rule_.decide(0, rule_.measure(total, tallies), children_sum(children), children.size());
    return close(0, 0, own.split, own.split, own.value, children, tallies, total, -1);
  }

  const std::vector<RunRecord>& records() const noexcept { return records_; }
  std::vector<RunTally>& tallies() noexcept { return tallies_; }
  const std::vector<std::uint64_t>& child_records() const noexcept { return child_records_; }

 private:
  static std::uint64_t total_of(std::span<const RunTally> tallies) {
    std::uint64_t total = 0;
    for (const RunTally& tally : tallies) {
      total += tally.count;
    }
    return total;
  }

  // The children's values in their list order, newest (latest first position) first.
  double children_sum(std::span<const Node> children) {
    order_.assign(children.begin(), children.end());
    std::sort(order_.begin(), order_.end(),
              [](const Node& a, const Node& b) { return a.first > b.first; });
    double sum = rule_.sum_start();
    for (const Node& child : order_) {
      sum += child.top_value;
    }
    return sum;
  }

  ArenaMark here() const {
    return ArenaMark{records_.size(), tallies_.size(), child_records_.size()};
  }

  // Keeps the children's records only when the run's top is split, so that the selected tree
  // can reach them.
  Node close(std::uint32_t depth, std::uint32_t top_depth, bool split, bool top_split,
             double top_value, std::span<const Node> children, std::span<const RunTally> tallies,
             std::uint64_t total, std::int32_t context) {
    const ArenaMark mark = children.empty() ? here() : children.front().subtree;
    std::uint64_t children_begin = child_records_.size();
    if (top_split) {
      for (const Node& child : children) {
        child_records_.push_back(child.record);
      }
    } else {
      records_.resize(mark.records);
      tallies_.resize(mark.tallies);
      child_records_.resize(mark.children);
      children_begin = mark.children;
    }
    const std::uint64_t record =
        add_record(tallies, total, context, depth, top_depth, split, top_split);
    records_[record].children_begin = children_begin;
    records_[record].children_size =
        top_split ? static_cast<std::uint32_t>(children.size()) : 0;
    return Node{top_value, records_[record].first, record, mark};
  }

  std::uint64_t add_record(std::span<const RunTally> tallies, std::uint64_t total,
                           std::int32_t context, std::uint32_t depth, std::uint32_t top_depth,
                           bool split, bool top_split) {
    std::uint64_t first = ~std::uint64_t{0};
    for (const RunTally& tally : tallies) {
      first = std::min(first, tally.first);
    }
    RunRecord record{first, total, tallies_.size(), child_records_.size(),
                     static_cast<std::uint32_t>(tallies.size()), 0, context, depth, top_depth,
                     split, top_split};
    tallies_.insert(tallies_.end(), tallies.begin(), tallies.end());
    records_.push_back(record);
    return records_.size() - 1;
  }

  const Rule& rule_;
  std::uint32_t storage_depth_;
  std::vector<RunRecord> records_;
  std::vector<RunTally> tallies_;
  std::vector<std::uint64_t> child_records_;
  std::vector<Node> order_;
};

}  // namespace tesk
