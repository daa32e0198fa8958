#pragma once
// The selectors' plans with the values behind them, from the same rules and fold the fit uses,
// for comparing them bit for bit with literal evaluations.

#include <cstdint>
#include <vector>

#include "selection/bottom_up_fold.hpp"
#include "selection/score_rules.hpp"
#include "selection/selected_tree.hpp"
#include "trie/count_trie.hpp"

namespace tesk {

struct BctScores {
  SplitPlan plan;
  std::vector<double> log_pm;         // per node
  std::vector<double> unseen_log_pm;  // per depth 0..D
};

inline BctScores bct_scores(const CountTrie& trie, double beta) {
  const BctRule rule(trie.alphabet_size(), trie.storage_depth(), beta);
  BctScores result;
  result.unseen_log_pm = rule.unseen_log_pm();
  result.plan.depth_split = rule.depth_split();
  fold_bottom_up(trie, rule, result.log_pm, result.plan.node_split);
  return result;
}

struct BicScores {
  SplitPlan plan;
  std::vector<double> score;  // per node
  double leaf_penalty;        // w
};

inline BicScores bic_scores(const CountTrie& trie, double penalty) {
  const BicRule rule(trie.alphabet_size(), trie.storage_depth(), trie.sample_size(), penalty);
  BicScores result;
  result.leaf_penalty = rule.leaf_penalty();
  result.plan.depth_split.assign(trie.storage_depth() + 1, 0);
  fold_bottom_up(trie, rule, result.score, result.plan.node_split);
  return result;
}

}  // namespace tesk
