#pragma once
// The one wording of a symbol at or above the alphabet size, for query arguments and fit rows.

#include <cstdint>
#include <string>
#include <string_view>

namespace tesk {

// "symbol {symbol} at {place} is outside 0..{alphabet_size}", where `place` names the position,
// such as "sequence[3]" or "data[0][5]".
std::string symbol_outside_message(std::uint64_t symbol, std::string_view place,
                                   std::uint64_t alphabet_size);

}  // namespace tesk
