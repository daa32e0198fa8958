#pragma once
// Counting by context codes: every string of up to storage_depth + 1 symbols that ends at a
// counted position gets a number computed from the symbols alone, and its cell sits at that
// index of a dense table. Used when alphabet_size^(storage_depth + 1) is small next to the number
// of positions (shallow contexts, small alphabets); deeper builds count depth by depth.

#include <cstdint>
#include <functional>
#include <span>

#include "trie/build/build_path.hpp"
#include "trie/build/context_tables.hpp"
#include "trie/count_trie.hpp"
#include "trie/packed_rows.hpp"

namespace tesk::detail {

// Whether build_by_codes counts these rows: the dense tables stay within a few bytes per
// position, and no count can pass 32 bits.
bool code_build_applies(std::uint64_t alphabet_size, std::uint64_t storage_depth,
                        std::uint64_t positions);

// Whether the deepest table, alphabet_size^(storage_depth + 1) cells, has at most `cells`.
bool deepest_table_within(std::uint64_t alphabet_size, std::uint64_t storage_depth,
                          std::uint64_t cells);

// The same trie as the position-by-position build (NodeIds, links, lists and counts); each
// node's count entries sit in one block. Requires code_build_applies and storage_depth <=
// conditioning_depth. Calls release_rows once the rows are no longer read.
template <class Symbol>
MessageOr<CountTrie> build_by_codes(std::span<const RowView<Symbol>> rows,
                                    std::uint64_t alphabet_size, std::uint64_t conditioning_depth,
                                    std::uint64_t storage_depth, TrieLimits limits,
                                    const std::function<void()>& release_rows);

// The same count kept as dense tables, for selection to walk; the same failures.
template <class Symbol>
MessageOr<ContextTables> tables_by_codes(std::span<const RowView<Symbol>> rows,
                                         std::uint64_t alphabet_size,
                                         std::uint64_t conditioning_depth,
                                         std::uint64_t storage_depth, TrieLimits limits,
                                         const std::function<void()>& release_rows);

}  // namespace tesk::detail
