#pragma once
// Counting the rows. Three builders, each in a file of its own, and one function that chooses:
// dense codes for shallow contexts over small alphabets, depth by depth for the full trie of any
// depth, and for bct and bic the sorted contexts whose runs of single-child nodes stay folded
// (their cost follows the data's branching, not the depth). Every builder counts the same rows
// and fails the same way: rows are counted in order until the first bad symbol's row, the node
// limit is reported before the bad symbol, and the bad symbol before anything else.

#include <cstdint>
#include <optional>
#include <variant>

#include "common/error.hpp"
#include "trie/build/build_path.hpp"
#include "trie/build/context_runs.hpp"
#include "trie/build/context_tables.hpp"
#include "trie/count_trie.hpp"
#include "trie/packed_rows.hpp"

namespace tesk {

// What counting leaves: the full trie, the sorted contexts that selection folds, or the dense
// tables that selection walks.
using CountedContexts = std::variant<CountTrie, ContextRuns, ContextTables>;

// The builder for these rows; `runs_wanted` when the selector can work on folded runs or on
// dense tables.
BuildPath choose_build_path(const PackedRows& rows, std::uint64_t conditioning_depth,
                            std::uint64_t storage_depth, bool runs_wanted);

// Counts every position from index conditioning_depth of each row under its contexts of length
// 0..storage_depth, with the builder `forced_path` or, when it is empty, the chosen one. The
// full trie is node for node and list for list what counting position by position gives,
// creating each missing context node on the way (count entries may sit at other indices).
// Failures: storage_depth above conditioning_depth; the rows before the first bad symbol need
// more nodes than the node limit (reported first) or, in a full trie, more count entries than
// allowed; the bad symbol. The rows are freed once counted. With runs_wanted and contexts of at
// least one symbol, dense codes leave their tables, whose full trie is that same trie.
MessageOr<CountedContexts> count_contexts(PackedRows&& rows, std::uint64_t conditioning_depth,
                                          std::uint64_t storage_depth, bool runs_wanted,
                                          TrieLimits limits = {},
                                          std::optional<BuildPath> forced_path = {});

}  // namespace tesk
