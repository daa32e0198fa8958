#pragma once
// A quick verdict on the node limit before any counting: fits far over the limit are refused
// after one pass over the rows instead of after a full sort or build.

#include <cstdint>

#include "trie/packed_rows.hpp"

namespace tesk {

enum class NodeCountBound : std::uint8_t {
  over_limit,  // the full trie of the kept rows certainly has more than max_nodes nodes
  undecided,   // it may fit; only counting tells
};

// Bounds from below the nodes (root included) of the full trie of depth `storage_depth` over
// the kept rows' positions from index conditioning_depth on. Never says over_limit when the
// exact count is within `max_nodes`. Requires storage_depth <= conditioning_depth.
NodeCountBound bound_node_count(const PackedRows& rows, std::uint64_t conditioning_depth,
                                std::uint64_t storage_depth, std::uint64_t max_nodes);

}  // namespace tesk
