#include "selection/bic.hpp"

#include <utility>

#include "selection/bottom_up_fold.hpp"
#include "selection/score_rules.hpp"
#include "selection/selection_detail.hpp"

namespace tesk {

BicScores bic_scores(const CountTrie& trie, double penalty) {
  const BicRule rule(trie.alphabet_size(), trie.storage_depth(), trie.sample_size(), penalty);
  BicScores result;
  result.leaf_penalty = rule.leaf_penalty();
  result.plan.depth_split.assign(trie.storage_depth() + 1, 0);
  fold_bottom_up(trie, rule, result.score, result.plan.node_split);
  return result;
}

SplitPlan bic_split_plan(const CountTrie& trie, double penalty) {
  return std::move(bic_scores(trie, penalty).plan);
}

}  // namespace tesk
