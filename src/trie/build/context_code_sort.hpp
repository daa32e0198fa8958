#pragma once
// Sorting contexts by their leading codes inside one bucket: the buckets are small enough for
// the cache, so a radix sort on the codes' low bits runs at the cache's speed, not memory's.

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <span>
#include <vector>

#include "common/interruption.hpp"

namespace tesk {

// A context (its text index) with the rest of its code, the bits below its bucket's number:
// 32 bits where they hold it (8 bytes a context), else 64; the index is 64 bits wide only for
// texts past 32-bit indices.
template <class Rest, class Index = std::int32_t>
struct CodedContext {
  Rest rest;
  Index context;

  static CodedContext of(Rest code_rest, std::uint64_t text_index) {
    return CodedContext{code_rest, static_cast<Index>(text_index)};
  }
};

// For sorts that want only the codes in order (the shared lengths of neighbours), not which
// context has which: half the bytes or less.
struct NoContext {};

template <class Rest>
struct CodedContext<Rest, NoContext> {
  Rest rest;
  static constexpr NoContext context{};

  static CodedContext of(Rest code_rest, std::uint64_t /*text_index*/) {
    return CodedContext{code_rest};
  }
};

namespace detail {

// Sorts `items` on the low `key_bits` of their rests by radix, counting each digit's items in
// Count, which holds items.size().
template <class Count, class Rest, class Index>
void sort_by_digits(std::span<CodedContext<Rest, Index>> items, unsigned key_bits,
                    std::vector<CodedContext<Rest, Index>>& buffer) {
  constexpr unsigned kDigitBits = 8;
  constexpr std::size_t kDigits = std::size_t{1} << kDigitBits;
  // Below this many items a comparison sort beats counting digits.
  constexpr std::size_t kFewItems = 48;
  const auto less = [](const CodedContext<Rest, Index>& a, const CodedContext<Rest, Index>& b) {
    return a.rest < b.rest;
  };
  if (items.size() < kFewItems || key_bits == 0) {
    if (key_bits != 0) {
      std::sort(items.begin(), items.end(), less);
    }
    return;
  }
  const unsigned passes = (key_bits + kDigitBits - 1) / kDigitBits;
  std::array<std::array<Count, kDigits>, 8 * sizeof(Rest) / kDigitBits> starts{};
  // A bucket of many equal codes can hold most contexts: poll as a long loop would.
  for (std::size_t i = 0; i < items.size();) {
    for (const std::size_t stop = poll_chunk_up(i, items.size(), passes); i < stop; ++i) {
      for (unsigned pass = 0; pass < passes; ++pass) {
        ++starts[pass][(items[i].rest >> (pass * kDigitBits)) & (kDigits - 1)];
      }
    }
  }
  buffer.resize(std::max(buffer.size(), items.size()));
  CodedContext<Rest, Index>* from = items.data();
  CodedContext<Rest, Index>* to = buffer.data();
  for (unsigned pass = 0; pass < passes; ++pass) {
    std::array<Count, kDigits>& start = starts[pass];
    if (std::find(start.begin(), start.end(), items.size()) != start.end()) {
      continue;  // one digit for all: the order stands
    }
    Count sum = 0;
    for (Count& digit_start : start) {
      const Count count = digit_start;
      digit_start = sum;
      sum += count;
    }
    const unsigned shift = pass * kDigitBits;
    for (std::size_t i = 0; i < items.size();) {
      for (const std::size_t stop = poll_chunk_up(i, items.size(), 2); i < stop; ++i) {
        to[start[(from[i].rest >> shift) & (kDigits - 1)]++] = from[i];
      }
    }
    std::swap(from, to);
  }
  if (from != items.data()) {
    std::copy(from, from + items.size(), items.data());
  }
}

}  // namespace detail

// Sorts `items` on the low `key_bits` of their rests (ties in any order); `buffer` is scratch.
// Digits are counted in 32 bits unless a bucket holds more items than that (past 2^32 contexts).
template <class Rest, class Index>
void sort_on_low_bits(std::span<CodedContext<Rest, Index>> items, unsigned key_bits,
                      std::vector<CodedContext<Rest, Index>>& buffer) {
  if (items.size() > std::numeric_limits<std::uint32_t>::max()) {
    detail::sort_by_digits<std::uint64_t>(items, key_bits, buffer);
  } else {
    detail::sort_by_digits<std::uint32_t>(items, key_bits, buffer);
  }
}

}  // namespace tesk
