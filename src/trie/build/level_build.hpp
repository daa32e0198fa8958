#pragma once
// Counting depth by depth: for contexts too deep or alphabets too wide to count by codes in
// dense tables, where the full trie is wanted (level_build.cpp says how).

#include <cstdint>
#include <span>

#include "trie/build/build_path.hpp"
#include "trie/count_trie.hpp"
#include "trie/packed_rows.hpp"

namespace tesk::detail {

// The same trie as counting position by position from the root (NodeIds, links, lists and
// counts); each node's count entries sit in one block. Requires storage_depth <=
// conditioning_depth and storage_depth <= kMaxDepth.
template <class Symbol>
MessageOr<CountTrie> build_by_levels(std::span<const RowView<Symbol>> rows,
                                     std::uint64_t alphabet_size, std::uint64_t conditioning_depth,
                                     std::uint64_t storage_depth, TrieLimits limits);

}  // namespace tesk::detail
