#pragma once
// A node's count list as the selectors read it: ascending by symbol.

#include <cstdint>
#include <vector>

#include "common/internal_failure.hpp"
#include "common/short_sort.hpp"
#include "trie/count_trie.hpp"

namespace tesk {

// One count entry of a node, as the selectors read it.
struct SymbolTally {
  std::uint32_t symbol;
  std::uint64_t count;
};

// Reads a node's count list into `out` (cleared first), ascending by symbol. A symbol without an
// entry contributes exactly nothing to any selector, so summing over the entries in this order
// equals summing over the whole alphabet.
inline void gather_counts_by_symbol(const CountTrie& trie, const TrieNode& node,
                                    std::vector<SymbolTally>& out) {
  out.clear();
  const CountVector& counts = trie.counts();
  for (std::uint32_t entry = node.first_count; entry != kNoIndex; entry = counts[entry].next) {
    ensure(entry < counts.size(), "count entry outside the trie");
    out.push_back(SymbolTally{counts[entry].symbol, counts[entry].count});
  }
  const auto by_symbol = [](const SymbolTally& a, const SymbolTally& b) {
    return a.symbol < b.symbol;
  };
  sort_short(out.begin(), out.end(), by_symbol);
  for (std::size_t i = 1; i < out.size(); ++i) {
    ensure(out[i - 1].symbol < out[i].symbol, "a node counts one symbol twice");
  }
}

}  // namespace tesk
