#pragma once
// Writes a trie straight into the layout compaction gives the kept nodes (children in
// ascending NodeId, count entries in the order their symbols were first observed), node by node
// in NodeId order: for fits whose selected tree is known without building every node first.

#include <cstdint>
#include <vector>

#include "trie/count_trie.hpp"

namespace tesk {

class CompactedTrieWriter {
 public:
  // Room for `nodes` nodes and `entries` count entries in all.
  CompactedTrieWriter(std::uint64_t alphabet_size, std::uint64_t storage_depth,
                      std::uint64_t sample_size, std::uint64_t nodes, std::uint64_t entries);

  // The next node, NodeId = the number added before it; the first is the root (parent kNoIndex).
  // Its count entries follow with add_count, the earliest observed symbol first.
  void add_node(NodeId parent, std::uint32_t symbol, std::uint16_t depth, bool terminal);
  void add_count(std::uint32_t symbol, std::uint64_t count);

  CompactedTrie finish() &&;

 private:
  void close_node();
  LinkVector link_children();

  std::uint64_t alphabet_size_;
  std::uint64_t storage_depth_;
  std::uint64_t sample_size_;
  NodeVector nodes_;
  CountVector counts_;
  std::vector<std::uint8_t> terminal_;
  std::uint64_t node_counts_begin_ = 0;  // where the last node's entries start
};

}  // namespace tesk
