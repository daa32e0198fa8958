#pragma once
// The build with its two size limits as parameters, so that tests can reach the limit paths with
// small inputs. CountTrie::build is this with the real limits.

#include <cstdint>
#include <span>

#include "trie/count_trie.hpp"
#include "trie/packed_rows.hpp"

namespace tesk::trie_detail {

struct BuildLimits {
  std::uint64_t max_nodes = kMaxNodeCount;          // root included; at most kMaxNodeCount
  std::uint64_t max_count_entries = kMaxCountEntries;  // at most kMaxCountEntries
  // Whether counting by context codes may be used where it applies; tests turn it off to reach
  // the depth-by-depth build with the same inputs.
  bool count_by_codes = true;
};

MessageOr<CountTrie> build_packed_with_limits(PackedRows&& rows,
                                              std::uint64_t conditioning_depth,
                                              std::uint64_t storage_depth, BuildLimits limits);

MessageOr<CountTrie> build_with_limits(std::span<const SymbolSequence> rows,
                                       std::uint64_t alphabet_size,
                                       std::uint64_t conditioning_depth,
                                       std::uint64_t storage_depth, BuildLimits limits);

}  // namespace tesk::trie_detail
