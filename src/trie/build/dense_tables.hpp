#pragma once
// Every context count of a fit in dense tables, counted at one memory touch per position.
//
// The string of the L symbols that end at position i has the base-A number
// x[i-L+1] + x[i-L+2]·A + ... + x[i]·A^(L-1): its oldest symbol is the lowest digit. Every
// counted position has a full context of the storage depth D (the first conditioning_depth >= D
// symbols of a row only condition), so the table of the strings of D + 1 symbols (context and
// outcome) determines every shorter one: a string of length L is counted wherever one of its
// extensions by an older symbol is, and those are the A neighbouring numbers m·A + a of length
// L + 1. Counting touches only that deepest table, one cell per position, prefetched well ahead;
// the shorter tables are sums made in one sequential pass each.
//
// A cell keeps its first position beside its count, as an earliness (n - first position, 0 for
// an empty cell), so that the first of several cells is the largest.
//
// Read as a trie: the context c of length L is a node when some string c·s of length L + 1 was
// counted; those strings, numbers c + s·A^L, are its count entries. Its parent is c without its
// oldest symbol, c / A, and its symbol in the parent's child list that oldest symbol, c % A. Its
// children are the contexts c' with c' / A = c: numbers c·A to c·A + A - 1, next to each other.

#include <algorithm>
#include <bit>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <utility>
#include <vector>

#include "common/internal_failure.hpp"
#include "common/interruption.hpp"
#include "common/portability.hpp"
#include "common/page_memory.hpp"
#include "common/symbol_message.hpp"
#include "trie/packed_rows.hpp"

namespace tesk::detail {

// Division of numbers known to be multiples of the divisor: a shift and a multiplication by the
// inverse of the divisor's odd part modulo 2^64.
class ExactDivisor {
 public:
  explicit ExactDivisor(std::uint64_t divisor)
      : shift_(static_cast<unsigned>(std::countr_zero(divisor))), inverse_(divisor >> shift_) {
    const std::uint64_t odd = divisor >> shift_;
    for (int step = 0; step < 5; ++step) {  // each step doubles the correct low bits: 3 to 96
      inverse_ *= 2 - odd * inverse_;
    }
  }
  std::uint64_t divide(std::uint64_t multiple) const noexcept {
    return (multiple >> shift_) * inverse_;
  }

 private:
  unsigned shift_;
  std::uint64_t inverse_;
};

// A string's count and first position. Position is 32 bits wide while the positions fit.
template <class Position>
struct DenseCell {
  Position count;
  Position earliness;  // n - first position; 0 when the cell is empty
};

template <class Position>
class DenseTables {
 public:
  using Cell = DenseCell<Position>;

  // Tables for strings of 1 .. storage_depth + 1 symbols over `alphabet_size`, of which the
  // deepest has alphabet_size^(storage_depth + 1) cells; `positions` will be counted.
  DenseTables(std::uint64_t alphabet_size, std::uint32_t storage_depth, std::uint64_t positions)
      : alphabet_size_(alphabet_size),
        depth_(storage_depth),
        positions_(positions),
        power_(storage_depth + 2, 1),
        tables_(storage_depth + 2),
        divide_by_alphabet_(alphabet_size) {
    for (std::uint32_t length = 1; length <= storage_depth + 1; ++length) {
      power_[length] = power_[length - 1] * alphabet_size;
    }
    tables_[depth_ + 1] = ZeroedPages<Cell>(power_[depth_ + 1]);
  }

  std::uint64_t alphabet_size() const noexcept { return alphabet_size_; }
  std::uint32_t storage_depth() const noexcept { return depth_; }
  std::uint64_t sample_size() const noexcept { return positions_; }
  // A^length.
  std::uint64_t power(std::uint32_t length) const { return power_[length]; }

  // Counts every position from index `conditioning_depth` of each row into the deepest table,
  // then sums the shorter tables. Each chunk of a row is copied and checked before it is read:
  // rows read where they lie may change while a signal handler runs between chunks, and no
  // number outside the table may ever come of them. A symbol outside the alphabet ends the
  // count with its message.
  template <class Symbol>
  std::optional<std::string> count(std::span<const RowView<Symbol>> rows,
                                   std::uint64_t conditioning_depth) {
    std::vector<Symbol> window(kPollStride + depth_);
    std::vector<std::uint64_t> numbers(kPollStride);
    std::uint64_t counted = 0;
    for (std::size_t r = 0; r < rows.size(); ++r) {
      const RowView<Symbol>& row = rows[r];
      for (std::uint64_t i = conditioning_depth; i < row.size;) {
        const std::uint64_t stop = poll_chunk_up(i, row.size, kWorkPerPosition);
        const auto chunk = static_cast<std::size_t>(stop - i);
        const Symbol* first = row.data + (i - depth_);
        std::copy(first, first + chunk + depth_, window.begin());
        if (const std::optional<std::size_t> bad = first_outside(window, chunk + depth_)) {
          return symbol_outside_message(window[*bad],
                                        "data[" + std::to_string(r) + "][" +
                                            std::to_string(i - depth_ + *bad) + "]",
                                        alphabet_size_);
        }
        number_strings(window, chunk, numbers);
        touch(numbers, chunk, counted);
        counted += chunk;
        i = stop;
      }
    }
    ensure(counted == positions_, "counted positions differ from the rows' positions");
    for (std::uint32_t length = depth_; length >= 1; --length) {
      derive(length);
    }
    return std::nullopt;
  }

  // The cells of strings of `length` symbols (1 .. D + 1).
  const Cell* table(std::uint32_t length) const { return tables_[length].get(); }

  // The count entry of symbol s after context c of `length`: the cell of string c·s.
  const Cell& entry(std::uint32_t length, std::uint64_t context, std::uint64_t symbol) const {
    return table(length + 1)[context + symbol * power_[length]];
  }

  // The earliness of context c's first position (0 when it is no node).
  Position context_earliness(std::uint32_t length, std::uint64_t context) const {
    Position earliness = 0;
    for (std::uint64_t s = 0; s < alphabet_size_; ++s) {
      earliness = std::max(earliness, entry(length, context, s).earliness);
    }
    return earliness;
  }

  // Nodes (root included) and count entries of the full trie.
  std::pair<std::uint64_t, std::uint64_t> nodes_and_entries() const {
    std::uint64_t nodes = 1;
    std::uint64_t entries = 0;
    for (std::uint32_t length = 0; length <= depth_; ++length) {
      const Cell* cells = table(length + 1);
      const std::uint64_t contexts = power_[length];
      for (std::uint64_t c = 0; c < contexts;) {
        for (const std::uint64_t stop = poll_chunk_up(c, contexts, alphabet_size_); c < stop;
             ++c) {
          std::uint64_t seen = 0;
          for (std::uint64_t s = 0; s < alphabet_size_; ++s) {
            seen += cells[c + s * contexts].count != 0;
          }
          entries += seen;
          nodes += length > 0 && seen != 0;
        }
      }
    }
    return {nodes, entries};
  }

 private:
  // Tables beyond this size are prefetched ahead of their touches.
  static constexpr std::uint64_t kNearBytes = std::uint64_t{1} << 20;
  static constexpr std::size_t kLookahead = 32;
  // Work units of one counted position (a touch that may miss every cache).
  static constexpr std::uint64_t kWorkPerPosition = 4;

  template <class Symbol>
  std::optional<std::size_t> first_outside(const std::vector<Symbol>& window,
                                           std::size_t size) const {
    bool any = false;
    for (std::size_t k = 0; k < size; ++k) {
      any |= window[k] >= alphabet_size_;
    }
    if (!any) {
      return std::nullopt;
    }
    std::size_t k = 0;
    while (window[k] < alphabet_size_) {
      ++k;
    }
    return k;
  }

  // numbers[j]: the string of D + 1 symbols ending at window[D + j]. Each follows from the one
  // before: take away its oldest symbol, divide by A, add the newest as the highest digit.
  template <class Symbol>
  void number_strings(const std::vector<Symbol>& window, std::size_t chunk,
                      std::vector<std::uint64_t>& numbers) const {
    const std::uint64_t top = power_[depth_];
    std::uint64_t number = 0;
    for (std::uint32_t k = depth_ + 1; k-- > 0;) {
      number = number * alphabet_size_ + window[k];
    }
    numbers[0] = number;
    for (std::size_t j = 1; j < chunk; ++j) {
      number = divide_by_alphabet_.divide(number - window[j - 1]) + window[depth_ + j] * top;
      numbers[j] = number;
    }
  }

  void touch(const std::vector<std::uint64_t>& numbers, std::size_t chunk, std::uint64_t counted) {
    Cell* cells = tables_[depth_ + 1].get();
    const bool far = power_[depth_ + 1] * sizeof(Cell) > kNearBytes;
    // The earliness of this chunk's first position.
    const auto earliest = static_cast<Position>(positions_ - counted);
    if (far) {
      for (std::size_t j = 0; j < std::min(chunk, kLookahead); ++j) {
        prefetch_for_write(cells + numbers[j]);
      }
    }
    for (std::size_t j = 0; j < chunk; ++j) {
      if (far && j + kLookahead < chunk) {
        prefetch_for_write(cells + numbers[j + kLookahead]);
      }
      Cell& cell = cells[numbers[j]];
      if (cell.count++ == 0) {
        cell.earliness = static_cast<Position>(earliest - j);
      }
    }
  }

  // The table of strings of `length` symbols from the one a symbol longer: string m is counted
  // wherever one of m·A .. m·A + A - 1 is.
  void derive(std::uint32_t length) {
    const std::uint64_t size = power_[length];
    tables_[length] = ZeroedPages<Cell>(size);
    Cell* out = tables_[length].get();
    const Cell* in = table(length + 1);
    for (std::uint64_t m = 0; m < size;) {
      for (const std::uint64_t stop = poll_chunk_up(m, size, alphabet_size_); m < stop; ++m) {
        Cell sum{0, 0};
        for (std::uint64_t a = 0; a < alphabet_size_; ++a) {
          const Cell& longer = in[m * alphabet_size_ + a];
          sum.count += longer.count;
          sum.earliness = std::max(sum.earliness, longer.earliness);
        }
        out[m] = sum;
      }
    }
  }

  std::uint64_t alphabet_size_;
  std::uint32_t depth_;
  std::uint64_t positions_;
  std::vector<std::uint64_t> power_;        // A^length
  std::vector<ZeroedPages<Cell>> tables_;   // by length, 1 .. D + 1
  ExactDivisor divide_by_alphabet_;
};

}  // namespace tesk::detail
