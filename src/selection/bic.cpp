#include "selection/bic.hpp"

#include <vector>

#include "selection/bottom_up_fold.hpp"
#include "selection/score_rules.hpp"

namespace tesk {

SplitPlan bic_split_plan(const CountTrie& trie, double penalty) {
  const BicRule rule(trie.alphabet_size(), trie.storage_depth(), trie.sample_size(), penalty);
  SplitPlan plan;
  plan.depth_split.assign(trie.storage_depth() + 1, 0);
  std::vector<double> scores;
  fold_bottom_up(trie, rule, scores, plan.node_split);
  return plan;
}

}  // namespace tesk
