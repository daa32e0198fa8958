#pragma once
// The largest alphabet and the deepest context a model may have: what lets the trie hold a
// symbol in 32 bits and a depth in 16.

#include <cstdint>

namespace tesk {

inline constexpr std::uint64_t kMaxAlphabetSize = 4294967295ULL;
inline constexpr std::uint16_t kMaxDepth = 65535;

}  // namespace tesk
