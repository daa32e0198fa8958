#pragma once
// The rows a fit counts, packed: each symbol in 1, 2 or 4 bytes, the narrowest width that holds
// every symbol below the alphabet size. A 10-million-symbol row over a small alphabet takes
// 10 MB instead of 80.

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "common/symbols.hpp"

namespace tesk {

// One row's symbols, oldest first, all below the alphabet size.
template <class Symbol>
struct RowView {
  using symbol_type = Symbol;
  const Symbol* data;
  std::uint64_t size;
};

// The first symbol outside 0..alphabet_size - 1, by row and then position.
struct BadSymbol {
  std::uint64_t value;
  std::size_t row;
  std::size_t position;
};

class PackedRows {
 public:
  // Packs the rows up to the first one holding a bad symbol, which is recorded; no row from that
  // one on is ever counted. Each row is freed once packed, so the rows and their packed copy are
  // never both whole in memory. Requires 1 <= alphabet_size < 2^32.
  static PackedRows pack(SymbolRows&& rows, std::uint64_t alphabet_size);

  std::uint64_t alphabet_size() const noexcept { return alphabet_size_; }
  const std::optional<BadSymbol>& first_bad() const noexcept { return first_bad_; }

  // Calls visit with the packed rows as a std::vector<RowView<Symbol>> of their width.
  template <class Visit>
  decltype(auto) visit(Visit&& visit) const {
    if (width_ == 1) {
      return visit(views(narrow8_));
    }
    if (width_ == 2) {
      return visit(views(narrow16_));
    }
    return visit(views(narrow32_));
  }

 private:
  PackedRows(std::uint64_t alphabet_size, unsigned width)
      : alphabet_size_(alphabet_size), width_(width) {}

  template <class Symbol>
  void append(SymbolSequence& row, std::vector<Symbol>& symbols, std::size_t row_index);

  template <class Symbol>
  std::vector<RowView<Symbol>> views(const std::vector<Symbol>& symbols) const {
    std::vector<RowView<Symbol>> out;
    out.reserve(row_ends_.size());
    std::uint64_t start = 0;
    for (const std::uint64_t end : row_ends_) {
      out.push_back(RowView<Symbol>{symbols.data() + start, end - start});
      start = end;
    }
    return out;
  }

  std::uint64_t alphabet_size_;
  unsigned width_;
  std::vector<std::uint8_t> narrow8_;
  std::vector<std::uint16_t> narrow16_;
  std::vector<std::uint32_t> narrow32_;
  std::vector<std::uint64_t> row_ends_;  // one past each packed row's last symbol
  std::optional<BadSymbol> first_bad_;
};

}  // namespace tesk
