#pragma once
// Shared by the trie tests: the position-by-position build to compare against, and helpers that
// read a trie back as plain values.

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "trie/build/build.hpp"
#include "trie/count_trie.hpp"
#include "trie/packed_rows.hpp"

namespace tesk::trie_test {}  // namespace tesk::trie_test

namespace tesk {

// Rows as tests write them: symbols in time order, oldest first.
using SymbolSequence = std::vector<std::uint64_t>;
using SymbolRows = std::vector<SymbolSequence>;

}  // namespace tesk

namespace tesk::trie_test {

using Counts = std::vector<std::pair<std::uint32_t, std::uint64_t>>;  // (symbol, count)

// Rows as the fit hands them to the build: packed as they are converted.
inline PackedRows packed(const SymbolRows& rows, std::uint64_t alphabet_size) {
  RowPacker packer(alphabet_size);
  for (const SymbolSequence& row : rows) {
    packer.begin_row(row.size());
    packer.add(row);
    packer.end_row();
  }
  return std::move(packer).finish();
}

// The full trie as the fit's build counts it (with the builder `path`, or the chosen one).
inline MessageOr<CountTrie> full_trie(const SymbolRows& rows, std::uint64_t alphabet_size,
                                      std::uint64_t conditioning_depth, std::uint64_t storage_depth,
                                      TrieLimits limits = {}, std::optional<BuildPath> path = {}) {
  auto counted = count_contexts(packed(rows, alphabet_size), conditioning_depth, storage_depth,
                                false, limits, path);
  if (!counted) {
    return fail_message(std::move(counted).error());
  }
  return std::get<CountTrie>(std::move(counted).value());
}

// Reading one count or one child list, and growing or counting by hand: what tests do and the
// fit never needs.
inline std::uint64_t symbol_count(const CountTrie& trie, NodeId node, std::uint64_t symbol) {
  for (std::uint32_t entry = trie.node(node).first_count; entry != kNoIndex;
       entry = trie.counts().at(entry).next) {
    if (trie.counts()[entry].symbol == symbol) {
      return trie.counts()[entry].count;
    }
  }
  return 0;
}

inline std::vector<ChildLink> children(const CountTrie& trie, NodeId node) {
  std::vector<ChildLink> result;
  for (std::uint32_t link = trie.node(node).first_child; link != kNoIndex;
       link = trie.links().at(link).next) {
    result.push_back(trie.links()[link]);
  }
  return result;
}

inline MessageOr<NodeId> get_or_create_child(CountTrie& trie, NodeId parent, std::uint32_t symbol) {
  const NodeId existing = trie.find_child(parent, symbol);
  if (existing != kNoIndex) {
    return existing;
  }
  return trie.create_child(parent, symbol);
}

// The trie's vectors, counted into one position at a time: a new count entry heads its node's
// list, as a new child heads its parent's.
class LiteralCounts {
 public:
  explicit LiteralCounts(const CountTrie& trie)
      : nodes_(trie.nodes()), links_(trie.links()), counts_(trie.counts()) {}

  void observe(NodeId node, std::uint32_t symbol) {
    TrieNode& target = nodes_.at(node);
    ++target.total;
    for (std::uint32_t entry = target.first_count; entry != kNoIndex;
         entry = counts_.at(entry).next) {
      if (counts_[entry].symbol == symbol) {
        ++counts_[entry].count;
        return;
      }
    }
    counts_.push_back(SymbolCount{1, symbol, target.first_count});
    target.first_count = static_cast<std::uint32_t>(counts_.size() - 1);
  }

  std::uint64_t count_entries() const { return counts_.size(); }

  CountTrie finish(const CountTrie& shape, std::uint64_t sample_size) const {
    return CountTrie::from_parts(nodes_, links_, counts_, shape.alphabet_size(),
                                 shape.storage_depth(), sample_size);
  }

 private:
  NodeVector nodes_;
  LinkVector links_;
  CountVector counts_;
};

// Adds `times` observations of `symbol` at `node`, for counts that rows would reach only at
// great length.
inline void add_observations(CountTrie& trie, NodeId node, std::uint32_t symbol, int times) {
  LiteralCounts counts(trie);
  for (int i = 0; i < times; ++i) {
    counts.observe(node, symbol);
  }
  trie = counts.finish(trie, trie.sample_size());
}

// Counts every position from the root, creating each missing context node as it is met, as the
// documented algorithm reads. The node limit stops counting at once; the count entry limit is
// judged on the rows counted; a bad symbol is reported when counting the rows before it went
// through. Nodes are grown first and counted after: counting never creates a node.
inline MessageOr<CountTrie> literal_build(const SymbolRows& rows, std::uint64_t alphabet_size,
                                          std::uint64_t conditioning_depth,
                                          std::uint64_t storage_depth, TrieLimits limits = {}) {
  if (storage_depth > conditioning_depth) {
    return fail_message(kStorageDepthMessage);
  }
  CountTrie trie(alphabet_size, storage_depth);
  std::vector<std::pair<NodeId, std::uint32_t>> observations;  // in counting order
  std::string symbol_failure;
  for (std::size_t r = 0; r < rows.size() && symbol_failure.empty(); ++r) {
    const SymbolSequence& row = rows[r];
    for (std::size_t p = 0; p < row.size(); ++p) {
      if (row[p] >= alphabet_size) {
        symbol_failure = "symbol " + std::to_string(row[p]) + " at data[" + std::to_string(r) +
                         "][" + std::to_string(p) + "] is outside 0.." +
                         std::to_string(alphabet_size);
        break;
      }
    }
    if (!symbol_failure.empty()) {
      break;
    }
    for (std::size_t h = conditioning_depth; h < row.size(); ++h) {
      const auto symbol = static_cast<std::uint32_t>(row[h]);
      observations.emplace_back(kRoot, symbol);
      NodeId node = kRoot;
      for (std::uint64_t k = 1; k <= storage_depth; ++k) {
        const auto context = static_cast<std::uint32_t>(row[h - k]);
        if (trie.find_child(node, context) == kNoIndex &&
            trie.node_count() >= limits.max_nodes) {
          return fail_message(kNodeLimitMessage);
        }
        auto child = get_or_create_child(trie, node, context);
        if (!child) {
          return fail_message(std::move(child).error());
        }
        node = *child;
        observations.emplace_back(node, symbol);
      }
    }
  }
  LiteralCounts counts(trie);
  std::uint64_t counted = 0;
  for (const auto& [node, symbol] : observations) {
    counts.observe(node, symbol);
    counted += node == kRoot ? 1 : 0;
  }
  if (counts.count_entries() > limits.max_count_entries) {
    return fail_message(kCountLimitMessage);
  }
  if (!symbol_failure.empty()) {
    return fail_message(symbol_failure);
  }
  return counts.finish(trie, counted);
}

// A node's count list in list order.
inline Counts count_list(const CountTrie& trie, NodeId node) {
  Counts result;
  for (std::uint32_t entry = trie.node(node).first_count; entry != kNoIndex;
       entry = trie.counts().at(entry).next) {
    result.emplace_back(trie.counts()[entry].symbol, trie.counts()[entry].count);
  }
  return result;
}

// A node's children in list order.
inline std::vector<NodeId> child_list(const CountTrie& trie, NodeId node) {
  std::vector<NodeId> result;
  for (const ChildLink& link : children(trie, node)) {
    result.push_back(link.child);
  }
  return result;
}

inline bool same_node(const TrieNode& a, const TrieNode& b) {
  return a.total == b.total && a.parent == b.parent && a.first_child == b.first_child &&
         a.symbol == b.symbol && a.depth == b.depth &&
         (a.first_count == kNoIndex) == (b.first_count == kNoIndex);
}

inline bool same_link(const ChildLink& a, const ChildLink& b) {
  return a.symbol == b.symbol && a.child == b.child && a.next == b.next;
}

// Every node field (count list heads only as lists), every link, and every count list.
inline void expect_same_trie(const CountTrie& expected, const CountTrie& actual) {
  ASSERT_EQ(expected.alphabet_size(), actual.alphabet_size());
  ASSERT_EQ(expected.storage_depth(), actual.storage_depth());
  ASSERT_EQ(expected.sample_size(), actual.sample_size());
  ASSERT_EQ(expected.node_count(), actual.node_count());
  ASSERT_EQ(expected.links().size(), actual.links().size());
  ASSERT_EQ(expected.counts().size(), actual.counts().size());
  for (std::size_t i = 0; i < expected.nodes().size(); ++i) {
    ASSERT_TRUE(same_node(expected.nodes()[i], actual.nodes()[i])) << "node " << i;
    ASSERT_EQ(count_list(expected, static_cast<NodeId>(i)),
              count_list(actual, static_cast<NodeId>(i)))
        << "count list of node " << i;
  }
  for (std::size_t i = 0; i < expected.links().size(); ++i) {
    ASSERT_TRUE(same_link(expected.links()[i], actual.links()[i])) << "link " << i;
  }
}

}  // namespace tesk::trie_test
