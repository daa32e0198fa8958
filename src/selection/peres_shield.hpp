#pragma once

#include "selection/selected_tree.hpp"
#include "trie/count_trie.hpp"

namespace tesk {

// Keeps a context when some longer context deviates from it by at least n^(3/4). Never changes
// the trie.
SelectedTree peres_shield_select(const CountTrie& trie);

}  // namespace tesk
