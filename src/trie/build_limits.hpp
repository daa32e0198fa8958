#pragma once
// The builders' shared settings: which builder, and the two size limits as parameters, so that
// tests can reach the limit paths with small inputs and compare the builders on one input.

#include <cstdint>
#include <optional>

#include "trie/count_trie.hpp"

namespace tesk {

enum class BuildPath : std::uint8_t {
  dense_codes,     // code_build: shallow contexts over small alphabets, in dense tables
  depth_by_depth,  // level_build: the full trie of any depth
  context_runs,    // context_runs: sorted contexts, runs of single-child nodes left folded
};

struct BuildLimits {
  std::uint64_t max_nodes = kMaxNodeCount;             // root included; at most kMaxNodeCount
  std::uint64_t max_count_entries = kMaxCountEntries;  // at most kMaxCountEntries
  std::optional<BuildPath> path;                       // the builder, when not chosen
};

}  // namespace tesk
