#pragma once
// The state one successful fit leaves on a model, replaced only as a whole.

#include <cstdint>
#include <vector>

#include "trie/count_trie.hpp"

namespace tesk {

struct FittedModel {
  CountTrie trie;                      // exactly the nodes of the selected tree
  std::vector<std::uint8_t> terminal;  // 1 for a terminal context
};

}  // namespace tesk
