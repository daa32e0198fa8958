#pragma once
// The bottom-up half of selecting over runs: a visitor of the folded trie (trie/build/run_walk.hpp)
// or of the dense tables (trie/build/table_walk.hpp) that scores every node with bct's or bic's
// rule, carries the split decisions up each run, and keeps only the nodes the decisions can still
// reach. Its value for the root is the full trie's.

#include <algorithm>
#include <cstdint>
#include <span>
#include <vector>

#include "common/interruption.hpp"
#include "common/short_sort.hpp"
#include "selection/score_rules.hpp"
#include "trie/build/run_walk.hpp"

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
  std::uint64_t context;    // one of its contexts, as the walk names them
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
    std::uint64_t total;
    std::uint64_t record;  // kNoRecord for a leaf until its parent keeps it
    ArenaMark subtree;
    std::uint64_t context;
    std::uint32_t top_depth;
  };
  static constexpr std::uint64_t kNoRecord = ~std::uint64_t{0};

  RunScorer(const Rule& rule, std::uint32_t storage_depth)
      : rule_(rule), storage_depth_(storage_depth) {}

  // A tail: a leaf at its top. Most parents are leaves too, so its record waits for one that
  // is split.
  Node leaf(std::uint32_t parent_depth, std::span<const RunTally> tallies, std::uint64_t context) {
    const std::uint32_t top_depth = parent_depth + 1;
    const std::uint64_t total = total_of(tallies);
    const double value = rule_.leaf_value(top_depth, rule_.measure(total, tallies));
    return Node{value, first_of(tallies), total, kNoRecord, here(), context, top_depth};
  }

  Node branch(std::uint32_t depth, std::uint32_t parent_depth, std::span<const Node> children,
              const ChildTallies& child_tallies, std::span<const RunTally> tallies,
              std::uint64_t context) {
    const std::uint64_t total = total_of(tallies);
    const double measure = rule_.measure(total, tallies);
    const SplitDecision own = rule_.decide(depth, measure, children_sum(children), children.size());
    // Up the run: each node has this one's counts and one child; once one is a leaf, so is
    // every node above it, with the same value (below the storage depth a leaf's value does not
    // depend on its depth).
    double top_value = own.value;
    bool top_split = own.split;
    for (std::uint32_t d = depth; d-- > parent_depth + 1 && top_split;) {
      poll_interruption_every(++run_steps_, 2);
      const SplitDecision up = rule_.decide(d, measure, rule_.sum_start() + top_value, 1);
      top_value = up.value;
      top_split = up.split;
    }
    const std::uint64_t record = close(children, child_tallies, top_split);
    const Node node{top_value, first_of(tallies), total, record, mark_of(children), context,
                    parent_depth + 1};
    finish_record(record, node, tallies, depth, own.split, top_split);
    return node;
  }

  Node root(std::span<const Node> children, const ChildTallies& child_tallies,
            std::span<const RunTally> tallies) {
    const std::uint64_t total = total_of(tallies);
    const SplitDecision own =
        rule_.decide(0, rule_.measure(total, tallies), children_sum(children), children.size());
    const std::uint64_t record = close(children, child_tallies, own.split);
    const Node node{own.value, first_of(tallies), total, record, mark_of(children), 0, 0};
    finish_record(record, node, tallies, 0, own.split, own.split);
    return node;
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

  static std::uint64_t first_of(std::span<const RunTally> tallies) {
    std::uint64_t first = ~std::uint64_t{0};
    for (const RunTally& tally : tallies) {
      first = std::min(first, tally.first);
    }
    return first;
  }

  // The children's values in their list order, newest (latest first position) first.
  double children_sum(std::span<const Node> children) {
    order_.clear();
    for (const Node& child : children) {
      order_.push_back(ValueAt{child.first, child.top_value});
    }
    sort_short(order_.begin(), order_.end(),
               [](const ValueAt& a, const ValueAt& b) { return a.first > b.first; });
    double sum = rule_.sum_start();
    for (const ValueAt& child : order_) {
      sum += child.value;
    }
    return sum;
  }

  ArenaMark here() const {
    return ArenaMark{records_.size(), tallies_.size(), child_records_.size()};
  }

  ArenaMark mark_of(std::span<const Node> children) const {
    return children.empty() ? here() : children.front().subtree;
  }

  // Keeps the children's records (making the leaves') only when the run's top is split, so that
  // the selected tree can reach them; otherwise drops their subtrees. Returns the new node's
  // record, not yet filled in.
  std::uint64_t close(std::span<const Node> children, const ChildTallies& child_tallies,
                      bool keep_children) {
    const ArenaMark mark = mark_of(children);
    if (!keep_children) {
      records_.resize(mark.records);
      tallies_.resize(mark.tallies);
      child_records_.resize(mark.children);
    } else {
      for (std::size_t c = 0; c < children.size(); ++c) {
        const Node& child = children[c];
        std::uint64_t record = child.record;
        if (record == kNoRecord) {
          record = records_.size();
          records_.push_back(RunRecord{});
          finish_record(record, child, child_tallies(c), storage_depth_, false, false);
        }
        child_records_.push_back(record);
      }
    }
    records_.push_back(RunRecord{});
    RunRecord& record = records_.back();
    record.children_begin = keep_children ? child_records_.size() - children.size()
                                          : child_records_.size();
    record.children_size = keep_children ? static_cast<std::uint32_t>(children.size()) : 0;
    return records_.size() - 1;
  }

  // Fills in record `index` for the node, with a copy of its tallies.
  void finish_record(std::uint64_t index, const Node& node, std::span<const RunTally> tallies,
                     std::uint32_t depth, bool split, bool top_split) {
    RunRecord& record = records_[index];
    record.first = node.first;
    record.total = node.total;
    record.tallies_begin = tallies_.size();
    record.tallies_size = static_cast<std::uint32_t>(tallies.size());
    record.context = node.context;
    record.depth = depth;
    record.top_depth = node.top_depth;
    record.split = split;
    record.top_split = top_split;
    tallies_.insert(tallies_.end(), tallies.begin(), tallies.end());
  }

  const Rule& rule_;
  std::uint32_t storage_depth_;
  std::vector<RunRecord> records_;
  std::vector<RunTally> tallies_;
  std::vector<std::uint64_t> child_records_;
  struct ValueAt {
    std::uint64_t first;
    double value;
  };
  std::vector<ValueAt> order_;
  std::uint64_t run_steps_ = 0;  // nodes passed up all runs so far, for polling
};

}  // namespace tesk
