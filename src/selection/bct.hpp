#pragma once

#include <cstdint>
#include <vector>

#include "selection/selected_tree.hpp"
#include "trie/count_trie.hpp"

namespace tesk {

// Maximum a posteriori tree under the Bayesian context-tree prior with leaf weight beta,
// leaves scored by the Krichevsky-Trofimov estimate.
SplitPlan bct_split_plan(const CountTrie& trie, double beta);

}  // namespace tesk
