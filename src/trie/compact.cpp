#include <utility>

#include "common/internal_failure.hpp"
#include "trie/count_trie.hpp"

namespace tesk {

CompactedTrie CountTrie::compact(CountTrie trie, std::span<const std::uint8_t> active,
                                 std::span<const std::uint8_t> terminal) {
  const std::size_t input_count = trie.nodes_.size();
  auto kept = [&](std::size_t i) { return i < active.size() && active[i] != 0; };

  std::size_t kept_count = 0;
  for (std::size_t i = 0; i < input_count; ++i) {
    kept_count += kept(i) ? 1 : 0;
  }

  std::vector<NodeId> new_id(input_count, kNoIndex);
  std::vector<TrieNode> nodes;
  nodes.reserve(kept_count);
  std::vector<std::uint8_t> flags;
  flags.reserve(kept_count);
  for (std::size_t i = 0; i < input_count; ++i) {
    if (!kept(i)) {
      continue;
    }
    const TrieNode& old = trie.nodes_[i];
    new_id[i] = static_cast<NodeId>(nodes.size());
    const NodeId parent = (i == 0 || old.parent == kNoIndex) ? kNoIndex : new_id[old.parent];
    nodes.push_back(TrieNode{old.total, parent, kNoIndex, kNoIndex, old.symbol, old.depth});
    flags.push_back(i < terminal.size() ? terminal[i] : 0);
  }

  std::vector<ChildLink> links;
  std::vector<SymbolCount> counts;
  for (std::size_t i = 0; i < input_count; ++i) {
    if (!kept(i)) {
      continue;
    }
    TrieNode& target = nodes[new_id[i]];
    for (std::uint32_t link = trie.nodes_[i].first_child; link != kNoIndex;
         link = trie.links_[link].next) {
      ensure(link < trie.links_.size(), "child link outside the trie");
      const ChildLink& old = trie.links_[link];
      if (!kept(old.child)) {
        continue;
      }
      links.push_back(ChildLink{old.symbol, new_id[old.child], target.first_child});
      target.first_child = static_cast<std::uint32_t>(links.size() - 1);
    }
    for (std::uint32_t entry = trie.nodes_[i].first_count; entry != kNoIndex;
         entry = trie.counts_[entry].next) {
      ensure(entry < trie.counts_.size(), "count entry outside the trie");
      const SymbolCount& old = trie.counts_[entry];
      counts.push_back(SymbolCount{old.count, old.symbol, target.first_count});
      target.first_count = static_cast<std::uint32_t>(counts.size() - 1);
    }
  }

  const std::uint64_t alphabet_size = trie.alphabet_size_;
  const std::uint64_t storage_depth = trie.storage_depth_;
  const std::uint64_t sample_size = trie.sample_size_;
  trie = CountTrie();  // release the input before returning
  return CompactedTrie{CountTrie::from_parts(std::move(nodes), std::move(links), std::move(counts),
                                             alphabet_size, storage_depth, sample_size),
                       std::move(flags)};
}

}  // namespace tesk
