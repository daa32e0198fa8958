#pragma once
// The child list order the bottom-up selectors rely on.

#include "trie/count_trie.hpp"

namespace tesk {

// The bottom-up selectors add each child's value to its parent's running sum while visiting
// NodeIds from the highest down. That equals summing every child list in list order only when
// each list runs newest first (descending NodeId), as build and create_child leave it.
// A compacted trie (lists oldest first) fails here. Sequential in the layout build leaves.
void ensure_children_newest_first(const CountTrie& trie);

}  // namespace tesk
