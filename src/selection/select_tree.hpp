#pragma once

#include "common/error.hpp"
#include "selection/selected_tree.hpp"
#include "selection/selection_settings.hpp"
#include "trie/count_trie.hpp"

namespace tesk {

// Runs the configured selector. bct and bic may add count-free children of split nodes to the
// trie; peres_shield leaves it unchanged. Fails only with the trie's growth messages.
MessageOr<SelectedTree> select_tree(CountTrie& trie, const SelectionSettings& settings);

// Unfolds a plan depth-first from the root, creating the missing children of split nodes; fails
// when the trie would pass `node_limit` nodes (root included).
MessageOr<SelectedTree> expand_split_plan(CountTrie& trie, const SplitPlan& plan,
                                          std::uint64_t node_limit);

}  // namespace tesk
