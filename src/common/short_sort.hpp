#pragma once
// Sorting lists that are mostly a handful of elements long (a node's counts or tallies).

#include <algorithm>
#include <iterator>

namespace tesk {

// Insertion sort up to this many elements, where it beats std::sort; std::sort beyond.
inline constexpr std::ptrdiff_t kShortSortLength = 16;

template <class Iterator, class Less>
void sort_short(Iterator first, Iterator last, Less less) {
  if (last - first > kShortSortLength) {
    std::sort(first, last, less);
    return;
  }
  for (Iterator i = first; i != last; ++i) {
    auto moving = *i;
    Iterator j = i;
    for (; j != first && less(moving, *std::prev(j)); --j) {
      *j = *std::prev(j);
    }
    *j = moving;
  }
}

}  // namespace tesk
