#pragma once
// Names as users type them (the constructor's method and boundary): folded for comparison, and
// quoted for the messages that refuse them.

#include <string>
#include <string_view>

namespace tesk {

// Strips Unicode White_Space at both ends and lower-cases ASCII letters only.
std::string normalize_name(std::string_view utf8);

// The text as a double-quoted literal with escapes, as the unknown-name messages show it.
std::string quote_for_message(std::string_view utf8);

}  // namespace tesk
