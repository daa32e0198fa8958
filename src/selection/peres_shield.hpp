#pragma once

#include <cstdint>
#include <vector>

#include "selection/selected_tree.hpp"
#include "trie/count_trie.hpp"

namespace tesk {

// The depth of the contexts the test compares for n counted positions: floor(ln(ln(n))) as an
// unsigned value, saturating; 0 for n < 3 (where ln ln n is not positive).
std::uint64_t peres_shield_depth(std::uint64_t n);

// Keeps a context when some longer context deviates from it by at least n^(3/4). Never changes
// the trie.
SelectedTree peres_shield_select(const CountTrie& trie);

// Its two steps: the depth cap and threshold n^(3/4) for the trie, and the marking pass:
// keep[c] = 1 where some node at most `cap` deep below or at c deviates from c's parent by at
// least the threshold.
struct PeresShieldBounds {
  std::uint64_t cap;
  double threshold;
};
PeresShieldBounds peres_shield_bounds(const CountTrie& trie);
std::vector<std::uint8_t> peres_shield_keep(const CountTrie& trie, const PeresShieldBounds& bounds);

}  // namespace tesk
