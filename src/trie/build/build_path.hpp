#pragma once
// The builders, by name: the chooser names one, and tests name each to compare them on one input.

#include <cstdint>

namespace tesk {

enum class BuildPath : std::uint8_t {
  dense_codes,             // code_build: shallow contexts over small alphabets, in dense tables
  depth_by_depth,          // level_build: the full trie of any depth
  context_runs,            // context_runs: sorted contexts, runs of single-child nodes left folded
  context_runs_in_groups,  // context_runs, the order sorted again a group at a time as it is
                           // read: 64-bit indices at a fraction of the memory
};

}  // namespace tesk
