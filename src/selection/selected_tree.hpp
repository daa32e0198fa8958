#pragma once
// What every selector produces: byte flags indexed by NodeId.

#include <cstdint>
#include <vector>

namespace tesk {

struct SelectedTree {
  std::vector<std::uint8_t> active;    // 1 = node belongs to the selected tree
  std::vector<std::uint8_t> terminal;  // 1 = node is a terminal context
};

// The split decisions of bct and bic, unfolded by expand_split_plan.
struct SplitPlan {
  std::vector<std::uint8_t> node_split;   // per node that existed when the plan was made
  std::vector<std::uint8_t> depth_split;  // per depth 0..D, for nodes created while unfolding
};

}  // namespace tesk
