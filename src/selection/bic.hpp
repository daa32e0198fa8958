#pragma once

#include <cstdint>
#include <vector>

#include "selection/selected_tree.hpp"
#include "trie/count_trie.hpp"

namespace tesk {

// Penalised maximum likelihood: every leaf pays penalty * (A - 1) * ln(max(n, 1)) / 2.
SplitPlan bic_split_plan(const CountTrie& trie, double penalty);

// The plan with the values behind it (the unit tests compare them bit for bit with a literal
// evaluation).
struct BicScores {
  SplitPlan plan;
  std::vector<double> score;  // per node
  double leaf_penalty;        // w
};
BicScores bic_scores(const CountTrie& trie, double penalty);

}  // namespace tesk
