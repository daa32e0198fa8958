// Induced sorting. Each suffix is S-type when it is smaller than the suffix one to its right and
// L-type when larger (the empty suffix at the end is smaller than all). An S-suffix whose left
// neighbour is L is leftmost-S (LMS). Placing the LMS suffixes at the ends of their first
// symbol's buckets in the right order, one left-to-right pass puts every L-suffix in place and
// one right-to-left pass every S-suffix. The right order of the LMS suffixes comes from the same
// two passes run on the LMS substrings, which names them; equal names leave a text of half the
// length or less to sort the same way.

#include "trie/build/suffix_array.hpp"

#include <algorithm>
#include <vector>

#include "common/internal_failure.hpp"
#include "common/interruption.hpp"

namespace tesk {

namespace {

using Index = std::int32_t;
inline constexpr Index kEmpty = -1;

class SuffixTypes {
 public:
  template <class Symbol>
  SuffixTypes(const Symbol* text, Index n) : bits_((static_cast<std::size_t>(n) + 63) / 64, 0) {
    // The last suffix is larger than the empty one after it: L.
    bool right_is_s = false;
    for (Index i = n - 1; i-- > 0;) {
      const bool s = text[i] < text[i + 1] || (text[i] == text[i + 1] && right_is_s);
      if (s) {
        bits_[static_cast<std::size_t>(i) >> 6] |= std::uint64_t{1} << (i & 63);
      }
      right_is_s = s;
    }
  }

  bool s(Index i) const noexcept {
    return ((bits_[static_cast<std::size_t>(i) >> 6] >> (i & 63)) & 1) != 0;
  }
  bool lms(Index i) const noexcept { return i > 0 && s(i) && !s(i - 1); }

 private:
  std::vector<std::uint64_t> bits_;
};

template <class Symbol>
class Buckets {
 public:
  Buckets(const Symbol* text, Index n, std::uint32_t alphabet_size)
      : sizes_(alphabet_size, 0), cursor_(alphabet_size, 0) {
    for (Index i = 0; i < n; ++i) {
      ++sizes_[text[i]];
    }
  }

  Index* heads() {
    Index sum = 0;
    for (std::size_t c = 0; c < sizes_.size(); ++c) {
      cursor_[c] = sum;
      sum += sizes_[c];
    }
    return cursor_.data();
  }
  Index* tails() {
    Index sum = 0;
    for (std::size_t c = 0; c < sizes_.size(); ++c) {
      sum += sizes_[c];
      cursor_[c] = sum;
    }
    return cursor_.data();
  }

 private:
  std::vector<Index> sizes_;
  std::vector<Index> cursor_;
};

// From the LMS suffixes already at their buckets' ends: every L-suffix left to right (the empty
// suffix, smallest of all, comes first and puts the last suffix at the head of its bucket), then
// every S-suffix right to left.
template <class Symbol>
void induce(const Symbol* text, Index* sa, Index n, const SuffixTypes& types,
            Buckets<Symbol>& buckets) {
  Index* head = buckets.heads();
  sa[head[text[n - 1]]++] = n - 1;
  for (Index k = 0; k < n;) {
    for (const auto stop = static_cast<Index>(poll_chunk_up(k, n, 1)); k < stop; ++k) {
      const Index j = sa[k] - 1;
      if (j >= 0 && !types.s(j)) {
        sa[head[text[j]]++] = j;
      }
    }
  }
  Index* tail = buckets.tails();
  for (Index k = n; k > 0;) {
    for (const auto stop = static_cast<Index>(poll_chunk_down(k, 0, 1)); k > stop;) {
      --k;
      const Index j = sa[k] - 1;
      if (j >= 0 && types.s(j)) {
        sa[--tail[text[j]]] = j;
      }
    }
  }
}

// Whether the LMS substrings at a and b (each running to the next LMS position, inclusive) are
// equal; one that reaches the end of the text equals no other.
template <class Symbol>
bool same_lms_substring(const Symbol* text, Index n, const SuffixTypes& types, Index a, Index b) {
  for (Index d = 0;; ++d) {
    if (a + d == n || b + d == n || text[a + d] != text[b + d] ||
        types.s(a + d) != types.s(b + d)) {
      return false;
    }
    if (d > 0 && types.lms(a + d)) {  // the types agree so far, so b + d is LMS as well
      return true;
    }
  }
}

template <class Symbol>
void sort_suffixes(const Symbol* text, Index* sa, Index n, std::uint32_t alphabet_size) {
  if (n == 1) {
    sa[0] = 0;
    return;
  }
  const SuffixTypes types(text, n);
  Buckets<Symbol> buckets(text, n, alphabet_size);

  // Sort the LMS substrings: the LMS positions in any order at their buckets' ends, then induce.
  std::fill(sa, sa + n, kEmpty);
  Index* tail = buckets.tails();
  for (Index i = n - 1; i > 0; --i) {
    if (types.lms(i)) {
      sa[--tail[text[i]]] = i;
    }
  }
  induce(text, sa, n, types, buckets);

  // Name them in sorted order, equal substrings alike. LMS positions are at least two apart, so
  // position / 2 gives each its own slot behind the n1 sorted ones.
  Index n1 = 0;
  for (Index k = 0; k < n; ++k) {
    if (types.lms(sa[k])) {
      sa[n1++] = sa[k];
    }
  }
  std::fill(sa + n1, sa + n, kEmpty);
  Index names = 0;
  Index previous = kEmpty;
  for (Index k = 0; k < n1;) {
    for (const auto stop = static_cast<Index>(poll_chunk_up(k, n1, 4)); k < stop; ++k) {
      const Index position = sa[k];
      if (previous == kEmpty || !same_lms_substring(text, n, types, previous, position)) {
        ++names;
        previous = position;
      }
      sa[n1 + position / 2] = names - 1;
    }
  }
  // The names in text order make the reduced text, at the end of sa.
  Index* reduced = sa + n - n1;
  for (Index k = n, j = n; k-- > n1;) {
    if (sa[k] != kEmpty) {
      sa[--j] = sa[k];
    }
  }

  // The order of the LMS suffixes: that of the reduced text's suffixes.
  if (names < n1) {
    sort_suffixes<Index>(reduced, sa, n1, static_cast<std::uint32_t>(names));
  } else {
    for (Index k = 0; k < n1; ++k) {
      sa[reduced[k]] = k;
    }
  }
  for (Index i = 1, j = 0; i < n; ++i) {
    if (types.lms(i)) {
      reduced[j++] = i;
    }
  }
  for (Index k = 0; k < n1; ++k) {
    sa[k] = reduced[sa[k]];
  }

  // The LMS suffixes, in order, at their buckets' ends (the last first, so none is overwritten
  // before it moves), and every other suffix induced from them.
  std::fill(sa + n1, sa + n, kEmpty);
  tail = buckets.tails();
  for (Index k = n1; k-- > 0;) {
    const Index position = sa[k];
    sa[k] = kEmpty;
    sa[--tail[text[position]]] = position;
  }
  induce(text, sa, n, types, buckets);
}

}  // namespace

template <class Symbol>
void suffix_array(std::span<const Symbol> text, std::uint32_t alphabet_size,
                  std::span<std::int32_t> suffixes) {
  ensure(text.size() == suffixes.size() && text.size() <= kMaxSuffixArrayText,
         "suffix array of the wrong size");
  if (text.empty()) {
    return;
  }
  sort_suffixes<Symbol>(text.data(), suffixes.data(), static_cast<Index>(text.size()),
                        alphabet_size);
}

template void suffix_array(std::span<const std::uint8_t>, std::uint32_t, std::span<std::int32_t>);
template void suffix_array(std::span<const std::uint16_t>, std::uint32_t, std::span<std::int32_t>);
template void suffix_array(std::span<const std::uint32_t>, std::uint32_t, std::span<std::int32_t>);

}  // namespace tesk
