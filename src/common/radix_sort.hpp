#pragma once
// A stable least-significant-digit radix sort on unsigned keys of a known width: one pass to
// count every digit, then one scatter per eight bits of key, into a buffer as large as the
// input. Sorting n keys costs a few sequential passes instead of n log n comparisons.

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <utility>
#include <vector>

#include "common/interruption.hpp"
#include "common/page_memory.hpp"

namespace tesk {

// Sorts `items` by key(item), whose value is below 2^key_bits; equal keys keep their order.
template <class T, class Key>
void radix_sort(PageVector<T>& items, unsigned key_bits, Key key) {
  constexpr unsigned kDigitBits = 8;
  constexpr std::size_t kDigits = std::size_t{1} << kDigitBits;
  const std::size_t size = items.size();
  const unsigned passes = (key_bits + kDigitBits - 1) / kDigitBits;
  if (size < 2 || passes == 0) {
    return;
  }
  std::vector<std::array<std::size_t, kDigits>> starts(passes);
  for (std::size_t i = 0; i < size;) {
    for (const std::size_t stop = poll_chunk_up(i, size, passes); i < stop; ++i) {
      const std::uint64_t k = key(items[i]);
      for (unsigned pass = 0; pass < passes; ++pass) {
        ++starts[pass][(k >> (pass * kDigitBits)) & (kDigits - 1)];
      }
    }
  }
  PageVector<T> buffer(size);
  for (unsigned pass = 0; pass < passes; ++pass) {
    std::array<std::size_t, kDigits>& start = starts[pass];
    if (std::find(start.begin(), start.end(), size) != start.end()) {
      continue;  // every key has the same digit here: the order stands
    }
    std::size_t sum = 0;
    for (std::size_t& digit_start : start) {
      sum += std::exchange(digit_start, sum);
    }
    const unsigned shift = pass * kDigitBits;
    for (std::size_t i = 0; i < size;) {
      for (const std::size_t stop = poll_chunk_up(i, size, 2); i < stop; ++i) {
        buffer[start[(key(items[i]) >> shift) & (kDigits - 1)]++] = items[i];
      }
    }
    items.swap(buffer);
  }
}

}  // namespace tesk
