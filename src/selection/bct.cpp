#include "selection/bct.hpp"

#include <vector>

#include "selection/bottom_up_fold.hpp"
#include "selection/score_rules.hpp"

namespace tesk {

SplitPlan bct_split_plan(const CountTrie& trie, double beta) {
  const BctRule rule(trie.alphabet_size(), trie.storage_depth(), beta);
  SplitPlan plan;
  plan.depth_split = rule.depth_split();
  std::vector<double> log_pm;
  fold_bottom_up(trie, rule, log_pm, plan.node_split);
  return plan;
}

}  // namespace tesk
