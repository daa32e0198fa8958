#pragma once
// The suffix array of a text: the start of every suffix, in lexicographic order of the suffixes
// (a suffix that is a prefix of another sorts first). Built by induced sorting in time and extra
// memory linear in the text, whatever the text repeats: the deep-context build sorts every
// position's context with it.

#include <cstdint>
#include <span>

namespace tesk {

// The largest text suffix_array accepts (indices are signed 32-bit while sorting).
inline constexpr std::uint64_t kMaxSuffixArrayText = 0x7FFFFFFEULL;

// Fills `suffixes` (as long as `text`) with the suffix array of `text`, whose symbols are all
// below `alphabet_size`. Requires text.size() <= kMaxSuffixArrayText.
template <class Symbol>
void suffix_array(std::span<const Symbol> text, std::uint32_t alphabet_size,
                  std::span<std::int32_t> suffixes);

}  // namespace tesk
