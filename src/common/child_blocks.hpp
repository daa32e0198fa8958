#pragma once
// Nodes 1 .. n - 1 grouped by parent, as a counting sort groups them: where each parent's block
// of children starts.

#include <cstddef>
#include <cstdint>
#include <vector>

namespace tesk {

// start[p] .. start[p + 1] is parent p's block; `parent_of(v)` is below node_count for every v.
template <class ParentOf>
std::vector<std::uint32_t> child_block_starts(std::size_t node_count, ParentOf parent_of) {
  std::vector<std::uint32_t> start(node_count + 1, 0);
  for (std::size_t v = 1; v < node_count; ++v) {
    ++start[parent_of(v) + 1];
  }
  for (std::size_t v = 0; v < node_count; ++v) {
    start[v + 1] += start[v];
  }
  return start;
}

}  // namespace tesk
