#include "trie/build/node_count_bound.hpp"

#include <algorithm>
#include <array>
#include <bit>
#include <span>
#include <type_traits>

#include "common/interruption.hpp"
#include "common/page_memory.hpp"
#include "common/portability.hpp"

namespace tesk {

namespace {

// Past this many bits a table with one bit per possible context would outgrow the cache; the
// contexts are then hashed into a table of a few bits per position.
constexpr std::uint64_t kMostExactBits = std::uint64_t{1} << 22;
// Table bits per position when hashing: enough that collisions lose about a fifth of the
// distinct contexts, which the bound can spare.
constexpr std::uint64_t kHashBitsPerPosition = 2;
// The counted length is the shortest at which contexts outnumber positions this many times:
// most contexts of high-entropy data are then distinct, while data that repeat still repeat.
constexpr std::uint64_t kContextsPerPosition = 16;
// Positions whose table words are fetched together: enough for the misses to overlap, few
// enough that the words stay in the first-level cache until they are set.
constexpr std::uint64_t kBatch = 256;

std::uint64_t saturating_product(std::uint64_t a, std::uint64_t b) {
  constexpr std::uint64_t kSaturated = ~std::uint64_t{0};
  return b != 0 && a > kSaturated / b ? kSaturated : a * b;
}

// A set of context codes that may merge distinct codes but never splits equal ones, so its
// size bounds the distinct codes from below.
class ContextSet {
 public:
  ContextSet(std::uint64_t possible_codes, std::uint64_t positions)
      : exact_(possible_codes <= kMostExactBits) {
    const std::uint64_t wanted =
        exact_ ? possible_codes : saturating_product(positions, kHashBitsPerPosition);
    const std::uint64_t bits = std::bit_ceil(std::max<std::uint64_t>(wanted, 64));
    shift_ = 64 - static_cast<unsigned>(std::countr_zero(bits));
    words_ = ZeroedPages<std::uint64_t>(bits / 64);
  }

  std::uint64_t slot(std::uint64_t code) const {
    // Fibonacci hashing: the top bits of the product mix every bit of the code.
    return exact_ ? code : (code * 0x9E3779B97F4A7C15ULL) >> shift_;
  }
  TESK_ALWAYS_INLINE void prefetch(std::uint64_t slot) const {
    prefetch_for_write(&words_[slot >> 6]);
  }
  void insert(std::uint64_t slot) {
    std::uint64_t& word = words_[slot >> 6];
    const std::uint64_t bit = std::uint64_t{1} << (slot & 63);
    size_ += (word & bit) == 0;
    word |= bit;
  }
  std::uint64_t size() const { return size_; }

 private:
  bool exact_;
  unsigned shift_;
  std::uint64_t size_ = 0;
  ZeroedPages<std::uint64_t> words_;
};

struct CountedLength {
  std::uint64_t length;
  std::uint64_t possible_codes;  // alphabet_size^length, saturated
};

CountedLength counted_length(std::uint64_t alphabet_size, std::uint64_t positions,
                             std::uint64_t storage_depth) {
  const std::uint64_t wanted = saturating_product(positions, kContextsPerPosition);
  CountedLength counted{1, alphabet_size};
  while (counted.possible_codes < wanted && counted.length < storage_depth) {
    counted.possible_codes = saturating_product(counted.possible_codes, alphabet_size);
    ++counted.length;
  }
  return counted;
}

enum class ContextsRead : std::uint8_t {
  all,      // every counted position's context is in the set
  enough,   // the set reached the size asked for before the end
  spoiled,  // a symbol outside the alphabet (a row read in place changed under us)
};

// Inserts the context of `length` symbols of every counted position, stopping early once the
// set holds `enough`: the distinct contexts of some positions bound those of all from below.
template <class Symbol>
ContextsRead insert_contexts(std::span<const RowView<Symbol>> rows, std::uint64_t alphabet_size,
                             std::uint64_t conditioning_depth, CountedLength counted,
                             std::uint64_t enough, ContextSet& set) {
  // Codes are the contexts' digits in base alphabet_size when that fits 64 bits, and otherwise
  // a polynomial hash of them (any odd base keeps every symbol in play).
  const bool digits = counted.possible_codes != ~std::uint64_t{0};
  const std::uint64_t base = digits ? alphabet_size : 0xFF51AFD7ED558CCDULL;
  std::uint64_t oldest_weight = 1;  // base^(length - 1)
  for (std::uint64_t k = 1; k < counted.length; ++k) {
    oldest_weight *= base;
  }
  for (const RowView<Symbol>& row : rows) {
    if (row.size <= conditioning_depth) {
      continue;
    }
    std::uint64_t code = 0;
    std::uint64_t bad = 0;  // nonzero once a symbol is outside the alphabet
    for (std::uint64_t p = conditioning_depth - counted.length; p < conditioning_depth; ++p) {
      bad |= row.data[p] >= alphabet_size;
      code = code * base + row.data[p];
    }
    // The slots of a batch of positions are fetched before any is set: their cache misses
    // overlap instead of coming one after another.
    std::array<std::uint64_t, kBatch> slots;
    for (std::uint64_t h = conditioning_depth; h < row.size;) {
      const std::uint64_t begin = h;
      const std::uint64_t stop = std::min(row.size, h + kBatch);
      poll_interruption(stop - h);
      for (; h < stop; ++h) {
        const std::uint64_t slot = set.slot(code);
        set.prefetch(slot);
        slots[h - begin] = slot;
        const std::uint64_t newest = row.data[h];
        bad |= newest >= alphabet_size;
        code = (code - row.data[h - counted.length] * oldest_weight) * base + newest;
      }
      // A symbol outside the alphabet spoils the codes after it (its own position's included).
      if (bad != 0) {
        return ContextsRead::spoiled;
      }
      for (std::uint64_t k = 0; k < h - begin; ++k) {
        set.insert(slots[k]);
      }
      if (set.size() >= enough) {
        return ContextsRead::enough;
      }
    }
  }
  return ContextsRead::all;
}

// The fewest nodes a full trie of `depth` can have when `distinct` contexts of `length` symbols
// occur, each followed by a full context down to `depth`: every one of them extends to a
// distinct node at each depth from `length` on, and a shallower context has at most
// alphabet_size^(length - k) of them below it.
std::uint64_t fewest_nodes(std::uint64_t distinct, std::uint64_t length, std::uint64_t depth,
                           std::uint64_t alphabet_size) {
  std::uint64_t nodes = 1 + (depth - length + 1) * distinct;
  std::uint64_t below = 1;  // alphabet_size^(length - k), saturated
  for (std::uint64_t k = length - 1; k >= 1; --k) {
    below = saturating_product(below, alphabet_size);
    nodes += std::max<std::uint64_t>(1, (distinct + below - 1) / below);
  }
  return nodes;
}

// The most nodes a full trie of `depth` can have: at each depth no more than there are
// strings of that length, nor than positions.
std::uint64_t most_nodes(std::uint64_t positions, std::uint64_t depth,
                         std::uint64_t alphabet_size) {
  std::uint64_t nodes = 1;
  std::uint64_t strings = 1;
  for (std::uint64_t k = 1; k <= depth && nodes <= ~std::uint64_t{0} - positions; ++k) {
    strings = saturating_product(strings, alphabet_size);
    nodes += std::min(strings, positions);
  }
  return nodes;
}

}  // namespace

NodeCountBound bound_node_count(const PackedRows& rows, std::uint64_t conditioning_depth,
                                std::uint64_t storage_depth, std::uint64_t max_nodes) {
  const std::uint64_t positions = rows.kept_positions(conditioning_depth);
  // Each position adds at most storage_depth nodes.
  if (storage_depth == 0 || positions == 0 ||
      positions <= (max_nodes - 1) / storage_depth) {
    return NodeCountBound::undecided;
  }
  const std::uint64_t alphabet_size = rows.alphabet_size();
  const CountedLength counted = counted_length(alphabet_size, positions, storage_depth);
  // Shallow contexts over small alphabets cannot reach the limit; nor can the bound when every
  // position had a context of its own: either way the pass would decide nothing.
  if (most_nodes(positions, storage_depth, alphabet_size) <= max_nodes ||
      fewest_nodes(std::min(positions, counted.possible_codes), counted.length, storage_depth,
                   alphabet_size) <= max_nodes) {
    return NodeCountBound::undecided;
  }
  // The fewest distinct contexts that prove the trie too large (the bound grows with them).
  std::uint64_t too_few = 0;
  std::uint64_t enough = std::min(positions, counted.possible_codes);
  while (enough - too_few > 1) {
    const std::uint64_t middle = too_few + (enough - too_few) / 2;
    if (fewest_nodes(middle, counted.length, storage_depth, alphabet_size) > max_nodes) {
      enough = middle;
    } else {
      too_few = middle;
    }
  }
  ContextSet set(counted.possible_codes, positions);
  const ContextsRead read = rows.visit([&](const auto& views) {
    using Symbol = typename std::decay_t<decltype(views)>::value_type::symbol_type;
    return insert_contexts<Symbol>(std::span<const RowView<Symbol>>(views), alphabet_size,
                                   conditioning_depth, counted, enough, set);
  });
  return read != ContextsRead::spoiled && set.size() >= enough ? NodeCountBound::over_limit
                                                               : NodeCountBound::undecided;
}

}  // namespace tesk
