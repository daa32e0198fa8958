#include "selection/select_tree.hpp"

#include "selection/bct.hpp"
#include "selection/bic.hpp"
#include "selection/peres_shield.hpp"

namespace tesk {

MessageOr<SelectedTree> select_tree(CountTrie& trie, const SelectionSettings& settings) {
  switch (settings.method) {
    case SelectionMethod::peres_shield:
      return peres_shield_select(trie);
    case SelectionMethod::bct:
      return expand_split_plan(trie, bct_split_plan(trie, settings.beta), kMaxNodeCount);
    case SelectionMethod::bic:
      break;
  }
  return expand_split_plan(trie, bic_split_plan(trie, settings.penalty), kMaxNodeCount);
}

}  // namespace tesk
