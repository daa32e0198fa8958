#include "selection/bct.hpp"

#include <utility>

#include "selection/bottom_up_fold.hpp"
#include "selection/score_rules.hpp"
#include "selection/selection_detail.hpp"

namespace tesk {

BctScores bct_scores(const CountTrie& trie, double beta) {
  const BctRule rule(trie.alphabet_size(), trie.storage_depth(), beta);
  BctScores result;
  result.unseen_log_pm = rule.unseen_log_pm();
  result.plan.depth_split = rule.depth_split();
  fold_bottom_up(trie, rule, result.log_pm, result.plan.node_split);
  return result;
}

SplitPlan bct_split_plan(const CountTrie& trie, double beta) {
  return std::move(bct_scores(trie, beta).plan);
}

}  // namespace tesk
