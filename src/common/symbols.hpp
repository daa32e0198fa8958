#pragma once
// Symbols as they cross the boundary: unsigned 64-bit values in time order, oldest first.

#include <cstdint>
#include <vector>

namespace tesk {

using SymbolSequence = std::vector<std::uint64_t>;
using SymbolRows = std::vector<SymbolSequence>;

}  // namespace tesk
