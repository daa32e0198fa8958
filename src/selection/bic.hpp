#pragma once

#include <cstdint>
#include <vector>

#include "selection/selected_tree.hpp"
#include "trie/count_trie.hpp"

namespace tesk {

// Penalised maximum likelihood: every leaf pays penalty * (A - 1) * ln(max(n, 1)) / 2.
SplitPlan bic_split_plan(const CountTrie& trie, double penalty);

}  // namespace tesk
