#include "common/symbol_message.hpp"

namespace tesk {

std::string symbol_outside_message(std::uint64_t symbol, std::string_view place,
                                   std::uint64_t alphabet_size) {
  std::string message = "symbol " + std::to_string(symbol) + " at ";
  message += place;
  message += " is outside 0.." + std::to_string(alphabet_size);
  return message;
}

}  // namespace tesk
