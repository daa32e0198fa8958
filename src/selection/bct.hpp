#pragma once

#include <cstdint>
#include <vector>

#include "selection/selected_tree.hpp"
#include "trie/count_trie.hpp"

namespace tesk {

// Maximum a posteriori tree under the Bayesian context-tree prior with leaf weight beta,
// leaves scored by the Krichevsky-Trofimov estimate.
SplitPlan bct_split_plan(const CountTrie& trie, double beta);

// The plan with the values behind it (the unit tests compare them bit for bit with a literal
// evaluation).
struct BctScores {
  SplitPlan plan;
  std::vector<double> log_pm;         // per node
  std::vector<double> unseen_log_pm;  // per depth 0..D
};
BctScores bct_scores(const CountTrie& trie, double beta);

}  // namespace tesk
