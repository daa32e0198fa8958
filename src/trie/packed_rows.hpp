#pragma once
// The rows a fit counts, packed: each symbol in 1, 2 or 4 bytes, the narrowest width that holds
// every symbol below the alphabet size. A 10-million-symbol row over a small alphabet takes
// 10 MB instead of 80, and a row whose caller already holds it in that width (a uint8 array of
// DNA, say) is read where it lies, with no copy at all.

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <type_traits>
#include <utility>
#include <variant>
#include <vector>

#include "common/page_memory.hpp"

namespace tesk {

// The positions counted in rows of these lengths: every symbol after the first
// conditioning_depth of its row. The sum saturates at 2^64 - 1.
template <class Lengths>
std::uint64_t counted_positions(const Lengths& lengths, std::uint64_t conditioning_depth) {
  constexpr std::uint64_t kSaturated = ~std::uint64_t{0};
  std::uint64_t positions = 0;
  for (const std::uint64_t length : lengths) {
    const std::uint64_t counted = length > conditioning_depth ? length - conditioning_depth : 0;
    positions = counted > kSaturated - positions ? kSaturated : positions + counted;
  }
  return positions;
}

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

class RowPacker;

// Each observed symbol's rank among the observed symbols (ascending): a table for symbols of up to
// two bytes, a binary search for wider ones. Only observed symbols have a rank.
template <class Symbol>
class SymbolRanks {
 public:
  explicit SymbolRanks(std::span<const std::uint32_t> observed) : observed_(observed) {
    if constexpr (sizeof(Symbol) <= 2) {
      table_.assign(std::size_t{1} << (8 * sizeof(Symbol)), 0);
      for (std::size_t r = 0; r < observed.size(); ++r) {
        table_[observed[r]] = static_cast<std::uint32_t>(r);
      }
    }
  }

  std::uint32_t operator()(Symbol symbol) const {
    if constexpr (sizeof(Symbol) <= 2) {
      return table_[symbol];
    } else {
      return static_cast<std::uint32_t>(
          std::lower_bound(observed_.begin(), observed_.end(), symbol) - observed_.begin());
    }
  }

 private:
  std::span<const std::uint32_t> observed_;
  std::vector<std::uint32_t> table_;
};

class PackedRows {
  // The symbols of every kept row, one after the other, in the narrowest of 1, 2 or 4 bytes
  // that holds every symbol below the alphabet size.
  using Symbols =
      std::variant<PageVector<std::uint8_t>, PageVector<std::uint16_t>, PageVector<std::uint32_t>>;

  // Calls f with the symbol vector of the rows' width.
  template <class F>
  decltype(auto) with_symbols(F&& f) {
    return std::visit(std::forward<F>(f), symbols_);
  }
  template <class F>
  decltype(auto) with_symbols(F&& f) const {
    return std::visit(std::forward<F>(f), symbols_);
  }

 public:
  std::uint64_t alphabet_size() const noexcept { return alphabet_size_; }
  // Bytes per packed symbol: 1, 2 or 4, as the alphabet size requires.
  std::size_t symbol_bytes() const noexcept {
    return with_symbols([](const auto& symbols) { return sizeof(symbols[0]); });
  }
  // The first bad symbol. Rows from its row on are not kept: they are never counted.
  const std::optional<BadSymbol>& first_bad() const noexcept { return first_bad_; }
  // The length of every row given, kept or not.
  const std::vector<std::uint64_t>& row_sizes() const noexcept { return row_sizes_; }
  // The positions counted in the kept rows.
  std::uint64_t kept_positions(std::uint64_t conditioning_depth) const {
    return counted_positions(std::span<const std::uint64_t>(row_sizes_).first(places_.size()),
                             conditioning_depth);
  }

  // The symbols that occur in the kept rows, ascending.
  std::vector<std::uint32_t> observed_symbols() const;
  // Replaces every symbol by its rank among `observed` (the observed symbols, ascending), and
  // the alphabet size by their number. Rows read in place are copied first.
  void relabel_to_ranks(std::span<const std::uint32_t> observed);

  // Copies the rows read in place into the packed symbols, for builders that trust what they
  // read, checking each symbol again: a bad one now ends the kept rows as it would have when
  // the rows were converted.
  void pack_rows_in_place();

  // Frees the symbols; the rows are empty afterwards (their sizes and bad symbol stay).
  void release() noexcept {
    with_symbols([](auto& symbols) { std::decay_t<decltype(symbols)>().swap(symbols); });
    places_.clear();
  }

  // Calls visit with the kept rows as a std::vector<RowView<Symbol>> of their width.
  template <class Visit>
  decltype(auto) visit(Visit&& visit) const {
    return with_symbols([&](const auto& symbols) -> decltype(auto) {
      return visit(views(symbols));
    });
  }

 private:
  friend class RowPacker;

  explicit PackedRows(std::uint64_t alphabet_size);

  // Where a kept row's symbols are: in the caller's memory, or packed from `start` on.
  struct RowPlace {
    const void* in_place;  // null for a packed row
    std::uint64_t start;
    std::uint64_t size;
  };

  template <class Symbol>
  std::vector<RowView<Symbol>> views(const PageVector<Symbol>& symbols) const {
    std::vector<RowView<Symbol>> out;
    out.reserve(places_.size());
    for (const RowPlace& place : places_) {
      const Symbol* data = place.in_place != nullptr ? static_cast<const Symbol*>(place.in_place)
                                                     : symbols.data() + place.start;
      out.push_back(RowView<Symbol>{data, place.size});
    }
    return out;
  }

  std::uint64_t alphabet_size_;
  Symbols symbols_;
  std::vector<RowPlace> places_;  // one per kept row
  std::vector<std::uint64_t> row_sizes_;
  std::optional<BadSymbol> first_bad_;
};

// Packs rows as they are converted, piece by piece, so that no row needs a 64-bit copy whole:
// begin_row, then add or add_bytes any number of times, then end_row (or drop_row to take the
// row's pieces back, as when a conversion falls back to another way of reading it). A row the
// caller holds in the packed width is taken whole with add_in_place instead, and read where it
// lies; its memory must stay unchanged in place until the rows are released (what is in it
// may still change: every reader checks each symbol it reads).
class RowPacker {
 public:
  explicit RowPacker(std::uint64_t alphabet_size);

  // A hint; a count no vector could hold is out of memory.
  void reserve_rows(std::size_t rows);
  void begin_row(std::uint64_t expected_size);
  void add(std::span<const std::uint64_t> symbols);
  void add_bytes(std::span<const unsigned char> bytes);
  // The row's symbols, `size` of `width` bytes each at `symbols`, read in place: false (nothing
  // added) unless `width` is the packed width and the row has no symbols yet.
  bool add_in_place(const void* symbols, std::uint64_t size, std::size_t width);
  void drop_row();
  void end_row();
  PackedRows finish() &&;

 private:
  template <class Symbol, class Value>
  void append(PageVector<Symbol>& out, std::span<const Value> values);
  template <class Value>
  void append_any(std::span<const Value> values);
  template <class Symbol>
  void check_in_place(const Symbol* symbols, std::uint64_t size);
  void truncate_to_row_start();
  template <class F>
  decltype(auto) with_symbols(F&& f) {
    return packed_.with_symbols(std::forward<F>(f));
  }

  PackedRows packed_;
  std::uint64_t row_start_ = 0;   // where the current row's symbols begin
  std::uint64_t row_length_ = 0;  // symbols added to the current row so far
  const void* row_in_place_ = nullptr;
  bool row_bad_ = false;
};

}  // namespace tesk
