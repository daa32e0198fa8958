#include "trie/compacted_writer.hpp"

#include <algorithm>
#include <utility>

#include "common/child_blocks.hpp"
#include "common/internal_failure.hpp"
#include "common/interruption.hpp"

namespace tesk {

CompactedTrieWriter::CompactedTrieWriter(std::uint64_t alphabet_size,
                                         std::uint64_t storage_depth, std::uint64_t sample_size,
                                         std::uint64_t nodes, std::uint64_t entries)
    : alphabet_size_(alphabet_size), storage_depth_(storage_depth), sample_size_(sample_size) {
  ensure(nodes >= 1 && nodes <= kMaxNodeCount && entries <= kMaxCountEntries,
         "written trie outside the index space");
  nodes_.reserve(nodes);
  counts_.reserve(entries);
  terminal_.reserve(nodes);
}

void CompactedTrieWriter::add_node(NodeId parent, std::uint32_t symbol, std::uint16_t depth,
                                   bool terminal) {
  if (!nodes_.empty()) {
    close_node();
  }
  ensure(nodes_.empty() == (parent == kNoIndex) && (parent == kNoIndex || parent < nodes_.size()),
         "a written node must come after its parent");
  poll_interruption_every(nodes_.size(), 4);
  nodes_.push_back(TrieNode{0, parent, kNoIndex, kNoIndex, symbol, depth});
  terminal_.push_back(terminal ? 1 : 0);
  node_counts_begin_ = counts_.size();
}

void CompactedTrieWriter::add_count(std::uint32_t symbol, std::uint64_t count) {
  ensure(!nodes_.empty() && counts_.size() < kMaxCountEntries, "count entry without a node");
  counts_.push_back(SymbolCount{count, symbol, kNoIndex});
  nodes_.back().total += count;
}

// Compaction copies each list to the head of the new one, so a node's entries sit newest first
// and link back to the one before: the earliest observed symbol, at the block's end, heads it.
void CompactedTrieWriter::close_node() {
  const std::uint64_t begin = node_counts_begin_;
  const std::uint64_t end = counts_.size();
  if (begin == end) {
    return;
  }
  std::reverse(counts_.begin() + static_cast<std::ptrdiff_t>(begin), counts_.end());
  for (std::uint64_t k = begin; k < end; ++k) {
    counts_[k].next = k == begin ? kNoIndex : static_cast<std::uint32_t>(k - 1);
  }
  nodes_.back().first_count = static_cast<std::uint32_t>(end - 1);
}

// Each parent's links in one block, parents in NodeId order; within a block the children run
// from the highest NodeId down, each linking back to the one before, so the lowest heads the list.
LinkVector CompactedTrieWriter::link_children() {
  const std::size_t count = nodes_.size();
  const std::vector<std::uint32_t> block =
      child_block_starts(count, [this](std::size_t id) { return nodes_[id].parent; });
  LinkVector links(count - 1);
  std::vector<std::uint32_t> filled(block.begin(), block.end() - 1);
  for (std::size_t id = count; id-- > 1;) {
    const NodeId parent = nodes_[id].parent;
    const std::uint32_t place = filled[parent]++;
    links[place] = ChildLink{nodes_[id].symbol, static_cast<NodeId>(id),
                             place == block[parent] ? kNoIndex : place - 1};
    nodes_[parent].first_child = place;  // the last filled, the lowest NodeId, heads the list
  }
  return links;
}

CompactedTrie CompactedTrieWriter::finish() && {
  ensure(!nodes_.empty(), "a trie needs its root");
  close_node();
  LinkVector links = link_children();
  CountTrie trie = CountTrie::from_parts(std::move(nodes_), std::move(links), std::move(counts_),
                                         alphabet_size_, storage_depth_, sample_size_);
  return CompactedTrie{std::move(trie), std::move(terminal_)};
}

}  // namespace tesk
