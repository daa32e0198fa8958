#include <utility>

#include "common/internal_failure.hpp"
#include "common/interruption.hpp"
#include "common/portability.hpp"
#include "trie/count_trie.hpp"

namespace tesk {

CompactedTrie CountTrie::compact(CountTrie trie, std::span<const std::uint8_t> active,
                                 std::span<const std::uint8_t> terminal) {
  // Kept nodes keep their order, so node n of the result is written over input node i >= n
  // after input node i has been read: the nodes are compacted in place.
  NodeVector nodes = std::move(trie.nodes_);
  const NodeVector& old_nodes = nodes;
  const LinkVector& old_links = trie.links_;
  const CountVector& old_counts = trie.counts_;
  const std::size_t input_count = old_nodes.size();

  // New ids first, so that one pass in ascending order can map children as well as parents.
  std::vector<NodeId> new_id(input_count, kNoIndex);
  NodeId kept = 0;
  const std::size_t flagged = active.size() < input_count ? active.size() : input_count;
  for (std::size_t i = 0; i < flagged; ++i) {
    if (active[i] != 0) {
      new_id[i] = kept++;
    }
  }

  std::vector<std::uint8_t> flags;
  flags.reserve(kept);
  LinkVector links;
  links.reserve(kept > 0 ? kept - 1 : 0);
  CountVector counts;
  if (input_count > 0) {
    counts.reserve(old_counts.size() / input_count * kept + kept);
  }

  // The lists of a built trie are scattered; fetch the heads a few nodes ahead.
  constexpr std::size_t kAhead = 8;
  for (std::size_t i = 0; i < flagged;) {
    for (const std::size_t stop = poll_chunk_up(i, flagged, 2); i < stop; ++i) {
      if (i + kAhead < input_count) {
        const TrieNode& ahead = old_nodes[i + kAhead];
        if (ahead.first_child < old_links.size()) {
          prefetch_for_read(old_links.data() + ahead.first_child);
        }
        if (ahead.first_count < old_counts.size()) {
          prefetch_for_read(old_counts.data() + ahead.first_count);
        }
      }
      if (new_id[i] == kNoIndex) {
        continue;
      }
      const TrieNode old = old_nodes[i];
      NodeId parent = kNoIndex;
      if (i != 0 && old.parent != kNoIndex) {
        ensure(old.parent < input_count, "parent outside the trie");
        parent = new_id[old.parent];
      }
      TrieNode copy{old.total, parent, kNoIndex, kNoIndex, old.symbol, old.depth};
      // Each copied element goes to the head of its list, so every list comes out reversed.
      for (std::uint32_t link = old.first_child; link != kNoIndex; link = old_links[link].next) {
        ensure(link < old_links.size(), "child link outside the trie");
        const ChildLink& child = old_links[link];
        ensure(child.child < input_count, "child outside the trie");
        if (new_id[child.child] == kNoIndex) {
          continue;
        }
        links.push_back(ChildLink{child.symbol, new_id[child.child], copy.first_child});
        copy.first_child = static_cast<std::uint32_t>(links.size() - 1);
      }
      for (std::uint32_t entry = old.first_count; entry != kNoIndex;
           entry = old_counts[entry].next) {
        ensure(entry < old_counts.size(), "count entry outside the trie");
        counts.push_back(SymbolCount{old_counts[entry].count, old_counts[entry].symbol,
                                     copy.first_count});
        copy.first_count = static_cast<std::uint32_t>(counts.size() - 1);
      }
      nodes[new_id[i]] = copy;
      flags.push_back(i < terminal.size() ? terminal[i] : 0);
    }
  }

  const std::uint64_t alphabet_size = trie.alphabet_size_;
  const std::uint64_t storage_depth = trie.storage_depth_;
  const std::uint64_t sample_size = trie.sample_size_;
  trie = CountTrie();  // release the input before the result is trimmed
  new_id = std::vector<NodeId>();
  // The stored trie lives as long as the model: give back what was dropped or overestimated.
  nodes.resize(kept);
  if (nodes.capacity() - nodes.size() > nodes.size() / 8) {
    nodes.shrink_to_fit();
  }
  if (counts.capacity() - counts.size() > counts.size() / 8) {
    counts.shrink_to_fit();
  }
  if (links.capacity() != links.size()) {
    links.shrink_to_fit();
  }
  return CompactedTrie{CountTrie::from_parts(std::move(nodes), std::move(links), std::move(counts),
                                             alphabet_size, storage_depth, sample_size),
                       std::move(flags)};
}

}  // namespace tesk
