#pragma once
// bct and bic over the folded trie of sorted contexts (trie/build/run_walk.hpp), for contexts as deep
// as the data go: the same selected tree, values, ties, count-free children and NodeIds as
// scoring every node of the full trie, expanding the plan and compacting, at the cost of the
// folded trie.
//
// Every position under a node has a context of full depth, so a node with one child has that
// child's counts, and a run of such nodes scores alike all the way down. With the selectors'
// weights (beta at least 0.5, a non-negative penalty) a one-child node whose child is a leaf is a
// leaf itself; so a run that never branches again (a tail) is a leaf at its top, and a run above a
// branching node is split from its bottom up to some depth and a leaf above. Only the top of each
// run can be the parent's child in the selected tree, and only nodes the split decisions reach
// are kept; their NodeIds follow from the first position under them. Dense tables are walked the
// same way, each node of the full trie a run of its own (trie/build/table_walk.hpp).

#include <cstdint>

#include "common/error.hpp"
#include "selection/selection_settings.hpp"
#include "trie/build/context_runs.hpp"
#include "trie/build/context_tables.hpp"
#include "trie/count_trie.hpp"

namespace tesk {

// The compacted trie of the selected tree for settings.method bct or bic, or the node limit's
// message when the full trie with the plan's count-free children would exceed it.
MessageOr<CompactedTrie> select_over_runs(const ContextRuns& runs,
                                          const SelectionSettings& settings,
                                          TrieLimits limits = {});

// The same over dense tables, each node of the full trie a run of its own.
MessageOr<CompactedTrie> select_over_tables(const ContextTables& tables,
                                            const SelectionSettings& settings,
                                            TrieLimits limits = {});

}  // namespace tesk
