#include "trie/count_trie.hpp"

#include <algorithm>
#include <utility>

#include "common/internal_failure.hpp"

namespace tesk {

CountTrie::CountTrie(std::uint64_t alphabet_size, std::uint64_t storage_depth)
    : alphabet_size_(alphabet_size), storage_depth_(storage_depth) {
  nodes_.push_back(TrieNode{0, kNoIndex, kNoIndex, kNoIndex, kNoIndex, 0});
}

CountTrie CountTrie::from_parts(NodeVector nodes, LinkVector links, CountVector counts,
                                std::uint64_t alphabet_size,
                                std::uint64_t storage_depth, std::uint64_t sample_size) {
  ensure(!nodes.empty(), "a trie needs its root");
  CountTrie trie;
  trie.nodes_ = std::move(nodes);
  trie.links_ = std::move(links);
  trie.counts_ = std::move(counts);
  trie.alphabet_size_ = alphabet_size;
  trie.storage_depth_ = storage_depth;
  trie.sample_size_ = sample_size;
  return trie;
}

void CountTrie::relabel_symbols(std::span<const std::uint32_t> symbol_of,
                                std::uint64_t alphabet_size) {
  const auto relabel = [&](std::uint32_t& symbol) {
    ensure(symbol < symbol_of.size(), "symbol outside the relabelled alphabet");
    symbol = symbol_of[symbol];
  };
  for (std::size_t id = 1; id < nodes_.size(); ++id) {
    relabel(nodes_[id].symbol);
  }
  for (ChildLink& link : links_) {
    relabel(link.symbol);
  }
  for (SymbolCount& entry : counts_) {
    relabel(entry.symbol);
  }
  alphabet_size_ = alphabet_size;
}

const TrieNode& CountTrie::node(NodeId id) const {
  ensure(id < nodes_.size(), "node id outside the trie");
  return nodes_[id];
}

MessageOr<NodeId> CountTrie::create_child(NodeId parent, std::uint32_t symbol) {
  ensure(parent < nodes_.size(), "node id outside the trie");
  if (nodes_.size() >= kMaxNodeCount) {
    return fail_message(kNodeLimitMessage);
  }
  const std::uint16_t parent_depth = nodes_[parent].depth;
  if (parent_depth == kMaxDepth) {
    return fail_message(kDepthOverflowMessage);
  }
  const auto child = static_cast<NodeId>(nodes_.size());
  // Both appends happen or neither: make room for the link first, growing geometrically (an
  // exact reserve would reallocate on every call).
  if (links_.size() == links_.capacity()) {
    links_.reserve(std::max<std::size_t>(16, links_.capacity() * 2));
  }
  nodes_.push_back(TrieNode{0, parent, kNoIndex, kNoIndex, symbol,
                            static_cast<std::uint16_t>(parent_depth + 1)});
  links_.push_back(ChildLink{symbol, child, nodes_[parent].first_child});
  nodes_[parent].first_child = static_cast<std::uint32_t>(links_.size() - 1);
  return child;
}

}  // namespace tesk
