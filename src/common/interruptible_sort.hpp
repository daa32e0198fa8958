#pragma once
// std::sort for arrays that may be long enough to keep a fit from noticing an interruption: runs
// of a few thousand elements are sorted one after the other, then merged pairwise, with a poll
// between any two steps.

#include <algorithm>
#include <cstddef>
#include <iterator>

#include "common/interruption.hpp"

namespace tesk {

template <class Iterator, class Less>
void interruptible_sort(Iterator first, Iterator last, Less less) {
  constexpr std::ptrdiff_t kRun = std::ptrdiff_t{1} << 14;
  const std::ptrdiff_t size = last - first;
  if (size <= kRun) {
    std::sort(first, last, less);
    return;
  }
  for (std::ptrdiff_t begin = 0; begin < size; begin += kRun) {
    poll_interruption(static_cast<std::uint64_t>(kRun) * 16);
    std::sort(first + begin, first + std::min(begin + kRun, size), less);
  }
  for (std::ptrdiff_t width = kRun; width < size; width *= 2) {
    for (std::ptrdiff_t begin = 0; begin + width < size; begin += 2 * width) {
      poll_interruption(static_cast<std::uint64_t>(width) * 2);
      std::inplace_merge(first + begin, first + begin + width,
                         first + std::min(begin + 2 * width, size), less);
    }
  }
}

}  // namespace tesk
